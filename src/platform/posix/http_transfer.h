// What the Linux port's HTTP transfer (http.cpp) learns through libcurl's
// callbacks while libcurl runs it; the failure translation (http_failure.h)
// reads it once libcurl is done.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>

#include "platform/http.h"
#include "platform/posix/http_headers.h"

namespace platform {

struct Transfer {
  const HttpSink* sink = nullptr;
  // Asked once, when the head of a 2xx answer to a GET is complete.
  const HttpHeadCheck* headCheck = nullptr;
  HttpResult* result = nullptr;
  ResponseHead head;
  bool bodyNotWanted = false;
  bool sinkRefused = false;
  bool connected = false;
  // How often the request went out. libcurl sends it once more on a new
  // connection when a kept-alive one turns out to have been closed by the
  // server before any byte of a response came; never a third time.
  int sends = 0;
  bool resendRefused = false;
  bool resendAllowed = false;
  bool answerCut = false;
  // The socket the request last went out on, and what had come in on it
  // before; with what had come in when libcurl closed it, this tells whether
  // a server began an answer there before it hung up.
  curl_socket_t sentOn = CURL_SOCKET_BAD;
  std::uint64_t receivedBeforeSend = 0;
  bool receivedKnown = false;
  // Over TLS: the connection's OpenSSL handle and its count of application
  // data records before the send.
  CURL* easy = nullptr;
  const void* sentOnTls = nullptr;
  std::chrono::steady_clock::time_point lastData;
};

}  // namespace platform
