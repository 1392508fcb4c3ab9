// kestro-reg: the settings-store editor of the Linux port, with the syntax and
// output of Windows' reg.exe, so that scripts and support notes read the same
// on both platforms.
//
//   kestro-reg query  KEY [/v NAME | /ve]
//   kestro-reg add    KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]
//   kestro-reg delete KEY [/v NAME | /ve] /f
//
// KEY starts with HKLM, HKCU, HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER. TYPE is
// REG_SZ (the default), REG_EXPAND_SZ, REG_DWORD or REG_BINARY. The store is
// the one the loader uses (KESTRO_REGISTRY_DIR moves it).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/registry.h"

namespace {

using platform::RegAccess;
using platform::RegKey;
using platform::RegRoot;
using platform::RegValue;

const char* const kNotFound =
    "ERROR: The system was unable to find the specified registry key or value.";
const char* const kDone = "The operation completed successfully.";

int Fail(const std::string& message) {
  std::cerr << "ERROR: " << message << "\n";
  return 1;
}

int Usage() {
  std::cerr
      << "ERROR: Invalid syntax.\n"
         "Usage: kestro-reg query KEY [/v NAME | /ve]\n"
         "       kestro-reg add KEY [/v NAME | /ve] [/t REG_SZ|REG_EXPAND_SZ|REG_DWORD|REG_BINARY] "
         "[/d DATA] [/f]\n"
         "       kestro-reg delete KEY [/v NAME | /ve] /f\n";
  return 1;
}

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

struct KeyName {
  RegRoot root = RegRoot::CurrentUser;
  std::string path;  // below the root, as written, without outer backslashes
  std::string full;  // root written long + "\" + path, as reg.exe shows it
};

bool ParseKey(const std::string& text, KeyName& key) {
  const std::size_t slash = text.find('\\');
  const std::string root = Upper(text.substr(0, slash));
  std::string rest = slash == std::string::npos ? "" : text.substr(slash + 1);
  while (!rest.empty() && rest.back() == '\\') rest.pop_back();
  while (!rest.empty() && rest.front() == '\\') rest.erase(0, 1);
  std::string longRoot;
  if (root == "HKLM" || root == "HKEY_LOCAL_MACHINE") {
    key.root = RegRoot::LocalMachine;
    longRoot = "HKEY_LOCAL_MACHINE";
  } else if (root == "HKCU" || root == "HKEY_CURRENT_USER") {
    key.root = RegRoot::CurrentUser;
    longRoot = "HKEY_CURRENT_USER";
  } else {
    return false;
  }
  key.path = rest;
  key.full = rest.empty() ? longRoot : longRoot + "\\" + rest;
  return true;
}

struct Options {
  bool hasValue = false;  // /v or /ve given
  std::string value;
  bool hasType = false;
  std::string type;
  bool hasData = false;
  std::string data;
  bool force = false;
};

// Parses the switches after KEY; false (with a message printed) on a bad one.
bool ParseOptions(const std::vector<std::string>& args, std::size_t from, Options& o) {
  for (std::size_t i = from; i < args.size(); ++i) {
    std::string sw = args[i];
    if (sw.size() < 2 || (sw[0] != '/' && sw[0] != '-')) {
      Fail("Invalid syntax: unexpected argument \"" + sw + "\".");
      return false;
    }
    sw = Upper(sw.substr(1));
    auto next = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        Fail("Invalid syntax: /" + sw + " needs a value.");
        return false;
      }
      out = args[++i];
      return true;
    };
    if (sw == "V" || sw == "VE") {
      if (o.hasValue) {
        Fail("Invalid syntax: the value is named twice.");
        return false;
      }
      o.value.clear();
      if (sw == "V" && !next(o.value)) return false;
      o.hasValue = true;
    } else if (sw == "T") {
      if (!next(o.type)) return false;
      o.hasType = true;
    } else if (sw == "D") {
      if (!next(o.data)) return false;
      o.hasData = true;
    } else if (sw == "F") {
      o.force = true;
    } else {
      Fail("Invalid syntax: unknown switch \"" + args[i] + "\".");
      return false;
    }
  }
  return true;
}

