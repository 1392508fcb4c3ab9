// The log file: line prefix, message body rules, header, rotation, failures
// that must stay silent, two threads at once, and the exception report. Every
// test writes a real log file in a temp folder (LogFolder points there) under
// the name the running test binary gives it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/locale.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "platform/sysinfo.h"
#include "support/Exceptions.h"
#include "support/testing.h"
#include "support/u_Utility.h"

namespace fs = std::filesystem;
using testing_support::FixtureProgram;
using testing_support::OnWindows;
using testing_support::ReadFile;
using testing_support::SplitCrLf;
using testing_support::TempDir;

namespace {

constexpr std::size_t kPrefixLength = 79;

// The last five digits of a number, zero-filled: written here with printf so
// the expectation does not lean on the code under test.
std::string LastFive(long long value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%05lld", value);
  const std::string s = buf;
  return s.substr(s.size() - 5);
}

std::string PadRight(const std::string& s, std::size_t width) {
  return s + std::string(width - s.size(), ' ');
}

// What follows the 17-character time stamp in every prefix written by the
// calling thread: columns 18 to 79.
std::string PrefixAfterStamp(const std::string& categoryShown) {
  return " [" + LastFive(static_cast<long long>(platform::ModuleHandle())) + ":" +
         LastFive(static_cast<long long>(platform::CurrentThreadId())) + "] [" +
         PadRight(TUtility::GetComputerName(), 15) + "]  [" + PadRight(categoryShown, 25) + "] ";
}

// True when s is a time stamp "dd/mm/yy hh:mm:ss" with the user's separators.
::testing::AssertionResult IsTimeStamp(const std::string& s) {
  const char ds = platform::DateSeparator();
  const char ts = platform::TimeSeparator();
  const std::string pattern = std::string("99") + ds + "99" + ds + "99 99" + ts + "99" + ts + "99";
  if (s.size() != pattern.size()) return ::testing::AssertionFailure() << "'" << s << "'";
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool ok = pattern[i] == '9' ? (s[i] >= '0' && s[i] <= '9') : s[i] == pattern[i];
    if (!ok) return ::testing::AssertionFailure() << "'" << s << "' at column " << i + 1;
  }
  return ::testing::AssertionSuccess();
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLogFolder_ = LogFolder;
    LogFolder = dir_.path();
    logFile_ = dir_.path() + ChangeFileExt(ExtractFileName(TUtility::ExeName()), ".log");
  }
  void TearDown() override { LogFolder = savedLogFolder_; }

  std::vector<std::string> FileLines() const { return SplitCrLf(ReadFile(logFile_)); }

  // The log lines after the two header lines of a fresh file.
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines = FileLines();
    EXPECT_GE(lines.size(), 2u) << "no header in " << logFile_;
    if (lines.size() < 2) return {};
    return std::vector<std::string>(lines.begin() + 2, lines.end());
  }

  std::int64_t FileSize(const std::string& path) const {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    return ec ? -1 : static_cast<std::int64_t>(size);
  }

  void RemoveLog() { fs::remove(logFile_); }

  TempDir dir_;
  std::string logFile_;

 private:
  std::string savedLogFolder_;
};

// --- the pieces of a prefix ---------------------------------------------------

TEST(LogPieces, ZeroPadKeepsTheLastDigitsOrFillsWithZeros) {
  struct Case {
    long long value;
    int width;
    const char* expected;
  } const cases[] = {
      {42, 5, "00042"}, {123456, 5, "23456"},  {4194304, 5, "94304"},
      {0, 5, "00000"},  {12345, 5, "12345"},   {7, 2, "07"},
      {-5, 5, "000-5"}, {-123456, 5, "23456"}, {99, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.value) + " width " + std::to_string(c.width));
    EXPECT_EQ(TDebug::ZeroPad(c.value, c.width), c.expected);
  }
}

