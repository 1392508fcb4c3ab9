// The loader's small record files: "name=value" lines, read whole and
// written whole or not at all. The files are the loader's own, but one that
// is damaged, too large or missing reads as no record.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace companion {

using RecordFields = std::map<std::string, std::string>;

// The fields of the record at `path` (a name given twice keeps its last
// value); false when it cannot be read or is larger than 4 KiB.
bool ReadRecord(const std::string& path, RecordFields& fields);

// Writes the fields, in this order, under a name of its own made
// exclusively (so no other loader's record, nor a link put there, is written
// into), puts them on the disk and then in place of `path` in one replace.
bool WriteRecord(const std::string& path,
                 const std::vector<std::pair<std::string, std::string>>& fields);

// A count of 1 to 18 decimal digits, nothing else.
bool ParseCount(const std::string& digits, std::int64_t& value);

}  // namespace companion
