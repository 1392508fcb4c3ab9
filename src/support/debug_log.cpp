// The log file of the loader (TDebug and the log forwarders of TUtility).
//
// Every call sends its message to the debugger output and appends it to the
// log file beside the executable: open, write, close, nothing cached. A line
// starts with a fixed 79-character prefix (time stamp, module and thread,
// computer name, category); long messages are wrapped onto continuation lines
// marked ". ". A file that has grown past 32 MiB is moved to a dated name
// before the next line goes in. A line that cannot be sent or written is lost
// without a word to the caller; the one error that does reach the caller is
// LogFmt's, for a format that does not fit its arguments, raised before
// anything is written.
//
// Many loaders may share one log (one installation folder for a whole office,
// a terminal server): the log is appended to, never written at a position, and
// a new log appears only whole, with its header, so no loader truncates,
// overwrites or cuts another's lines.

#include "support/debug_log.h"

#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/error_codes.h"
#include "platform/files.h"
#include "platform/locale.h"
#include "platform/sysinfo.h"
#include "support/Format.h"
#include "support/path_text.h"
#include "support/u_Utility.h"

std::string LogFolder;

namespace {

constexpr int kModuleThreadWidth = 5;
constexpr int kComputerNameWidth = 15;
constexpr int kCategoryWidth = 25;
constexpr int kHeaderRuleWidth = 120;
// A prefix, the continuation marker and one piece fit in 320 characters.
constexpr int kLineBudgetWithoutMarker = 318;
const char* const kContinuation = ". ";
const char* const kLineEnd = "\r\n";

std::string TwoDigits(int value) { return TDebug::ZeroPad(value % 100, 2); }

// "dd/mm/yy hh:mm:ss" with the user's date and time separators.
std::string TimeStamp(const platform::LocalTime& t) {
  const char ds = platform::DateSeparator();
  const char ts = platform::TimeSeparator();
  std::string s;
  s.reserve(17);
  s += TwoDigits(t.day);
  s += ds;
  s += TwoDigits(t.month);
  s += ds;
  s += TwoDigits(t.year);
  s += ' ';
  s += TwoDigits(t.hour);
  s += ts;
  s += TwoDigits(t.minute);
  s += ts;
  s += TwoDigits(t.second);
  return s;
}

std::string LinePrefix(const std::string& category) {
  std::string p = TimeStamp(platform::Now());
  p += " [";
  p += TDebug::ZeroPad(static_cast<long long>(platform::ModuleHandle()), kModuleThreadWidth);
  p += ':';
  p += TDebug::ZeroPad(static_cast<long long>(platform::CurrentThreadId()), kModuleThreadWidth);
  p += "]";
  p += " [";
  p += TDebug::FixedWidth(TUtility::GetComputerName(), kComputerNameWidth);
  p += "] ";
  p += " [";
  p += TDebug::FixedWidth(category, kCategoryWidth);
  p += "] ";
  return p;
}

// The characters after which a long message may be cut.
bool IsBreakChar(char c) { return c == ' ' || c == ',' || c == '.' || c == '\r'; }

// Index one past the last character of msg that is not a break character, so
// "does anything visible follow position i" is a comparison, not a scan.
std::size_t VisibleEnd(const std::string& msg) {
  std::size_t end = msg.size();
  while (end > 0 && IsBreakChar(msg[end - 1])) --end;
  return end;
}

// Cuts a message into pieces of about `width` characters. Cuts fall just
// after a space, comma, full stop or CR, never inside a word and never inside
// a stretch quoted with ' or ", so a quoted file name or server answer stays
// whole on one line. A CR LF outside quotes always ends a piece; when visible
// text follows it, an empty piece marks the break in the file.
std::vector<std::string> WrapPieces(const std::string& msg, std::size_t width) {
  std::vector<std::string> pieces;
  const std::size_t n = msg.size();
  std::size_t start = 0;
  // The quote state runs on across pieces: a quoted stretch that began in one
  // piece is still open in the next.
  char quote = 0;
  // Anything at or after this index is a break character: a cut there would
  // only leave blanks and punctuation for a line of their own.
  const std::size_t visibleEnd = VisibleEnd(msg);

  while (start < n) {
    std::size_t count = 0;
    bool haveBreak = false;
    std::size_t lastBreak = 0;
    std::size_t end = n;  // one past the last character of this piece
    bool forced = false;

    for (std::size_t i = start; i < n; ++i) {
      const char c = msg[i];
      ++count;
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '\'' || c == '"') {
        quote = c;
      } else if (IsBreakChar(c)) {
        if (c == '\r' && i + 1 < n && msg[i + 1] == '\n') {
          end = i + 2;
          forced = true;
          break;
        }
        haveBreak = true;
        lastBreak = i;
      }
      if (quote == 0 && count >= width && haveBreak && lastBreak > start && i + 1 < visibleEnd) {
        end = lastBreak + 1;
        break;
      }
    }

    pieces.push_back(msg.substr(start, end - start));
    if (forced && end < visibleEnd) pieces.emplace_back();
    start = end;
  }
  return pieces;
}

