// The database controller's lookups of the suite's data folder.
#include "support/DatabaseConnectie.h"

#include <cstring>

#include "platform/files.h"
#include "platform/registry.h"
#include "support/Exceptions.h"
#include "support/Format.h"
#include "support/u_Utility.h"

namespace {

// The folder of the executable as the module name gives it, without the
// long-path clean-up of TUtility::ExeName: the database controller has always
// looked there.
std::string ModuleFolder() { return ExtractFilePath(platform::ModuleFileName()); }

std::string WithTrailingDelimiter(const std::string& s) {
  return s.empty() ? s : IncludeTrailingPathDelimiter(s);
}

const char kDataMapKey[] = "SOFTWARE\\hollvik\\kestro\\";

}  // namespace

std::string ReadRegString(const platform::RegKey& key, const std::string& name) {
  platform::RegValue value;
  if (!key.Read(name, value)) return std::string();
  if (value.type != platform::kRegSz && value.type != platform::kRegExpandSz) {
    throw ERegistryException(Format("Invalid data type for '%s'", {name}));
  }
  // The text ends at its first NUL, whatever the stored size says.
  return std::string(value.data.c_str());
}

std::string TControllerDB::GetODBCPrefix() {
  std::string result;
  const std::string file = ModuleFolder() + "ODBCPrefix.txt";
  if (!platform::FileExists(file)) return result;
  platform::File f;
  if (!f.Open(file, platform::File::Mode::OpenRead, platform::File::Share::ReadWrite)) {
    return result;
  }
  // Line by line to the end, keeping the last line read; a line ends at CR,
  // LF or CR LF, as the text-file reader of the suite splits them.
  std::string line;
  bool pendingCr = false;
  bool haveLine = false;
  char buf[4096];
  std::size_t n = 0;
  while (f.Read(buf, sizeof buf, n) && n > 0) {
    for (std::size_t i = 0; i < n; ++i) {
      const char c = buf[i];
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
  {
    platform::RegKey key;
    if (key.Open(platform::RegRoot::LocalMachine, kDataMapKey, platform::RegAccess::Read)) {
      try {
        result = WithTrailingDelimiter(ReadRegString(key, valueName));
      } catch (const Exception&) {
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
      } catch (const Exception&) {
        result.clear();
      }
    }
  }

  // 3. The folder beside the program, unless the office database's ODBC data
  // source names one; an existing data source wins even when it names none.
  if (result.empty()) {
    result = ModuleFolder() + ".." + platform::kPathDelim + "data" + platform::kPathDelim +
             "database" + platform::kPathDelim;
    platform::RegKey key;
    if (key.Open(platform::RegRoot::LocalMachine,
                 "\\SOFTWARE\\ODBC\\ODBC.INI\\" + prefix + "kantoorDatabase",
                 platform::RegAccess::Read)) {
      result = ExtractFilePath(ReadRegString(key, "DBQ"));
    }
  }
  return result;
}
