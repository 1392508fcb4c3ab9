// The release: every file is written whole under a temporary name in its own
// folder, flushed, and then renamed into place, so the web server only ever
// serves whole files.
//
// The order of the renames keeps the time in which a loader could fetch a
// program and a signature that do not belong together as short as it can be.
// A loader asks for the signature only after it has received the whole
// program. The program is therefore renamed first and its signature at once
// after it: a loader that received the new program asks for the signature a
// whole download later, long after the signature's rename. The other order
// would give every loader whose download began between the two renames the
// old program with the new signature. Either way a loader that was already
// receiving the old program when the renames happened gets a signature that
// does not fit and installs nothing (it tries again at its next start); no
// order of two renames can avoid that. The reachability file follows, and
// the probe file only when it is missing, so it never changes under a
// running loader.
//
// All or nothing. Everything that can fail without touching the live release
// happens before the first rename: the new files are written, and a copy of
// every live file that the release replaces or removes is kept aside under a
// random name in the same folder. A failure after the first rename puts those
// copies back, with the same atomic replace and in the same order (program
// first, for the same reason), and removes what the release added where
// nothing stood before. The live files are copied rather than renamed aside:
// a rename would leave the name empty for a moment, and a loader asking then
// would count the update server as broken.
//
// One release at a time per root: a lock file in the root, taken before the
// first file is written. A second release finds it held and stops at once,
// changing nothing. It does not wait: two releases started together are a
// mistake in the maker's script, and waiting would publish both, the one
// that happened to come second winning without a word.
#include "publish/release.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "connection/update_server_layout.h"
#include "platform/file_lock.h"
#include "platform/files.h"
#include "platform/signature.h"
#include "platform/signing.h"
#include "platform/sysinfo.h"
#include "support/path_text.h"
#include "support/u_Utility.h"

namespace publish {

namespace {

constexpr std::size_t kMaxKeyBytes = 64 * 1024;
// The release's files relative to the root, where loaders look for them.
constexpr const char* kCompanionFile = update_server::InWebRoot(update_server::kCompanionPath);
constexpr const char* kReachabilityFile =
    update_server::InWebRoot(update_server::kReachabilityPath);
constexpr const char* kProbeFile = update_server::InWebRoot(update_server::kProbePath);
// The root's lock file; it stays, so it is the meeting point of every later
// release too.
constexpr char kLockName[] = "kestro-publish.lock";

// The exit codes, as release.h explains them.
constexpr int kPublished = 0;
constexpr int kFailedUntouched = 1;
constexpr int kRefused = 2;
constexpr int kFailedRestored = 3;
constexpr int kFailedNotRestored = 4;

std::string Native(const std::string& relative) {
  std::string out = relative;
  for (char& c : out) {
    if (c == '/') c = platform::kPathDelim;
  }
  return out;
}

// One file of the release: what goes in place of the target, and what stood
// there before.
struct Staged {
  std::string relative;  // "software/sarvo/sarvo2006.exe"
  std::string target;
  // The new file under its temporary name; empty once it is in place.
  std::string temp;
  // The live file as it was, kept aside until the release stands; empty
  // when there was none, and once it is back.
  std::string backup;
  bool removal = false;     // the release takes the target away
  bool existed = false;     // a file stood at the target before the release
  bool placed = false;      // the target has changed
  bool keepBackup = false;  // the backup is all that is left of the old file
};

class Release {
 public:
  Release(const ReleaseOptions& options, std::FILE* out, std::FILE* err)
      : options_(options), out_(out), err_(err) {
    root_ = IncludeTrailingPathDelimiter(options.root);
  }
  ~Release() {
    // Whatever was not put in place is removed again, and so is every copy
    // of the previous release, unless it is the only one left of a file
    // that could not be put back.
    for (const Staged& s : staged_) {
      if (!s.temp.empty()) platform::FileDelete(s.temp);
      if (!s.backup.empty() && !s.keepBackup) platform::FileDelete(s.backup);
    }
  }

