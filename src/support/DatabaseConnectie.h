// The two lookups of the suite's database controller that the loader uses to
// find the suite's data folder.
#pragma once

#include <cstddef>
#include <string>

struct TControllerDB {
  // The trimmed last line of "ODBCPrefix.txt" beside the executable, or "".
  // A prefix file that cannot be used (not a regular file, locked, larger
  // than kMaxPrefixFile, a line longer than kMaxPrefixLine) gives "" and one
  // log line naming the file and the reason: it never stops the start.
  static constexpr std::size_t kMaxPrefixFile = 64 * 1024;
  static constexpr std::size_t kMaxPrefixLine = 4 * 1024;
  static std::string GetODBCPrefix();
};

// The suite's data-map folder: the machine-wide or per-user registry setting,
// else the folder of the office database's ODBC data source, else the
// executable's folder + "..\data\database\". A data-map value of the wrong
// type is skipped with a log line; a DBQ value of the wrong type raises
// ERegistryException.
std::string GetDataMapPath();

// Reads a registry string value the way the suite's registry accessor does:
// REG_SZ and REG_EXPAND_SZ as stored up to the first NUL, a missing value as
// "", any other type raises ERegistryException "Invalid data type for '%s'".
namespace platform {
class RegKey;
struct RegValue;
}  // namespace platform
std::string ReadRegString(const platform::RegKey& key, const std::string& name);

// The text of a registry string value that was read: the same types and the
// same exception as above, the text up to its first NUL, whatever the stored
// size says. The suite's registry accessors all read strings through this.
std::string RegStringText(const std::string& name, const platform::RegValue& value);
// The same reading for callers that treat another type as "not set" rather
// than as an error: false, and `text` untouched, for any type but REG_SZ and
// REG_EXPAND_SZ.
bool RegStringText(const platform::RegValue& value, std::string& text);

// The reason, for the log, why a small file could not be used.
namespace platform {
enum class SmallFileFailure;
}
std::string SmallFileFailureText(platform::SmallFileFailure failure, std::size_t maxBytes);
