#include "support/testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <utility>

#include "platform/sysinfo.h"

namespace fs = std::filesystem;

namespace testing_support {

namespace {

std::string UniqueName() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  std::ostringstream s;
  s << "kestro-test-" << platform::CurrentThreadId() << "-" << rd() << "-" << counter++;
  return s.str();
}

}  // namespace

TempDir::TempDir() {
  const fs::path p = fs::temp_directory_path() / UniqueName();
  fs::create_directories(p);
  path_ = p.string();
  if (path_.back() != platform::kPathDelim) path_ += platform::kPathDelim;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Files made read-only by a test must not keep the folder alive.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

std::string TempDir::operator/(const std::string& relative) const { return path_ + relative; }

std::string JoinPath(const std::vector<std::string>& parts) {
  std::string r;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0 && (r.empty() || r.back() != platform::kPathDelim)) r += platform::kPathDelim;
    r += parts[i];
  }
  return r;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(f.good()) << "cannot write " << path;
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

void MakeDirs(const std::string& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
}

void RemoveAll(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t p = text.find("\r\n", start);
    if (p == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, p - start));
    start = p + 2;
  }
  return lines;
}

void SetRegValue(platform::RegRoot root, const std::string& key, const std::string& name,
                 std::uint32_t type, const std::string& data, platform::RegView view) {
  platform::RegKey k;
  ASSERT_TRUE(k.Create(root, key, platform::RegAccess::All, nullptr, view))
      << "cannot create " << key;
  platform::RegValue v;
  v.type = type;
  v.data = data;
  ASSERT_TRUE(k.Write(name, v)) << "cannot write " << key << " " << name;
}

void SetRegString(platform::RegRoot root, const std::string& key, const std::string& name,
                  const std::string& value, platform::RegView view) {
  SetRegValue(root, key, name, platform::kRegSz, value + std::string(1, '\0'), view);
}

void SetRegDword(platform::RegRoot root, const std::string& key, const std::string& name,
                 std::uint32_t value, platform::RegView view) {
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  SetRegValue(root, key, name, platform::kRegDword, data, view);
}

void DeleteRegKey(platform::RegRoot root, const std::string& key) {
  for (platform::RegView view :
       {platform::RegView::Own, platform::RegView::Wow64_64, platform::RegView::Wow64_32}) {
    platform::RegDeleteKeyTree(root, key, nullptr, view);
  }
}

std::string NativePath(const std::string& unixPath) {
  if (!OnWindows()) return unixPath;
  std::string r = "Z:" + unixPath;
  for (char& c : r) {
    if (c == '/') c = '\\';
  }
  return r;
}

std::string BuiltProgram(const std::string& name) {
  return NativePath(std::string(KESTRO_BIN_DIR) + "/" + name + KESTRO_EXE_SUFFIX);
}

std::string FixtureProgram(const std::string& name) {
  return NativePath(std::string(KESTRO_FIXTURE_DIR) + "/" + name + KESTRO_EXE_SUFFIX);
}

void SetEnv(const std::string& name, const std::string& value) { platform::SetEnv(name, value); }

void UnsetEnv(const std::string& name) { platform::UnsetEnv(name); }

bool OnWindows() { return platform::kPathDelim == '\\'; }

ScopedEnv::ScopedEnv(std::string name) : name_(std::move(name)) {
  hadPrevious_ = platform::GetEnv(name_, previous_);
}

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : ScopedEnv(std::move(name)) {
  Set(value);
}

PrivateRegistry::PrivateRegistry() : env_("KESTRO_REGISTRY_DIR", dir_.path()) {}

ScopedEnv::~ScopedEnv() {
  if (hadPrevious_) {
    SetEnv(name_, previous_);
  } else {
    UnsetEnv(name_);
  }
}

}  // namespace testing_support
