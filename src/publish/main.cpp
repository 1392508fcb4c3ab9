// kestro-publish: the maker's side of a companion update.
//   kestro-publish release --root DIR --companion FILE [--key PRIVATE.pem]
//                          [--companion-version TEXT] [--target windows|linux]
//   kestro-publish check URL [--key PUBLIC.pem] [--companion FILE] [--target windows|linux]
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/sysinfo.h"
#include "publish/check.h"
#include "publish/release.h"

namespace {

const char kUsage[] =
    "usage: kestro-publish release --root DIR --companion FILE [--key PRIVATE.pem]\n"
    "                              [--companion-version TEXT] [--target windows|linux]\n"
    "       kestro-publish check URL [--key PUBLIC.pem] [--companion FILE]\n"
    "                              [--target windows|linux]\n"
    "release exits with 0 published; 1 failed, nothing put in place; 2 refused, nothing\n"
    "  put in place (also while another release holds the root's kestro-publish.lock);\n"
    "  3 failed after the first file was put in place, the previous release restored;\n"
    "  4 failed and the previous release could not be wholly restored (see the lines above).\n"
    "check exits with 0 when a loader would install and start the release, 1 otherwise,\n"
    "  2 for options it cannot use.\n";

int Usage(const std::string& problem) {
  if (!problem.empty()) std::fprintf(stderr, "kestro-publish: %s\n", problem.c_str());
  std::fputs(kUsage, stderr);
  return 2;
}

// "--name value" pairs and the words without a name; false with the problem
// when an option is unknown or lacks its value.
bool ParseOptions(const std::vector<std::string>& args, const std::vector<std::string>& known,
                  std::map<std::string, std::string>& options, std::vector<std::string>& words,
                  std::string& problem) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.compare(0, 2, "--") != 0) {
      words.push_back(a);
      continue;
    }
    bool isKnown = false;
    for (const std::string& k : known) isKnown = isKnown || k == a;
    if (!isKnown) {
      problem = "unknown option " + a;
      return false;
    }
    if (i + 1 >= args.size()) {
      problem = a + " needs a value";
      return false;
    }
    options[a] = args[++i];
  }
  return true;
}

bool ParseTarget(const std::map<std::string, std::string>& options, platform::ProgramFormat& out,
                 std::string& problem) {
  const auto it = options.find("--target");
  if (it == options.end() || it->second == "windows") {
    out = platform::ProgramFormat::Windows;
    return true;
  }
  if (it->second == "linux") {
    out = platform::ProgramFormat::LinuxPort;
    return true;
  }
  problem = "--target takes windows or linux, not " + it->second;
  return false;
}

}  // namespace

int main(int, char**) {
  // The platform's own view of the command line (the ANSI one on Windows).
  std::vector<std::string> args = platform::CommandLineArgs();
  if (args.empty()) return Usage("");
  const std::string command = args.front();
  args.erase(args.begin());

  std::map<std::string, std::string> options;
  std::vector<std::string> words;
  std::string problem;
  if (command == "release") {
    if (!ParseOptions(args, {"--root", "--companion", "--key", "--companion-version", "--target"},
                      options, words, problem)) {
      return Usage(problem);
    }
    if (!words.empty()) return Usage("unexpected " + words.front());
    publish::ReleaseOptions release;
    release.root = options["--root"];
    release.companion = options["--companion"];
    release.key = options["--key"];
    release.version = options["--companion-version"];
    if (release.root.empty() || release.companion.empty()) {
      return Usage("release needs --root and --companion");
    }
    if (!ParseTarget(options, release.format, problem)) return Usage(problem);
    return publish::RunRelease(release, stdout, stderr);
  }
  if (command == "check") {
    if (!ParseOptions(args, {"--key", "--companion", "--target"}, options, words, problem)) {
      return Usage(problem);
    }
    if (words.size() != 1) return Usage("check needs one URL");
    publish::CheckOptions check;
    check.url = words.front();
    check.key = options["--key"];
    check.companion = options["--companion"];
    if (!ParseTarget(options, check.format, problem)) return Usage(problem);
    return publish::RunCheck(check, stdout, stderr);
  }
  return Usage("unknown command " + command);
}
