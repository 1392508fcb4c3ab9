// TUtility: install locations, file facts, the shell start and the command
// line.
#include "support/u_Utility.h"

#include "platform/files.h"
#include "platform/shell.h"
#include "platform/version_info.h"
#include "support/path_text.h"

void InitializeUtilityUnit() { LogFolder = TUtility::AppPath(); }

void FinalizeUtilityUnit() { LogFolder.clear(); }

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

bool TUtility::ParamExists(const std::string& name) {
  return ParamExistsIn(platform::CommandLineArgs(), name);
}
