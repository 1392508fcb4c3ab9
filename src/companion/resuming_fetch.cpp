#include "companion/resuming_fetch.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "companion/record_file.h"
#include "connection/IdHTTP.h"
#include "support/u_Utility.h"

namespace companion {

namespace {

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The value for If-Range: the validator without its name.
std::string IfRangeValue(const std::string& validator) {
  const std::string::size_type blank = validator.find(' ');
  return blank == std::string::npos ? std::string() : validator.substr(blank + 1);
}

void LogResume(const std::string& name, std::int64_t from) {
  TDebug::LogFmt("Download van %s wordt hervat vanaf %s",
                 {name, TUtility::FormatFileSize(static_cast<std::int32_t>(from))}, "");
}

void LogDiscard(const std::string& name, const std::string& why) {
  TDebug::LogFmt("Gedeeltelijke download van %s weggegooid (%s)", {name, why}, "");
}

// The one download of a start: the partial's record, what is on the disk
// for sure, and how many resumes were of little use.
class Fetch {
 public:
  Fetch(const std::string& url, const std::string& name, const PartialDownload& partial,
        platform::File& into)
      : url_(url), name_(name), partial_(partial), into_(into) {}

  FetchedBody Run(std::int64_t serverSize, const std::string& serverValidator) {
    record_.url = url_;
    record_.declaredSize = serverSize;
    record_.validator = serverValidator;
    record_.began = Now();
    std::int64_t from = TakeOverKeptPartial(serverSize, serverValidator);
    furthest_ = from;
    for (;;) {
      try {
        Attempt(from, serverSize);
        return landed_;
      } catch (const EIdHTTPProtocolException& e) {
        // Only the answer to a range is judged here; any other is the
        // download's failure.
        if (from == 0) throw;
        if (e.ErrorCode() == 416 && IsCompleteBy416(from)) return landed_;
        if (!StartOver("antwoord " + std::to_string(e.ErrorCode()) + " op het vervolg")) throw;
      } catch (const EIdException& e) {
        const bool again =
            !refusal_.empty() ? StartOver(refusal_) : BrokeOff(e) && KeepWhatArrived();
        if (!again) throw;
      } catch (...) {
        Forget();
        throw;
      }
      from = into_.Size();
      if (from > 0) LogResume(name_, from);
    }
  }

 private:
  // The kept partial of an earlier start, if it is the server's release:
  // how much of it counts. Anything else is thrown away.
  std::int64_t TakeOverKeptPartial(std::int64_t serverSize, const std::string& serverValidator) {
    PartialRecord kept;
    std::int64_t from = 0;
    if (partial_.Usable() && partial_.Load(kept)) {
      const std::string why =
          WhyNotResumable(kept, into_.Size(), url_, serverSize, serverValidator, Now());
      if (why.empty()) {
        record_ = kept;
        from = kept.bytes;
        if (from > 0) LogResume(name_, from);
      } else {
        LogDiscard(name_, why);
        platform::FileDelete(partial_.RecordPath());
      }
    }
    if (!into_.TruncateTo(from)) throw EWriteError("Cannot prepare " + partial_.Path());
    return from;
  }

  // One GET, from `from` on, that lands the body whole (landed_ then tells
  // it) or raises: a broken connection, an answer that is no success, or a
  // head that JudgeHead refused (refusal_ says why).
  void Attempt(std::int64_t from, std::int64_t serverSize) {
    TIdHTTP http;
    refusal_.clear();
    const bool ranged = from > 0;
    if (ranged) {
      http.RangeFrom = from;
      http.IfRange = IfRangeValue(record_.validator);
    }
    http.OnHead = [this, &http, ranged, from, serverSize] {
      return JudgeHead(http, ranged, from, serverSize);
    };
    std::int64_t sinceRecord = 0;
    http.OnWritten = [this, &sinceRecord](std::int64_t piece) {
      sinceRecord += piece;
      if (sinceRecord < kRecordEveryBytes) return;
      sinceRecord = 0;
      RecordFlushed();
    };
    if (!ranged) TDebug::LogFmt("Downloaden van %s", {url_}, "");
    // The limit is the whole release's, for an answer that brings the rest of
    // it as for one that brings all of it.
    const std::int64_t whole = record_.declaredSize >= 0 ? record_.declaredSize
                               : serverSize >= 0         ? serverSize
                                                         : TIdHTTP::kMaxFileBody;
    try {
      http.Get(url_, into_, whole);
    } catch (const EIdHTTPProtocolException&) {
      contentRange_ = http.ContentRange();
      throw;
    }
    // The rest of a release ends where the release does.
    if (ranged && http.ResponseCode() == 206 && into_.Size() != record_.declaredSize) {
      throw EIdHTTPInvalidResponse("Received " + std::to_string(into_.Size()) +
                                   " bytes instead of " + std::to_string(record_.declaredSize) +
                                   " the server declared for " + url_);
    }
    landed_.size = into_.Size();
    landed_.lengthDeclared = http.ContentLength() >= 0;
    landed_.status = http.ResponseCode();
  }

