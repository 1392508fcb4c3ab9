// kestro-publish release into a real folder: what it refuses (exit 2, nothing
// put in place), what it writes, that the pair it leaves verifies with the
// openssl command line, a tool that shares no code with it, and that a release
// that fails or meets another one leaves the root wholly old or wholly new.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_lock.h"
#include "platform/files.h"
#include "platform/signature.h"
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

// A release as the web root holds it once it is published: the program, its
// version text in versie.txt, and its signature when it is signed.
struct ReleaseFiles {
  std::string version;  // --companion-version, the text of versie.txt
  std::string program;  // the companion to publish
  bool signedRelease;
};

std::vector<std::string> ReleaseArgs(const std::string& root, const ReleaseFiles& release) {
  std::vector<std::string> args = {"release",      "--root",        root,
                                   "--companion",  release.program, "--companion-version",
                                   release.version};
  if (release.signedRelease) args.insert(args.end(), {"--key", KeyFile("vendor.key")});
  return args;
}

// Which release the root holds as a whole: "nothing", the version of one of
// `candidates`, or a description of the mix it holds.
std::string LiveRelease(const std::string& root, const std::vector<ReleaseFiles>& candidates) {
  const std::string exe = In(root, "software/sarvo/sarvo2006.exe");
  const std::string sig = exe + ".sig";
  const std::string reachability = In(root, "software/sarvo/versie.txt");
  const bool probe = platform::FileExists(In(root, "software/versie.txt"));
  const bool hasExe = platform::FileExists(exe);
  const bool hasSig = platform::FileExists(sig);
  const bool hasReachability = platform::FileExists(reachability);
  if (!hasExe && !hasSig && !hasReachability && !probe) return "nothing";

  const std::string program = hasExe ? ReadFile(exe) : std::string();
  std::string programName = hasExe ? "an unknown program" : "no program";
  for (const ReleaseFiles& c : candidates) {
    if (hasExe && program == ReadFile(c.program)) programName = "the program of " + c.version;
  }
  const std::string version = hasReachability ? ReadFile(reachability) : std::string();
  std::string shown = version;
  while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
  bool sigValid = false;
  if (hasSig && hasExe) {
    sigValid = platform::VerifyFileSignature(TestPublicKey("vendor"), exe, ReadFile(sig)).outcome ==
               platform::SignatureOutcome::Valid;
  }
  for (const ReleaseFiles& c : candidates) {
    if (programName == "the program of " + c.version && version == c.version + "\r\n" && probe &&
        hasSig == c.signedRelease && sigValid == c.signedRelease) {
      return c.version;
    }
  }
  return "a mix: " + programName + ", versie.txt \"" + shown + "\", " +
         (!hasSig    ? "no signature"
          : sigValid ? "a signature that fits"
                     : "a signature that does not fit") +
         (probe ? "" : ", no probe file");
}

// Files in the root that are no part of a release: temporary copies,
// backups. The lock file of the root stays for good, as lock files do.
std::vector<std::string> Leftovers(const std::string& root) {
  const std::vector<std::string> known = {
      "kestro-publish.lock", "software/versie.txt", "software/sarvo/sarvo2006.exe",
      "software/sarvo/sarvo2006.exe.sig", "software/sarvo/versie.txt"};
  std::vector<std::string> extra;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::end(it); it.increment(ec)) {
    if (it->is_directory()) continue;
    const std::string relative = std::filesystem::relative(it->path(), root).generic_string();
    if (std::find(known.begin(), known.end(), relative) == known.end()) extra.push_back(relative);
  }
  return extra;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& i : items) out += (out.empty() ? "" : ", ") + i;
  return out;
}

// Runs kestro-publish where no file it writes may grow past `blocks` 512-byte
// blocks: the shell's file-size limit, with SIGXFSZ ignored, so a write past
// it fails (EFBIG) as it would on a full volume and the program carries on to
// its own error handling. Under Wine the same shell starts the Windows build
// through Wine's loader, so the limit binds it just the same.
CaptureResult PublishWithFileSizeLimit(const std::vector<std::string>& args, int blocks) {
  TempDir dir;
  const std::string errFile = dir / "stderr.txt";
  std::string command = OnWindows() ? "\"${WINELOADER:-wine}\" " : "";
  command += ShellQuote(UnixPathOf(BuiltProgram("kestro-publish")));
  for (const std::string& a : args) command += " " + ShellQuote(a);
  UnixScript script("trap '' XFSZ\nulimit -f " + std::to_string(blocks) + "\nexec " + command +
                    " 2>" + ShellQuote(UnixPathOf(errFile)));
  CaptureResult result;
  if (!script.Started()) {
    ADD_FAILURE() << script.StartError();
    return result;
  }
  if (!script.WaitPumping(90 * 1000)) {
    ADD_FAILURE() << "kestro-publish did not end: " << command;
    return result;
  }
  result.exitCode = script.ExitCode();
  result.out = script.Output();
  result.err = Exists(errFile) ? ReadFile(errFile) : std::string();
  return result;
}