// Splits a piece at every CR, LF or CR LF. A break at the very end opens no
// further line; an empty piece is one empty line.
void SplitLines(const std::string& piece, std::vector<std::string>& lines) {
  std::size_t lineStart = 0;
  std::size_t i = 0;
  while (i < piece.size()) {
    const char c = piece[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(piece.substr(lineStart, i - lineStart));
      i += (c == '\r' && i + 1 < piece.size() && piece[i + 1] == '\n') ? 2 : 1;
      lineStart = i;
    } else {
      ++i;
    }
  }
  if (lineStart < piece.size() || piece.empty()) {
    lines.push_back(piece.substr(lineStart));
  }
}

// The texts after the prefix, one per file line, continuation marker included.
std::vector<std::string> BodyLines(const std::string& msg, std::size_t prefixLength) {
  std::vector<std::string> out;
  if (TrimControl(msg).empty()) {
    out.emplace_back();
    return out;
  }
  if (msg[0] == '!') {
    // Written exactly as given, line breaks and all: the caller has laid it
    // out itself.
    out.push_back(msg.substr(1));
    return out;
  }
  const std::size_t width = kLineBudgetWithoutMarker - prefixLength;
  std::vector<std::string> lines;
  for (const std::string& piece : WrapPieces(msg, width)) SplitLines(piece, lines);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string text = TrimControl(lines[i]);
    out.push_back(i == 0 ? text : kContinuation + text);
  }
  return out;
}

// One line, its CR LF included, in one write, so a reader of the file never
// sees half a line.
bool WriteLine(platform::File& file, const std::string& text) {
  const std::string line = text + kLineEnd;
  return file.Write(line.data(), line.size());
}

std::string LogFileName() {
  std::string folder = LogFolder;
  if (!folder.empty()) {
    folder = IncludeTrailingPathDelimiter(folder);
  } else {
    folder = ExtractFilePath(TUtility::ExeName());
  }
  if (!folder.empty() && !platform::DirectoryExists(folder)) {
    // A folder that cannot be made shows up below as a file that cannot be
    // created; that call's lines are lost, nothing more.
    platform::ForceDirectories(folder);
  }
  return folder + ChangeFileExt(ExtractFileName(TUtility::ExeName()), ".log");
}

}  // namespace

// --- the pieces of a line ---------------------------------------------------

std::string TDebug::ZeroPad(long long value, int width) {
  std::string s = std::to_string(value);
  if (width < 0) width = 0;
  const std::size_t w = static_cast<std::size_t>(width);
  if (s.size() > w) return s.substr(s.size() - w);
  return std::string(w - s.size(), '0') + s;
}

std::string TDebug::FixedWidth(const std::string& text, int width) {
  if (width < 0) width = 0;
  const std::size_t w = static_cast<std::size_t>(width);
  // Cut first, then trim: a long text whose cut ends in a blank shows shorter.
  std::string s = TrimControl(text.substr(0, w));
  s.resize(w, ' ');
  return s;
}

std::string TDebug::RotatedName(const std::string& fileName, const platform::LocalTime& when) {
  const std::string folder = ExtractFilePath(fileName);
  const std::string name = ExtractFileName(fileName);
  const std::size_t dot = name.rfind('.');
  const std::string date = TwoDigits(when.year) + TwoDigits(when.month) + TwoDigits(when.day);
  if (dot == std::string::npos) {
    // Without an extension there is no dot to keep; a name ending in "." would
    // be silently shortened by Windows and then no longer match.
    return folder + date + "-" + name;
  }
  return folder + date + "-" + name.substr(0, dot) + "." + name.substr(dot + 1);
}

// --- rotation ----------------------------------------------------------------

void TUtility::RotateFile(const std::string& fileName, std::int64_t maxSize) {
  const std::int64_t size = TUtility::GetFileSize(fileName);
  if (size > maxSize) {
    // A rename that fails (a file of today's name is already there, or the
    // log is held open) leaves the log where it is; it keeps growing and the
    // next call tries again.
    platform::FileMove(fileName, TDebug::RotatedName(fileName, platform::Now()));
  }
}

// --- writing -----------------------------------------------------------------

namespace {
// guards: the log files of this process. Every AppendToLog holds it from the
// rotation check until the file is closed, so two threads never rotate the
// same file twice, never both write a header, and their lines never interleave
// or overwrite each other.
std::mutex gLogFileMutex;
}  // namespace

