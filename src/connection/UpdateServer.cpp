#include "connection/UpdateServer.h"

#include <mutex>

#include "connection/UpdatePolicy.h"
#include "platform/sysinfo.h"
#include "support/u_Utility.h"

#ifndef KESTRO_DEFAULT_UPDATE_SERVER
#error "the build must define KESTRO_DEFAULT_UPDATE_SERVER"
#endif

std::string UpdateServerBase() {
  std::string base;
  if (!platform::GetEnv("KESTRO_UPDATE_SERVER", base) || base.empty()) {
    const UpdatePolicy policy = ReadUpdatePolicy();
    base = policy.updateServer.empty() ? KESTRO_DEFAULT_UPDATE_SERVER : policy.updateServer;
    if (!policy.ignoredServer.empty()) {
      // Said once per run, however often the address is asked for.
      static std::once_flag said;
      std::call_once(said, [&policy] {
        TDebug::LogFmt("Beleidswaarde UpdateServer genegeerd, geen http- of https-adres: %s",
                       {policy.ignoredServer}, "");
      });
    }
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
