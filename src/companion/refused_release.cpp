#include "companion/refused_release.h"

#include <string>
#include <vector>

#include "companion/record_file.h"
#include "platform/files.h"
#include "support/debug_log.h"

namespace companion {

namespace {

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

// "size=N" and "validator=TEXT" lines; a record without a size counts as
// no refusal rather than as a wrong one.
bool ReadRefusal(const std::string& path, ReleaseIdentity& out) {
  RecordFields fields;
  if (!ReadRecord(path, fields)) return false;
  ReleaseIdentity record;
  if (!ParseCount(fields["size"], record.size)) return false;
  record.validator = fields["validator"];
  out = record;
  return true;
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
  if (WriteRecord(RefusedReleasePath(companion),
                  {{"size", std::to_string(release.size)}, {"validator", release.validator}})) {
    return;
  }
  TDebug::LogFmt("Geweigerde versie kon niet in %s worden bewaard", {RefusedReleasePath(companion)},
                 "");
  if (release.size >= 0 && release.size <= 0xFFFFFFFF) {
    settings.SetRefusedSize(static_cast<std::uint32_t>(release.size));
  }
}

bool ReleaseWasRefused(ISarvoSettings& settings, const std::string& companion,
                       const ReleaseIdentity& release) {
  const std::string path = RefusedReleasePath(companion);
  ReleaseIdentity kept;
  if (ReadRefusal(path, kept)) {
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