namespace {

// Writes the message's lines; false when a write failed (the lines already
// written stay).
bool WriteBody(platform::File& file, const std::string& prefix, const std::string& body) {
  for (const std::string& text : BodyLines(body, prefix.size())) {
    if (!WriteLine(file, prefix + text)) return false;
  }
  return true;
}

// Appends the call's lines to an existing log. Append mode puts every line
// whole at the end of the file as it is at that moment, so loaders of other
// processes that write the same log meanwhile never overwrite or cut it.
// `openError` tells a missing log (file not found) from one that cannot be opened.
bool AppendToExisting(const std::string& fileName, const std::string& body,
                      const std::string& category, platform::Failure& openError) {
  platform::File file;
  openError = platform::Failure::None;
  // Others (another loader, a viewer) may keep the log open meanwhile.
  if (!file.Open(fileName, platform::File::Mode::OpenAppend, platform::File::Share::ReadWrite,
                 &openError)) {
    return false;
  }
  // One clock reading for all lines of this call.
  WriteBody(file, LinePrefix(category), body);
  return true;
}

// A name beside the log that no other thread of any loader uses at the same
// time: thread ids are unique on a machine while their threads live, and the
// computer name keeps apart the machines that share one folder.
std::string PrivateTempName(const std::string& fileName) {
  std::string computer = TUtility::GetComputerName();
  for (char& c : computer) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!plain) c = '_';
  }
  return fileName + "." + computer + "-" + std::to_string(platform::CurrentThreadId()) + ".new";
}

// Makes a missing log whole before anyone can append to it: header and the
// call's lines go into a private file, which is then moved into place
// without replacing. Of two loaders starting on a missing log, one wins the
// move; the other removes its file and appends its lines to the winner's
// log, so the header is written once and is always the first line.
void CreateLog(const std::string& fileName, const std::string& body, const std::string& category) {
  const std::string temp = PrivateTempName(fileName);
  platform::File file;
  platform::Failure error = platform::Failure::None;
  if (!file.Open(temp, platform::File::Mode::CreateNew, platform::File::Share::None, &error)) {
    // Left behind by a loader that ended in the middle of this step (its
    // thread id has been handed out again): nobody else uses the name.
    if (error != platform::Failure::FileExists || !platform::FileDelete(temp) ||
        !file.Open(temp, platform::File::Mode::CreateNew, platform::File::Share::None)) {
      return;
    }
  }
  const std::string exe = TUtility::ExeName();
  const std::string header = "Log for \"" + ExtractFileName(exe) + "\" v" +
                             TUtility::ReadFileVersion(exe) + " started @ " +
                             TimeStamp(platform::Now());
  const bool written = WriteLine(file, header) &&
                       WriteLine(file, std::string(kHeaderRuleWidth, '-')) &&
                       WriteBody(file, LinePrefix(category), body);
  file.Close();
  if (!written) {
    platform::FileDelete(temp);
    return;
  }
  platform::Failure moveError = platform::Failure::None;
  if (platform::FileMove(temp, fileName, &moveError)) return;
  platform::FileDelete(temp);
  if (moveError == platform::Failure::AlreadyExists || moveError == platform::Failure::FileExists) {
    // Another loader made the log first: the lines go to its file.
    platform::Failure openError = platform::Failure::None;
    AppendToExisting(fileName, body, category, openError);
  }
}

}  // namespace

void TDebug::AppendToLog(const std::string& fileName, const std::string& msg,
                         const std::string& category) {
  try {
    std::lock_guard<std::mutex> lock(gLogFileMutex);

    TUtility::RotateFile(fileName, kRotationLimit);

    // A NUL ends the message, as it would end the text for the OS.
    const std::string body = msg.substr(0, msg.find('\0'));
    platform::Failure openError = platform::Failure::None;
    if (AppendToExisting(fileName, body, category, openError)) return;
    // Only a log that is not there is made anew. One that is there but
    // cannot be opened (held without sharing, read-only, a link in its place
    // on the Linux port) loses this call's lines.
    if (openError == platform::Failure::FileNotFound) CreateLog(fileName, body, category);
  } catch (...) {
    // The log never fails its caller; this call's lines are lost.
  }
}

void TDebug::Log(const std::string& msg, const std::string& category) {
  try {
    // The debugger sees every message whole, before and whatever the file
    // does with it.
    platform::DebugOutput(category + " - " + msg);
  } catch (...) {
    // Out of memory while building the text: the debugger misses this one.
  }
  try {
    AppendToLog(LogFileName(), msg, category);
  } catch (...) {
    // Nothing a log call runs into reaches its caller.
  }
}

void TDebug::LogFmt(const std::string& fmt, const FmtArgs& args, const std::string& category) {
  // A format that does not fit its arguments is a fault of the caller and
  // is raised before anything is sent or written.
  const std::string msg = Format(fmt, args);
  Log(msg, category);
}

void TUtility::LogFmt(const std::string& fmt, const FmtArgs& args) {
  TDebug::LogFmt(fmt, args, "");
}

// --- exception report ----------------------------------------------------------

void TDebug::LogException(const void* /*sender*/, const std::exception* /*e*/,
                          const std::string& context) {
  // The block is the same for every failure; the context in the category
  // column tells the reports apart. The caller has already logged what went
  // wrong and keeps the exception.
  Log("====[ Exception report ]================================", context);
  Log("Environment details:", context);
  Log("Exception details:", context);
  Log("========================================================", context);
  Log("", context);
}

void TUtility::LogException(const void* sender, const std::exception* e,
                            const std::string& context) {
  TDebug::LogException(sender, e, context);
}
