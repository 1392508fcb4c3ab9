// What a broken line costs the companion's update: the bytes on the wire to
// land a release through an update server that cuts every answer, whole or
// partial, after a fixed number of bytes (the test server's "cut" rule).
//
// The served release is this program's own file padded to the size (a whole
// program for the download's checks on either platform). The update runs
// once, as a start would: SarvoTesterT::DownloadUpdate with the size check's
// length. The server's range log tells what each request asked for; as it
// cuts every answer after CUT bytes, answer i brings min(CUT, SIZE - from_i)
// bytes, and their sum is the bytes on the wire. The figure is reported
// against the goal (at most 1.05 times the size, landed in one start); a
// release that does not land, or lands other bytes, ends the run with exit
// code 1.
//
//   tests/run-test [--wine PREFIX] -- BUILD/bench/resume_bench [SIZE_MIB [CUT_MIB]]
//
// Defaults: a 64 MiB release, cut after every 8 MiB.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "companion/u_SarvoChecker.h"
#include "connection/UpdateServer.h"
#include "platform/files.h"
#include "platform/sysinfo.h"
#include "support/u_Utility.h"

namespace {

const char* const kServerPath = "/software/sarvo/sarvo2006.exe";

std::string Env(const char* name) {
  std::string value;
  platform::GetEnv(name, value);
  return value;
}

std::string ReadAll(const std::string& path) {
  std::string text;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return text;
  char buf[65536];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  std::fclose(f);
  return text;
}

bool WriteAll(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// The offsets the download asked for, in order: 0 for a request without a
// range.
std::vector<std::uint64_t> Offsets(const std::string& rangeLog) {
  std::vector<std::uint64_t> offsets;
  const std::string exe = std::string(kServerPath) + " range=";
  std::size_t at = 0;
  while (at < rangeLog.size()) {
    std::size_t end = rangeLog.find('\n', at);
    if (end == std::string::npos) end = rangeLog.size();
    const std::string line = rangeLog.substr(at, end - at);
    at = end + 1;
    if (line.rfind(exe, 0) != 0) continue;
    const std::string value = line.substr(exe.size());
    offsets.push_back(value.rfind("bytes=", 0) == 0 ? std::strtoull(value.c_str() + 6, nullptr, 10)
                                                    : 0);
  }
  return offsets;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t mib = 1024 * 1024;
  const std::uint64_t size = (argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 64) * mib;
  const std::uint64_t cut = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 8) * mib;
  const std::string root = Env("KESTRO_TEST_SERVER_ROOT");
  if (root.empty() || size == 0 || cut == 0) {
    std::fprintf(stderr, "usage: run through tests/run-test: resume_bench [SIZE_MIB [CUT_MIB]]\n");
    return 2;
  }
  const char d = platform::kPathDelim;
  const std::string folder = root + d + "software" + d + "sarvo";
  platform::ForceDirectories(folder);
  std::string release = ReadAll(platform::ModuleFileName());
  if (release.empty() || release.size() >= size) {
    std::fprintf(stderr, "resume_bench: the release must be larger than this program\n");
    return 2;
  }
  for (std::uint64_t i = release.size(); i < size; ++i) {
    release.push_back(static_cast<char>('A' + i * 7919 % 26));
  }
  if (!WriteAll(folder + d + "sarvo2006.exe", release) ||
      !WriteAll(root + d + ".rules.json",
                "{\"" + std::string(kServerPath) + "\": {\"cut\": " + std::to_string(cut) + "}}")) {
    std::fprintf(stderr, "resume_bench: cannot write the served files\n");
    return 2;
  }
  platform::FileDelete(root + d + ".ranges.log");

  const std::string install = platform::ExpandFileName("resume_bench.install");
  platform::ForceDirectories(install);
  downloadStatusT status(downloadStatusT::kNotAttempted);
  status.FileName = install + d + "sarvo2006.exe";
  status.URL = UpdateServerUrl(kServerPath);
  status.ServerSize = static_cast<std::int64_t>(size);
  SarvoTesterT tester(nullptr, install);
  tester.DownloadUpdate(&status);

  const bool landed =
      status.Value == downloadStatusT::kDownloaded && ReadAll(status.FileName) == release;
  std::uint64_t wire = 0;
  const std::vector<std::uint64_t> offsets = Offsets(ReadAll(root + d + ".ranges.log"));
  for (const std::uint64_t from : offsets) wire += from < size ? std::min(cut, size - from) : 0;
  const double ratio = static_cast<double>(wire) / static_cast<double>(size);
  std::printf(
      "release %llu MiB, every answer cut after %llu MiB: %zu requests, %llu bytes on "
      "the wire, %.3f times the size (goal: at most 1.050, in one start): %s\n",
      static_cast<unsigned long long>(size / mib), static_cast<unsigned long long>(cut / mib),
      offsets.size(), static_cast<unsigned long long>(wire), ratio,
      landed ? (ratio <= 1.05 ? "met" : "missed") : "NOT LANDED");
  for (const char* name :
       {"sarvo2006.exe", "sarvo2006.exe.bak", "sarvo2006.tmp", "sarvo2006.exe.lock"}) {
    platform::FileDelete(install + d + name);
  }
  return landed ? 0 : 1;
}
