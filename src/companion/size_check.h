// The size check: whether the server's copy of the companion tool differs
// from the local one, told by the size the server declares for it, and
// whether the update server answers at all.
#pragma once

#include <cstdint>
#include <string>

namespace companion {

// True when the server's copy at `url` declares the size of the local file
// `path`; `serverSize` receives the declared size (-1 for none) and
// `validator`, when given, the answer's validator (TIdHTTP::Validator). A
// failed or refused request counts as "not up to date" and is logged.
bool IsUpToDate(const std::string& path, const std::string& url, std::int32_t& serverSize,
                std::string* validator = nullptr);

// True when a GET of `url` completes without error; a failure is silent.
bool ServerAvailable(const std::string& url);

}  // namespace companion