TEST(LogPieces, FixedWidthCutsThenTrimsThenPads) {
  struct Case {
    const char* name;
    std::string text;
    int width;
    std::string expected;
  } const cases[] = {
      {"short name padded", "ADVIES-PC", 15, "ADVIES-PC      "},
      {"empty is all blanks", "", 25, std::string(25, ' ')},
      {"exact width kept", "ABCDEFGHIJKLMNO", 15, "ABCDEFGHIJKLMNO"},
      {"long text cut", "DudozividEreradOdavazevozT.internDownloadUpdater()", 25,
       "DudozividEreradOdavazevoz"},
      {"leading blanks removed", "  Lead", 10, "Lead      "},
      {"control characters removed", "\tX\r\n", 4, "X   "},
      // Cut first: the blanks at the start eat into the width.
      {"cut before trim", "   abcdef", 5, "ab   "},
      {"cut ending in a blank shows shorter", "abcd efgh", 5, "abcd "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TDebug::FixedWidth(c.text, c.width), c.expected);
  }
}

TEST(LogPieces, RotatedNameIsDatedInTheSameFolder) {
  const std::string folder = std::string("logs") + platform::kPathDelim;
  struct Case {
    std::string file;
    platform::LocalTime when;
    std::string expected;
  } const cases[] = {
      {folder + "X.log", {2024, 3, 15, 10, 22, 33, 0}, folder + "240315-X.log"},
      {folder + "KestroLoader.log", {2009, 1, 5, 0, 0, 0, 0}, folder + "090105-KestroLoader.log"},
      {folder + "my.app.log", {2031, 12, 31, 23, 59, 59, 999}, folder + "311231-my.app.log"},
      {"X.log", {2024, 3, 15, 0, 0, 0, 0}, "240315-X.log"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(TDebug::RotatedName(c.file, c.when), c.expected);
  }
}

// --- the prefix on real lines -------------------------------------------------

TEST_F(LogTest, PrefixHasItsFixedColumns) {
  struct Case {
    const char* name;
    std::string category;
    std::string shown;
  } const cases[] = {
      {"empty category", "", ""},
      {"short category", "Lead", "Lead"},
      {"leading blanks", "   Lead", "Lead"},
      {"long category",
       "DudozividEreradOdavazevozT.internDownloadUpdater(); Download van bestand is mislukt",
       "DudozividEreradOdavazevoz"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveLog();
    TDebug::Log("Loader is afgesloten", c.category);
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string& line = lines[0];
    ASSERT_EQ(line.size(), kPrefixLength + 20) << line;
    EXPECT_TRUE(IsTimeStamp(line.substr(0, 17)));
    EXPECT_EQ(line.substr(17, kPrefixLength - 17), PrefixAfterStamp(c.shown)) << line;
    EXPECT_EQ(line.substr(kPrefixLength), "Loader is afgesloten");
  }
}

TEST_F(LogTest, PrefixTimeIsTheTimeOfTheCall) {
  const platform::LocalTime before = platform::Now();
  TDebug::Log("tijd", "");
  const platform::LocalTime after = platform::Now();
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  auto stamp = [](const platform::LocalTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d%c%02d%c%02d %02d%c%02d%c%02d", t.day,
                  platform::DateSeparator(), t.month, platform::DateSeparator(), t.year % 100,
                  t.hour, platform::TimeSeparator(), t.minute, platform::TimeSeparator(), t.second);
    return std::string(buf);
  };
  const std::string written = lines[0].substr(0, 17);
  EXPECT_TRUE(written == stamp(before) || written == stamp(after))
      << written << " not between " << stamp(before) << " and " << stamp(after);
}

// --- the message body -------------------------------------------------------------

// "{P}" in an expected line stands for the prefix of the call (all lines of
// one call share it).
TEST_F(LogTest, MessageBodyRules) {
  struct Case {
    const char* name;
    std::string msg;
    std::vector<std::string> expected;
  } const cases[] = {
      {"empty message is the prefix alone", "", {"{P}"}},
      {"blank and control characters only", " \t\r\n  ", {"{P}"}},
      {"lone verbatim marker", "!", {"{P}"}},
      {"verbatim keeps blanks and line breaks", "!  keep  \r\nnext  ", {"{P}  keep  ", "next  "}},
      {"leading and trailing blanks trimmed",
       "   Loader is afgesloten  ",
       {"{P}Loader is afgesloten"}},
      {"CR LF gives an empty continuation line", "A\r\nB", {"{P}A", "{P}. ", "{P}. B"}},
      {"lone LF", "A\nB", {"{P}A", "{P}. B"}},
      {"lone CR", "A\rB", {"{P}A", "{P}. B"}},
      {"continuation lines trimmed", "A\n   B   ", {"{P}A", "{P}. B"}},
      {"CR LF at the end adds nothing", "A\r\n", {"{P}A"}},
      {"NUL ends the message", std::string("A\0B\r\nC", 6), {"{P}A"}},
      {"quoted CR LF does not force a cut", "'A\r\nB'", {"{P}'A", "{P}. B'"}},
      {"300 letters on one line", std::string(300, 'x'), {"{P}" + std::string(300, 'x')}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveLog();
    TDebug::Log(c.msg, "");
    const std::vector<std::string> lines = LogLines();
    ASSERT_FALSE(lines.empty());
    const std::string prefix = lines[0].substr(0, kPrefixLength);
    EXPECT_EQ(prefix.substr(17), PrefixAfterStamp(""));
    std::vector<std::string> expected;
    for (std::string e : c.expected) {
      if (e.compare(0, 3, "{P}") == 0) e = prefix + e.substr(3);
      expected.push_back(e);
    }
    EXPECT_EQ(lines, expected);
  }
}

TEST_F(LogTest, DebuggerOutputGetsTheMessageUnchanged) {
  // The Linux port writes the debugger output to standard error, one line per
  // message; under Windows it goes to the debugger, which this test cannot
  // see, and standard error stays empty.
  struct Case {
    const char* name;
    std::string msg;
    std::string category;
  } const cases[] = {
      {"leading blanks kept", "   met spaties", ""},
      {"verbatim marker kept", "!letterlijk", ""},
      {"category in front", "tekst", "Lead"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::testing::internal::CaptureStderr();
    TDebug::Log(c.msg, c.category);
    const std::string seen = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(OnWindows() ? "" : c.category + " - " + c.msg + "\n", seen);
  }
}

TEST_F(LogTest, LongMessagesWrapAtBreakCharactersWithinTheLineBudget) {
  std::string words;
  for (int i = 0; words.size() < 600; ++i) words += "woord" + std::to_string(i) + " ";
  words.resize(600);
  TDebug::Log(words, "");
  const std::vector<std::string> lines = LogLines();
  ASSERT_GE(lines.size(), 3u);
  // Walk the message along the lines: each line must continue it exactly
  // and end at a word boundary.
  std::size_t offset = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE("line " + std::to_string(i + 1));
    const std::string& line = lines[i];
    EXPECT_LE(line.size(), i == 0 ? 318u : 320u) << line;
    std::string text = line.substr(kPrefixLength);
    if (i > 0) {
      ASSERT_EQ(text.compare(0, 2, ". "), 0) << line;
      text = text.substr(2);
    }
    ASSERT_EQ(words.compare(offset, text.size(), text), 0) << text;
    offset += text.size();
    EXPECT_TRUE(offset == words.size() || words[offset] == ' ') << "word split in " << text;
    while (offset < words.size() && words[offset] == ' ') ++offset;
  }
  EXPECT_EQ(offset, words.size());
}

TEST_F(LogTest, WrappingEdgeCases) {
  // 239 is the wrap width: 318 minus the 79-character prefix.
  const std::string quoted = "'" + std::string(60, 'q') + " " + std::string(60, 'r') + "'";
  struct Case {
    const char* name;
    std::string msg;
    std::vector<std::string> expectedTexts;  // the lines after the prefix
  } const cases[] = {
      {"a word longer than the width is not split",
       std::string(250, 'x') + " staart",
       {std::string(250, 'x'), ". staart"}},
      {"only blanks and full stops after the width: no cut",
       std::string(230, 'a') + " " + std::string(8, 'b') + std::string(30, ' ') + "...",
       {std::string(230, 'a') + " " + std::string(8, 'b') + std::string(30, ' ') + "..."}},
      {"one visible character after the width: cut",
       std::string(230, 'a') + " " + std::string(9, 'b') + std::string(30, ' ') + "...",
       {std::string(230, 'a'), ". " + std::string(9, 'b') + std::string(30, ' ') + "..."}},
      {"a quoted stretch is never cut",
       std::string(150, 'a') + " " + quoted + " einde",
       {std::string(150, 'a'), ". " + quoted + " einde"}},
      {"an unclosed quote keeps the rest on one line",
       "\"" + std::string(200, 'a') + " " + std::string(200, 'b'),
       {"\"" + std::string(200, 'a') + " " + std::string(200, 'b')}},
      {"cut after a comma",
       std::string(200, 'a') + "," + std::string(100, 'b'),
       {std::string(200, 'a') + ",", ". " + std::string(100, 'b')}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveLog();
    TDebug::Log(c.msg, "");
    std::vector<std::string> texts;
    for (const std::string& line : LogLines()) texts.push_back(line.substr(kPrefixLength));
    EXPECT_EQ(texts, c.expectedTexts);
  }
}

// --- header and file handling -------------------------------------------------------

TEST_F(LogTest, NewFileStartsWithTheHeaderAndLaterCallsOnlyAppend) {
  TDebug::Log("eerste", "");
  TDebug::Log("tweede", "");
  const std::vector<std::string> lines = FileLines();
  ASSERT_EQ(lines.size(), 4u);
  const std::string exe = TUtility::ExeName();
  const std::string start =
      "Log for \"" + ExtractFileName(exe) + "\" v" + TUtility::ReadFileVersion(exe) + " started @ ";
  ASSERT_EQ(lines[0].substr(0, start.size()), start);
  EXPECT_TRUE(IsTimeStamp(lines[0].substr(start.size())));
  EXPECT_EQ(lines[1], std::string(120, '-'));
  EXPECT_EQ(lines[2].substr(kPrefixLength), "eerste");
  EXPECT_EQ(lines[3].substr(kPrefixLength), "tweede");
  // Every line ends with CR LF, the file with the last one, and no line
  // holds a bare LF.
  const std::string raw = ReadFile(logFile_);
  EXPECT_EQ(raw.substr(raw.size() - 2), "\r\n");
  EXPECT_EQ(std::count(raw.begin(), raw.end(), '\n'), 4);
  EXPECT_EQ(std::count(raw.begin(), raw.end(), '\r'), 4);
}

TEST_F(LogTest, MissingLogFolderIsCreated) {
  LogFolder = dir_.path() + "sub" + platform::kPathDelim + "deeper";  // no trailing delimiter
  const std::string file = LogFolder + platform::kPathDelim + ExtractFileName(logFile_);
  TDebug::Log("in een nieuwe map", "");
  const std::vector<std::string> lines = SplitCrLf(ReadFile(file));
  ASSERT_EQ(lines.size(), 3u) << file;
  EXPECT_EQ(lines[2].substr(kPrefixLength), "in een nieuwe map");
}

TEST_F(LogTest, FailuresLoseTheLinesWithoutTellingTheCaller) {
  // A log file that cannot be written: the call returns as usual, the file
  // keeps what it had, and nothing else appears.
  TDebug::Log("voor", "");
  const std::string before = ReadFile(logFile_);
  // Without write permission: the read-only attribute on Windows.
  fs::permissions(logFile_,
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  EXPECT_NO_THROW(TDebug::Log("verloren", ""));
  EXPECT_NO_THROW(TUtility::LogFmt("verloren %d", {2}));
  EXPECT_NO_THROW(TDebug::LogException(nullptr, nullptr, "ctx"));
  EXPECT_EQ(ReadFile(logFile_), before);
  fs::permissions(logFile_, fs::perms::owner_write, fs::perm_options::add);
  TDebug::Log("weer", "");
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].substr(kPrefixLength), "weer");

  // A log file another opener holds without sharing.
  {
    platform::File holder;
    ASSERT_TRUE(
        holder.Open(logFile_, platform::File::Mode::OpenWrite, platform::File::Share::None));
    EXPECT_NO_THROW(TDebug::Log("ook verloren", ""));
  }
  TDebug::Log("en weer", "");
  const std::vector<std::string> after = LogLines();
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[2].substr(kPrefixLength), "en weer");

  // A log folder that cannot be created (a file stands in its way).
  testing_support::WriteFile(dir_ / "blocker", "x");
  LogFolder = dir_ / "blocker";
  EXPECT_NO_THROW(TDebug::Log("nergens", ""));
  EXPECT_EQ(ReadFile(dir_ / "blocker"), "x");
}

TEST_F(LogTest, ALinkInPlaceOfTheLogFailsTheCall) {
  // On the Linux port a symbolic link where the log belongs must not make
  // the loader create or extend a file elsewhere; that call's lines are lost.
  if (OnWindows()) GTEST_SKIP() << "links are a concern of the Linux port";
  struct Case {
    const char* name;
    bool targetExists;
  };
  const Case cases[] = {{"dangling link", false}, {"link to a file outside", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveLog();
    TempDir outside;
    const std::string target = outside / "target.log";
    if (c.targetExists) testing_support::WriteFile(target, "outside");
    fs::create_symlink(target, logFile_);
    EXPECT_NO_THROW(TDebug::Log("niet daarheen", ""));
    EXPECT_EQ(testing_support::Exists(target), c.targetExists);
    if (c.targetExists) {
      EXPECT_EQ(ReadFile(target), "outside");
    }
    EXPECT_TRUE(fs::is_symlink(logFile_));
    // Nothing of a private file beside the log is left behind.
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      (void)entry;
      ++files;
    }
    EXPECT_EQ(files, 1u);
  }
  RemoveLog();
}

TEST_F(LogTest, LogFmtFormatsOrRaisesBeforeAnythingIsWritten) {
  TUtility::LogFmt("Resultaat van %s: %d", {"KestroCore.exe", 42});
  TDebug::LogFmt("%s", {"met categorie"}, "Lead");
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(17), PrefixAfterStamp("") + "Resultaat van KestroCore.exe: 42");
  EXPECT_EQ(lines[1].substr(17), PrefixAfterStamp("Lead") + "met categorie");

  RemoveLog();
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(TUtility::LogFmt("Melding: %s (%s)", {"alleen een"}), EConvertError);
  EXPECT_THROW(TDebug::LogFmt("%d", {"geen getal"}, ""), EConvertError);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(platform::FileExists(logFile_));
}

