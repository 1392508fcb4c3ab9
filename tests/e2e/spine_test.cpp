// The loader end to end without the network part: from its start to the start
// of the main program, in a throw-away installation, checked through its log
// and what the main-program stand-in recorded.
#include <gtest/gtest.h>

#include <cctype>

#include "platform/files.h"
#include "platform/sysinfo.h"
#include "support/installation.h"
#include "support/testing.h"
#include "support/u_Utility.h"

using namespace testing_support;

namespace {

bool AllDigits(const std::string& s) {
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return !s.empty();
}

// Checks the fixed columns of a log line's 79-character prefix.
void ExpectPrefix(const std::string& line) {
  SCOPED_TRACE(line);
  ASSERT_GE(line.size(), 79u);
  EXPECT_EQ(line.substr(17, 2), " [");
  EXPECT_TRUE(AllDigits(line.substr(19, 5)));
  EXPECT_EQ(line[24], ':');
  EXPECT_TRUE(AllDigits(line.substr(25, 5)));
  EXPECT_EQ(line.substr(30, 3), "] [");
  EXPECT_EQ(line.substr(48, 5), "]  [ ");
  EXPECT_EQ(line.substr(52, 25), std::string(25, ' '));
  EXPECT_EQ(line.substr(77, 2), "] ");
}

TEST(Spine, StartsTheMainProgramAndLogsTheClosingLines) {
  Installation inst;
  inst.AddMainProgram();
  ASSERT_TRUE(inst.Run("", "", 60000));

  // The main program ran, by its full path, in the loader's working directory.
  const std::string record = inst.MainProgramRecord();
  ASSERT_FALSE(record.empty()) << "main program not started";

  const auto lines = inst.LogLines();
  ASSERT_GE(lines.size(), 5u);
  const std::string header = "Log for \"" + inst.LoaderFileName() + "\" v5.1.5.203 started @ ";
  EXPECT_EQ(lines[0].substr(0, header.size()), header);
  EXPECT_EQ(lines[0].size(), header.size() + 17);
  EXPECT_EQ(lines[1], std::string(120, '-'));
  for (std::size_t i = 2; i < lines.size(); ++i) ExpectPrefix(lines[i]);

  const auto messages = inst.Messages();
  ASSERT_GE(messages.size(), 3u);
  const std::size_t n = messages.size();
  // The stand-in carries no version resource, so the version is empty.
  EXPECT_EQ(messages[n - 3], "Kestro v wordt gestart");
  const std::string rc = messages[n - 2];
  ASSERT_EQ(rc.compare(0, 11, "Resultcode "), 0) << rc;
  // The format ends with a blank, but every log line is trimmed in the file.
  const std::string tail = " from \"KestroCore.exe\"";
  ASSERT_GE(rc.size(), tail.size());
  EXPECT_EQ(rc.substr(rc.size() - tail.size()), tail);
  EXPECT_GT(std::stoi(rc.substr(11)), 32) << rc;
  EXPECT_EQ(messages[n - 1], "Loader is afgesloten");
}

TEST(Spine, MainProgramIsTheOneInTheApplicationFolderWhateverTheWorkingDirectory) {
  Installation inst;
  inst.AddMainProgram();
  // A decoy of the same name in the working directory must not be started.
  MakeDirs(inst.Root() + "elsewhere");
  inst.AddFile("elsewhere" + std::string(1, platform::kPathDelim) + "KestroCore.exe", "not a program");
  ASSERT_TRUE(inst.Run("", inst.Root() + "elsewhere", 60000));
  const std::string record = inst.MainProgramRecord();
  ASSERT_FALSE(record.empty());
  EXPECT_NE(record.find("elsewhere"), std::string::npos) << "working directory unchanged: " << record;
  EXPECT_EQ(inst.Messages().back(), "Loader is afgesloten");
}

TEST(Spine, ProductNameFromTheNameFileAppearsInTheStartLine) {
  Installation inst;
  inst.AddMainProgram();
  // Default data map: <app>/../data/database/, so the name file is
  // <root>/data/layout/Special/logo.txt.
  const char d = platform::kPathDelim;
  MakeDirs(inst.Root() + "data" + d + "layout" + d + "Special");
  inst.AddFile(std::string("data") + d + "layout" + d + "Special" + d + "logo.txt", "  Kestro Plus\r\n");
  ASSERT_TRUE(inst.Run());
  const auto messages = inst.Messages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[messages.size() - 3], "Kestro Plus v wordt gestart");
}

}  // namespace
