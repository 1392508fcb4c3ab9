#include "companion/refused_release.h"

#include <string>
#include <vector>

#include "platform/files.h"
#include "support/debug_log.h"

namespace companion {

namespace {

constexpr std::size_t kMaxRecordBytes = 4096;

// How a kept refusal stands to the server's release.
enum class Match { Same, Other, CannotTell };

Match Compare(const ReleaseIdentity& refused, const ReleaseIdentity& offered) {
  const bool sizesKnown = refused.size >= 0 && offered.size >= 0;
  if (sizesKnown && refused.size != offered.size) return Match::Other;
  if (!refused.validator.empty() && !offered.validator.empty()) {
    return refused.validator == offered.validator ? Match::Same : Match::Other;
  }
  return sizesKnown ? Match::Same : Match::CannotTell;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type at = 0;
  while (at < text.size()) {
    std::string::size_type end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    at = end + 1;
  }
  return lines;
}

// "size=N" and "validator=TEXT" lines; the file is the loader's own, but a
// damaged one counts as no refusal rather than as a wrong one.
bool ParseRecord(const std::string& text, ReleaseIdentity& out) {
  ReleaseIdentity record;
  bool sized = false;
  for (const std::string& line : Lines(text)) {
    if (line.rfind("size=", 0) == 0) {
      const std::string digits = line.substr(5);
      if (digits.empty() || digits.size() > 18 ||
          digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
      }
      record.size = std::stoll(digits);
      sized = true;
    } else if (line.rfind("validator=", 0) == 0) {
      record.validator = line.substr(10);
    }
  }
  if (!sized) return false;
  out = record;
  return true;
}

bool WriteRecord(const std::string& path, const ReleaseIdentity& release) {
  const std::string text =
      "size=" + std::to_string(release.size) + "\r\nvalidator=" + release.validator + "\r\n";
  // A name of its own, made exclusively, so no other loader's record (nor a
  // link put there) is written into; then one replace.
  std::string temp;
  platform::File file;
  if (!platform::CreateFileWithRandomName(path + ".", ".tmp", file, temp)) return false;
  const bool written = file.Write(text.data(), text.size());
  file.Close();
  if (written && platform::ReplaceFileAtomically(temp, path)) return true;
  platform::FileDelete(temp);
  return false;
}

bool LogRefused(const ReleaseIdentity& refused) {
  TDebug::LogFmt("Versie met grootte %d is eerder geweigerd, geen update",
                 {static_cast<long long>(refused.size)}, "");
  return true;
}

}  // namespace

std::string RefusedReleasePath(const std::string& companion) { return companion + ".refused"; }

void RememberRefusedRelease(ISarvoSettings& settings, const std::string& companion,
                            const ReleaseIdentity& release) {
  if (WriteRecord(RefusedReleasePath(companion), release)) return;
  TDebug::LogFmt("Geweigerde versie kon niet in %s worden bewaard", {RefusedReleasePath(companion)},
                 "");
  if (release.size >= 0 && release.size <= 0xFFFFFFFF) {
    settings.SetRefusedSize(static_cast<std::uint32_t>(release.size));
  }
}

bool ReleaseWasRefused(ISarvoSettings& settings, const std::string& companion,
                       const ReleaseIdentity& release) {
  const std::string path = RefusedReleasePath(companion);
  std::string text;
  ReleaseIdentity kept;
  if (platform::ReadSmallFile(path, kMaxRecordBytes, text) == platform::SmallFileFailure::None &&
      ParseRecord(text, kept)) {
    switch (Compare(kept, release)) {
      case Match::Same:
        return LogRefused(kept);
      case Match::Other:
        platform::FileDelete(path);
        break;
      case Match::CannotTell:
        break;
    }
  }
  std::uint32_t size = 0;
  if (!settings.GetRefusedSize(size)) return false;
  const ReleaseIdentity older{static_cast<std::int64_t>(size), std::string()};
  switch (Compare(older, release)) {
    case Match::Same:
      return LogRefused(older);
    case Match::Other:
      settings.ClearRefusedSize();
      break;
    case Match::CannotTell:
      break;
  }
  return false;
}

}  // namespace companion