// --- rotation ------------------------------------------------------------------------

TEST_F(LogTest, RotatesOnlyAboveTheLimitAndOncePerDay) {
  const platform::LocalTime day = platform::Now();
  const std::string rotated = TDebug::RotatedName(logFile_, day);
  auto filesInFolder = [&] {
    std::size_t n = 0;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      (void)entry;
      ++n;
    }
    return n;
  };
  // The limit is written out here, not taken from the logger, so a changed
  // limit shows as a failure: 32 MiB, and only a larger file is rotated.
  constexpr std::int64_t kLimit = 33554432;
  // Sparse files: only the size matters to the rotation.
  testing_support::WriteFile(logFile_, "");
  fs::resize_file(logFile_, kLimit);

  // Exactly at the limit: not rotated, the line is appended.
  TDebug::Log("op de grens", "");
  EXPECT_EQ(filesInFolder(), 1u);
  const std::int64_t firstSize = FileSize(logFile_);
  EXPECT_EQ(firstSize, kLimit + static_cast<std::int64_t>(kPrefixLength) + 11 + 2);

  // Now above it: moved to today's name, then a new file with a header.
  TDebug::Log("na de rotatie", "");
  EXPECT_EQ(FileSize(rotated), firstSize) << rotated;
  std::vector<std::string> lines = FileLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].compare(0, 8, "Log for "), 0);
  EXPECT_EQ(lines[1], std::string(120, '-'));
  EXPECT_EQ(lines[2].substr(kPrefixLength), "na de rotatie");

  // A second rotation the same day cannot take the dated name: the big file
  // stays and keeps growing, and the earlier rotated file is left alone.
  fs::resize_file(logFile_, kLimit + 1);
  TDebug::Log("blijft groeien", "");
  TDebug::Log("nog steeds", "");
  EXPECT_EQ(FileSize(rotated), firstSize);
  const std::int64_t twoLines = 2 * static_cast<std::int64_t>(kPrefixLength + 2) + 14 + 10;
  EXPECT_EQ(FileSize(logFile_), kLimit + 1 + twoLines);
  EXPECT_EQ(filesInFolder(), 2u);

  if (platform::Now().day != day.day) GTEST_SKIP() << "the date changed during the test";
}

