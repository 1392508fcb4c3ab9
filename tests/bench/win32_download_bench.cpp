// The Windows build's download speed under Wine, next to a floor: a plain
// WinHTTP GET into a file with a 1 MiB buffer, the least any client built on
// WinHTTP has to do. Both run in this one process against the same URL of the
// local update server, in turns:
//   - floor: WinHttpOpen/Connect/OpenRequest/Send/Receive, then
//     WinHttpReadData into a 1 MiB buffer and WriteFile of each piece;
//   - download: TIdHTTP::Get into a platform::File, as the download worker
//     makes it;
//   - update: the whole SarvoTesterT::DownloadUpdate (download, check that it
//     is a whole program, backup of a small installed program, atomic
//     replace written through to the disk).
// The served file is this benchmark's own executable padded to the size, so
// the update's check takes it for a program. Every result is checked for its
// size; the speeds are only reported, never judged.
//
//   tests/run-test --wine build/win32/wineprefix -- build/win32/bench/win32_download_bench.exe
//       [--runs=N] [MIB ...]            (defaults: 5 runs, 16 and 256 MiB)
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "companion/u_SarvoChecker.h"
#include "connection/IdHTTP.h"
#include "connection/UpdateServer.h"
#include "platform/files.h"
#include "platform/sysinfo.h"
#include "support/u_Utility.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kMiB = 1024 * 1024;
const char* const kServerPath = "/software/sarvo/sarvo2006.exe";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Internet {
  HINTERNET h;
  ~Internet() {
    if (h != nullptr) ::WinHttpCloseHandle(h);
  }
};

