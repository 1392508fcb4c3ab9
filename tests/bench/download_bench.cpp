// How fast the companion tool's update gets a large file from the local
// update server, next to the curl command-line tool fetching the same URL.
//
// For each size a program is put on the server (a tiny ELF program padded
// with bytes that do not compress to the size: a whole program for the
// download's check on this machine). Then, in turns:
//   - the download step alone: TIdHTTP::Get of the URL into a file, as the
//     download worker makes it;
//   - the whole SarvoTesterT::DownloadUpdate as a user waits for it: the
//     download into sarvo2006.tmp, the check that it is a whole program, the
//     backup of the installed companion (a small program) and the atomic
//     replace, flushed to the disk;
//   - `curl -s -o FILE URL` (the curl time includes starting the process).
// Every installed file is checked for its size and bytes; a wrong download
// ends the run with exit code 1. The speeds themselves are only reported,
// never judged.
//
// The peak resident size is the process's high-water mark, which only ever
// grows, so the sizes are run from small to large.
//
//   tests/run-test -- build/native/bench/download_bench [--runs=N] [MIB ...]
//
// Defaults: 5 runs of each per size, sizes 16 and 256 MiB.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "companion/u_SarvoChecker.h"
#include "connection/IdHTTP.h"
#include "connection/UpdateServer.h"
#include "platform/files.h"
#include "platform/sysinfo.h"
#include "support/fixtures.h"
#include "support/u_Utility.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1024 * 1024;
// The benchmark's own pieces (writing the served file, checking the
// installed one) are small, so that the peak resident size it reports is the
// update's and not the benchmark's: 1 MiB pieces here added 2 MiB to it.
constexpr std::size_t kChunk = 64 * 1024;
const char* const kServerPath = "/software/sarvo/sarvo2006.exe";

// Bytes that neither compress nor repeat within a file, made again from the
// seed for the comparison, so no copy of the file has to be kept in memory.
class Pattern {
 public:
  explicit Pattern(std::uint64_t seed) : state_(seed) {}

  void Fill(std::vector<char>& buf) {
    for (std::size_t i = 0; i < buf.size(); i += sizeof(std::uint64_t)) {
      const std::uint64_t word = Next();
      std::memcpy(buf.data() + i, &word, std::min(sizeof word, buf.size() - i));
    }
  }

 private:
  // SplitMix64: fast and good enough to defeat any compression.
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  std::uint64_t state_;
};

// The program every served file starts with: a tiny but whole 64-bit ELF
// program for x86-64, which the download's check takes for a program on this
// machine.
std::string ProgramBytes() { return testing_support::TinyElf(62); }

// The program, then the pattern of `seed` up to `size` bytes.
bool WritePatternFile(const fs::path& path, std::uint64_t size, std::uint64_t seed,
                      const std::string& program) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(program.data(), static_cast<std::streamsize>(program.size()));
  Pattern pattern(seed);
  std::vector<char> buf(kChunk);
  for (std::uint64_t left = size - program.size(); left > 0 && out;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk));
    pattern.Fill(buf);
    out.write(buf.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
  out.close();
  return static_cast<bool>(out);
}

// Empty when `path` holds exactly `size` bytes of the pattern of `seed`,
// else what is wrong with it.
std::string CheckPatternFile(const fs::path& path, std::uint64_t size, std::uint64_t seed,
                             const std::string& program) {
  std::error_code ec;
  const std::uintmax_t actual = fs::file_size(path, ec);
  if (ec) return "cannot read its size: " + ec.message();
  if (actual != size) {
    return std::to_string(actual) + " bytes instead of " + std::to_string(size);
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot open it";
  std::string head(program.size(), '\0');
  if (!in.read(&head[0], static_cast<std::streamsize>(head.size())) || head != program) {
    return "its program part differs";
  }
  Pattern pattern(seed);
  std::vector<char> want(kChunk);
  std::vector<char> got(kChunk);
  for (std::uint64_t offset = program.size(); offset < size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size - offset, kChunk));
    pattern.Fill(want);
    if (!in.read(got.data(), static_cast<std::streamsize>(n))) {
      return "read failed at byte " + std::to_string(offset);
    }
    if (std::memcmp(want.data(), got.data(), n) != 0) {
      const std::size_t at = static_cast<std::size_t>(
          std::mismatch(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(n), got.begin())
              .first -
          want.begin());
      return "differs at byte " + std::to_string(offset + at);
    }
    offset += n;
  }
  return "";
}

