// The server check. The requests are the loader's, in its order and with its
// client and limits: the connection test's HEAD (15 s for all of it), the
// size check's HEAD of the companion, the GET of the reachability file, the
// GET of the companion into a file and, with a key, the GET of its signature.
// The texts of failures are those the loader's log would show.
#include "publish/check.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "connection/IdHTTP.h"
#include "connection/update_log_texts.h"
#include "connection/update_server_layout.h"
#include "platform/files.h"
#include "platform/signature.h"
#include "platform/signing.h"
#include "platform/sysinfo.h"
#include "support/Exceptions.h"
#include "support/path_text.h"
#include "support/u_Utility.h"

namespace publish {

namespace {

using update_server::kCompanionPath;
using update_server::kProbePath;
using update_server::kReachabilityPath;
using update_server::kSignatureSuffix;

// The connection test's limit, as the Internet tester sets it.
constexpr std::int32_t kProbeTimeoutMs = 15000;
// The signature file is read into memory up to this size, as the loader does.
constexpr std::size_t kMaxSignatureBytes = 16 * 1024;
constexpr std::size_t kMaxKeyBytes = 64 * 1024;

enum class Verdict { Ok, Fail, Skipped };

struct Row {
  std::string point;
  Verdict verdict = Verdict::Skipped;
  std::string figure;
  std::string logText;  // what the loader's log shows, for a failure
};

// What one request did, for the rows that look at every request.
struct Seen {
  std::string what;
  int status = -1;
  std::string statusLine;
  bool chunked = false;
  bool secureFailure = false;
  std::string secureText;
};

std::string LoaderText(const std::exception& e) {
  const ExceptionDescription d = Describe(e);
  return d.className + ": " + d.message;
}

std::string TempFolder() {
  for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
    std::string value;
    if (platform::GetEnv(name, value) && !value.empty() && platform::DirectoryExists(value)) {
      return IncludeTrailingPathDelimiter(value);
    }
  }
  return IncludeTrailingPathDelimiter(platform::CurrentDirectory());
}

// A temporary file of this check's own: a random name in the temporary
// folder, created exclusively, so that in a shared folder nobody can have
// put a file or a link there beforehand. `path` gets its name.
platform::File CreatePrivateTemp(std::string& path) {
  platform::File file;
  platform::Failure error = platform::Failure::None;
  if (platform::CreateFileWithRandomName(TempFolder() + "kestro-publish-check-", ".tmp", file, path,
                                         &error)) {
    return file;
  }
  if (error == platform::Failure::FileExists) {
    throw EFCreateError("No unused name for a temporary file in " + TempFolder());
  }
  throw EFCreateError("Cannot create file \"" + path + "\". " + platform::FileErrorText(error));
}

class ServerCheck {
 public:
  ServerCheck(const CheckOptions& options, std::FILE* out) : options_(options), out_(out) {
    base_ = options.url;
    while (!base_.empty() && base_.back() == '/') base_.pop_back();
  }
  ~ServerCheck() {
    // Only the file this check made: the name is empty until then.
    if (!temp_.empty()) platform::FileDelete(temp_);
  }

  int Run(const std::string& publicKeyPem);

 private:
  std::string Url(const char* serverPath) const { return base_ + serverPath; }
  void Record(const std::string& what, const TIdHTTP& http, const std::exception* e);
  void Probe();
  void CompanionHead();
  void Reachability();
  void CompanionGet();
  void WholeProgram();
  void Signature(const std::string& publicKeyPem);
  void Redirects();
  void Chunked();
  void Certificate();
  void SameAsFile();
  void Resume();
  int Print() const;

