// Where the loader looks for its update server: the environment first, else
// the address the build was configured with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "connection/UpdateServer.h"
#include "support/testing.h"

namespace {

TEST(UpdateServerAddressTest, EnvironmentFirstThenTheBuiltInAddressWithoutTrailingSlash) {
  // tests/run-test sets the variable; it is put back as it was.
  const testing_support::ScopedEnv env("KESTRO_UPDATE_SERVER");
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
      env.Set(r.env);
    } else {
      env.Unset();
    }
    EXPECT_EQ(r.base, UpdateServerBase());
    EXPECT_EQ(r.base + "/software/versie.txt", UpdateServerUrl("/software/versie.txt"));
    EXPECT_EQ(r.base + "/software/sarvo/sarvo2006.exe",
              UpdateServerUrl("software/sarvo/sarvo2006.exe"));
  }
}

}  // namespace
