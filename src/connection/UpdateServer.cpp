#include "connection/UpdateServer.h"

#include "platform/sysinfo.h"

#ifndef KESTRO_DEFAULT_UPDATE_SERVER
#error "the build must define KESTRO_DEFAULT_UPDATE_SERVER"
#endif

std::string UpdateServerBase() {
  std::string base;
  if (!platform::GetEnv("KESTRO_UPDATE_SERVER", base) || base.empty()) {
    base = KESTRO_DEFAULT_UPDATE_SERVER;
  }
  // The paths are appended with their own "/", and some servers do not take
  // "//" for "/".
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

std::string UpdateServerUrl(const std::string& path) {
  if (!path.empty() && path.front() == '/') return UpdateServerBase() + path;
  return UpdateServerBase() + "/" + path;
}
