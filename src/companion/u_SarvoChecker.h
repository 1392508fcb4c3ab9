// The companion-tool updater: keeps the companion tool Sarvo up to date,
// starts it and waits until it has been closed again.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "companion/u_BaseClasses.h"
#include "companion/update_flow.h"

// The outcome of a download through the face's DownloadUpdate, as callers of
// the face (tools, tests, benchmarks) read it.
struct downloadStatusT : IntegerT {
  // The values of Value: plain numbers, as logs and callers read them.
  enum Code : std::int32_t {
    kFailed = 0,
    kDownloaded = 1,
    kUpToDate = 2,
    kNotAttempted = 3,
  };

  using IntegerT::IntegerT;

  std::string FileName;  // full path of the local companion executable
  std::string URL;       // full URL of the server's copy
  // The size the server declared for its copy in the size check, -1 when it
  // declared none or no check was made; a download without a length of its
  // own must have this one.
  std::int64_t ServerSize = -1;
  // True once the download is the companion. A download whose backup or
  // replace failed is done (Value kDownloaded) but installed nothing.
  bool Installed = false;
};

// The status texts the updater hands out: the sender is the tester.
using StatusEventT = std::function<void(const void* sender, const std::string& msg)>;

// The public face of the companion updater. The work is done in files named
// for its parts: update_flow (the flow), size_check, download (fetch and
// verify), install (backup and replace), update_lock and companion_run (start
// and watch).
class SarvoTesterT {
 public:
  // The owner is the window that creates the tester and frees it afterwards;
  // the tester itself does not use it. The companion and the marker file are
  // looked for in the program's own folder.
  explicit SarvoTesterT(void* owner);
  // The same for the installation in `installFolder`: the companion and the
  // marker file that switches its update off are looked for there.
  SarvoTesterT(void* owner, const std::string& installFolder);

  SarvoTesterT(const SarvoTesterT&) = delete;
  SarvoTesterT& operator=(const SarvoTesterT&) = delete;

  // Brings the companion tool up to date, starts it and returns once it has
  // been closed. Errors of the settings store reach the caller.
  void UpdateAndStart();
  // True when the server's copy at `url` declares the size of the local file.
  bool IsUpToDate(const std::string& path, const std::string& url);
  // True when a GET of `url` completes without error.
  bool ServerAvailable(const std::string& url);
  // Hands `msg` to OnStatus when one is assigned.
  void DoStatus(const std::string& msg);
  // The download routine that runs on the worker thread: fetch, checks and
  // install of status->URL for status->FileName (see download.h and
  // install.h). Value ends as kDownloaded or kFailed; Installed tells
  // whether the download is the companion now.
  void DownloadUpdate(downloadStatusT* status);
  // Returns when no process with a companion executable name runs any more,
  // processing the application's GUI messages between polls.
  void WaitForClose();

  // How long UpdateAndStart waits for another loader's update of the same
  // installation (ten minutes unless a test shortens it).
  static void SetUpdateLockLimitForTesting(std::uint32_t ms);

  StatusEventT OnStatus;

 private:
  // The companion's executable and the marker file that switches its update
  // off.
  const std::string companionPath_;
  const std::string noUpdateMarker_;
};
