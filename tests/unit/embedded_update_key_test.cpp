// A key compiled in (KESTRO_UPDATE_PUBLIC_KEY) is the update key, whatever
// the machine's registry says: this binary is built with the test vendor's
// public key in place of the program's own, empty one (tests/CMakeLists.txt).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "companion/UpdateSignature.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/sysinfo.h"
#include "support/testing.h"
#include "support/trust.h"
#include "support/update_server.h"

using namespace testing_support;

namespace {

TEST(EmbeddedUpdateKey, CompiledInKeyComesFirstAndDecides) {
  PrivateRegistry registry;
  const std::string vendor = TestPublicKey("vendor");
  ASSERT_FALSE(vendor.empty());
  EXPECT_EQ(vendor, EmbeddedUpdatePublicKey());

  TestServer::PutFile("/embedded/update.bin", "the new companion");
  const std::string url = TestServer::Url("/embedded/update.bin");
  const std::string file =
      TestServer::Root() + platform::kPathDelim + "embedded" + platform::kPathDelim + "update.bin";

  struct Case {
    const char* name;
    const char* machineKey;  // what the registry names, "" nothing
    const char* signer;      // who signed the served file
    bool valid;
  };
  const Case cases[] = {
      {"no machine key", "", "vendor", true},
      {"machine names another key", "other", "vendor", true},
      {"signed by the machine's key, not the compiled-in one", "other", "other", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<MachineUpdateKey> machine;
    if (*c.machineKey) machine = std::make_unique<MachineUpdateKey>(TestPublicKey(c.machineKey));
    const UpdateKeySource key = UpdatePublicKey();
    EXPECT_TRUE(key.configured);
    EXPECT_EQ("ingebouwd", key.origin);
    EXPECT_EQ(vendor, key.pem);

    ASSERT_TRUE(SignWithOpenssl(c.signer, file));
    bool valid = false;
    std::string message;
    try {
      valid = CheckUpdateSignature(url, file);
    } catch (const EUpdateSignatureError& e) {
      message = e.Message();
    }
    EXPECT_EQ(c.valid, valid) << c.name << ": " << message;
  }
}

}  // namespace
