#include "connection/UpdateServer.h"

#include "connection/UpdatePolicy.h"
#include "platform/sysinfo.h"
#include "support/debug_log.h"

#ifndef KESTRO_DEFAULT_UPDATE_SERVER
#error "the build must define KESTRO_DEFAULT_UPDATE_SERVER"
#endif

std::string UpdateServerBase() {
  // The policy is read once per run (it cannot change meanwhile), and an
  // address it gives that is no web address is said once. The
  // administrator's address outranks the environment's, which tests and
  // installations without a policy use.
  static const std::string policyServer = [] {
    const UpdatePolicy policy = ReadUpdatePolicy();
    if (!policy.ignoredServer.empty()) {
      TDebug::LogFmt("Beleidswaarde UpdateServer genegeerd, geen http- of https-adres: %s",
                     {policy.ignoredServer}, "");
    }
    return policy.updateServer;
  }();
  std::string base = policyServer;
  if (base.empty() && (!platform::GetEnv("KESTRO_UPDATE_SERVER", base) || base.empty())) {
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