struct FileHandle {
  HANDLE h;
  ~FileHandle() {
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
};

// The floor: the bytes received, or -1 on any failure.
long long FloorGet(int port, const std::wstring& path, const std::string& out) {
  Internet session{::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0)};
  if (session.h == nullptr) return -1;
  Internet connection{
      ::WinHttpConnect(session.h, L"127.0.0.1", static_cast<INTERNET_PORT>(port), 0)};
  if (connection.h == nullptr) return -1;
  Internet request{::WinHttpOpenRequest(connection.h, L"GET", path.c_str(), nullptr,
                                        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)};
  if (request.h == nullptr) return -1;
  if (!::WinHttpSendRequest(request.h, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                            0, 0) ||
      !::WinHttpReceiveResponse(request.h, nullptr)) {
    return -1;
  }
  FileHandle file{::CreateFileA(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (file.h == INVALID_HANDLE_VALUE) return -1;
  std::vector<char> buf(1024 * 1024);
  long long total = 0;
  for (;;) {
    DWORD got = 0;
    if (!::WinHttpReadData(request.h, buf.data(), static_cast<DWORD>(buf.size()), &got)) return -1;
    if (got == 0) break;
    DWORD written = 0;
    if (!::WriteFile(file.h, buf.data(), got, &written, nullptr) || written != got) return -1;
    total += got;
  }
  return total;
}

long long SizeOf(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int Run(int runs, std::vector<std::uint64_t> sizes) {
  std::string root;
  std::string base;
  if (!platform::GetEnv("KESTRO_TEST_SERVER_ROOT", root) || root.empty() ||
      !platform::GetEnv("KESTRO_UPDATE_SERVER", base)) {
    std::fprintf(stderr, "run through tests/run-test --wine\n");
    return 2;
  }
  const int port = std::atoi(base.c_str() + base.rfind(':') + 1);
  const std::string served = root + "\\software\\sarvo\\sarvo2006.exe";
  platform::ForceDirectories(root + "\\software\\sarvo");
  char tempDir[MAX_PATH] = {};
  ::GetTempPathA(MAX_PATH, tempDir);
  const std::string work = std::string(tempDir) + "kestro-win32-bench\\";
  platform::ForceDirectories(work);
  LogFolder = work;
  const std::string floorOut = work + "floor.bin";
  const std::string stepOut = work + "step.bin";
  const std::string installed = work + "sarvo2006.exe";
  const std::string program = ReadAll(platform::ModuleFileName());
  const std::string url = UpdateServerUrl(kServerPath);
  const std::wstring wpath(kServerPath, kServerPath + std::char_traits<char>::length(kServerPath));

  std::printf("GET %s under Wine, best of %d runs each, MiB/s = 2^20 bytes per second\n",
              url.c_str(), runs);
  std::printf("%10s %10s %10s %10s %12s %12s\n", "size", "floor", "download", "update",
              "down/floor", "update/floor");
  std::sort(sizes.begin(), sizes.end());
  for (std::uint64_t mib : sizes) {
    const std::uint64_t size = mib * kMiB;
    if (size <= program.size()) continue;
    {
      std::ofstream out(served, std::ios::binary | std::ios::trunc);
      out.write(program.data(), static_cast<std::streamsize>(program.size()));
      std::vector<char> block(kMiB);
      std::uint64_t x = 0x9E3779B97F4A7C15ULL + mib;
      for (std::uint64_t left = size - program.size(); left > 0;) {
        for (std::size_t i = 0; i < block.size(); ++i) {
          x ^= x << 13;
          x ^= x >> 7;
          x ^= x << 17;
          block[i] = static_cast<char>(x);
        }
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kMiB));
        out.write(block.data(), static_cast<std::streamsize>(n));
        left -= n;
      }
    }
    {
      // On the disk before the first timed step, so that no step pays for
      // writing the served file back.
      FileHandle file{::CreateFileA(served.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
      if (file.h != INVALID_HANDLE_VALUE) ::FlushFileBuffers(file.h);
    }
    double bestFloor = 0, bestStep = 0, bestUpdate = 0;
    const double mibs = static_cast<double>(mib);
    for (int run = 0; run < runs; ++run) {
      Clock::time_point start = Clock::now();
      const long long got = FloorGet(port, wpath, floorOut);
      const double floorSeconds = Seconds(Clock::now() - start);
      if (got != static_cast<long long>(size)) {
        std::fprintf(stderr, "%llu MiB: the floor got %lld bytes\n",
                     static_cast<unsigned long long>(mib), got);
        return 1;
      }
      platform::FileDelete(floorOut);
      bestFloor = std::max(bestFloor, mibs / floorSeconds);

      {
        platform::File file;
        file.Open(stepOut, platform::File::Mode::CreateAlways, platform::File::Share::None);
        TIdHTTP http;
        start = Clock::now();
        http.Get(url, file);
        file.Close();
        bestStep = std::max(bestStep, mibs / Seconds(Clock::now() - start));
      }
      if (SizeOf(stepOut) != static_cast<long long>(size)) {
        std::fprintf(stderr, "%llu MiB: the download is %lld bytes\n",
                     static_cast<unsigned long long>(mib), SizeOf(stepOut));
        return 1;
      }
      platform::FileDelete(stepOut);

      platform::FileDelete(installed + ".bak");
      {
        std::ofstream old(installed, std::ios::binary | std::ios::trunc);
        old.write(program.data(), static_cast<std::streamsize>(program.size()));
      }
      SarvoTesterT tester(nullptr);
      downloadStatusT status(downloadStatusT::kNotAttempted);
      status.URL = url;
      status.FileName = installed;
      start = Clock::now();
      tester.DownloadUpdate(&status);
      const double updateSeconds = Seconds(Clock::now() - start);
      if (status.Value != downloadStatusT::kDownloaded ||
          SizeOf(installed) != static_cast<long long>(size) ||
          SizeOf(installed + ".bak") != static_cast<long long>(program.size())) {
        std::fprintf(stderr, "%llu MiB: the update did not install the file\n",
                     static_cast<unsigned long long>(mib));
        return 1;
      }
      bestUpdate = std::max(bestUpdate, mibs / updateSeconds);
    }
    platform::FileDelete(installed);
    platform::FileDelete(installed + ".bak");
    platform::FileDelete(served);
    std::printf("%6llu MiB %10.1f %10.1f %10.1f %12.2f %12.2f\n",
                static_cast<unsigned long long>(mib), bestFloor, bestStep, bestUpdate,
                bestStep / bestFloor, bestUpdate / bestFloor);
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  std::vector<std::uint64_t> sizes;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.compare(0, 7, "--runs=") == 0) {
      runs = std::max(1, std::atoi(arg.c_str() + 7));
    } else {
      sizes.push_back(std::strtoull(arg.c_str(), nullptr, 10));
    }
  }
  if (sizes.empty()) sizes = {16, 256};
  try {
    return Run(runs, sizes);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "win32_download_bench: %s\n", e.what());
    return 2;
  }
}
