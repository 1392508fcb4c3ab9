#include "companion/file_versions.h"

#include <cctype>

#include "platform/locale.h"
#include "support/u_Utility.h"

std::optional<FileVersion> ParseFileVersion(const std::string& text) {
  FileVersion v{};
  std::size_t part = 0;
  std::size_t at = 0;
  const auto skipBlanks = [&text, &at] {
    while (at < text.size() && text[at] == ' ') ++at;
  };
  for (;;) {
    skipBlanks();
    if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at]))) return {};
    std::uint64_t n = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
      n = n * 10 + static_cast<std::uint64_t>(text[at] - '0');
      if (n > 0xFFFFFFFFu) return {};
      ++at;
    }
    v[part++] = static_cast<std::uint32_t>(n);
    skipBlanks();
    if (at == text.size()) return v;
    if (part == v.size() || (text[at] != '.' && text[at] != ',')) return {};
    ++at;
  }
}

bool IsOlderVersion(const std::string& candidate, const std::string& installed) {
  const std::optional<FileVersion> a = ParseFileVersion(candidate);
  const std::optional<FileVersion> b = ParseFileVersion(installed);
  return a && b && *a < *b;
}

void RefuseDowngrade(const std::string& download, const std::string& installed) {
  const std::string newVersion = TUtility::ReadFileVersion(download);
  const std::string oldVersion = TUtility::ReadFileVersion(installed);
  if (IsOlderVersion(newVersion, oldVersion)) {
    throw EUpdateDowngrade("Versie " + newVersion + " is ouder dan de ge" + platform::kIDiaeresis +
                           "nstalleerde " + oldVersion);
  }
}
