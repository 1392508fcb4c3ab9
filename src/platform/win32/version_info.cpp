// Version resources of executable files through the version API.
#include "platform/version_info.h"

#include <windows.h>

#include <cstring>
#include <vector>

namespace platform {

bool QueryVersionString(const std::string& file, const std::string& queryPath, std::string& out) {
  DWORD ignored = 0;
  DWORD size = ::GetFileVersionInfoSizeA(file.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<char> buffer(size);
  if (!::GetFileVersionInfoA(file.c_str(), 0, size, buffer.data())) return false;
  void* value = nullptr;
  UINT length = 0;
  // VerQueryValueA takes a non-const path in older headers.
  std::string path = queryPath;
  if (!::VerQueryValueA(buffer.data(), &path[0], &value, &length) || value == nullptr) return false;
  // The length of a string value counts characters and may include the NUL;
  // the value ends at its first NUL either way.
  const char* text = static_cast<const char*>(value);
  out.assign(text, strnlen(text, length));
  return true;
}

}  // namespace platform
