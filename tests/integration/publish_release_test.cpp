// kestro-publish release into a real folder: what it refuses (exit 2, nothing
// put in place), what it writes, and that the pair it leaves verifies with
// the openssl command line, a tool that shares no code with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/sysinfo.h"
#include "support/fixtures.h"
#include "support/run_capture.h"
#include "support/testing.h"
#include "support/trust.h"
#include "support/u_Utility.h"
#include "support/xdotool.h"

namespace {

using namespace testing_support;

std::string KeyFile(const std::string& name) {
  return NativePath(std::string(KESTRO_FIXTURE_DIR) + "/keys/" + name);
}

std::string In(const std::string& root, const std::string& relative) {
  std::string path = IncludeTrailingPathDelimiter(root) + relative;
  for (char& c : path) {
    if (c == '/') c = platform::kPathDelim;
  }
  return path;
}

CaptureResult Publish(const std::vector<std::string>& args) {
  return RunCapture(BuiltProgram("kestro-publish"), args);
}

TEST(PublishRelease, RefusesWhatALoaderCouldNotUse) {
  TempDir dir;
  const std::string text = dir / "notes.txt";
  WriteFile(text, "not a program\r\n");
  const std::string elf = dir / "linux-program";
  WriteFile(elf, TinyElf());
  const std::string cut = dir / "cut.exe";
  const std::string whole = ReadFile(PeFixture("ver_nl_1_1.exe"));
  WriteFile(cut, whole.substr(0, whole.size() / 2));
  const std::string emptyKey = dir / "empty.pem";
  WriteFile(emptyKey, "");
  const std::string fileAsRoot = dir / "occupied";
  WriteFile(fileAsRoot, "a file where the root should be");
  const std::string root = dir / "www";

  struct Refusal {
    const char* name;
    std::string companion;
    std::string key;  // empty: none
    std::string root;
    const char* says;
  };
  const Refusal cases[] = {
      {"a text file", text, "", root, "is no whole Windows program: no MZ header"},
      {"a Linux program", elf, "", root, "is no whole Windows program"},
      {"a cut program", cut, "", root, "is no whole Windows program"},
      {"a missing file", dir / "missing.exe", "", root, "is no whole Windows program"},
      {"a key below 2048 bits", PeFixture("ver_nl_1_1.exe"), KeyFile("weak.key"), root,
       "is too weak: RSA key of 1024 bits"},
      {"an elliptic-curve key", PeFixture("ver_nl_1_1.exe"), KeyFile("ec.key"), root,
       "cannot sign: not an RSA key"},
      {"a public key", PeFixture("ver_nl_1_1.exe"), KeyFile("vendor.pub.pem"), root,
       "cannot sign: no PEM"},
      {"an empty key file", PeFixture("ver_nl_1_1.exe"), emptyKey, root, "cannot sign: no PEM"},
      {"a missing key", PeFixture("ver_nl_1_1.exe"), KeyFile("missing.key"), root,
       "cannot read the key"},
      {"a root that is a file", PeFixture("ver_nl_1_1.exe"), KeyFile("vendor.key"), fileAsRoot,
       "cannot write the root"},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"release", "--root", c.root, "--companion", c.companion};
    if (!c.key.empty()) args.insert(args.end(), {"--key", c.key});
    const CaptureResult r = Publish(args);
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.says << "\n" << r.err;
    EXPECT_EQ(SplitCrLf(r.err).size(), 1u) << "one line: " << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(Exists(In(c.root, "software/sarvo/sarvo2006.exe")));
    EXPECT_FALSE(Exists(In(c.root, "software/sarvo/sarvo2006.exe.sig")));
    EXPECT_FALSE(Exists(In(c.root, "software/sarvo/versie.txt")));
  }
}

TEST(PublishRelease, WritesASignedPairThatVerifies) {
  TempDir dir;
  const std::string root = dir / "www";
  // A probe file of the site's own stays as it is.
  MakeDirs(In(root, "software"));
  WriteFile(In(root, "software/versie.txt"), "site's own\r\n");
  struct Step {
    const char* name;
    const char* companion;
    const char* version;  // --companion-version, or null
    bool signedRelease;
    const char* reachability;
  };
  const Step steps[] = {
      {"first signed release", "ver_nl_1_0.exe", nullptr, true, "1.0\r\n"},
      {"a newer one with its version named", "ver_nl_1_1.exe", "1.1 (build 7)", true,
       "1.1 (build 7)\r\n"},
      {"an unsigned one takes the old signature away", "ver_nl_1_0.exe", nullptr, false, "1.0\r\n"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    std::vector<std::string> args = {"release", "--root", root, "--companion",
                                     PeFixture(s.companion)};
    if (s.signedRelease) args.insert(args.end(), {"--key", KeyFile("vendor.key")});
    if (s.version) args.insert(args.end(), {"--companion-version", s.version});
    const CaptureResult r = Publish(args);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::string exe = In(root, "software/sarvo/sarvo2006.exe");
    EXPECT_TRUE(ReadFile(exe) == ReadFile(PeFixture(s.companion))) << "program";
    EXPECT_EQ(ReadFile(In(root, "software/sarvo/versie.txt")), s.reachability);
    EXPECT_EQ(ReadFile(In(root, "software/versie.txt")), "site's own\r\n");
    EXPECT_EQ(Exists(exe + ".sig"), s.signedRelease);
    if (s.signedRelease) {
      std::string output;
      EXPECT_TRUE(RunUnixScript("openssl dgst -sha256 -verify " +
                                    ShellQuote(UnixPathOf(KeyFile("vendor.pub.pem"))) +
                                    " -signature " + ShellQuote(UnixPathOf(exe + ".sig")) + " " +
                                    ShellQuote(UnixPathOf(exe)),
                                &output))
          << output;
      EXPECT_NE(r.out.find("signature verified"), std::string::npos) << r.out;
    } else {
      EXPECT_NE(r.out.find("sarvo2006.exe.sig  removed"), std::string::npos) << r.out;
    }
    // One line per file written: path, size, SHA-256 (checked against the
    // openssl command line for the program).
    std::string sha;
    ASSERT_TRUE(RunUnixScript(
        "openssl dgst -sha256 -r " + ShellQuote(UnixPathOf(exe)) + " | cut -c1-64", &sha));
    while (!sha.empty() && (sha.back() == '\n' || sha.back() == '\r')) sha.pop_back();
    const std::string line = exe + "  " + std::to_string(ReadFile(exe).size()) + "  " + sha;
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    EXPECT_EQ(r.out.find("software" + std::string(1, platform::kPathDelim) + "versie.txt  "),
              std::string::npos)
        << "the probe file was written although it existed";
    // Nothing left under a temporary name.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(In(root, "software/sarvo"))) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> expected = {"sarvo2006.exe", "versie.txt"};
    if (s.signedRelease) expected.insert(expected.begin() + 1, "sarvo2006.exe.sig");
    EXPECT_EQ(names, expected);
  }
}

}  // namespace
