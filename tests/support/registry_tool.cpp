#include "support/registry_tool.h"

#include <vector>

#include "platform/sysinfo.h"
#include "support/run_capture.h"
#include "support/testing.h"

namespace testing_support {

namespace {

CaptureResult RunTool(const std::vector<std::string>& args) {
  return RunCapture(OnWindows() ? std::string("reg") : BuiltProgram("kestro-reg"), args);
}

std::string WithoutCr(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

RegListing QueryRegistry(const std::string& fullKey, const std::string& name) {
  std::vector<std::string> args = {"query", fullKey};
  if (!name.empty()) {
    args.push_back("/v");
    args.push_back(name);
  }
  const CaptureResult r = RunTool(args);
  RegListing listed;
  if (r.exitCode != 0) return listed;
  listed.keyFound = true;
  std::size_t pos = 0;
  while (pos < r.out.size()) {
    std::size_t end = r.out.find('\n', pos);
    if (end == std::string::npos) end = r.out.size();
    const std::string line = WithoutCr(r.out.substr(pos, end - pos));
    pos = end + 1;
    // Each value is listed as "    NAME    TYPE    DATA".
    const std::string prefix = "    " + name + "    ";
    if (name.empty() || line.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string rest = line.substr(prefix.size());
    const std::size_t sep = rest.find("    ");
    listed.valueFound = true;
    listed.type = rest.substr(0, sep);
    // An empty string value ends right after its type, with or without the
    // separator.
    listed.data = sep == std::string::npos ? std::string() : rest.substr(sep + 4);
  }
  return listed;
}

bool AddRegistryValue(const std::string& fullKey, const std::string& name, const std::string& type,
                      const std::string& data, const std::string& view) {
  std::vector<std::string> args = {"add", fullKey, "/v", name, "/t", type, "/d", data, "/f"};
  if (!view.empty()) args.push_back(view);
  return RunTool(args).exitCode == 0;
}

bool DeleteRegistryKey(const std::string& fullKey) {
  RunTool({"delete", fullKey, "/f"});
  return !QueryRegistry(fullKey).keyFound;
}

}  // namespace testing_support
