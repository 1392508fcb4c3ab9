#include <cstdio>
#include <random>
#include <string>

#include "platform/files.h"

namespace platform {

bool CreateFileWithRandomName(const std::string& stem, const std::string& suffix, File& file,
                              std::string& path, Failure* error) {
  std::random_device random;
  Failure failure = Failure::FileExists;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char part[32];
    std::snprintf(part, sizeof part, "%08x%08x", static_cast<unsigned>(random()),
                  static_cast<unsigned>(random()));
    path = stem + part + suffix;
    // Of two openers of one name exactly one wins.
    if (file.Open(path, File::Mode::CreateNew, File::Share::None, &failure)) return true;
    if (failure != Failure::FileExists) break;
  }
  SetFailure(error, failure);
  return false;
}

}  // namespace platform
