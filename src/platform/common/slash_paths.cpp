#include "platform/common/slash_paths.h"

#include <vector>

namespace platform {

// Lexical clean-up of an absolute path, as GetFullPathName does it.
std::string NormalizeAbsolutePath(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    std::string seg = path.substr(pos, end - pos);
    if (seg == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!seg.empty() && seg != ".") {
      parts.push_back(seg);
    }
    pos = end + 1;
  }
  std::string out;
  for (const auto& p : parts) out += "/" + p;
  if (out.empty()) out = "/";
  // A trailing separator names a folder; keep it as the caller wrote it.
  if (out.size() > 1 && path.size() > 1 && path.back() == '/') out += '/';
  return out;
}

bool CanonicalizePathText(const std::string& path, std::string& out) {
  // The Windows original refuses an input that does not fit its buffer of 260
  // characters (NUL included) before it looks at the text, and so do we.
  if (path.size() + 1 > 260) return false;
  // Purely on the text: "." segments go, ".." takes the segment before it
  // along, and a ".." with nothing before it is dropped. Empty segments (a
  // doubled or trailing separator) stay as written.
  const bool absolute = !path.empty() && path[0] == '/';
  std::vector<std::string> parts;
  std::size_t pos = absolute ? 1 : 0;
  for (;;) {
    std::size_t end = path.find('/', pos);
    std::string seg = path.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    if (seg == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (seg != ".") {
      parts.push_back(seg);
    }
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  std::string result = absolute ? "/" : "";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) result += '/';
    result += parts[i];
  }
  if (result.size() + 1 > 260) return false;
  out = result;
  return true;
}

}  // namespace platform
