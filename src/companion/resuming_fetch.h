// The companion's download, resumed where a connection breaks off: in the
// same start (a few times) and on the next one (from the kept partial), and
// only while the server's copy is the release whose head is already here.
#pragma once

#include <cstdint>
#include <string>

#include "companion/partial_download.h"
#include "platform/files.h"

namespace companion {

// An answer that brings at least this much does not count against
// kMaxFruitlessResumes: a line that breaks now and then still lands a large
// release in one start, and one that brings next to nothing gives up soon.
constexpr std::int64_t kFruitfulAnswerBytes = std::int64_t{1} << 20;
constexpr int kMaxFruitlessResumes = 3;
// The kept count is brought up to date (the partial flushed first) every
// time this much more arrived, so a loader that is killed loses little.
constexpr std::int64_t kRecordEveryBytes = std::int64_t{1} << 20;

// What landed: the body's length, whether the last answer declared its own
// length (Content-Length), and its status code.
struct FetchedBody {
  std::int64_t size = 0;
  bool lengthDeclared = false;
  int status = -1;
};

// Fetches `url` into `into`, which is open for writing without sharing: the
// kept partial of `partial` (which may hold what an earlier start fetched),
// or, where the user has no private folder, the temporary file itself, with
// `partial` unusable. `serverSize` and `serverValidator` are the size check's
// answer (-1 and empty for none); a body longer than `serverSize` is cut off
// a byte past it and raises. `into` then holds the body whole. Raises the last failure; the kept
// partial and its record then stay for the next start where the release has a strong validator and
// a declared size, and are deleted otherwise. `name` names the download in
// the log.
FetchedBody FetchResuming(const std::string& url, const std::string& name, std::int64_t serverSize,
                          const std::string& serverValidator, const PartialDownload& partial,
                          platform::File& into);

// "bytes FIRST-LAST/TOTAL" (a 206's Content-Range) or "bytes */TOTAL" (a
// 416's, FIRST and LAST -1): false for anything else.
struct ContentRange {
  std::int64_t first = -1;
  std::int64_t last = -1;
  std::int64_t total = -1;
};
bool ParseContentRange(const std::string& text, ContentRange& range);

}  // namespace companion
