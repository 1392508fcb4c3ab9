// The registry as an outside program sees it: Wine's reg.exe in the Win32
// build, the built kestro-reg on the Linux port (it takes reg.exe's syntax and
// prints the same format). Tests check what the system wrote with a tool that
// shares no code with it.
#pragma once

#include <string>

namespace testing_support {

// A key, or one value of it, as "reg query" lists it.
struct RegListing {
  bool keyFound = false;
  bool valueFound = false;
  std::string type;  // "REG_SZ", "REG_DWORD", ...
  std::string data;  // as printed: text, or "0x..." for a DWORD
};

// `fullKey` with its root, e.g. "HKCU\SOFTWARE\hollvik\Sarvo"; `name` empty
// asks only whether the key exists.
RegListing QueryRegistry(const std::string& fullKey, const std::string& name = "");

// "reg add fullKey /v name /t type /d data /f"; true when the tool succeeded.
// `view` ("/reg:32" or "/reg:64", Windows only) names the registry view the
// tool writes in, as an installer of that bitness would.
bool AddRegistryValue(const std::string& fullKey, const std::string& name, const std::string& type,
                      const std::string& data, const std::string& view = "");

// "reg delete fullKey /f"; true when the key is gone afterwards.
bool DeleteRegistryKey(const std::string& fullKey);

}  // namespace testing_support
