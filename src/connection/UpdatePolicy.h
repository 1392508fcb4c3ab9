// The administrator's word on updates: the values that Group Policy writes
// under HKLM\SOFTWARE\Policies\hollvik\Sarvo (on the Linux port the machine
// store, same path), which users cannot change. Nothing else is read, the
// user's root included, and unknown values are ignored.
//   DisableUpdate  REG_DWORD 1: no update, as the /noupdate switch
//   UpdateServer   REG_SZ: the update server's address, in place of the one
//                  the build was configured with and of KESTRO_UPDATE_SERVER
//                  (the administrator outranks the environment); an address
//                  that is not http:// or https:// is ignored.
// A policy that cannot be read (a store another process holds, a damaged
// one, a key the user may not read) counts as DisableUpdate: the
// administrator may have switched updates off, and nothing may be installed
// on a guess.
//
// Contract: any thread; reads the registry afresh on every call; never
// throws and never logs.
#pragma once

#include <string>

struct UpdatePolicy {
  bool disableUpdate = false;
  std::string updateServer;   // empty when not set or ignored
  std::string ignoredServer;  // the value that was ignored, for the log
  std::string unreadable;     // why the policy could not be read (then disableUpdate)
};

UpdatePolicy ReadUpdatePolicy();

// The policy's key, below the machine root.
constexpr char kUpdatePolicyKey[] = "SOFTWARE\\Policies\\hollvik\\Sarvo";
