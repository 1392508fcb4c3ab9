// The network part of one start of the suite, as the loader makes it, timed
// once: the connection test's probe, the companion's size check and, for an
// update start, the reachability file and the download. Each run is a
// process of its own, so it begins, as a start does, without any connection.
//
//   round_trip_bench BASE MODE
//     BASE  the update server's address, e.g. http://127.0.0.1:8080 (through
//           a delaying proxy: see round_trip_bench.py, which runs it)
//     MODE  uptodate (the companion is the server's) or update
//
// Prints "ok <milliseconds>" on success, "failed <what>" otherwise. The
// served files are expected where the loader asks for them.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "companion/size_check.h"
#include "connection/IdHTTP.h"
#include "connection/u_InternetTester.h"
#include "platform/files.h"
#include "platform/gui.h"
#include "platform/sysinfo.h"
#include "support/u_Utility.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::string(argv[2]) != "uptodate" && std::string(argv[2]) != "update")) {
    std::fprintf(stderr, "usage: round_trip_bench BASE uptodate|update\n");
    return 2;
  }
  const std::string base = argv[1];
  const bool update = std::string(argv[2]) == "update";
  platform::SetEnv("KESTRO_UPDATE_SERVER", base);

  const fs::path work =
      fs::temp_directory_path() /
      ("kestro-rt-bench-" + std::to_string(Clock::now().time_since_epoch().count()));
  fs::create_directories(work);
  // The probe and the size check log; their lines go to the throw-away folder.
  LogFolder = work.string();
  const std::string exeUrl = base + "/software/sarvo/sarvo2006.exe";
  const std::string local = (work / "sarvo2006.exe").string();

  platform::InitApplication();
  std::string failure;
  const Clock::time_point start = Clock::now();
  {
    InternetTesterT tester;
    if (tester.TestConnection() != InternetTesterT::kOnline) failure = "the probe";
  }
  std::int64_t serverSize = -1;
  if (failure.empty()) {
    // Whether the local file matches changes nothing on the wire: the same
    // HEAD goes out, and only the declared size counts here.
    serverSize = companion::CheckSize(local, exeUrl).serverSize;
    if (serverSize < 0) failure = "the size check";
  }
  if (failure.empty() && update) {
    if (!companion::ServerAvailable(base + "/software/sarvo/versie.txt")) {
      failure = "the reachability file";
    } else {
      try {
        platform::File out;
        out.Open((work / "sarvo2006.tmp").string(), platform::File::Mode::CreateAlways,
                 platform::File::Share::None);
        TIdHTTP http;
        http.Get(exeUrl, out);
      } catch (const std::exception& e) {
        failure = std::string("the download: ") + e.what();
      }
    }
  }
  const Clock::time_point end = Clock::now();
  std::error_code ec;
  fs::remove_all(work, ec);
  if (!failure.empty()) {
    std::printf("failed %s\n", failure.c_str());
    return 1;
  }
  std::printf(
      "ok %.1f\n",
      std::chrono::duration_cast<std::chrono::duration<double, std::milli>>(end - start).count());
  return 0;
}
