// Splitting paths kept in Windows form: the Linux port's registry key
// paths and version-resource queries, whose segments stand between "\".
#pragma once

#include <string>
#include <vector>

namespace platform {

// The path's segments without empty ones, so "\A\\B\" is A, B.
inline std::vector<std::string> SplitBackslashPath(const std::string& path) {
  std::vector<std::string> segs;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t end = path.find('\\', pos);
    if (end == std::string::npos) end = path.size();
    if (end > pos) segs.push_back(path.substr(pos, end - pos));
    pos = end + 1;
  }
  return segs;
}

}  // namespace platform