TEST_F(LogTest, RotateFileComparesStrictlyWithTheGivenLimit) {
  struct Case {
    const char* name;
    std::int64_t size;
    std::int64_t limit;
    bool rotated;
  } const cases[] = {
      {"below", 99, 100, false},
      {"equal", 100, 100, false},
      {"one above", 101, 100, true},
      {"empty file, limit 0", 0, 0, false},
  };
  const std::string file = dir_ / "other.txt";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::WriteFile(file, std::string(static_cast<std::size_t>(c.size), 'z'));
    const std::string rotated = TDebug::RotatedName(file, platform::Now());
    TUtility::RotateFile(file, c.limit);
    EXPECT_EQ(platform::FileExists(rotated), c.rotated);
    EXPECT_EQ(platform::FileExists(file), !c.rotated);
    fs::remove(rotated);
  }
  // A missing file is nothing to rotate.
  fs::remove(file);
  EXPECT_NO_THROW(TUtility::RotateFile(file, 0));
}

// --- two threads -----------------------------------------------------------------------

TEST_F(LogTest, ConcurrentCallsNeitherLoseNorInterleaveLines) {
  constexpr int kPerThread = 2000;
  // Each call is long enough to wrap onto a continuation line, so a call
  // writes two lines that must stay together.
  auto writer = [](char who) {
    for (int i = 0; i < kPerThread; ++i) {
      TDebug::Log(std::string(240, who) + " " + who + std::to_string(i), "");
    }
  };
  std::thread a(writer, 'a');
  std::thread b(writer, 'b');
  a.join();
  b.join();

  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 2u * 2 * kPerThread);
  std::map<std::string, int> seen;
  for (std::size_t i = 0; i < lines.size(); i += 2) {
    SCOPED_TRACE("line " + std::to_string(i + 3));
    ASSERT_GT(lines[i].size(), kPrefixLength);
    ASSERT_GT(lines[i + 1].size(), kPrefixLength + 3);
    const std::string first = lines[i].substr(kPrefixLength);
    const std::string second = lines[i + 1].substr(kPrefixLength);
    const char who = first[0];
    ASSERT_TRUE(who == 'a' || who == 'b') << lines[i];
    EXPECT_EQ(first, std::string(240, who));
    // The continuation line belongs to the same call: same prefix, same writer.
    EXPECT_EQ(lines[i + 1].substr(0, kPrefixLength), lines[i].substr(0, kPrefixLength));
    EXPECT_EQ(second.substr(0, 3), std::string(". ") + who) << lines[i + 1];
    ++seen[second.substr(2)];
  }
  ASSERT_EQ(seen.size(), 2u * kPerThread);
  for (const auto& entry : seen) EXPECT_EQ(entry.second, 1) << entry.first;
}

