#include "platform/posix/http_url.h"

#include <curl/curl.h>

#include <memory>

namespace platform {

namespace {

struct UrlDeleter {
  void operator()(CURLU* h) const { curl_url_cleanup(h); }
};
struct CurlTextDeleter {
  void operator()(char* p) const { curl_free(p); }
};
using Url = std::unique_ptr<CURLU, UrlDeleter>;
using CurlText = std::unique_ptr<char, CurlTextDeleter>;

}  // namespace

bool CleanUrl(const std::string& in, std::string& out, std::string& scheme, std::string& detail) {
  Url url(curl_url());
  if (!url) {
    detail = "out of memory";
    return false;
  }
  CURLUcode rc = curl_url_set(url.get(), CURLUPART_URL, in.c_str(), 0);
  if (rc != CURLUE_OK) {
    detail = curl_url_strerror(rc);
    return false;
  }
  char* raw = nullptr;
  if (curl_url_get(url.get(), CURLUPART_SCHEME, &raw, 0) != CURLUE_OK) {
    detail = "no scheme";
    return false;
  }
  CurlText schemeText(raw);
  scheme = schemeText.get();
  if (scheme != "http" && scheme != "https") {
    detail = "only http:// and https:// are supported";
    return false;
  }
  curl_url_set(url.get(), CURLUPART_USER, nullptr, 0);
  curl_url_set(url.get(), CURLUPART_PASSWORD, nullptr, 0);
  curl_url_set(url.get(), CURLUPART_OPTIONS, nullptr, 0);
  raw = nullptr;
  if (curl_url_get(url.get(), CURLUPART_URL, &raw, 0) != CURLUE_OK) {
    detail = "cannot rebuild the URL";
    return false;
  }
  CurlText text(raw);
  out = text.get();
  return true;
}

}  // namespace platform
