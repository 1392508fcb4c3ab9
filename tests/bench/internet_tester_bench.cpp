// How long TestConnection takes to return once the probe has finished, over
// many runs against the local update server. The probe's end is seen by a
// watcher thread that spins on the probe's State; the tester's return is
// taken right after TestConnection. The difference is what the 5 ms polling
// loop (and its message dispatch) adds to the connection test.
//
//   tests/run-test -- build/native/bench/internet_tester_bench [RUNS]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "connection/u_InternetTester.h"
#include "platform/gui.h"
#include "platform/sysinfo.h"
#include "support/u_Utility.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double Micros(Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::duration<double, std::micro>>(d).count();
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[i];
}

void Report(const char* what, const std::vector<double>& us) {
  std::printf("%-44s median %8.0f us   p90 %8.0f us   worst %8.0f us\n", what, Percentile(us, 0.5),
              Percentile(us, 0.9), Percentile(us, 1.0));
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
  std::string root;
  if (!platform::GetEnv("KESTRO_TEST_SERVER_ROOT", root) || root.empty()) {
    std::fprintf(stderr, "run through tests/run-test: KESTRO_TEST_SERVER_ROOT is not set\n");
    return 2;
  }
  fs::create_directories(fs::path(root) / "software");
  std::ofstream(fs::path(root) / "software" / "versie.txt") << "5.1.5.203\r\n";

  // The probe logs two lines per run; they go to a throw-away folder.
  const fs::path logDir = fs::temp_directory_path() / "kestro-bench-log";
  fs::create_directories(logDir);
  LogFolder = logDir.string();

  platform::InitApplication();

  std::vector<double> afterProbe;
  std::vector<double> total;
  int failures = 0;
  for (int i = 0; i < runs; ++i) {
    InternetTesterT tester;
    std::atomic<bool> seen{false};
    Clock::time_point probeDone;
    std::thread watcher([&] {
      while (tester.Thread().State() < TestThreadT::kFinished) std::this_thread::yield();
      probeDone = Clock::now();
      seen = true;
    });
    const Clock::time_point start = Clock::now();
    const std::uint8_t result = tester.TestConnection();
    const Clock::time_point returned = Clock::now();
    watcher.join();
    if (result != InternetTesterT::kOnline || !seen) {
      ++failures;
      continue;
    }
    afterProbe.push_back(Micros(returned - std::min(returned, probeDone)));
    total.push_back(Micros(returned - start));
  }
  fs::remove_all(logDir);

  std::printf("TestConnection against %s, %d runs (%d not online)\n",
              std::getenv("KESTRO_UPDATE_SERVER"), runs, failures);
  if (afterProbe.empty()) return 1;
  Report("return after the probe finished:", afterProbe);
  Report("whole TestConnection:", total);
  return 0;
}
