// Two facts about a path that the Linux port's files and its errno table both
// ask: the folder it lies in, and whether it names a folder.
#pragma once

#include <sys/stat.h>

#include <string>

namespace platform {

// The folder `path` lies in: "." for a bare name, "/" for a name at the root.
inline std::string ParentOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// True when `path` names an existing folder (links followed).
inline bool IsDir(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace platform
