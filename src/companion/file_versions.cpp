#include "companion/file_versions.h"

#include <cctype>

#include "platform/locale.h"
#include "platform/version_info.h"
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

std::optional<FileVersion> FixedFileVersion(const std::string& file) {
  std::uint32_t ms = 0, ls = 0;
  if (!platform::QueryFixedFileVersion(file, ms, ls)) return {};
  return FileVersion{ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF};
}

namespace {

std::string NumbersText(const FileVersion& v) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
         std::to_string(v[3]);
}

// A version as the log names it: the Dutch block's string where the file has
// one, else the four numbers.
std::string VersionText(const std::string& file, const FileVersion& v) {
  const std::string text = TUtility::ReadFileVersion(file);
  return text.empty() ? NumbersText(v) : text;
}

// The download's version, binary and as the log names it; nothing when it
// has none that can be read.
struct DownloadVersion {
  std::optional<FileVersion> version;
  std::string text;
};

void Refuse(const DownloadVersion& download, const std::string& installed) {
  const std::optional<FileVersion> oldVersion = FixedFileVersion(installed);
  if (!oldVersion) return;  // nothing to compare with
  const std::string installedText = std::string("de ge") + platform::kIDiaeresis + "nstalleerde " +
                                    VersionText(installed, *oldVersion);
  if (!download.version) {
    throw EUpdateDowngrade("Versie van de download is niet te lezen, " + installedText +
                           " heeft er een");
  }
  if (*download.version < *oldVersion) {
    throw EUpdateDowngrade("Versie " + download.text + " is ouder dan " + installedText);
  }
}

}  // namespace

void RefuseDowngrade(const std::string& download, const std::string& installed) {
  DownloadVersion v;
  v.version = FixedFileVersion(download);
  if (v.version) v.text = VersionText(download, *v.version);
  Refuse(v, installed);
}

void RefuseDowngrade(platform::File& download, const std::string& installed) {
  DownloadVersion v;
  std::uint32_t ms = 0, ls = 0;
  if (platform::QueryFixedFileVersion(download, ms, ls)) {
    v.version = FileVersion{ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF};
    std::string text;
    const bool named =
        platform::QueryVersionString(download, "\\StringFileInfo\\041304E4\\FileVersion", text) &&
        !text.empty();
    v.text = named ? text : NumbersText(*v.version);
  }
  Refuse(v, installed);
}
