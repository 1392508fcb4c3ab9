#include <windows.h>

#include <cstdlib>

#include "platform/sysinfo.h"

namespace platform {

// Both the C runtime's copy and the process environment are changed, so that
// getenv and child processes see the same value.
void SetEnv(const std::string& name, const std::string& value) {
  _putenv_s(name.c_str(), value.c_str());
  SetEnvironmentVariableA(name.c_str(), value.c_str());
}

void UnsetEnv(const std::string& name) {
  _putenv_s(name.c_str(), "");
  SetEnvironmentVariableA(name.c_str(), nullptr);
}

}  // namespace platform
