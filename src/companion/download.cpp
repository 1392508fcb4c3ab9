// The download of a new companion tool: fetch and checks.
#include "companion/download.h"

#include <cstdint>
#include <exception>
#include <string>

#include "companion/UpdateSignature.h"
#include "companion/file_versions.h"
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

// The body of `url` into `file`, made anew as `temp` and held open
// without sharing from here to the install, whole; returns its size. Raises
// on a failure.
std::int64_t FetchWhole(const std::string& url, std::int64_t serverSize, const std::string& temp,
                        platform::File& file) {
  TIdHTTP http;
  platform::FileDelete(temp);
  platform::Failure error = platform::Failure::None;
  if (!file.Open(temp, platform::File::Mode::CreateNew, platform::File::Share::None, &error)) {
    throw EFCreateError("Cannot create file \"" + temp + "\". " + platform::FileErrorText(error));
  }
  TDebug::LogFmt("Downloaden van %s", {url}, "");
  // A body shorter than its declared length, or a chunked body without its
  // last chunk, raises here, so a cut download never counts as done. One
  // longer than the size check's length is cut off a byte past it, and
  // raises too: the server may declare another length to the GET, or none.
  http.Get(url, file, serverSize >= 0 ? serverSize : TIdHTTP::kMaxFileBody);
  const std::int64_t received = file.Size();
  // A success status without a body (204 No Content, or an empty file on
  // the server) would install an empty executable over a working one.
  if (received == 0) {
    throw EIdException(NoContentMessage(url, http.ResponseCode()));
  }
  // A body without a declared length ends when the connection does, so a
  // cut one looks whole to the HTTP layer; the length that the size check
  // just read from the server tells it.
  if (http.ContentLength() < 0 && serverSize >= 0 && received != serverSize) {
    if (received < serverSize) {
      throw EIdConnClosedGracefully(ClosedEarlyMessage(received, serverSize, url));
    }
    throw EIdHTTPInvalidResponse("Received " + std::to_string(received) + " bytes instead of " +
                                 std::to_string(serverSize) + " the server declared for " + url);
  }
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
                        std::int64_t serverSize) {
  Download download;
  download.temp = ChangeFileExt(companion, ".tmp");
  // Each step raises on a failure; all of them count as a failed download,
  // which never touches the installed executable. Every check reads through
  // the handle, which nobody else could write meanwhile.
  try {
    download.size = FetchWhole(url, serverSize, download.temp, download.file);
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
  const bool made = download.file.IsOpen();
  download.file.Close();
  if (made) platform::FileDelete(download.temp);
  return download;
}

}  // namespace companion
