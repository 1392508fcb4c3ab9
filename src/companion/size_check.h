// The size check: whether the server's copy of the companion tool differs
// from the local one, told by the size the server declares for it, and
// whether the update server answers at all.
#pragma once

#include <cstdint>
#include <string>

namespace companion {

// What the size check found.
struct SizeCheck {
  bool upToDate = false;
  // The size the server declared (-1 for none, or no answer).
  std::int64_t serverSize = -1;
  // The answer's validator (TIdHTTP::Validator), empty for none.
  std::string validator;
};

// Whether the server's copy at `url` declares the size of the local file
// `path`. A failed or refused request counts as "not up to date" and is
// logged.
SizeCheck CheckSize(const std::string& path, const std::string& url);

// True when a GET of `url` completes without error; a failure is silent.
bool ServerAvailable(const std::string& url);

}  // namespace companion
