// The Linux port's reading of a response's head, line by line as libcurl
// hands the lines over: the status line and the headers a caller of
// platform/http.h is told of, and the limit on their size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/http.h"

namespace platform {

class ResponseHead {
 public:
  // Takes one line of `len` bytes (with its line end) into `result`: a status
  // line starts a new response, an interim (1xx) response before the final
  // one, and only the final one counts. False once the lines of this response
  // exceed kMaxResponseHeaderBytes.
  bool TakeLine(const char* data, std::size_t len, HttpResult& result);

  // The Content-Length as the server wrote it, -1 when it sent none or an
  // unusable one; unlike HttpResult's, also one above 2 GiB.
  std::int64_t declaredLength() const { return declaredLength_; }
  // The blank line that ends the final response's head has come.
  bool done() const { return done_; }
  // The response's lines exceeded kMaxResponseHeaderBytes.
  bool tooLarge() const { return tooLarge_; }

 private:
  std::int64_t declaredLength_ = -1;
  std::size_t bytes_ = 0;
  bool done_ = false;
  // True before the first line of a response: only that line is a status
  // line. After the blank line that ends an interim (1xx) response the next
  // line is again the status line of a response.
  bool atStatusLine_ = true;
  bool tooLarge_ = false;
};

}  // namespace platform