// The process's peak resident set (VmHWM) in KiB, -1 when it cannot be read.
long PeakRssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmHWM:") == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Writes every dirty page out before a timed step, so that no step pays for
// the write-back of the files the step before it left (the served file
// above all), whatever the order of the steps.
void Quiesce() { ::sync(); }

// Removes the folders it was given when the run ends, on any path out.
struct Cleanup {
  std::vector<fs::path> dirs;
  ~Cleanup() {
    for (const fs::path& d : dirs) {
      std::error_code ec;
      fs::remove_all(d, ec);
    }
  }
};

void RemoveQuietly(const fs::path& p) {
  std::error_code ec;
  fs::remove(p, ec);
}

struct Options {
  int runs = 5;
  std::vector<std::uint64_t> sizesMiB;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.compare(0, 7, "--runs=") == 0) {
      options.runs = std::atoi(arg.c_str() + 7);
      if (options.runs < 1) return false;
    } else {
      char* end = nullptr;
      const unsigned long long mib = std::strtoull(arg.c_str(), &end, 10);
      if (end == arg.c_str() || *end != '\0' || mib == 0) return false;
      options.sizesMiB.push_back(mib);
    }
  }
  if (options.sizesMiB.empty()) options.sizesMiB = {16, 256};
  // The peak resident size only grows, so a small size after a large one
  // would show the large one's peak.
  std::sort(options.sizesMiB.begin(), options.sizesMiB.end());
  return true;
}

