// The text helpers on paths, names and the command line.
#include "support/path_text.h"

#include "platform/sysinfo.h"

// --- text and paths ------------------------------------------------------------

std::string TrimControl(const std::string& s) {
  auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && isBlank(s[b])) ++b;
  while (e > b && isBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string UpperAscii(const std::string& s) {
  std::string r = s;
  for (char& c : r) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return r;
}

std::string ExtractFilePath(const std::string& path) {
  const std::size_t p = path.find_last_of(platform::kPathDelims);
  return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}

std::string ExtractFileName(const std::string& path) {
  const std::size_t p = path.find_last_of(platform::kPathDelims);
  return p == std::string::npos ? path : path.substr(p + 1);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
  const std::string delims = std::string(platform::kPathDelims) + ".";
  const std::size_t p = path.find_last_of(delims);
  if (p != std::string::npos && path[p] == '.') return path.substr(0, p) + ext;
  return path + ext;
}

std::string IncludeTrailingPathDelimiter(const std::string& path) {
  if (!path.empty() && path.back() == platform::kPathDelim) return path;
  return path + platform::kPathDelim;
}

// --- command line --------------------------------------------------------------

bool ParamExistsIn(const std::vector<std::string>& args, const std::string& name) {
  std::string line;
  for (const std::string& a : args) line += a + " ";
  line = UpperAscii(TrimControl(line));
  const std::string key = "/" + UpperAscii(TrimControl(name));
  // A plain substring test, not bound to argument boundaries: "/noupdates"
  // and "x/noupdate" give the switch "noupdate" too.
  return line.find(key) != std::string::npos;
}
