#include "support/trust.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdlib>

#include "platform/http.h"
#include "platform/registry.h"
#include "platform/shell.h"
#include "platform/sysinfo.h"
#include "support/testing.h"
#include "support/xdotool.h"

namespace testing_support {

namespace {

std::string KeysUnixDir() { return std::string(KESTRO_FIXTURE_DIR) + "/keys/"; }

}  // namespace

std::string UnixPathOf(const std::string& path) {
  if (!OnWindows()) return path;
  const bool drive = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                     path[1] == ':' && path[2] == '\\';
  if (!drive) {
    ADD_FAILURE() << path << " has no drive letter, so it has no Unix path the tests know";
    return path;
  }
  std::string out = path.substr(2);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
  if (letter == 'z') return out;
  // Any other drive is a link in the prefix's dosdevices folder (C: is its
  // drive_c, where the temporary folder lives), and the link is a Unix path.
  const char* prefix = std::getenv("WINEPREFIX");
  if (prefix == nullptr || *prefix == '\0') {
    ADD_FAILURE() << path << " is on drive " << path[0]
                  << ": and WINEPREFIX is not set, so it has no Unix path the tests know";
    return path;
  }
  return std::string(prefix) + "/dosdevices/" + letter + ":" + out;
}

bool RunUnixScript(const std::string& script, std::string* output, int limitSeconds) {
  UnixScript run(script, limitSeconds);
  if (!run.Started()) {
    ADD_FAILURE() << run.StartError();
    return false;
  }
  if (!run.WaitPumping(static_cast<std::uint32_t>(limitSeconds + 10) * 1000)) {
    ADD_FAILURE() << "the script did not end:\n" << script;
    return false;
  }
  if (output) *output = run.Output();
  if (run.ExitCode() != 0) {
    ADD_FAILURE() << "the script failed with " << run.ExitCode() << ":\n"
                  << script << "\n---\n"
                  << run.Output();
    return false;
  }
  return true;
}

std::string TestPublicKey(const std::string& name) {
  return ReadFile(NativePath(KeysUnixDir() + name + ".pub.pem"));
}

std::string TestPrivateKeyUnixPath(const std::string& name) {
  return KeysUnixDir() + name + ".key";
}

bool SignWithOpenssl(const std::string& key, const std::string& file) {
  const std::string unix = UnixPathOf(file);
  return RunUnixScript("openssl dgst -sha256 -sign " + ShellQuote(TestPrivateKeyUnixPath(key)) +
                       " -out " + ShellQuote(unix + ".sig") + " " + ShellQuote(unix));
}

namespace {
const char kMachineSarvoKey[] = "SOFTWARE\\hollvik\\Sarvo";
}  // namespace

MachineUpdateKey::MachineUpdateKey(const std::string& pem) {
  SetRegString(platform::RegRoot::LocalMachine, kMachineSarvoKey, "UpdateKey", pem);
}

MachineUpdateKey::MachineUpdateKey(std::uint32_t type, const std::string& data) {
  SetRegValue(platform::RegRoot::LocalMachine, kMachineSarvoKey, "UpdateKey", type, data);
}

MachineUpdateKey::~MachineUpdateKey() {
  platform::RegKey key;
  if (key.Open(platform::RegRoot::LocalMachine, kMachineSarvoKey, platform::RegAccess::All)) {
    key.DeleteValue("UpdateKey");
  }
}

std::string TestTls::Path(const std::string& name) const {
  return dir + platform::kPathDelim + name;
}

std::string TestTls::UnixPath(const std::string& name) const {
  return UnixPathOf(dir) + "/" + name;
}

TestTls MakeTestTls(const std::string& dir) {
  TestTls tls;
  tls.dir = dir;
  while (!tls.dir.empty() && tls.dir.back() == platform::kPathDelim) tls.dir.pop_back();
  MakeDirs(tls.dir);
  // A fresh authority per call: a certificate of an earlier run, trusted or
  // not, never stands in for this one.
  const std::string script =
      "set -e\ncd " + ShellQuote(UnixPathOf(tls.dir)) +
      "\n"
      "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 "
      "-subj '/CN=Kestro test CA' -addext basicConstraints=critical,CA:TRUE "
      "-addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null\n"
      "openssl x509 -in ca.pem -outform DER -out ca.der\n"
      "openssl req -new -newkey rsa:2048 -nodes -keyout server.key -out server.csr "
      "-subj /CN=127.0.0.1 2>/dev/null\n"
      "cert() {\n"
      "  printf 'subjectAltName=%s\\nextendedKeyUsage=serverAuth\\n' \"$2\" >\"$1.ext\"\n"
      "  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days \"$3\" "
      "-extfile \"$1.ext\" -out \"$1.pem\" 2>/dev/null\n"
      "}\n"
      "cert good IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost 1\n"
      "cert wronghost DNS:other.invalid 1\n"
      "cert expired IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost -1\n";
  tls.ok = RunUnixScript(script);
  return tls;
}

std::string MachineAdmin(const std::string& args) {
  TempDir dir;
  const std::string report = dir / "report.txt";
  platform::ShellExecResult r = platform::ShellExecuteProcess(
      "open", FixtureProgram("machine_admin"), "\"" + report + "\" " + args, dir.path(),
      platform::ShowCommand::Hidden);
  if (!r.ok)
    return "machine_admin did not start, error " + std::to_string(platform::CodeOf(r.error));
  if (r.process.IsValid()) r.process.Wait(30000);
  return Exists(report) ? ReadFile(report) : std::string("machine_admin left no report");
}

TrustedTestCa::TrustedTestCa(const TestTls& tls) {
  if (OnWindows()) {
    der_ = tls.Path("ca.der");
    const std::string report = MachineAdmin("add-root \"" + der_ + "\"");
    EXPECT_EQ("ok", report) << "the test CA could not be trusted";
  } else {
    certFile_.Set(tls.Path("ca.pem"));
  }
}

TrustedTestCa::~TrustedTestCa() {
  // SSL_CERT_FILE is put back by its member.
  if (!der_.empty()) {
    EXPECT_EQ("ok", MachineAdmin("remove-root \"" + der_ + "\""));
  }
}

SystemProxy::SystemProxy(int port) {
  if (OnWindows()) {
    // Wine's WinHTTP writes the request line for a proxy (with the full URL)
    // only when the proxy's host name differs from the server's; it does not
    // compare ports. Here both live on 127.0.0.1, so the proxy is named
    // "localhost", as a real proxy has a name of its own anyway.
    EXPECT_EQ("ok", MachineAdmin("set-proxy localhost:" + std::to_string(port)));
    // WinHTTP reads the machine's setting when a session opens, and the
    // process keeps one session for all its requests, as one start of the
    // loader does: the next request opens a new session, as a new start would.
    platform::HttpCloseIdleConnections();
  } else {
    httpProxy_.Set("http://127.0.0.1:" + std::to_string(port));
    httpsProxy_.Set("http://127.0.0.1:" + std::to_string(port));
  }
}

SystemProxy::~SystemProxy() {
  // The proxy variables are put back by their members.
  if (OnWindows()) {
    EXPECT_EQ("ok", MachineAdmin("clear-proxy"));
    platform::HttpCloseIdleConnections();
  }
}

SideServer::SideServer(const std::string& root, const std::string& args)
    : SideServer(root, "update_server.py", "--port 0 --host 127.0.0.1 " + args) {}

std::unique_ptr<SideServer> SideServer::Nginx(const std::string& root,
                                              const std::vector<std::string>& directives,
                                              int port) {
  std::string args = "--port " + std::to_string(port);
  for (const std::string& d : directives) args += " --directive " + ShellQuote(d);
  return std::unique_ptr<SideServer>(new SideServer(root, "nginx_beside.py", args));
}

SideServer::SideServer(const std::string& root, const std::string& program,
                       const std::string& args) {
  static std::atomic<int> counter{0};
  const std::string unixRoot = UnixPathOf(root);
  work_ = unixRoot + "/.side-server-" + std::to_string(counter++);
  const std::string server = std::string(KESTRO_SOURCE_DIR) + "/tools/update-server/" + program;
  // setsid: the server outlives the script that starts it, and is stopped by
  // its pid in the destructor.
  const std::string script = "set -e\nmkdir -p " + ShellQuote(work_) + "\ncd " + ShellQuote(work_) +
                             "\n"
                             "setsid python3 " +
                             ShellQuote(server) + " --root " + ShellQuote(unixRoot) +
                             " --port-file port " + args +
                             " </dev/null >server.out 2>&1 &\n"
                             "echo $! >pid\n"
                             "i=0\n"
                             "while [ ! -s port ]; do\n"
                             "  i=$((i + 1)); [ $i -gt 250 ] && { cat server.out; exit 3; }\n"
                             "  kill -0 $(cat pid) 2>/dev/null || { cat server.out; exit 4; }\n"
                             "  sleep 0.02\n"
                             "done\n"
                             "cat port\n";
  std::string out;
  if (!RunUnixScript(script, &out, 30)) {
    error_ = "the server did not start: " + out;
    return;
  }
  port_ = std::atoi(out.c_str());
  if (port_ <= 0) error_ = "no port: " + out;
}

SideServer::~SideServer() {
  RunUnixScript("cd " + ShellQuote(work_) +
                " && pid=$(cat pid) && kill $pid; i=0; while kill -0 $pid 2>/dev/null && "
                "[ $i -lt 100 ]; do i=$((i+1)); sleep 0.05; done; true");
}

}  // namespace testing_support
