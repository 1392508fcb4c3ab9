// TUtility: install locations, file facts, program starts and the small text
// helpers the other units share.
#include "support/u_Utility.h"

#include <algorithm>

#include "platform/files.h"
#include "platform/shell.h"
#include "platform/version_info.h"

std::string LogFolder;

void InitializeUtilityUnit() { LogFolder = TUtility::AppPath(); }

void FinalizeUtilityUnit() { LogFolder.clear(); }

// --- text helpers ----------------------------------------------------------

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

namespace {

// Removes the first "\\?\" wherever it stands; the long-path prefix would
// otherwise end up in every path built from the executable's name.
std::string RemoveLongPathPrefix(std::string s) {
  static const std::string kPrefix = "\\\\?\\";
  const std::size_t p = s.find(kPrefix);
  if (p != std::string::npos) s.erase(p, kPrefix.size());
  return s;
}

}  // namespace

// --- install locations -------------------------------------------------------

std::string TUtility::ExeName() { return RemoveLongPathPrefix(platform::ModuleFileName()); }

std::string TUtility::AppPath() {
  std::string folder = ExtractFilePath(ExeName());
  if (folder.empty() || folder.back() != platform::kPathDelim) folder += platform::kPathDelim;
  return folder;
}

std::string TUtility::CanonicalizePath(const std::string& path) {
  std::string out;
  if (platform::CanonicalizePath(path, out)) return out;
  return path;
}

// --- file facts --------------------------------------------------------------

std::string TUtility::ReadFileVersion(const std::string& fileName) {
  const std::string file = TrimControl(fileName).empty() ? ExeName() : fileName;
  std::string version;
  if (!platform::QueryVersionString(file, "\\StringFileInfo\\041304E4\\FileVersion", version)) {
    return std::string();
  }
  return version;
}

std::int32_t TUtility::GetFileSize(const std::string& fileName) {
  std::uint32_t low = 0;
  if (!platform::FindFirstSize(platform::ExpandFileName(fileName), low)) return -1;
  return static_cast<std::int32_t>(low);
}

std::string TUtility::GetComputerName() {
  std::string name;
  if (!platform::ComputerName(name)) return std::string();
  return name;
}

// --- starting programs ---------------------------------------------------------

int TUtility::ShellStart(const std::string& fileName, platform::ShowCommand show) {
  return platform::ShellStart(fileName, show);
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

bool TUtility::ParamExists(const std::string& name) {
  return ParamExistsIn(platform::CommandLineArgs(), name);
}
