#include "platform/posix/http_failure.h"

namespace platform {

HttpFailure TranslateCurlCode(CURLcode rc, const Transfer& t) {
  // A request whose second send was refused failed as its first did: the
  // server closed the connection before the response was complete.
  if (rc != CURLE_OK && t.resendRefused) return HttpFailure::ClosedEarly;
  switch (rc) {
    case CURLE_OK:
      return HttpFailure::None;
    case CURLE_WRITE_ERROR:
      if (t.head.tooLarge()) return HttpFailure::HeaderTooLarge;
      if (t.sinkRefused) return HttpFailure::SinkRefused;
      if (t.bodyNotWanted) return HttpFailure::None;
      return HttpFailure::Other;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      // With the scheme checked beforehand, an unsupported protocol can only
      // be a reply without a status line (what libcurl calls HTTP/0.9).
      return t.result->statusLine.empty() && t.connected ? HttpFailure::BadResponse
                                                         : HttpFailure::InvalidUrl;
    case CURLE_COULDNT_RESOLVE_HOST:
      return HttpFailure::HostNotFound;
    case CURLE_COULDNT_CONNECT:
      return HttpFailure::ConnectFailed;
    case CURLE_OPERATION_TIMEDOUT:
      return t.connected ? HttpFailure::ReadTimeout : HttpFailure::ConnectTimeout;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return HttpFailure::ConnectionReset;
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return HttpFailure::ClosedEarly;
    case CURLE_WEIRD_SERVER_REPLY:
      // libcurl refuses a malformed header line (one without a colon, such
      // as a second "HTTP/1.1 ..." line) outright. After the status line of
      // a redirect or an error that changes nothing: its headers and body
      // are not used, and the caller must see the status it was sent, as
      // WinHTTP, which skips such a line, reports it.
      if (t.result->statusCode >= 300) return HttpFailure::None;
      return HttpFailure::BadResponse;
    case CURLE_BAD_CONTENT_ENCODING:
      return HttpFailure::BadResponse;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_USE_SSL_FAILED:
      return HttpFailure::SecureChannel;
    case CURLE_OUT_OF_MEMORY:
      // libcurl refuses a single header line above its own limit this way;
      // while the headers are still coming in, that is what it means.
      return t.connected && !t.head.done() ? HttpFailure::HeaderTooLarge : HttpFailure::Other;
    default:
      return HttpFailure::Other;
  }
}

}  // namespace platform
