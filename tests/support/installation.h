// A throw-away installation of the loader for end-to-end tests: a temp folder
// with the real loader binary in app/, optional stand-ins beside it, and
// helpers to run it and read its log.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/testing.h"

namespace testing_support {

// The loader's line after an install that no key vouched for, in the
// platform's text bytes (code page 1252 on Windows, UTF-8 on the Linux port).
std::string UnsignedInstallLine();

class Installation {
 public:
  Installation();

  const std::string& Root() const { return dir_.path(); }
  // The application folder, with a trailing separator.
  std::string AppDir() const { return appDir_; }
  std::string LoaderPath() const { return loader_; }
  std::string LoaderFileName() const;
  std::string LogPath() const;

  // Copies the main-program stand-in in as KestroCore.exe.
  void AddMainProgram();
  // Copies a built fixture program into the application folder under `name`.
  void AddFixture(const std::string& fixture, const std::string& name);
  void AddFile(const std::string& relative, const std::string& content);

  // Starts the loader with `params` in working directory `cwd` (the app folder
  // when empty) and waits until it has ended, calling `tick` about every
  // 100 ms meanwhile. False when it had to be killed after `timeoutMs`.
  bool Run(const std::string& params = "", const std::string& cwd = "",
           std::uint32_t timeoutMs = 60000, const std::function<void()>& tick = {});

  // Starts the loader with `params` and kills it as soon as `when` answers
  // true (asked about every 100 ms). False, with a test failure, when the
  // loader ended by itself first or `when` did not come within `timeoutMs`.
  bool RunAndKillWhen(const std::function<bool()>& when, const std::string& params = "",
                      std::uint32_t timeoutMs = 60000);
  // The log file's lines, and the same without their 79-character prefix
  // (header lines are left out of Messages()).
  std::vector<std::string> LogLines() const;
  std::vector<std::string> Messages() const;

  // What the main-program stand-in recorded, or "" when it was not started.
  std::string MainProgramRecord() const;

 private:
  // The loader and its children inherit a private settings store.
  PrivateRegistry registry_;
  TempDir dir_;
  std::string appDir_;
  std::string loader_;
};

}  // namespace testing_support
