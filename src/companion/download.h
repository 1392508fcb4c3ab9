// Fetch and verify: the download worker's first step. It fetches the
// server's copy of the companion tool whole into a temporary file beside the
// companion, and checks that it is a program this platform can start (and,
// with an update key configured, that it is signed and no older than the
// installed one). The install (install.h) is the next step.
#pragma once

#include <cstdint>
#include <string>

#include "platform/files.h"

namespace companion {

enum class FetchOutcome {
  Verified,  // fetched whole and checked: ready for the install
  Failed,    // reported and logged with its cause; nothing was touched
};

// The outcome of FetchAndVerify. A verified download stays open in `file`,
// without sharing, from its creation to its install, so the bytes that were
// checked are the bytes that are installed.
struct Download {
  FetchOutcome outcome = FetchOutcome::Failed;
  std::int64_t size = -1;    // bytes received, once verified
  bool signedByKey = false;  // a configured update key vouched for it
  std::string temp;          // the temporary file's name
  platform::File file;       // the temporary file, held
};

// Runs on the worker thread. Fetches `url` for the companion `companion`;
// `serverSize` is the size the size check read (-1 for none): a body without
// a length of its own must have it, and none may be longer. A failed
// download never touches the installed executable and leaves no temporary
// file.
Download FetchAndVerify(const std::string& url, const std::string& companion,
                        std::int64_t serverSize, const std::string& serverValidator);

}  // namespace companion
