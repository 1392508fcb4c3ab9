// Where the loader looks for its update server: the environment first, else
// the address the build was configured with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "connection/UpdateServer.h"
#include "platform/sysinfo.h"
#include "support/testing.h"

namespace {

// Restores KESTRO_UPDATE_SERVER as it was (tests/run-test sets it).
class EnvGuard {
 public:
  EnvGuard() { had_ = platform::GetEnv("KESTRO_UPDATE_SERVER", value_); }
  ~EnvGuard() {
    if (had_) {
      testing_support::SetEnv("KESTRO_UPDATE_SERVER", value_);
    } else {
      testing_support::UnsetEnv("KESTRO_UPDATE_SERVER");
    }
  }

 private:
  bool had_ = false;
  std::string value_;
};

TEST(UpdateServerAddressTest, EnvironmentFirstThenTheBuiltInAddressWithoutTrailingSlash) {
  EnvGuard guard;
  const std::string builtIn = KESTRO_DEFAULT_UPDATE_SERVER;
  struct Row {
    const char* name;
    bool set;
    const char* env;
    std::string base;
  };
  const std::vector<Row> rows = {
      {"set", true, "http://127.0.0.1:8080", "http://127.0.0.1:8080"},
      {"trailing slash", true, "http://127.0.0.1:8080/", "http://127.0.0.1:8080"},
      {"several trailing slashes", true, "http://example.invalid//", "http://example.invalid"},
      {"with a folder", true, "http://127.0.0.1:8080/kestro/", "http://127.0.0.1:8080/kestro"},
      {"empty counts as not set", true, "", builtIn},
      {"not set", false, "", builtIn},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    if (r.set) {
      testing_support::SetEnv("KESTRO_UPDATE_SERVER", r.env);
    } else {
      testing_support::UnsetEnv("KESTRO_UPDATE_SERVER");
    }
    EXPECT_EQ(r.base, UpdateServerBase());
    EXPECT_EQ(r.base + "/software/versie.txt", UpdateServerUrl("/software/versie.txt"));
    EXPECT_EQ(r.base + "/software/sarvo/sarvo2006.exe",
              UpdateServerUrl("software/sarvo/sarvo2006.exe"));
  }
}

}  // namespace
