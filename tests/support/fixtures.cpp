#include "support/fixtures.h"

#include <cstdint>

#include "support/testing.h"

namespace testing_support {

std::string PeFixture(const std::string& fileName) {
  return NativePath(std::string(KESTRO_BIN_DIR) + "/../fixtures/pe/" + fileName);
}

}  // namespace testing_support
