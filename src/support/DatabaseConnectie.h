// The two lookups of the suite's database controller that the loader uses to
// find the suite's data folder.
#pragma once

#include <string>

struct TControllerDB {
  // The trimmed last line of "ODBCPrefix.txt" beside the executable, or "".
  static std::string GetODBCPrefix();
};

// The suite's data-map folder: the machine-wide or per-user registry setting,
// else the folder of the office database's ODBC data source, else the
// executable's folder + "..\data\database\".
std::string GetDataMapPath();

// Reads a registry string value the way the suite's registry accessor does:
// REG_SZ and REG_EXPAND_SZ as stored up to the first NUL, a missing value as
// "", any other type raises ERegistryException "Invalid data type for '%s'".
namespace platform { class RegKey; }
std::string ReadRegString(const platform::RegKey& key, const std::string& name);
