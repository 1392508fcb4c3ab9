#include "platform/posix/http_headers.h"

#include <cctype>
#include <string>

namespace platform {

namespace {

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  for (std::size_t i = 0; prefix[i] != '\0'; ++i) {
    if (i >= s.size()) return false;
    char a = s[i];
    char b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

std::string TrimBlanks(const std::string& value) {
  const std::string::size_type b = value.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  return value.substr(b, value.find_last_not_of(" \t") - b + 1);
}

}  // namespace

bool ResponseHead::TakeLine(const char* data, std::size_t len, HttpResult& result) {
  std::string line(data, len);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  const bool isStatusLine = atStatusLine_;
  atStatusLine_ = line.empty();
  if (isStatusLine) {
    // A new response begins; an interim 1xx response comes before the final
    // one, and only the final one counts.
    result.statusLine = line;
    result.statusCode = StatusCodeOf(line);
    result.contentLength = -1;
    result.chunked = false;
    result.etag.clear();
    result.lastModified.clear();
    result.contentRange.clear();
    declaredLength_ = -1;
    bytes_ = 0;
    done_ = false;
  } else if (line.empty()) {
    done_ = true;
  } else if (StartsWithNoCase(line, "content-length:")) {
    const std::string value = line.substr(15);
    declaredLength_ = ContentLength64Of(value);
    result.contentLength = ContentLengthOf(value);
  } else if (StartsWithNoCase(line, "etag:")) {
    result.etag = TrimBlanks(line.substr(5));
  } else if (StartsWithNoCase(line, "last-modified:")) {
    result.lastModified = TrimBlanks(line.substr(14));
  } else if (StartsWithNoCase(line, "content-range:")) {
    result.contentRange = TrimBlanks(line.substr(14));
  } else if (StartsWithNoCase(line, "transfer-encoding:")) {
    std::string value = line.substr(18);
    for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (value.find("chunked") != std::string::npos) result.chunked = true;
  }
  bytes_ += len;
  if (bytes_ > kMaxResponseHeaderBytes) {
    tooLarge_ = true;
    return false;
  }
  return true;
}

}  // namespace platform