// --- several processes ---------------------------------------------------------------

// Runs copies of the log_writer fixture at once on one log folder and hands
// back the log's lines. Each program waits for a start file, so all of them
// begin writing together.
class SharedLogTest : public ::testing::Test {
 protected:
  struct Writer {
    int threads;
    int lines;
  };

  std::string LogPath() const { return dir_.path() + "log_writer.log"; }

  void RunWriters(const std::vector<Writer>& writers) {
    const std::string go = dir_ / "go";
    std::vector<platform::ProcessHandle> running;
    for (std::size_t id = 0; id < writers.size(); ++id) {
      const std::string params = "\"" + dir_.path() + "\" " + std::to_string(id) + " " +
                                 std::to_string(writers[id].threads) + " " +
                                 std::to_string(writers[id].lines) + " \"" + go + "\"";
      platform::ShellExecResult r = platform::ShellExecuteProcess(
          "open", FixtureProgram("log_writer"), params, dir_.path(), platform::ShowCommand::Normal);
      ASSERT_TRUE(r.ok) << "cannot start the log writer: code " << r.error;
      running.push_back(std::move(r.process));
    }
    testing_support::WriteFile(go, "");
    for (platform::ProcessHandle& p : running) {
      EXPECT_EQ(p.Wait(120000), platform::ProcessHandle::WaitResult::Ended);
    }
    fs::remove(go);
  }

