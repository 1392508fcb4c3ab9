// The download of a new companion tool: fetch and checks.
#include "companion/download.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "companion/UpdateSignature.h"
#include "companion/file_versions.h"
#include "companion/partial_download.h"
#include "companion/resuming_fetch.h"
#include "connection/IdHTTP.h"
#include "connection/update_log_texts.h"
#include "platform/executable.h"
#include "platform/files.h"
#include "platform/locale.h"
#include "support/Exceptions.h"
#include "support/debug_log.h"
#include "support/path_text.h"
#include "support/u_Utility.h"

namespace companion {

namespace {

// The context of the download's exception report. The text is fixed, as
// the log's readers know it (its first 25 characters fill the report's
// category column); it names no class of this code and need not.
const char* const kDownloadFailedContext =
    "DudozividEreradOdavazevozT.internDownloadUpdater(); Download van bestand is mislukt";

// The kept partial, opened for writing without sharing (a new one where
// none is kept); false when it cannot be.
bool OpenPartial(const PartialDownload& partial, platform::File& part) {
  if (!partial.Usable()) return false;
  const platform::File::Mode mode = platform::FileExists(partial.Path())
                                        ? platform::File::Mode::OpenReadWrite
                                        : platform::File::Mode::CreateNew;
  return part.Open(partial.Path(), mode, platform::File::Share::None);
}

// Copies all of `from` to `to`, at its position.
void CopyAll(platform::File& from, std::int64_t size, platform::File& to) {
  constexpr std::size_t kPiece = 1 << 20;
  std::vector<unsigned char> piece;
  for (std::int64_t at = 0; at < size; at += static_cast<std::int64_t>(piece.size())) {
    const std::size_t count = static_cast<std::size_t>(std::min<std::int64_t>(kPiece, size - at));
    platform::Failure error = platform::Failure::None;
    if (!from.ReadAt(static_cast<std::uint64_t>(at), count, piece)) {
      throw EReadError("Cannot read the download's partial file");
    }
    if (!to.Write(piece.data(), piece.size(), &error)) {
      throw EWriteError("Stream write error: " + platform::FileErrorText(error));
    }
  }
}

// The body of `url`, fetched into the kept partial (resumed where it broke
// off) and then copied into `file`, made anew as `temp` and held open
// without sharing from here to the install; or, where the user keeps no
// partial, fetched into `file` itself. Returns its size. Raises on a
// failure.
std::int64_t FetchWhole(const std::string& url, std::int64_t serverSize,
                        const std::string& serverValidator, const std::string& companion,
                        const PartialDownload& partial, const std::string& temp,
                        platform::File& file) {
  platform::FileDelete(temp);
  platform::Failure error = platform::Failure::None;
  if (!file.Open(temp, platform::File::Mode::CreateNew, platform::File::Share::None, &error)) {
    throw EFCreateError("Cannot create file \"" + temp + "\". " + platform::FileErrorText(error));
  }
  platform::File part;
  const bool kept = OpenPartial(partial, part);
  // A body shorter than its declared length, or a chunked body without its
  // last chunk, raises here, so a cut download never counts as done. One
  // longer than the size check's length is cut off a byte past it, and
  // raises too: the server may declare another length to the GET, or none.
  const FetchedBody body =
      FetchResuming(url, ExtractFileName(companion), serverSize, serverValidator,
                    kept ? partial : PartialDownload(), kept ? part : file);
  const std::int64_t received = body.size;
  // A success status without a body (204 No Content, or an empty file on
  // the server) would install an empty executable over a working one.
  if (received == 0) {
    throw EIdException(NoContentMessage(url, body.status));
  }
  // A body without a declared length ends when the connection does, so a
  // cut one looks whole to the HTTP layer; the length that the size check
  // just read from the server tells it.
  if (!body.lengthDeclared && serverSize >= 0 && received != serverSize) {
    if (received < serverSize) {
      throw EIdConnClosedGracefully(ClosedEarlyMessage(received, serverSize, url));
    }
    throw EIdHTTPInvalidResponse("Received " + std::to_string(received) + " bytes instead of " +
                                 std::to_string(serverSize) + " the server declared for " + url);
  }
  // The bytes become the temporary file's, which the checks then read.
  if (kept) CopyAll(part, received, file);
  return received;
}

// Raises unless the download is a whole program this platform can start.
void CheckIsProgram(platform::File& file, const std::string& temp) {
  // A login page of a guest network, an error page with a success status or
  // a piece of a program must never replace the companion tool.
  std::string why;
  if (!platform::IsWholeExecutable(file, &why)) {
    throw EInvalidExecutable(NotAProgramMessage(temp, why));
  }
}

// The exception report of a failed download, and the line with its cause.
void ReportFailedDownload(const std::exception* e) {
  TUtility::LogException(nullptr, e, kDownloadFailedContext);
  // The report's own lines are the same for every failure; this one says
  // which it was. It names the loader's own errors as Describe() does, and
  // any other (running out of memory too) "Exception" with its what(), as it
  // always has.
  const ExceptionDescription d = e != nullptr ? Describe(*e) : ExceptionDescription{};
  const std::string className = d.loaderError ? d.className : "Exception";
  const std::string message = d.loaderError  ? d.message
                              : e != nullptr ? e->what()
                                             : "unknown error";
  TDebug::Log(DownloadCauseLine(className, message), kDownloadFailedContext);
}

}  // namespace

Download FetchAndVerify(const std::string& url, const std::string& companion,
                        std::int64_t serverSize, const std::string& serverValidator) {
  Download download;
  download.temp = ChangeFileExt(companion, ".tmp");
  const PartialDownload partial(companion);
  bool fetched = false;
  // Each step raises on a failure; all of them count as a failed download,
  // which never touches the installed executable. Every check reads through
  // the handle, which nobody else could write meanwhile.
  try {
    download.size = FetchWhole(url, serverSize, serverValidator, companion, partial, download.temp,
                               download.file);
    // From here on the kept partial has served: whatever the checks find,
    // the next start does not take it up again.
    fetched = true;
    partial.Discard();
    CheckIsProgram(download.file, download.temp);
    // With an update key configured, only a download signed with it goes on
    // to the install; a missing or wrong signature raises here and ends as a
    // failed download, before the backup is touched.
    download.signedByKey = CheckUpdateSignature(url, download.file, download.temp);
    // A genuinely signed old release (a stale mirror, a replayed answer) must
    // not take the place of a newer companion.
    if (download.signedByKey) RefuseDowngrade(download.file, companion);
    TDebug::LogFmt("Opgeslagen als %s (%s)",
                   {companion, TUtility::FormatFileSize(static_cast<std::int32_t>(download.size))},
                   "");
    download.outcome = FetchOutcome::Verified;
    return download;
  } catch (const std::exception& e) {
    ReportFailedDownload(&e);
  } catch (...) {
    ReportFailedDownload(nullptr);
  }
  // A fetch that broke off keeps its partial where the record vouches for
  // it.
  PartialRecord record;
  if (!fetched && !partial.Load(record)) partial.Discard();
  const bool made = download.file.IsOpen();
  download.file.Close();
  if (made) platform::FileDelete(download.temp);
  return download;
}

}  // namespace companion
