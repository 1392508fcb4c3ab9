// Fetch and verify: the download worker's routine. It fetches the server's
// copy of the companion tool whole into a temporary file beside it, checks
// that it is a program this platform can start (and, with an update key
// configured, that it is signed), and then has it installed.
#pragma once

#include "companion/u_SarvoChecker.h"

namespace companion {

// Runs on the worker thread. Sets status.Value to kDownloaded once the
// download is fetched and checked, else to kFailed; a failed download never
// touches the installed executable and leaves no temporary file. `sender` is
// the tester, named in the failure's exception report.
void DownloadUpdate(const void* sender, downloadStatusT& status);

}  // namespace companion