std::string TypeName(std::uint32_t type) {
  switch (type) {
    case platform::kRegNone:
      return "REG_NONE";
    case platform::kRegSz:
      return "REG_SZ";
    case platform::kRegExpandSz:
      return "REG_EXPAND_SZ";
    case platform::kRegBinary:
      return "REG_BINARY";
    case platform::kRegDword:
      return "REG_DWORD";
    case platform::kRegMultiSz:
      return "REG_MULTI_SZ";
    case platform::kRegQword:
      return "REG_QWORD";
    default:
      return "REG_UNKNOWN(" + std::to_string(type) + ")";
  }
}

std::uint64_t LittleEndian(const std::string& bytes, std::size_t count) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < count && i < bytes.size(); ++i) {
    v |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  }
  return v;
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

// The data column as reg.exe writes it.
std::string DataText(const RegValue& v) {
  switch (v.type) {
    case platform::kRegSz:
    case platform::kRegExpandSz:
      return v.data.substr(0, v.data.find('\0'));
    case platform::kRegDword:
      if (v.data.size() == 4) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(LittleEndian(v.data, 4)));
        return buf;
      }
      return Hex(v.data);
    case platform::kRegQword:
      if (v.data.size() == 8) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%llx",
                      static_cast<unsigned long long>(LittleEndian(v.data, 8)));
        return buf;
      }
      return Hex(v.data);
    case platform::kRegMultiSz: {
      // The strings joined by a written "\0", the list's final NULs dropped.
      std::string text = v.data;
      while (!text.empty() && text.back() == '\0') text.pop_back();
      std::string out;
      for (char c : text) out += c == '\0' ? std::string("\\0") : std::string(1, c);
      return out;
    }
    default:
      return Hex(v.data);
  }
}

void PrintValue(const std::string& name, const RegValue& v) {
  std::cout << "    " << (name.empty() ? "(Default)" : name) << "    " << TypeName(v.type) << "    "
            << DataText(v) << "\n";
}

// A lookup that found nothing: the store's failure when it failed (a store
// that is not a database must not pass for an empty one), else reg.exe's
// "not found".
int NotFound(platform::Failure why) {
  if (why != platform::Failure::FileNotFound) return Fail(platform::FileErrorText(why));
  std::cerr << kNotFound << "\n";
  return 1;
}

// A change that was refused, in Windows' words ("Access is denied." for a
// store the user may not write).
int Refused(platform::Failure why) { return Fail(platform::FileErrorText(why)); }

int Query(const KeyName& key, const Options& o) {
  RegKey k;
  platform::Failure why = platform::Failure::None;
  if (!k.Open(key.root, key.path, RegAccess::Read, &why)) return NotFound(why);
  if (o.hasValue) {
    RegValue v;
    if (!k.Read(o.value, v, &why)) return NotFound(why);
    // The value is shown under its stored spelling, as reg.exe does.
    std::string shown = o.value;
    for (const auto& name : k.ValueNames()) {
      if (Upper(name) == Upper(o.value)) shown = name;
    }
    std::cout << "\n" << key.full << "\n";
    PrintValue(shown, v);
    std::cout << "\n";
    return 0;
  }
  const std::vector<std::string> names = k.ValueNames(&why);
  if (names.empty() && why != platform::Failure::None && why != platform::Failure::FileNotFound) {
    return Refused(why);
  }
  std::cout << "\n" << key.full << "\n";
  for (const auto& name : names) {
    RegValue v;
    if (k.Read(name, v)) PrintValue(name, v);
  }
  std::cout << "\n";
  return 0;
}

