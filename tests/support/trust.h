// What the tests of signed updates, https and the proxy need beyond the
// test's own update server: the openssl command line (keys, signatures,
// throw-away certificates) and a second update server beside the first, as an
// HTTPS server or as a forward proxy. Both run as Unix programs in a small
// shell script (UnixScript), so the same code serves both builds; files they
// share with the test live under the served folder, whose Unix path is known
// in both builds.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/testing.h"

namespace testing_support {

// The Unix path of a path in this platform's form ("Z:\tmp\x" under Wine:
// "/tmp/x"); paths on other drives are not supported and fail the test.
std::string UnixPathOf(const std::string& path);

// Runs `script` (sh) to its end while handling GUI messages; false (with the
// script's output in the failure message) when it failed.
bool RunUnixScript(const std::string& script, std::string* output = nullptr, int limitSeconds = 60);

// The keys the build made (tests/fixtures/keys/make-keys): "vendor",
// "other", "weak", ... as PEM public key text, and the private key's path.
std::string TestPublicKey(const std::string& name);
std::string TestPrivateKeyUnixPath(const std::string& name);

// Writes `file`.sig beside `file`: its signature with the private key `key`,
// made by "openssl dgst -sha256 -sign" exactly as a vendor makes it.
bool SignWithOpenssl(const std::string& key, const std::string& file);

// The machine's update key (HKLM\SOFTWARE\hollvik\Sarvo, UpdateKey) as an
// administrator sets it, for the life of the object; the value is removed
// again afterwards, so later tests see no key.
class MachineUpdateKey {
 public:
  explicit MachineUpdateKey(const std::string& pem);  // REG_SZ
  MachineUpdateKey(std::uint32_t type, const std::string& data);
  ~MachineUpdateKey();
  MachineUpdateKey(const MachineUpdateKey&) = delete;
  MachineUpdateKey& operator=(const MachineUpdateKey&) = delete;
};

// A throw-away certificate authority and server certificates signed by it,
// made with openssl in `dir` (this platform's path form):
//   ca.pem / ca.der   the authority's certificate
//   good.pem          for 127.0.0.1 and localhost, valid for a day
//   wronghost.pem     for other.invalid only
//   expired.pem       for 127.0.0.1, expired
//   server.key        the key of all three
struct TestTls {
  std::string dir;
  bool ok = false;
  std::string Path(const std::string& name) const;  // this platform's form
  std::string UnixPath(const std::string& name) const;
};
TestTls MakeTestTls(const std::string& dir);

// Runs tests/fixtures/win32/machine_admin with `args` ("add-root X.der",
// "set-proxy 127.0.0.1:8080", ...) and gives its report: "ok" or what failed.
// Windows build only (under Wine).
std::string MachineAdmin(const std::string& args);

// Makes the system trust the test authority of `tls` for the life of the
// object, as an administrator would: under Wine its certificate goes into
// the prefix's machine "Root" store (and out again afterwards); on the Linux
// port SSL_CERT_FILE names it (and is restored afterwards).
class TrustedTestCa {
 public:
  explicit TrustedTestCa(const TestTls& tls);
  ~TrustedTestCa();
  TrustedTestCa(const TrustedTestCa&) = delete;
  TrustedTestCa& operator=(const TrustedTestCa&) = delete;

 private:
  std::string der_;
  ScopedEnv certFile_{"SSL_CERT_FILE"};
};

// The administrator's proxy for this platform's HTTP stack, for the life of
// the object: WinHTTP's machine-wide setting under Wine (as "netsh winhttp
// set proxy" writes it), http_proxy and https_proxy in the environment on
// the Linux port.
// Programs started meanwhile inherit it (the environment, or the prefix).
class SystemProxy {
 public:
  explicit SystemProxy(int port);
  ~SystemProxy();
  SystemProxy(const SystemProxy&) = delete;
  SystemProxy& operator=(const SystemProxy&) = delete;

 private:
  ScopedEnv httpProxy_{"http_proxy"};
  ScopedEnv httpsProxy_{"https_proxy"};
};

// A second tools/update-server, started with `args` and serving `root`
// (this platform's form), stopped when the object goes.
class SideServer {
 public:
  SideServer(const std::string& root, const std::string& args);
  // nginx over `root` instead (tools/update-server/nginx_beside.py), with
  // `directives` in its server block, on `port` (0: a free one).
  static std::unique_ptr<SideServer> Nginx(const std::string& root,
                                           const std::vector<std::string>& directives,
                                           int port = 0);
  ~SideServer();
  SideServer(const SideServer&) = delete;
  SideServer& operator=(const SideServer&) = delete;

  bool Started() const { return port_ > 0; }
  const std::string& Error() const { return error_; }
  int Port() const { return port_; }

 private:
  // Starts `program` (a Python script) with "--root ROOT --port-file port"
  // and `args`.
  SideServer(const std::string& root, const std::string& program, const std::string& args);

  std::string work_;  // Unix path of the folder with its pid and port files
  std::string error_;
  int port_ = 0;
};

}  // namespace testing_support
