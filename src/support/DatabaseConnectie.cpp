// The database controller's lookups of the suite's data folder.
#include "support/DatabaseConnectie.h"

#include <cstring>

#include "platform/files.h"
#include "platform/registry.h"
#include "platform/sysinfo.h"
#include "support/Exceptions.h"
#include "support/Format.h"
#include "support/debug_log.h"
#include "support/path_text.h"

namespace {

// The folder of the executable as the module name gives it, without the
// long-path clean-up of TUtility::ExeName: the database controller has always
// looked there.
std::string ModuleFolder() { return ExtractFilePath(platform::ModuleFileName()); }

std::string WithTrailingDelimiter(const std::string& s) {
  return s.empty() ? s : IncludeTrailingPathDelimiter(s);
}

const char kDataMapKey[] = "SOFTWARE\\hollvik\\kestro\\";

// A data-map value of the wrong type counts as absent; support sees why.
void LogSkippedValue(const char* root, const std::string& valueName, const Exception& e) {
  TDebug::LogFmt("Registerwaarde %s\\%s%s overgeslagen: %s",
                 {std::string(root), std::string(kDataMapKey), valueName, e.Message()}, "");
}

}  // namespace

std::string ReadRegString(const platform::RegKey& key, const std::string& name) {
  platform::RegValue value;
  if (!key.Read(name, value)) return std::string();
  return RegStringText(name, value);
}

std::string RegStringText(const std::string& name, const platform::RegValue& value) {
  std::string text;
  if (!RegStringText(value, text)) {
    throw ERegistryException(Format("Invalid data type for '%s'", {name}));
  }
  return text;
}

bool RegStringText(const platform::RegValue& value, std::string& text) {
  if (value.type != platform::kRegSz && value.type != platform::kRegExpandSz) return false;
  text.assign(value.data.c_str());
  return true;
}

std::string SmallFileFailureText(platform::SmallFileFailure failure, std::size_t maxBytes) {
  using platform::SmallFileFailure;
  switch (failure) {
    case SmallFileFailure::None:
      return "gelezen";
    case SmallFileFailure::NotFound:
      return "niet gevonden";
    case SmallFileFailure::AccessDenied:
      return "geen leesrecht";
    case SmallFileFailure::Locked:
      return "in gebruik door een ander programma";
    case SmallFileFailure::NotAFile:
      return "geen gewoon bestand";
    case SmallFileFailure::TooLarge:
      return "groter dan " + std::to_string(maxBytes / 1024) + " KiB";
    default:
      return "niet te lezen";
  }
}

std::string TControllerDB::GetODBCPrefix() {
  const std::string file = ModuleFolder() + "ODBCPrefix.txt";
  // A prefix that cannot be read is no prefix; the suite still starts.
  auto giveUp = [&file](const std::string& reason) {
    TDebug::LogFmt("ODBC-prefix niet gelezen uit \"%s\": %s; er wordt geen prefix gebruikt",
                   {file, reason}, "");
    return std::string();
  };
  std::string content;
  const platform::SmallFileFailure failure = platform::ReadSmallFile(file, kMaxPrefixFile, content);
  if (failure == platform::SmallFileFailure::NotFound) return std::string();
  if (failure != platform::SmallFileFailure::None) {
    return giveUp(SmallFileFailureText(failure, kMaxPrefixFile));
  }
  // Line by line to the end, keeping the last line read; a line ends at CR,
  // LF or CR LF, as the text-file reader of the suite splits them.
  std::string result;
  std::string line;
  bool pendingCr = false;
  bool haveLine = false;
  for (const char c : content) {
    if (pendingCr) {
      pendingCr = false;
      if (c == '\n') continue;
    }
    if (c == '\r' || c == '\n') {
      result = TrimControl(line);
      line.clear();
      haveLine = false;
      pendingCr = (c == '\r');
    } else {
      line += c;
      haveLine = true;
      if (line.size() > kMaxPrefixLine) {
        return giveUp("een regel is langer dan " + std::to_string(kMaxPrefixLine / 1024) + " KiB");
      }
    }
  }
  if (haveLine) result = TrimControl(line);
  return result;
}

std::string GetDataMapPath() {
  const std::string prefix = TControllerDB::GetODBCPrefix();
  const std::string valueName = prefix + "_KestroDataMap";
  std::string result;

  // 1. The machine-wide setting; a value of the wrong type counts as absent.
  // The suite's installer is a 32-bit program, so its machine-wide values
  // stand in the 32-bit view of HKLM\SOFTWARE, which the 64-bit loader must
  // ask for (a 32-bit loader reads there anyway).
  {
    platform::RegKey key;
    if (key.Open(platform::RegRoot::LocalMachine, kDataMapKey, platform::RegAccess::Read, nullptr,
                 platform::RegView::Wow64_32)) {
      try {
        result = WithTrailingDelimiter(ReadRegString(key, valueName));
      } catch (const Exception& e) {
        LogSkippedValue("HKEY_LOCAL_MACHINE", valueName, e);
        result.clear();
      }
    }
  }

  // 2. The per-user setting.
  if (result.empty()) {
    platform::RegKey key;
    if (key.Open(platform::RegRoot::CurrentUser, kDataMapKey, platform::RegAccess::Read)) {
      try {
        result = WithTrailingDelimiter(ReadRegString(key, valueName));
      } catch (const Exception& e) {
        LogSkippedValue("HKEY_CURRENT_USER", valueName, e);
        result.clear();
      }
    }
  }

  // 3. The folder beside the program, unless the office database's ODBC data
  // source names one; an existing data source wins even when it names none.
  // The office database is a 32-bit data source (its driver is 32-bit), kept
  // in the 32-bit view as well.
  if (result.empty()) {
    result = ModuleFolder() + ".." + platform::kPathDelim + "data" + platform::kPathDelim +
             "database" + platform::kPathDelim;
    platform::RegKey key;
    if (key.Open(platform::RegRoot::LocalMachine,
                 "\\SOFTWARE\\ODBC\\ODBC.INI\\" + prefix + "kantoorDatabase",
                 platform::RegAccess::Read, nullptr, platform::RegView::Wow64_32)) {
      result = ExtractFilePath(ReadRegString(key, "DBQ"));
    }
  }
  return result;
}
