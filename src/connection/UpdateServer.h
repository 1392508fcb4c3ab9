// Where the update server is: its base address comes from configuration, its
// paths are fixed by the callers.
#pragma once

#include <string>

// The base address, e.g. "http://127.0.0.1:8080": the environment variable
// KESTRO_UPDATE_SERVER when it is set and not empty, else the administrator's
// UpdateServer policy (connection/UpdatePolicy.h), else the address the build
// was configured with; without a trailing "/".
std::string UpdateServerBase();

// The base address followed by `path` ("/software/versie.txt"); a path
// without its leading "/" gets one.
std::string UpdateServerUrl(const std::string& path);
