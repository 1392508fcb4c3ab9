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
#include "publish/release.h"

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/signature.h"
#include "platform/signing.h"
#include "platform/sysinfo.h"
#include "publish/release_layout.h"
#include "support/u_Utility.h"

namespace publish {

namespace {

constexpr std::size_t kMaxKeyBytes = 64 * 1024;

std::string Native(const std::string& relative) {
  std::string out = relative;
  for (char& c : out) {
    if (c == '/') c = platform::kPathDelim;
  }
  return out;
}

// One file of the release: the temporary copy and where it goes.
struct Staged {
  std::string relative;  // "software/sarvo/sarvo2006.exe"
  std::string temp;
  std::string target;
};

class Release {
 public:
  Release(const ReleaseOptions& options, std::FILE* out, std::FILE* err)
      : options_(options), out_(out), err_(err) {
    root_ = IncludeTrailingPathDelimiter(options.root);
  }
  ~Release() {
    // Whatever was not put in place is removed again.
    for (const Staged& s : staged_) {
      if (!s.temp.empty() && platform::FileExists(s.temp)) platform::FileDelete(s.temp);
    }
  }

  int Run();

 private:
  int Refuse(const std::string& line) {
    std::fprintf(err_, "kestro-publish: %s\n", line.c_str());
    return 2;
  }
  int Fail(const std::string& line) {
    std::fprintf(err_, "kestro-publish: %s\n", line.c_str());
    return 1;
  }
  std::string TempFor(const std::string& target) const {
    return target + ".publish-" + std::to_string(platform::TickCount()) + ".tmp";
  }
  // Writes `bytes` (or a copy of `source` when `bytes` is null) under a
  // temporary name beside `relative`; false with the reason in `why`.
  bool Stage(const std::string& relative, const std::string* bytes, const std::string& source,
             std::string& why);
  bool Place(const Staged& s, std::string& why);
  void Report(const std::string& relative);

  const ReleaseOptions& options_;
  std::FILE* out_;
  std::FILE* err_;
  std::string root_;
  std::vector<Staged> staged_;
};

bool Release::Stage(const std::string& relative, const std::string* bytes,
                    const std::string& source, std::string& why) {
  Staged s;
  s.relative = relative;
  s.target = root_ + Native(relative);
  s.temp = TempFor(s.target);
  if (!platform::ForceDirectories(ExtractFilePath(s.target))) {
    why = "cannot make the folder " + ExtractFilePath(s.target);
    return false;
  }
  platform::Failure error = platform::Failure::None;
  if (bytes == nullptr) {
    if (!platform::FileCopy(source, s.temp, true, &error)) {
      why = "cannot write " + s.temp + ": " + platform::FileErrorText(error);
      return false;
    }
    staged_.push_back(s);
    return true;
  }
  platform::File file;
  if (!file.Open(s.temp, platform::File::Mode::CreateNew, platform::File::Share::None, &error)) {
    why = "cannot write " + s.temp + ": " + platform::FileErrorText(error);
    return false;
  }
  staged_.push_back(s);
  if (!file.Write(bytes->data(), bytes->size(), &error)) {
    why = "cannot write " + s.temp + ": " + platform::FileErrorText(error);
    return false;
  }
  return true;
}

bool Release::Place(const Staged& s, std::string& why) {
  // Flushed to the disk first; the name then holds the whole old or the
  // whole new file at every instant.
  platform::Failure error = platform::Failure::None;
  if (!platform::ReplaceFileAtomically(s.temp, s.target, &error)) {
    why = "cannot put " + s.target + " in place: " + platform::FileErrorText(error);
    return false;
  }
  return true;
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

  // The program first, under its temporary name: it shows whether the root
  // can be written, and the signature is made over exactly these bytes.
  if (!Stage(kCompanionPath, nullptr, options_.companion, why)) {
    return Refuse("cannot write the root " + options_.root + ": " + why);
  }
  const Staged program = staged_.back();
  if (!platform::IsWholeProgramOf(options_.format, program.temp, &why)) {
    return Fail("the copy " + program.temp + " is no whole program: " + why);
  }

  platform::FileSigning signing;
  if (signedRelease) {
    signing = platform::SignFile(keyPem, program.temp);
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
  const std::string signaturePath = std::string(kCompanionPath) + kSignatureSuffix;
  if (signedRelease && !Stage(signaturePath, &signing.signature, "", why)) return Fail(why);

  std::string version = options_.version;
  if (version.empty()) version = TUtility::ReadFileVersion(options_.companion);
  if (version.empty()) version = "1.0";
  const std::string reachability = version + "\r\n";
  if (!Stage(kReachabilityPath, &reachability, "", why)) return Fail(why);
  const bool probeMissing = !platform::FileExists(root_ + Native(kProbePath));
  const std::string probe = std::string(KESTRO_FILE_VERSION) + "\r\n";
  if (probeMissing && !Stage(kProbePath, &probe, "", why)) return Fail(why);

  // Into place, in the order explained above.
  std::vector<std::string> written;
  for (const Staged& s : staged_) {
    if (!Place(s, why)) return Fail(why);
    written.push_back(s.relative);
  }
  // An unsigned release takes the last release's signature away with it: a
  // loader with a key would refuse the pair anyway, and a signature that
  // fits no program on the server only misleads.
  const std::string staleSignature = root_ + Native(signaturePath);
  if (!signedRelease && platform::FileExists(staleSignature)) {
    platform::Failure error = platform::Failure::None;
    if (!platform::FileDelete(staleSignature, &error)) {
      return Fail("cannot remove the last release's signature " + staleSignature + ": " +
                  platform::FileErrorText(error));
    }
    std::fprintf(out_, "%s  removed (it belonged to the last release)\n", staleSignature.c_str());
  }

  if (signedRelease) {
    // The pair as it lies on disk now, checked as the loader checks it, with
    // the public half of the key.
    std::string signature;
    if (platform::ReadSmallFile(staleSignature, 16 * 1024, signature) !=
        platform::SmallFileFailure::None) {
      return Fail("cannot read back " + staleSignature);
    }
    const platform::SignatureCheck check = platform::VerifyFileSignature(
        signing.publicKeyPem, root_ + Native(kCompanionPath), signature);
    if (check.outcome != platform::SignatureOutcome::Valid) {
      return Fail("the signature on disk does not verify: " + check.detail);
    }
  }
  for (const std::string& relative : written) Report(relative);
  if (signedRelease) {
    std::fprintf(out_, "signature verified with the public key (RSA, %u bits)\n", signing.keyBits);
  }
  return 0;
}

}  // namespace

int RunRelease(const ReleaseOptions& options, std::FILE* out, std::FILE* err) {
  Release release(options, out, err);
  return release.Run();
}

}  // namespace publish
