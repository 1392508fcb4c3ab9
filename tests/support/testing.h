// Small helpers shared by the tests: temporary folders, whole-file reads and
// writes, registry values, environment variables, which platform the test
// runs on, and the log file of the running test binary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace testing_support {

// A fresh folder under the system's temp folder, removed with everything in
// it when the object goes. path() ends with the platform's folder separator.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + the parts joined with the platform's folder separator.
  std::string operator/(const std::string& relative) const;

 private:
  std::string path_;
};

// Joins path parts with the platform's separator ("a", "b" -> "a/b" or "a\b").
std::string JoinPath(const std::vector<std::string>& parts);

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
void MakeDirs(const std::string& path);
void RemoveAll(const std::string& path);

// Splits text at CR LF (the log file's line end); a trailing CR LF gives no
// empty last line.
std::vector<std::string> SplitCrLf(const std::string& text);

// Registry helpers for arranging a test; they fail the test on a refused write.
// `view` is the registry view they write in (the test program's own unless
// named); DeleteRegKey deletes the key in every view.
void SetRegValue(platform::RegRoot root, const std::string& key, const std::string& name,
                 std::uint32_t type, const std::string& data,
                 platform::RegView view = platform::RegView::Own);
void SetRegString(platform::RegRoot root, const std::string& key, const std::string& name,
                  const std::string& value, platform::RegView view = platform::RegView::Own);
void SetRegDword(platform::RegRoot root, const std::string& key, const std::string& name,
                 std::uint32_t value, platform::RegView view = platform::RegView::Own);
void DeleteRegKey(platform::RegRoot root, const std::string& key);

// The view where the suite's 32-bit installer and its 32-bit ODBC data
// sources keep their machine-wide values, as the tests arrange them.
constexpr platform::RegView kSuiteView = platform::RegView::Wow64_32;

// True in the Windows build (run under Wine), false in the Linux port. The
// platform's own path convention tells them apart, so no test needs an OS
// test of its own.
bool OnWindows();

// Sets or clears an environment variable of this process.
void SetEnv(const std::string& name, const std::string& value);
void UnsetEnv(const std::string& name);

// Remembers an environment variable of this process and puts it back as it
// was (its old value, or not set at all) when the object goes, however the
// test went in between.
class ScopedEnv {
 public:
  explicit ScopedEnv(std::string name);
  // Remembers the variable, then sets it to `value`.
  ScopedEnv(std::string name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  void Set(const std::string& value) const { SetEnv(name_, value); }
  void Unset() const { UnsetEnv(name_); }

 private:
  std::string name_;
  std::string previous_;
  bool hadPrevious_ = false;
};

// Points the Linux port's settings store at a private folder for the life of
// the object (on Windows the variable is ignored and the test prefix's own
// registry is used).
class PrivateRegistry {
 public:
  PrivateRegistry();

 private:
  TempDir dir_;  // made before the variable points at it, removed after
  ScopedEnv env_;
};

// A path the build gave as a Unix path ("/work/x"), in the form this
// platform's file functions take ("Z:\work\x" under Wine).
std::string NativePath(const std::string& unixPath);
// A program the build made: the loader or a tool in bin/, or a test fixture.
std::string BuiltProgram(const std::string& name);
std::string FixtureProgram(const std::string& name);

}  // namespace testing_support