  TempDir dir_;
};

TEST_F(SharedLogTest, EveryLineOfEveryProcessAndThreadArrivesOnceAndWhole) {
  // Three programs of two threads each, 1000 lines per thread, 1 to 200
  // characters of text each: 6000 lines.
  const std::vector<Writer> writers = {{2, 1000}, {2, 1000}, {2, 1000}};
  RunWriters(writers);

  const std::vector<std::string> lines = SplitCrLf(ReadFile(LogPath()));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0].compare(0, 8, "Log for "), 0) << lines[0];
  EXPECT_EQ(lines[1], std::string(120, '-'));
  std::map<std::string, int> seen;
  std::size_t broken = 0;
  for (std::size_t n = 2; n < lines.size(); ++n) {
    const std::string& line = lines[n];
    // "ID.t.i LEN FILL" after the prefix, FILL being LEN times one letter.
    bool whole = line.size() > kPrefixLength && IsTimeStamp(line.substr(0, 17));
    std::string key;
    if (whole) {
      const std::string text = line.substr(kPrefixLength);
      const std::size_t space1 = text.find(' ');
      const std::size_t space2 = text.find(' ', space1 + 1);
      whole = space1 != std::string::npos && space2 != std::string::npos;
      if (whole) {
        key = text.substr(0, space1);
        const std::string fill = text.substr(space2 + 1);
        const long length = std::strtol(text.c_str() + space1 + 1, nullptr, 10);
        whole = length > 0 && fill.size() == static_cast<std::size_t>(length) &&
                fill.find_first_not_of(fill[0]) == std::string::npos;
      }
    }
    if (!whole) {
      if (++broken <= 5) ADD_FAILURE() << "line " << n + 1 << " is not whole: " << line;
      continue;
    }
    ++seen[key];
  }
  EXPECT_EQ(broken, 0u) << "lines cut or mixed";
  std::size_t missing = 0;
  for (std::size_t id = 0; id < writers.size(); ++id) {
    for (int t = 0; t < writers[id].threads; ++t) {
      for (int i = 0; i < writers[id].lines; ++i) {
        const std::string key =
            std::to_string(id) + "." + std::to_string(t) + "." + std::to_string(i);
        const auto it = seen.find(key);
        if (it == seen.end()) {
          if (++missing <= 5) ADD_FAILURE() << "line " << key << " is missing";
        } else if (it->second != 1) {
          ADD_FAILURE() << "line " << key << " is there " << it->second << " times";
        }
      }
    }
  }
  EXPECT_EQ(missing, 0u) << "lines lost";
  EXPECT_EQ(lines.size(), 2u + 6000u);
}