  int Run();

 private:
  int Refuse(const std::string& line) {
    std::fprintf(err_, "kestro-publish: %s\n", line.c_str());
    return kRefused;
  }
  int Fail(const std::string& line) {
    std::fprintf(err_, "kestro-publish: %s\n", line.c_str());
    return kFailedUntouched;
  }
  // A failure once the live release has changed: the previous release is
  // put back.
  int FailAndRestore(const std::string& line);

  // Creates a new file beside `target` under a name with a random part, so
  // that no other writer (another release, a file left by a killed one) can
  // hold the same name; the name is in `path` from the moment it exists.
  bool CreateBeside(const std::string& target, const char* suffix, platform::File& file,
                    std::string& path, std::string& why);
  // Writes `bytes` (or a copy of `source` when `bytes` is null) under a
  // temporary name beside `relative`; false with the reason in `why`, and
  // `created` false when not even the temporary file could be made.
  bool Stage(const std::string& relative, const std::string* bytes, const std::string& source,
             bool& created, std::string& why);
  // Keeps a copy of the live file of `s` aside, when there is one.
  bool KeepAside(Staged& s, std::string& why);
  bool Place(Staged& s, std::string& why);
  void Report(const std::string& relative);

  const ReleaseOptions& options_;
  std::FILE* out_;
  std::FILE* err_;
  std::string root_;
  platform::FileLock lock_;
  std::vector<Staged> staged_;
};

bool Release::CreateBeside(const std::string& target, const char* suffix, platform::File& file,
                           std::string& path, std::string& why) {
  platform::Failure error = platform::Failure::None;
  if (platform::CreateFileWithRandomName(target + ".publish-", suffix, file, path, &error)) {
    return true;
  }
  why = error == platform::Failure::FileExists
            ? "no unused temporary name beside " + target
            : "cannot write " + path + ": " + platform::FileErrorText(error);
  path.clear();
  return false;
}

// Copies `from` into the open file `to`; false with the reason in `why`.
bool CopyInto(const std::string& from, platform::File& to, const std::string& toPath,
              std::string& why) {
  platform::File source;
  platform::Failure error = platform::Failure::None;
  if (!source.Open(from, platform::File::Mode::OpenRead, platform::File::Share::ReadWrite,
                   &error)) {
    why = "cannot read " + from + ": " + platform::FileErrorText(error);
    return false;
  }
  std::vector<char> buffer(1 << 16);
  for (;;) {
    std::size_t read = 0;
    if (!source.Read(buffer.data(), buffer.size(), read)) {
      why = "cannot read " + from;
      return false;
    }
    if (read == 0) return true;
    if (!to.Write(buffer.data(), read, &error)) {
      why = "cannot write " + toPath + ": " + platform::FileErrorText(error);
      return false;
    }
  }
}

bool Release::Stage(const std::string& relative, const std::string* bytes,
                    const std::string& source, bool& created, std::string& why) {
  created = false;
  Staged s;
  s.relative = relative;
  s.target = root_ + Native(relative);
  if (!platform::ForceDirectories(ExtractFilePath(s.target))) {
    why = "cannot make the folder " + ExtractFilePath(s.target);
    return false;
  }
  platform::File file;
  if (!CreateBeside(s.target, ".tmp", file, s.temp, why)) return false;
  // Listed before the first byte, so that whatever happens from here on,
  // the file is removed again unless it is put in place.
  created = true;
  staged_.push_back(s);
  if (bytes == nullptr) return CopyInto(source, file, s.temp, why);
  platform::Failure error = platform::Failure::None;
  if (!file.Write(bytes->data(), bytes->size(), &error)) {
    why = "cannot write " + s.temp + ": " + platform::FileErrorText(error);
    return false;
  }
  return true;
}

bool Release::KeepAside(Staged& s, std::string& why) {
  s.existed = platform::FileExists(s.target);
  if (!s.existed) return true;
  platform::File file;
  if (!CreateBeside(s.target, ".old", file, s.backup, why)) return false;
  if (!CopyInto(s.target, file, s.backup, why)) {
    why = "cannot keep a copy of " + s.target + " aside: " + why;
    return false;
  }
  return true;
}

bool Release::Place(Staged& s, std::string& why) {
  platform::Failure error = platform::Failure::None;
  if (s.removal) {
    if (!platform::FileDelete(s.target, &error)) {
      why = "cannot remove the last release's " + s.target + ": " + platform::FileErrorText(error);
      return false;
    }
    s.placed = true;
    return true;
  }
  // Flushed to the disk first; the name then holds the whole old or the
  // whole new file at every instant.
  if (!platform::ReplaceFileAtomically(s.temp, s.target, &error)) {
    why = "cannot put " + s.target + " in place: " + platform::FileErrorText(error);
    return false;
  }
  s.temp.clear();
  s.placed = true;
  return true;
}

int Release::FailAndRestore(const std::string& line) {
  std::fprintf(err_, "kestro-publish: %s\n", line.c_str());
  // In the order of the release itself: the program first, its signature
  // right after it.
  bool whole = true;
  for (Staged& s : staged_) {
    if (!s.placed) continue;
    platform::Failure error = platform::Failure::None;
    if (s.existed) {
      if (platform::ReplaceFileAtomically(s.backup, s.target, &error)) {
        s.backup.clear();
        continue;
      }
      std::fprintf(err_, "kestro-publish: cannot put %s back: %s; its previous version is %s\n",
                   s.target.c_str(), platform::FileErrorText(error).c_str(), s.backup.c_str());
      s.keepBackup = true;
    } else {
      if (!platform::FileExists(s.target) || platform::FileDelete(s.target, &error)) continue;
      std::fprintf(err_, "kestro-publish: cannot remove %s again: %s\n", s.target.c_str(),
                   platform::FileErrorText(error).c_str());
    }
    whole = false;
  }
  if (!whole) {
    std::fprintf(err_, "kestro-publish: the previous release could not be wholly restored in %s\n",
                 options_.root.c_str());
    return kFailedNotRestored;
  }
  std::fprintf(err_, "kestro-publish: the previous release was restored in %s\n",
               options_.root.c_str());
  return kFailedRestored;
}

void Release::Report(const std::string& relative) {
  const std::string path = root_ + Native(relative);
  std::string sha, why;
  if (!platform::FileSha256(path, sha, &why)) sha = "(" + why + ")";
  std::fprintf(out_, "%s  %lld  %s\n", path.c_str(),
               static_cast<long long>(TUtility::GetFileSize(path)), sha.c_str());
}

int Release::Run() {
  const bool forWindows = options_.format == platform::ProgramFormat::Windows;
  std::string why;
  if (!platform::IsWholeProgramOf(options_.format, options_.companion, &why)) {
    return Refuse(options_.companion + " is no whole " +
                  (forWindows ? "Windows program" : "program for the Linux port") + ": " + why);
  }
  const bool signedRelease = !options_.key.empty();
  std::string keyPem;
  if (signedRelease && platform::ReadSmallFile(options_.key, kMaxKeyBytes, keyPem) !=
                           platform::SmallFileFailure::None) {
    return Refuse("cannot read the key " + options_.key);
  }

  if (!platform::ForceDirectories(options_.root)) {
    return Refuse("cannot write the root " + options_.root + ": cannot make the folder");
  }
  const std::string lockPath = root_ + kLockName;
  platform::Failure lockError = platform::Failure::None;
  switch (lock_.TryLock(lockPath, &lockError)) {
    case platform::FileLock::Result::Acquired:
      break;
    case platform::FileLock::Result::Held:
      return Refuse("another release is being published into " + options_.root + " (" + lockPath +
                    " is held); nothing was changed");
    default:
      return Refuse("cannot write the root " + options_.root + ": cannot lock " + lockPath + ": " +
                    platform::FileErrorText(lockError));
  }

  // The program first, under its temporary name: it shows whether the root
  // can be written, and the signature is made over exactly these bytes.
  bool created = false;
  if (!Stage(kCompanionFile, nullptr, options_.companion, created, why)) {
    return created ? Fail(why) : Refuse("cannot write the root " + options_.root + ": " + why);
  }
  const std::string programTemp = staged_.back().temp;
  if (!platform::IsWholeProgramOf(options_.format, programTemp, &why)) {
    return Fail("the copy " + programTemp + " is no whole program: " + why);
  }

  platform::FileSigning signing;
  if (signedRelease) {
    signing = platform::SignFile(keyPem, programTemp);
    switch (signing.outcome) {
      case platform::SigningOutcome::Signed:
        break;
      case platform::SigningOutcome::KeyUnusable:
        return Refuse("the key " + options_.key + " cannot sign: " + signing.detail);
      case platform::SigningOutcome::KeyTooWeak:
        return Refuse("the key " + options_.key + " is too weak: " + signing.detail);
      default:
        return Fail("signing failed: " + signing.detail);
    }
  }
  const std::string signaturePath = std::string(kCompanionFile) + update_server::kSignatureSuffix;
  const std::string signatureFile = root_ + Native(signaturePath);
  if (signedRelease) {
    if (!Stage(signaturePath, &signing.signature, "", created, why)) return Fail(why);
  } else if (platform::FileExists(signatureFile)) {
    // An unsigned release takes the last release's signature away with it,
    // in the signature's place in the order: a loader with a key would
    // refuse the pair anyway, and a signature that fits no program on the
    // server only misleads.
    Staged removal;
    removal.relative = signaturePath;
    removal.target = signatureFile;
    removal.removal = true;
    staged_.push_back(removal);
  }

  std::string version = options_.version;
  if (version.empty()) version = TUtility::ReadFileVersion(options_.companion);
  if (version.empty()) version = "1.0";
  const std::string reachability = version + "\r\n";
  if (!Stage(kReachabilityFile, &reachability, "", created, why)) return Fail(why);
  const bool probeMissing = !platform::FileExists(root_ + Native(kProbeFile));
  const std::string probe = std::string(KESTRO_FILE_VERSION) + "\r\n";
  if (probeMissing && !Stage(kProbeFile, &probe, "", created, why)) return Fail(why);

  for (Staged& s : staged_) {
    if (!KeepAside(s, why)) return Fail(why);
  }

  // Into place, in the order explained above. From the first rename on, a
  // failure puts the previous release back.
  for (Staged& s : staged_) {
    if (!Place(s, why)) return FailAndRestore(why);
  }

  if (signedRelease) {
    // The pair as it lies on disk now, checked as the loader checks it, with
    // the public half of the key.
    std::string signature;
    if (platform::ReadSmallFile(signatureFile, 16 * 1024, signature) !=
        platform::SmallFileFailure::None) {
      return FailAndRestore("cannot read back " + signatureFile);
    }
    const platform::SignatureCheck check = platform::VerifyFileSignature(
        signing.publicKeyPem, root_ + Native(kCompanionFile), signature);
    if (check.outcome != platform::SignatureOutcome::Valid) {
      return FailAndRestore("the signature on disk does not verify: " + check.detail);
    }
  }
  for (const Staged& s : staged_) {
    if (s.removal) {
      std::fprintf(out_, "%s  removed (it belonged to the last release)\n", s.target.c_str());
    } else {
      Report(s.relative);
    }
  }
  if (signedRelease) {
    std::fprintf(out_, "signature verified with the public key (RSA, %u bits)\n", signing.keyBits);
  }
  return kPublished;
}

}  // namespace

int RunRelease(const ReleaseOptions& options, std::FILE* out, std::FILE* err) {
  Release release(options, out, err);
  return release.Run();
}

}  // namespace publish
