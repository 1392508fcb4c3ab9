// The download of a new companion tool: fetch, checks, install.
#include "companion/download.h"

#include <cstdint>
#include <exception>
#include <string>

#include "companion/UpdateSignature.h"
#include "companion/file_versions.h"
#include "companion/install.h"
#include "connection/IdHTTP.h"
#include "connection/update_log_texts.h"
#include "platform/executable.h"
#include "platform/files.h"
#include "platform/locale.h"
#include "support/Exceptions.h"
#include "support/u_Utility.h"

namespace companion {

namespace {

const char* const kDownloadFailedContext =
    "DudozividEreradOdavazevozT.internDownloadUpdater(); Download van bestand is mislukt";

// The body of status.URL into `file`, made anew as `temp` and held open
// without sharing from here to the install, whole; returns its size. Raises
// on a failure.
std::int64_t FetchWhole(const downloadStatusT& status, const std::string& temp,
                        platform::File& file) {
  TIdHTTP http;
  platform::FileDelete(temp);
  platform::Failure error = platform::Failure::None;
  if (!file.Open(temp, platform::File::Mode::CreateNew, platform::File::Share::None, &error)) {
    throw EFCreateError("Cannot create file \"" + temp + "\". " + platform::FileErrorText(error));
  }
  TDebug::LogFmt("Downloaden van %s", {status.URL}, "");
  // A body shorter than its declared length, or a chunked body without its
  // last chunk, raises here, so a cut download never counts as done. One
  // longer than the size check's length is cut off a byte past it, and
  // raises too: the server may declare another length to the GET, or none.
  http.Get(status.URL, file, status.ServerSize >= 0 ? status.ServerSize : TIdHTTP::kMaxFileBody);
  const std::int64_t received = file.Size();
  // A success status without a body (204 No Content, or an empty file on
  // the server) would install an empty executable over a working one.
  if (received == 0) {
    throw EIdException(NoContentMessage(status.URL, http.ResponseCode()));
  }
  // A body without a declared length ends when the connection does, so a
  // cut one looks whole to the HTTP layer; the length that the size check
  // just read from the server tells it.
  if (http.ContentLength() < 0 && status.ServerSize >= 0 && received != status.ServerSize) {
    if (received < status.ServerSize) {
      throw EIdConnClosedGracefully(ClosedEarlyMessage(received, status.ServerSize, status.URL));
    }
    throw EIdHTTPInvalidResponse("Received " + std::to_string(received) + " bytes instead of " +
                                 std::to_string(status.ServerSize) + " the server declared for " +
                                 status.URL);
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
void ReportFailedDownload(const void* sender, const std::exception* e) {
  TUtility::LogException(sender, e, kDownloadFailedContext);
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

// Fetches and checks the download into `file`, made as `temp`; false (after
// the report) when any step failed. Every check reads through the handle,
// which nobody else could write meanwhile, so the bytes checked are the bytes
// the install puts in place. `signedDownload` tells whether a key vouched for
// it.
bool FetchAndVerify(const void* sender, downloadStatusT& status, const std::string& temp,
                    platform::File& file, bool& signedDownload) {
  // Each step raises on a failure; all of them count as a failed download,
  // which never touches the installed executable.
  try {
    const std::int64_t size = FetchWhole(status, temp, file);
    CheckIsProgram(file, temp);
    // With an update key configured, only a download signed with it goes on
    // to the install; a missing or wrong signature raises here and ends as a
    // failed download, before the backup is touched.
    signedDownload = CheckUpdateSignature(status.URL, file, temp);
    // A genuinely signed old release (a stale mirror, a replayed answer) must
    // not take the place of a newer companion.
    if (signedDownload) RefuseDowngrade(file, status.FileName);
    TDebug::LogFmt("Opgeslagen als %s (%s)",
                   {status.FileName, TUtility::FormatFileSize(static_cast<std::int32_t>(size))},
                   "");
    return true;
  } catch (const std::exception& e) {
    ReportFailedDownload(sender, &e);
  } catch (...) {
    ReportFailedDownload(sender, nullptr);
  }
  return false;
}

}  // namespace

void DownloadUpdate(const void* sender, downloadStatusT& status) {
  status.Value = downloadStatusT::kFailed;
  const std::string temp = ChangeFileExt(status.FileName, ".tmp");
  bool signedDownload = false;
  platform::File file;
  if (!FetchAndVerify(sender, status, temp, file, signedDownload)) {
    const bool made = file.IsOpen();
    file.Close();
    if (made) platform::FileDelete(temp);
    return;
  }
  status.Value = downloadStatusT::kDownloaded;
  switch (InstallDownload(status.FileName, file, temp)) {
    case InstallResult::Installed:
      status.Installed = true;
      if (!signedDownload) {
        TDebug::Log(std::string("Update zonder handtekening ge") + platform::kIDiaeresis +
                        "nstalleerd (geen sleutel ingesteld)",
                    "");
      }
      return;
    case InstallResult::BackupFailed:
    case InstallResult::ReplaceFailed:
      // The download still counts as done, but nothing was installed: the
      // companion at hand, the old one and whole, is started as without an
      // update, and the download stays in the temporary file until the next
      // one takes its place.
      return;
  }
}

}  // namespace companion