TEST_F(SharedLogTest, ProgramsStartingOnAMissingLogLeaveOneHeader) {
  // Each round starts four programs on a missing log, each writing a few
  // lines; the race for making the file is run several times.
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round + 1));
    fs::remove(LogPath());
    RunWriters({{1, 3}, {1, 3}, {1, 3}, {1, 3}});
    const std::vector<std::string> lines = SplitCrLf(ReadFile(LogPath()));
    ASSERT_EQ(lines.size(), 2u + 12u);
    EXPECT_EQ(lines[0].compare(0, 8, "Log for "), 0) << lines[0];
    EXPECT_EQ(lines[1], std::string(120, '-'));
    std::size_t headers = 0;
    for (const std::string& line : lines) headers += line.compare(0, 8, "Log for ") == 0;
    EXPECT_EQ(headers, 1u);
    // Nothing of a private file beside the log is left behind.
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      (void)entry;
      ++files;
    }
    EXPECT_EQ(files, 1u);
  }
}

// --- exception report -------------------------------------------------------------------

TEST_F(LogTest, ExceptionReportIsFiveLinesUnderTheContext) {
  const std::runtime_error error("niet in het rapport");
  struct Case {
    const char* name;
    std::string context;
    std::string shown;
    const void* sender;
    const std::exception* e;
  } const cases[] = {
      {"download context",
       "DudozividEreradOdavazevozT.internDownloadUpdater(); Download van bestand is mislukt",
       "DudozividEreradOdavazevoz", this, &error},
      {"empty context", "", "", this, &error},
      {"no sender and no exception", "Lead", "Lead", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveLog();
    TUtility::LogException(c.sender, c.e, c.context);
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 5u);
    const std::string texts[] = {
        "====[ Exception report ]================================",
        "Environment details:",
        "Exception details:",
        std::string(56, '='),
        "",
    };
    for (int i = 0; i < 5; ++i) {
      SCOPED_TRACE("report line " + std::to_string(i + 1));
      EXPECT_TRUE(IsTimeStamp(lines[i].substr(0, 17)));
      EXPECT_EQ(lines[i].substr(17), PrefixAfterStamp(c.shown) + texts[i]);
    }
    EXPECT_EQ(texts[0].size(), 56u);
    // The fifth line is the prefix alone and so ends with a blank.
    EXPECT_EQ(lines[4].size(), kPrefixLength);
    EXPECT_EQ(ReadFile(logFile_).find("niet in het rapport"), std::string::npos);
  }
}

}  // namespace