  const CheckOptions& options_;
  std::FILE* out_;
  std::string base_;
  std::string temp_;
  std::vector<Seen> seen_;
  std::vector<Row> rows_;
  std::int32_t headLength_ = -1;
  bool bodyWhole_ = false;
  std::string validator_;  // the download's, as TIdHTTP::Validator gives it
};

void ServerCheck::Record(const std::string& what, const TIdHTTP& http, const std::exception* e) {
  Seen s;
  s.what = what;
  s.status = http.ResponseCode();
  s.statusLine = http.ResponseText();
  s.chunked = http.Chunked();
  if (e != nullptr && dynamic_cast<const EIdSecureConnectionError*>(e) != nullptr) {
    s.secureFailure = true;
    s.secureText = LoaderText(*e);
  }
  seen_.push_back(s);
}

void ServerCheck::Probe() {
  Row row;
  row.point = "probe: HEAD " + std::string(kProbePath) + " answers 200 within 15 s";
  TIdHTTP http;
  http.ConnectTimeout = kProbeTimeoutMs;
  http.ReadTimeout = kProbeTimeoutMs;
  http.TotalTimeout = kProbeTimeoutMs;
  const std::uint32_t t0 = platform::TickCount();
  try {
    http.Head(Url(kProbePath));
    const std::uint32_t ms = platform::TickCount() - t0;
    Record("probe HEAD", http, nullptr);
    row.figure = http.ResponseText() + ", " + std::to_string(ms) + " ms";
    row.verdict = http.ResponseCode() == 200 ? Verdict::Ok : Verdict::Fail;
    if (row.verdict == Verdict::Fail) {
      row.logText = "Response received in: ... (a " + std::to_string(http.ResponseCode()) +
                    " counts as online, but is not the contract)";
    }
  } catch (const EIdHTTPProtocolException& e) {
    Record("probe HEAD", http, &e);
    row.verdict = Verdict::Fail;
    row.figure = std::to_string(platform::TickCount() - t0) + " ms";
    row.logText = "Code: " + std::to_string(e.ErrorCode()) + ", " + e.Message() +
                  " -> \"Webserver niet beschikbaar\"";
  } catch (const std::exception& e) {
    Record("probe HEAD", http, &e);
    row.verdict = Verdict::Fail;
    row.figure = std::to_string(platform::TickCount() - t0) + " ms";
    row.logText = Describe(e).message + " -> \"Webserver niet beschikbaar\"";
  }
  rows_.push_back(row);
}

void ServerCheck::CompanionHead() {
  Row row;
  row.point = "size check: HEAD " + std::string(kCompanionPath) + " answers 200 with a length";
  TIdHTTP http;
  try {
    http.Head(Url(kCompanionPath));
    Record("companion HEAD", http, nullptr);
    headLength_ = http.ContentLength();
    if (http.ResponseCode() != 200) {
      row.verdict = Verdict::Fail;
      row.figure = http.ResponseText();
      row.logText = "Sarvo could not be found @ " + Url(kCompanionPath);
    } else if (headLength_ < 0) {
      row.verdict = Verdict::Fail;
      row.figure = "no Content-Length";
      row.logText =
          "(none) every loader takes the companion for out of date and downloads it "
          "at every start";
    } else {
      row.verdict = Verdict::Ok;
      row.figure = "Content-Length " + std::to_string(headLength_);
    }
  } catch (const std::exception& e) {
    Record("companion HEAD", http, &e);
    row.verdict = Verdict::Fail;
    row.figure = http.ResponseText().empty() ? "no answer" : http.ResponseText();
    const ExceptionDescription d = Describe(e);
    row.logText = "Exception [" + d.className + "]: " + d.message;
  }
  rows_.push_back(row);
}

void ServerCheck::Reachability() {
  Row row;
  row.point = "reachability: GET " + std::string(kReachabilityPath) + " answers";
  TIdHTTP http;
  try {
    const std::string body = http.Get(Url(kReachabilityPath));
    Record("reachability GET", http, nullptr);
    row.verdict = Verdict::Ok;
    row.figure = http.ResponseText() + ", " + std::to_string(body.size()) + " bytes";
  } catch (const std::exception& e) {
    Record("reachability GET", http, &e);
    row.verdict = Verdict::Fail;
    row.figure = http.ResponseText().empty() ? "no answer" : http.ResponseText();
    row.logText = "(none) the loader skips the update without a word: " + LoaderText(e);
  }
  rows_.push_back(row);
}

void ServerCheck::CompanionGet() {
  Row row;
  row.point = "download: GET's body has the HEAD's length, not cut";
  TIdHTTP http;
  try {
    platform::File file = CreatePrivateTemp(temp_);
    // As the loader fetches it: a byte past the HEAD's length ends it.
    http.Get(Url(kCompanionPath), file, headLength_ >= 0 ? headLength_ : TIdHTTP::kMaxFileBody);
    const std::int64_t received = file.Size();
    file.Close();
    Record("companion GET", http, nullptr);
    validator_ = http.Validator();
    row.figure = std::to_string(received) + " bytes";
    if (received == 0) {
      row.verdict = Verdict::Fail;
      row.logText = DownloadCauseLine("EIdException",
                                      NoContentMessage(Url(kCompanionPath), http.ResponseCode()));
    } else if (headLength_ >= 0 && received != headLength_) {
      // Only a shorter body comes here: a longer one raised above.
      row.verdict = Verdict::Fail;
      row.figure += ", the HEAD declared " + std::to_string(headLength_);
      if (http.ContentLength() < 0) {
        row.logText =
            DownloadCauseLine("EIdConnClosedGracefully",
                              ClosedEarlyMessage(received, headLength_, Url(kCompanionPath)));
      } else {
        row.logText =
            "(none) the loader installs it, then finds it out of date at every start "
            "and downloads it again";
      }
    } else {
      row.verdict = Verdict::Ok;
      bodyWhole_ = true;
    }
  } catch (const std::exception& e) {
    Record("companion GET", http, &e);
    row.verdict = Verdict::Fail;
    row.figure = http.ResponseText().empty() ? "no answer" : http.ResponseText();
    // What came before the failure is in the file; the loader removes it.
    const std::int32_t received = TUtility::GetFileSize(temp_);
    if (received > 0) row.figure += ", " + std::to_string(received) + " bytes received";
    const ExceptionDescription d = Describe(e);
    row.logText = DownloadCauseLine(d.className, d.message);
  }
  rows_.push_back(row);
}

void ServerCheck::WholeProgram() {
  Row row;
  row.point = "the body is a whole program";
  if (!bodyWhole_) {
    row.figure = "no whole body to judge";
    rows_.push_back(row);
    return;
  }
  std::string why;
  if (platform::IsWholeProgramOf(options_.format, temp_, &why)) {
    row.verdict = Verdict::Ok;
    row.figure = options_.format == platform::ProgramFormat::Windows ? "Windows program"
                                                                     : "Linux port program";
  } else {
    row.verdict = Verdict::Fail;
    row.figure = why;
    row.logText = DownloadCauseLine("EInvalidExecutable", NotAProgramMessage("sarvo2006.tmp", why));
  }
  rows_.push_back(row);
}

void ServerCheck::Signature(const std::string& publicKeyPem) {
  Row row;
  row.point = "signature: " + std::string(kCompanionPath) + kSignatureSuffix + " present and valid";
  if (publicKeyPem.empty()) {
    row.figure = "no --key given";
    rows_.push_back(row);
    return;
  }
  const std::string sigUrl = Url(kCompanionPath) + kSignatureSuffix;
  std::string signature;
  TIdHTTP http;
  try {
    signature = http.Get(sigUrl, kMaxSignatureBytes);
    Record("signature GET", http, nullptr);
  } catch (const std::exception& e) {
    Record("signature GET", http, &e);
    row.verdict = Verdict::Fail;
    row.figure = http.ResponseText().empty() ? "no answer" : http.ResponseText();
    row.logText =
        DownloadCauseLine("EUpdateSignatureError", SignatureNotReceivedMessage(sigUrl, e));
    rows_.push_back(row);
    return;
  }
  if (!bodyWhole_) {
    row.figure = "no whole body to check it over";
    rows_.push_back(row);
    return;
  }
  const platform::SignatureCheck check =
      platform::VerifyFileSignature(publicKeyPem, temp_, signature);
  switch (check.outcome) {
    case platform::SignatureOutcome::Valid:
      row.verdict = Verdict::Ok;
      row.figure = "valid, RSA " + std::to_string(check.keyBits) + " bits";
      break;
    case platform::SignatureOutcome::Mismatch:
      row.verdict = Verdict::Fail;
      row.figure = "does not fit the program";
      row.logText = DownloadCauseLine("EUpdateSignatureError",
                                      SignatureMismatchMessage(sigUrl, check.detail));
      break;
    default:
      row.verdict = Verdict::Fail;
      row.figure = "cannot be checked";
      row.logText = DownloadCauseLine("EUpdateSignatureError", check.detail);
      break;
  }
  rows_.push_back(row);
}

void ServerCheck::Redirects() {
  Row row;
  row.point = "no redirect anywhere";
  row.verdict = Verdict::Ok;
  row.figure = "none";
  for (const Seen& s : seen_) {
    if (s.status >= 300 && s.status <= 399) {
      row.verdict = Verdict::Fail;
      row.figure = s.what + ": " + s.statusLine;
      row.logText = "Code: " + std::to_string(s.status) + ", " + s.statusLine +
                    " (the loader never follows a redirect)";
      break;
    }
  }
  rows_.push_back(row);
}

void ServerCheck::Chunked() {
  Row row;
  row.point = "no chunked answer";
  row.verdict = Verdict::Ok;
  row.figure = "none";
  for (const Seen& s : seen_) {
    if (s.chunked) {
      row.verdict = Verdict::Fail;
      row.figure = s.what + " is chunked";
      row.logText = "(the Windows loader asks in HTTP/1.0 and takes no byte of a chunked body)";
      break;
    }
  }
  rows_.push_back(row);
}

void ServerCheck::Certificate() {
  Row row;
  row.point = "https: the certificate is trusted and names the host";
  if (base_.compare(0, 8, "https://") != 0) {
    row.figure = "plain http";
    rows_.push_back(row);
    return;
  }
  row.verdict = Verdict::Ok;
  row.figure = "trusted";
  for (const Seen& s : seen_) {
    if (s.secureFailure) {
      row.verdict = Verdict::Fail;
      row.figure = s.what;
      row.logText = s.secureText + " -> \"Webserver niet beschikbaar\"";
      break;
    }
  }
  rows_.push_back(row);
}

void ServerCheck::SameAsFile() {
  Row row;
  row.point = "the body equals --companion byte for byte";
  if (options_.companion.empty()) {
    row.figure = "no --companion given";
    rows_.push_back(row);
    return;
  }
  if (!bodyWhole_) {
    row.figure = "no whole body to compare";
    rows_.push_back(row);
    return;
  }
  std::string served, local, why;
  if (!platform::FileSha256(temp_, served, &why) ||
      !platform::FileSha256(options_.companion, local, &why)) {
    row.verdict = Verdict::Fail;
    row.figure = why;
    rows_.push_back(row);
    return;
  }
  const bool same =
      served == local && TUtility::GetFileSize(temp_) == TUtility::GetFileSize(options_.companion);
  row.verdict = same ? Verdict::Ok : Verdict::Fail;
  row.figure = same ? "SHA-256 " + served : "served " + served + ", file " + local;
  if (!same) row.logText = "(none) the loader would install another program than this file";
  rows_.push_back(row);
}

// Whether a download that broke off can go on where it stopped: the second
// half of the release asked for as the loader asks, with the validator. Only
// information: a server that always sends the whole release still works.
void ServerCheck::Resume() {
  Row row;
  row.point = "resume: a range with the release's validator is honoured";
  row.verdict = Verdict::Skipped;
  const bool strong =
      validator_.rfind("ETag W/", 0) != 0 &&
      (validator_.rfind("ETag ", 0) == 0 || validator_.rfind("Last-Modified ", 0) == 0);
  if (!bodyWhole_ || headLength_ < 2) {
    row.figure = "no whole download to resume";
  } else if (!strong) {
    row.figure = validator_.empty() ? "no ETag or Last-Modified" : "only a weak ETag";
  } else {
    const std::int64_t from = headLength_ / 2;
    TIdHTTP http;
    http.RangeFrom = from;
    http.IfRange = validator_.substr(validator_.find(' ') + 1);
    std::string path;
    try {
      platform::File file = CreatePrivateTemp(path);
      http.Get(Url(kCompanionPath), file, headLength_ - from);
      const std::int64_t received = file.Size();
      file.Close();
      const std::string expected = "bytes " + std::to_string(from) + "-" +
                                   std::to_string(headLength_ - 1) + "/" +
                                   std::to_string(headLength_);
      if (http.ResponseCode() == 206 && http.ContentRange() == expected &&
          received == headLength_ - from) {
        row.verdict = Verdict::Ok;
        row.figure = "206, " + expected;
      } else {
        row.figure =
            http.ResponseText() + (http.ContentRange().empty() ? "" : ", " + http.ContentRange());
      }
    } catch (const std::exception& e) {
      row.figure = http.ResponseText().empty() ? LoaderText(e) : http.ResponseText();
    }
    if (!path.empty()) platform::FileDelete(path);
  }
  rows_.push_back(row);
}

int ServerCheck::Print() const {
  bool failed = false;
  for (const Row& r : rows_) {
    const char* verdict = r.verdict == Verdict::Ok     ? "ok"
                          : r.verdict == Verdict::Fail ? "FAIL"
                                                       : "-";
    std::fprintf(out_, "%-4s  %-66s  %s\n", verdict, r.point.c_str(), r.figure.c_str());
    if (r.verdict == Verdict::Fail) {
      failed = true;
      std::fprintf(out_, "      loader's log: %s\n", r.logText.c_str());
    }
  }
  std::fprintf(out_, "%s\n",
               failed ? "A loader would NOT install and start this release."
                      : "A loader would install and start this release.");
  return failed ? 1 : 0;
}

int ServerCheck::Run(const std::string& publicKeyPem) {
  // The loader's order: the connection test, the size check, the
  // reachability file, the download and its signature.
  Probe();
  CompanionHead();
  Reachability();
  CompanionGet();
  WholeProgram();
  Signature(publicKeyPem);
  // Rows in the order of the contract's points.
  std::vector<Row> ordered = {rows_[0], rows_[1], rows_[3]};
  Redirects();
  Chunked();
  ordered.push_back(rows_[6]);
  ordered.push_back(rows_[7]);
  ordered.push_back(rows_[4]);
  ordered.push_back(rows_[5]);
  Certificate();
  SameAsFile();
  Resume();
  ordered.push_back(rows_[8]);
  ordered.push_back(rows_[9]);
  ordered.push_back(rows_[2]);
  ordered.push_back(rows_[10]);
  rows_ = ordered;
  return Print();
}

}  // namespace

int RunCheck(const CheckOptions& options, std::FILE* out, std::FILE* err) {
  std::string publicKeyPem;
  if (!options.key.empty() && platform::ReadSmallFile(options.key, kMaxKeyBytes, publicKeyPem) !=
                                  platform::SmallFileFailure::None) {
    std::fprintf(err, "kestro-publish: cannot read the key %s\n", options.key.c_str());
    return 2;
  }
  if (!options.companion.empty() && !platform::FileExists(options.companion)) {
    std::fprintf(err, "kestro-publish: cannot read %s\n", options.companion.c_str());
    return 2;
  }
  if (options.url.compare(0, 7, "http://") != 0 && options.url.compare(0, 8, "https://") != 0) {
    std::fprintf(err, "kestro-publish: %s is no http:// or https:// address\n",
                 options.url.c_str());
    return 2;
  }
  ServerCheck check(options, out);
  const std::uint32_t t0 = platform::TickCount();
  const int code = check.Run(publicKeyPem);
  std::fprintf(out, "checked in %u ms\n", static_cast<unsigned>(platform::TickCount() - t0));
  return code;
}

}  // namespace publish