bool ParseDword(const std::string& text, std::uint32_t& out) {
  if (text.empty()) return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > (hex ? 8u : 10u)) return false;
  unsigned long long v = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (hex && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = v * (hex ? 16 : 10) + static_cast<unsigned>(d);
  }
  if (v > 0xFFFFFFFFull) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

bool ParseHex(const std::string& text, std::string& out) {
  if (text.size() % 2 != 0) return false;
  out.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned v = 0;
    for (std::size_t j = i; j < i + 2; ++j) {
      const char c = text[j];
      v <<= 4;
      if (c >= '0' && c <= '9')
        v |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        v |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        v |= static_cast<unsigned>(c - 'A' + 10);
      else
        return false;
    }
    out += static_cast<char>(v);
  }
  return true;
}

int Add(const KeyName& key, const Options& o) {
  RegValue v;
  const std::string type = o.hasType ? Upper(o.type) : "REG_SZ";
  if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
    v.type = type == "REG_SZ" ? platform::kRegSz : platform::kRegExpandSz;
    v.data = o.data + std::string(1, '\0');
  } else if (type == "REG_DWORD") {
    std::uint32_t n = 0;
    if (!ParseDword(o.hasData ? o.data : "0", n)) {
      return Fail("Invalid REG_DWORD data \"" + o.data +
                  "\": give a number from 0 to 4294967295 or 0x0 to 0xFFFFFFFF.");
    }
    v.type = platform::kRegDword;
    for (int i = 0; i < 4; ++i) v.data += static_cast<char>((n >> (8 * i)) & 0xFF);
  } else if (type == "REG_BINARY") {
    v.type = platform::kRegBinary;
    if (!ParseHex(o.data, v.data))
      return Fail("Invalid REG_BINARY data \"" + o.data + "\": give pairs of hex digits.");
  } else {
    return Fail("Invalid type \"" + o.type +
                "\": use REG_SZ, REG_EXPAND_SZ, REG_DWORD or REG_BINARY.");
  }
  if ((o.hasType || o.hasData) && !o.hasValue) {
    return Fail("Invalid syntax: /t and /d need a value name (/v NAME or /ve).");
  }
  RegKey k;
  platform::Failure why = platform::Failure::None;
  if (!k.Create(key.root, key.path, RegAccess::All, &why)) return Refused(why);
  if (o.hasValue && !k.Write(o.value, v, &why)) return Refused(why);
  std::cout << kDone << "\n";
  return 0;
}

int Delete(const KeyName& key, const Options& o) {
  // There is nobody to ask for a confirmation; /f says it was given.
  if (!o.force) return Fail("Add /f to delete without being asked for confirmation.");
  platform::Failure why = platform::Failure::None;
  if (o.hasValue) {
    RegKey k;
    RegValue v;
    if (!k.Open(key.root, key.path, RegAccess::All, &why) || !k.Read(o.value, v, &why)) {
      return NotFound(why);
    }
    if (!k.DeleteValue(o.value, &why)) return Refused(why);
  } else {
    if (key.path.empty()) return Fail("Invalid key name: a root cannot be deleted.");
    if (!platform::RegKeyExists(key.root, key.path, &why)) return NotFound(why);
    if (!platform::RegDeleteKeyTree(key.root, key.path, &why)) return Refused(why);
  }
  std::cout << kDone << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() < 2) return Usage();
    const std::string op = Upper(args[0]);
    KeyName key;
    if (!ParseKey(args[1], key))
      return Fail("Invalid key name \"" + args[1] + "\": start it with HKLM or HKCU.");
    Options o;
    if (!ParseOptions(args, 2, o)) return 1;
    if (op == "QUERY") {
      if (o.hasType || o.hasData || o.force) return Usage();
      return Query(key, o);
    }
    if (op == "ADD") return Add(key, o);
    if (op == "DELETE") {
      if (o.hasType || o.hasData) return Usage();
      return Delete(key, o);
    }
    return Usage();
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
