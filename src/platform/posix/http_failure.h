// The Linux port's one translation of libcurl's outcome of a transfer into
// the failure kinds of platform/http.h.
#pragma once

#include <curl/curl.h>

#include "platform/http.h"
#include "platform/posix/http_transfer.h"

namespace platform {

// What libcurl's code `rc` for the transfer `t` means for the caller. The
// same code means different things at different points of a transfer, and a
// stop that a callback of ours asked for is told apart from libcurl's own.
HttpFailure TranslateCurlCode(CURLcode rc, const Transfer& t);

}  // namespace platform