TEST(PublishRelease, LeavesTheRootWhollyOldOrWhollyNew) {
  const ReleaseFiles old{"1.0", PeFixture("ver_nl_1_0.exe"), true};
  const ReleaseFiles next{"1.1", PeFixture("ver_nl_1_1.exe"), true};
  const ReleaseFiles nextUnsigned{"1.1", PeFixture("ver_nl_1_1.exe"), false};
  // Two large releases, so that two of them started together are still at
  // work together when they put their files in place (16 MiB of zeros after
  // the program, which a program's check allows, as a signed installer's
  // appended data).
  TempDir programs;
  const ReleaseFiles bigA{"2.0-a", programs / "a.exe", true};
  const ReleaseFiles bigB{"2.0-b", programs / "b.exe", true};
  WriteFile(bigA.program, ReadFile(PeFixture("ver_nl_1_1.exe")) + std::string(16 << 20, '\0'));
  WriteFile(bigB.program, ReadFile(PeFixture("ver_us_1_0.exe")) + std::string(16 << 20, '\0'));

  // What stands in the release's way.
  enum class Obstacle {
    None,
    FileSizeLimit,       // a write stops part-way, as on a full volume
    ReadOnlySignature,   // the live .sig may be neither replaced nor removed
    FolderForSignature,  // a folder stands where the .sig must go
    LockHeld,            // another release holds the root
  };
  struct Case {
    const char* name;
    const ReleaseFiles* live;  // published beforehand; null: an empty root
    Obstacle obstacle;
    const ReleaseFiles* release;
    // A second release started at the same moment, or null. Either of the
    // two may then publish, and the other fails as below.
    const ReleaseFiles* rival;
    int rounds;
    int exitCode;      // of a release that fails
    const char* says;  // in its standard error
  };
  const char* const restored = "the previous release was restored";
  const char* const busy = "another release is being published";
  const Case cases[] = {
      {"a copy of the program that fails part-way", &old, Obstacle::FileSizeLimit, &next, nullptr,
       1, 1, "cannot write"},
      {"a signature that cannot replace the live one", &old, Obstacle::ReadOnlySignature, &next,
       nullptr, 1, 3, restored},
      {"an unsigned release that cannot remove the live signature", &old,
       Obstacle::ReadOnlySignature, &nextUnsigned, nullptr, 1, 3, restored},
      {"a first release whose signature cannot be placed", nullptr, Obstacle::FolderForSignature,
       &next, nullptr, 1, 3, restored},
      {"a root whose lock another release holds", &old, Obstacle::LockHeld, &next, nullptr, 1, 2,
       busy},
      // Eight rounds: without the lock, nearly every other round ends in a
      // mixed root.
      {"two releases at the same time", &old, Obstacle::None, &bigA, &bigB, 8, 2, busy},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int round = 0; round < c.rounds; ++round) {
      SCOPED_TRACE("round " + std::to_string(round + 1));
      TempDir dir;
      const std::string root = dir / "www";
      MakeDirs(root);
      if (c.live != nullptr) {
        const CaptureResult r = Publish(ReleaseArgs(root, *c.live));
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
      }
      const std::string sig = In(root, "software/sarvo/sarvo2006.exe.sig");
      platform::FileLock otherRelease;
      switch (c.obstacle) {
        case Obstacle::ReadOnlySignature:
          std::filesystem::permissions(sig,
                                       std::filesystem::perms::owner_write |
                                           std::filesystem::perms::group_write |
                                           std::filesystem::perms::others_write,
                                       std::filesystem::perm_options::remove);
          break;
        case Obstacle::FolderForSignature:
          MakeDirs(sig);
          break;
        case Obstacle::LockHeld:
          ASSERT_EQ(otherRelease.TryLock(In(root, "kestro-publish.lock")),
                    platform::FileLock::Result::Acquired);
          break;
        default:
          break;
      }

      std::vector<ReleaseFiles> attempts = {*c.release};
      if (c.rival != nullptr) attempts.push_back(*c.rival);
      std::vector<CaptureResult> results(attempts.size());
      std::vector<std::thread> runs;
      for (std::size_t i = 0; i < attempts.size(); ++i) {
        const std::vector<std::string> args = ReleaseArgs(root, attempts[i]);
        if (c.obstacle == Obstacle::FileSizeLimit) {
          // 10 KiB: less than the program, more than any other file.
          results[i] = PublishWithFileSizeLimit(args, 20);
        } else {
          runs.emplace_back([&results, i, args] { results[i] = Publish(args); });
        }
      }
      for (std::thread& t : runs) t.join();
      otherRelease.Unlock();

      std::vector<ReleaseFiles> candidates;
      if (c.live != nullptr) candidates.push_back(*c.live);
      std::vector<std::string> allowed = {c.live != nullptr ? c.live->version : "nothing"};
      for (std::size_t i = 0; i < attempts.size(); ++i) {
        const CaptureResult& r = results[i];
        candidates.push_back(attempts[i]);
        if (c.rival != nullptr && r.exitCode == 0) {
          allowed.push_back(attempts[i].version);
          continue;
        }
        EXPECT_EQ(r.exitCode, c.exitCode) << attempts[i].version << ":\n" << r.out << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.says << "\n" << r.err;
      }
      // Once a release was published the old one is gone; of two published
      // one after the other the later one is live, and which one was later
      // only the two processes know.
      if (allowed.size() > 1) allowed.erase(allowed.begin());
      const std::string live = LiveRelease(root, candidates);
      EXPECT_NE(std::find(allowed.begin(), allowed.end(), live), allowed.end())
          << "the root holds " << live << "; expected " << Joined(allowed);
      EXPECT_EQ(Joined(Leftovers(root)), "") << "left in the root";
    }
  }
}

}  // namespace