int Run(const Options& options) {
  std::string root;
  if (!platform::GetEnv("KESTRO_TEST_SERVER_ROOT", root) || root.empty()) {
    std::fprintf(stderr, "run through tests/run-test: KESTRO_TEST_SERVER_ROOT is not set\n");
    return 2;
  }
  const fs::path served = fs::path(root) / "software" / "sarvo" / "sarvo2006.exe";
  fs::create_directories(served.parent_path());

  std::random_device entropy;
  const std::string suffix = std::to_string(entropy()) + std::to_string(entropy());
  const fs::path work = fs::temp_directory_path() / ("kestro-download-bench-" + suffix);
  const fs::path logDir = fs::temp_directory_path() / ("kestro-download-bench-log-" + suffix);
  Cleanup cleanup;
  cleanup.dirs = {work, logDir};
  fs::create_directories(work);
  fs::create_directories(logDir);
  // DownloadUpdate logs each download; those lines go to a throw-away folder.
  LogFolder = logDir.string();

  const std::string url = UpdateServerUrl(kServerPath);
  const fs::path installed = work / "sarvo2006.exe";
  const fs::path temp = work / "sarvo2006.tmp";
  const fs::path backup = work / "sarvo2006.exe.bak";
  const fs::path curlOut = work / "curl.out";
  // -q: no .curlrc; --noproxy: the transfer stays on loopback whatever the
  // environment says, as the loader's own client does.
  const std::string curlCommand =
      "curl -q -s --noproxy '*' -o '" + curlOut.string() + "' '" + url + "'";

  const std::string program = ProgramBytes();
  const fs::path step = work / "step.bin";

  std::printf(
      "GET %s, best of %d runs each, MiB/s = 2^20 bytes per second:\n"
      "  download = TIdHTTP::Get into a file; update = the whole DownloadUpdate (download,\n"
      "  check, backup of a %zu-byte program, atomic replace); curl = `curl -s -o FILE URL`;\n"
      "  peak RSS before the first download: %.1f MiB\n",
      url.c_str(), options.runs, program.size(), static_cast<double>(PeakRssKiB()) / 1024.0);
  std::printf("%10s %10s %10s %10s %10s %10s %16s\n", "size", "download", "update", "curl",
              "down/curl", "upd/curl", "peak RSS (VmHWM)");

  for (const std::uint64_t mib : options.sizesMiB) {
    const std::uint64_t size = mib * kMiB;
    const std::uint64_t seed = 0x6B6573747230ULL + mib;
    RemoveQuietly(served);
    if (size <= program.size() || !WritePatternFile(served, size, seed, program)) {
      std::fprintf(stderr, "cannot write %s\n", served.string().c_str());
      return 2;
    }

    double bestStep = 0;
    double bestOurs = 0;
    double bestCurl = 0;
    const double mibs = static_cast<double>(mib);
    for (int run = 0; run < options.runs; ++run) {
      // The download step alone.
      {
        RemoveQuietly(step);
        platform::File file;
        if (!file.Open(step.string(), platform::File::Mode::CreateAlways,
                       platform::File::Share::None)) {
          std::fprintf(stderr, "cannot create %s\n", step.string().c_str());
          return 2;
        }
        TIdHTTP http;
        Quiesce();
        const Clock::time_point start = Clock::now();
        http.Get(url, file);
        file.Close();
        bestStep = std::max(bestStep, mibs / Seconds(Clock::now() - start));
        RemoveQuietly(step);
      }

      // The whole update over a small installed program.
      RemoveQuietly(temp);
      RemoveQuietly(backup);
      {
        std::ofstream old(installed, std::ios::binary | std::ios::trunc);
        old.write(program.data(), static_cast<std::streamsize>(program.size()));
      }
      SarvoTesterT tester(nullptr);
      downloadStatusT status(downloadStatusT::kNotAttempted);
      status.URL = url;
      status.FileName = installed.string();
      Quiesce();
      const Clock::time_point start = Clock::now();
      tester.DownloadUpdate(&status);
      const double ours = Seconds(Clock::now() - start);
      if (status.Value != downloadStatusT::kDownloaded) {
        // The debug output (stderr) already carries the reason.
        std::fprintf(stderr, "%llu MiB, run %d: DownloadUpdate left status %d\n",
                     static_cast<unsigned long long>(mib), run + 1, status.Value);
        return 1;
      }
      std::string wrong = CheckPatternFile(installed, size, seed, program);
      if (wrong.empty() && !fs::exists(backup)) wrong = "no backup was made";
      if (wrong.empty() && fs::exists(temp)) wrong = "the temporary file is left";
      if (!wrong.empty()) {
        std::fprintf(stderr, "%llu MiB, run %d: the installed file is wrong: %s\n",
                     static_cast<unsigned long long>(mib), run + 1, wrong.c_str());
        return 1;
      }
      RemoveQuietly(installed);

      RemoveQuietly(curlOut);
      Quiesce();
      const Clock::time_point curlStart = Clock::now();
      const int rc = std::system(curlCommand.c_str());
      const double theirs = Seconds(Clock::now() - curlStart);
      std::error_code ec;
      const std::uintmax_t curlSize = fs::file_size(curlOut, ec);
      if (rc != 0 || ec || curlSize != size) {
        std::fprintf(stderr, "%llu MiB, run %d: curl failed (status %d, %s bytes)\n",
                     static_cast<unsigned long long>(mib), run + 1, rc,
                     ec ? "no" : std::to_string(curlSize).c_str());
        return 2;
      }
      RemoveQuietly(curlOut);

      bestOurs = std::max(bestOurs, mibs / ours);
      bestCurl = std::max(bestCurl, mibs / theirs);
    }
    RemoveQuietly(served);

    const long peak = PeakRssKiB();
    std::printf("%6llu MiB %10.1f %10.1f %10.1f %10.2f %10.2f %12.1f MiB\n",
                static_cast<unsigned long long>(mib), bestStep, bestOurs, bestCurl,
                bestStep / bestCurl, bestOurs / bestCurl,
                peak < 0 ? -1.0 : static_cast<double>(peak) / 1024.0);
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: %s [--runs=N] [MIB ...]\n", argv[0]);
    return 2;
  }
  try {
    return Run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "download_bench: %s\n", e.what());
    return 2;
  }
}