  // Whether the answer's body may be written: to a plain request any
  // success, as ever; to a range only the rest of the same release from
  // exactly where the partial ends, or the whole release from a server that
  // ignored the range (which then takes the partial's place).
  bool JudgeHead(const TIdHTTP& http, bool ranged, std::int64_t from, std::int64_t serverSize) {
    const int code = http.ResponseCode();
    if (ranged && code == 206) {
      ContentRange range;
      if (!ParseContentRange(http.ContentRange(), range)) {
        refusal_ = "vervolg zonder geldig Content-Range";
      } else if (range.first != from || range.last != range.total - 1 ||
                 range.total != record_.declaredSize) {
        refusal_ = "vervolg begint op de verkeerde plaats";
      }
      return refusal_.empty();
    }
    if (ranged) {
      if (code != 200) {
        refusal_ = "antwoord " + std::to_string(code) + " op het vervolg";
        return false;
      }
      LogDiscard(name_, "de server stuurt het hele bestand");
      if (!into_.TruncateTo(0)) return false;
    }
    record_.validator = http.Validator();
    record_.declaredSize = serverSize >= 0 ? serverSize : http.ContentLength();
    record_.bytes = 0;
    record_.began = Now();
    return true;
  }

  // A 416 whose Content-Range says that the release is exactly as long as
  // the partial: the partial is the whole release.
  bool IsCompleteBy416(std::int64_t from) {
    ContentRange range;
    if (!ParseContentRange(contentRange_, range) || range.first != -1 || range.total != from ||
        range.total != record_.declaredSize) {
      return false;
    }
    landed_.size = from;
    landed_.lengthDeclared = true;
    landed_.status = 416;
    return true;
  }

  static bool BrokeOff(const EIdException& e) {
    return dynamic_cast<const EIdConnClosedGracefully*>(&e) != nullptr ||
           dynamic_cast<const EIdReadTimeout*>(&e) != nullptr ||
           (dynamic_cast<const EIdSocketError*>(&e) != nullptr &&
            dynamic_cast<const EIdSecureConnectionError*>(&e) == nullptr);
  }

  // After a connection broke off: keeps what arrived, for a resume now or
  // on the next start. True when it is to be resumed now.
  bool KeepWhatArrived() {
    if (!CanResume()) {
      Forget();
      return false;
    }
    RecordFlushed();
    // What counts is how far beyond the furthest point so far the answer
    // went: a server that sends the head of the release again and again
    // gets nowhere.
    const std::int64_t size = into_.Size();
    if (size - furthest_ < kFruitfulAnswerBytes) ++fruitless_;
    furthest_ = std::max(furthest_, size);
    return fruitless_ <= kMaxFruitlessResumes;
  }

  bool CanResume() const {
    return CanVouchForResume(record_.validator) && record_.declaredSize > 0;
  }

  void RecordFlushed() {
    if (!partial_.Usable() || !CanResume()) return;
    if (!into_.Flush()) return;
    record_.bytes = into_.Size();
    partial_.Save(record_);
  }

  // Throws the partial away after an answer that cannot continue it; true
  // when a new start may be made now.
  bool StartOver(const std::string& why) {
    LogDiscard(name_, why);
    Forget();
    if (!into_.TruncateTo(0)) return false;
    record_.bytes = 0;
    return ++fruitless_ <= kMaxFruitlessResumes;
  }

  void Forget() {
    if (partial_.Usable()) platform::FileDelete(partial_.RecordPath());
  }

  const std::string url_;
  const std::string name_;
  const PartialDownload& partial_;
  platform::File& into_;
  PartialRecord record_;
  std::string refusal_;
  std::string contentRange_;
  FetchedBody landed_;
  std::int64_t furthest_ = 0;
  int fruitless_ = 0;
};

}  // namespace

bool ParseContentRange(const std::string& text, ContentRange& range) {
  const std::string kUnit = "bytes ";
  if (text.rfind(kUnit, 0) != 0) return false;
  const std::string rest = text.substr(kUnit.size());
  const std::string::size_type slash = rest.find('/');
  if (slash == std::string::npos) return false;
  ContentRange read;
  if (!ParseCount(rest.substr(slash + 1), read.total)) return false;
  const std::string span = rest.substr(0, slash);
  if (span != "*") {
    const std::string::size_type dash = span.find('-');
    if (dash == std::string::npos || !ParseCount(span.substr(0, dash), read.first) ||
        !ParseCount(span.substr(dash + 1), read.last) || read.last < read.first ||
        read.last >= read.total) {
      return false;
    }
  }
  range = read;
  return true;
}

FetchedBody FetchResuming(const std::string& url, const std::string& name, std::int64_t serverSize,
                          const std::string& serverValidator, const PartialDownload& partial,
                          platform::File& into) {
  Fetch fetch(url, name, partial, into);
  return fetch.Run(serverSize, serverValidator);
}

}  // namespace companion
