// What arrived of a companion download that broke off: kept so that the
// download goes on from there, in the same start or the next one, and never
// splices the head of one release onto the tail of another.
//
// The bytes go into a partial file in the user's own temporary folder
// (platform::PrivateTempFolder), which no other user can write, named after
// the companion's full path so that two installations keep theirs apart.
// Beside it lies a record: the URL, the size the server declared, the
// validator of the release (a strong ETag, else Last-Modified), the count of
// bytes known to be on the disk, and when the download began. The record,
// not the partial's length, says how much is good.
#pragma once

#include <cstdint>
#include <string>

#include "platform/files.h"

namespace companion {

struct PartialRecord {
  std::string url;
  std::int64_t declaredSize = -1;
  std::string validator;   // TIdHTTP::Validator form: "ETag ..." or "Last-Modified ..."
  std::int64_t bytes = 0;  // flushed to the disk
  std::int64_t began = 0;  // seconds since 1970, UTC
};

// A partial older than this is not resumed.
constexpr std::int64_t kMaxPartialAgeSeconds = 7 * 24 * 60 * 60;

// Whether a validator may vouch for a resume: present, and no weak ETag
// ("ETag W/..."), which only says that two bodies mean the same.
bool CanVouchForResume(const std::string& validator);

// Why a kept partial cannot be resumed against the server's release at `url`
// with `declaredSize` and `validator` (as the size check read them; -1 and
// empty where it read none), at `now`, with `onDisk` bytes in the partial
// file: empty when it can, else the reason for the log, in Dutch.
std::string WhyNotResumable(const PartialRecord& record, std::int64_t onDisk,
                            const std::string& url, std::int64_t declaredSize,
                            const std::string& validator, std::int64_t now);

class PartialDownload {
 public:
  // The partial of the companion at `companion`; without a private folder
  // there is none (Usable() false), and a download goes on as if it never
  // broke off.
  explicit PartialDownload(const std::string& companion);
  // No partial at all.
  PartialDownload() = default;

  bool Usable() const { return !path_.empty(); }
  const std::string& Path() const { return path_; }
  const std::string& RecordPath() const { return recordPath_; }

  // The kept record; false when there is none that can be read.
  bool Load(PartialRecord& record) const;
  // Puts the record on the disk, whole or not at all.
  bool Save(const PartialRecord& record) const;
  // Deletes the partial and its record.
  void Discard() const;

 private:
  std::string path_;
  std::string recordPath_;
};

}  // namespace companion
