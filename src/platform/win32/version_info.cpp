// Version resources of executable files through the version API.
#include "platform/version_info.h"

#include <windows.h>

#include <cstring>
#include <vector>

namespace platform {

namespace {

// The file's whole version resource; false when it has none.
bool LoadVersionInfo(const std::string& file, std::vector<char>& buffer) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(file.c_str(), &ignored);
  if (size == 0) return false;
  buffer.assign(size, '\0');
  return ::GetFileVersionInfoA(file.c_str(), 0, size, buffer.data()) != FALSE;
}

}  // namespace

bool QueryVersionString(const std::string& file, const std::string& queryPath, std::string& out) {
  std::vector<char> buffer;
  if (!LoadVersionInfo(file, buffer)) return false;
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

bool QueryFixedFileVersion(const std::string& file, std::uint32_t& mostSignificant,
                           std::uint32_t& leastSignificant) {
  std::vector<char> buffer;
  if (!LoadVersionInfo(file, buffer)) return false;
  void* value = nullptr;
  UINT length = 0;
  char root[] = "\\";  // the fixed part; VerQueryValueA takes a non-const path
  if (!::VerQueryValueA(buffer.data(), root, &value, &length) || value == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
  if (info->dwSignature != 0xFEEF04BD) return false;
  mostSignificant = info->dwFileVersionMS;
  leastSignificant = info->dwFileVersionLS;
  return true;
}

}  // namespace platform
