// The loader end to end without the network part: from its start to the start
// of the main program, in a throw-away installation, checked through its log
// and what the main-program stand-in recorded.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/files.h"
#include "platform/registry.h"
#include "platform/sysinfo.h"
#include "support/installation.h"
#include "support/run_capture.h"
#include "support/testing.h"
#include "support/u_Utility.h"

using namespace testing_support;
using platform::RegRoot;

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
  inst.AddFile("elsewhere" + std::string(1, platform::kPathDelim) + "KestroCore.exe",
               "not a program");
  ASSERT_TRUE(inst.Run("", inst.Root() + "elsewhere", 60000));
  const std::string record = inst.MainProgramRecord();
  ASSERT_FALSE(record.empty());
  EXPECT_NE(record.find("elsewhere"), std::string::npos)
      << "working directory unchanged: " << record;
  EXPECT_EQ(inst.Messages().back(), "Loader is afgesloten");
}

TEST(Spine, ProductNameFromTheNameFileAppearsInTheStartLine) {
  Installation inst;
  inst.AddMainProgram();
  // Default data map: <app>/../data/database/, so the name file is
  // <root>/data/layout/Special/logo.txt.
  const char d = platform::kPathDelim;
  MakeDirs(inst.Root() + "data" + d + "layout" + d + "Special");
  inst.AddFile(std::string("data") + d + "layout" + d + "Special" + d + "logo.txt",
               "  Kestro Plus\r\n");
  ASSERT_TRUE(inst.Run());
  const auto messages = inst.Messages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[messages.size() - 3], "Kestro Plus v wordt gestart");
}

// Whatever is wrong with the name file, the prefix file or the registry values
// that lead to them, the suite starts, and the log says once what was wrong.
TEST(Spine, BadNameAndPrefixInputNeverStopsTheStart) {
  const char d = platform::kPathDelim;
  const std::string special = std::string("data") + d + "layout" + d + "Special";
  const std::string nameFile = special + d + "logo.txt";
  const char kDataMapKey[] = "SOFTWARE\\hollvik\\kestro";
  const char kOdbcKey[] = "SOFTWARE\\ODBC\\ODBC.INI\\kantoorDatabase";
  struct Row {
    const char* name;
    // Lays out the bad input in the installation; may keep a file open in
    // `holder` for the length of the run.
    std::function<void(Installation&, platform::File& holder)> arrange;
    const char* logStart;  // the start of the one log line about it; "" for none
    const char* startLine;
    bool needsFifo;
  };
  const std::vector<Row> rows = {
      {"name file locked by another process",
       [&](Installation& inst, platform::File& holder) {
         inst.AddFile(nameFile, "Locked");
         ASSERT_TRUE(holder.Open(inst.Root() + nameFile, platform::File::Mode::OpenWrite,
                                 platform::File::Share::None));
       },
       "Productnaam niet gelezen uit", "Kestro v wordt gestart", false},
      {"name file is a folder",
       [&](Installation& inst, platform::File&) { MakeDirs(inst.Root() + nameFile); },
       "Productnaam niet gelezen uit", "Kestro v wordt gestart", false},
      {"name file is a FIFO",
       [&](Installation& inst, platform::File&) {
         ASSERT_EQ(0, RunCapture("mkfifo", {inst.Root() + nameFile}).exitCode);
       },
       "Productnaam niet gelezen uit", "Kestro v wordt gestart", true},
      {"name file of 100 MiB",
       [&](Installation& inst, platform::File&) {
         inst.AddFile(nameFile, std::string(100 * 1024 * 1024, 'K'));
       },
       "Productnaam niet gelezen uit", "Kestro v wordt gestart", false},
      {"name file of 0 bytes",
       [&](Installation& inst, platform::File&) { inst.AddFile(nameFile, ""); }, "",
       "v wordt gestart", false},
      {"name file of CR LF only",
       [&](Installation& inst, platform::File&) { inst.AddFile(nameFile, "\r\n"); }, "",
       "v wordt gestart", false},
      {"DBQ as REG_DWORD",
       [&](Installation&, platform::File&) {
         SetRegDword(RegRoot::LocalMachine, kOdbcKey, "DBQ", 3, kSuiteView);
       },
       "Productnaam niet bepaald: Invalid data type for 'DBQ'", "Kestro v wordt gestart", false},
      {"DBQ as REG_BINARY",
       [&](Installation&, platform::File&) {
         SetRegValue(RegRoot::LocalMachine, kOdbcKey, "DBQ", platform::kRegBinary, "x.mdb",
                     kSuiteView);
       },
       "Productnaam niet bepaald: Invalid data type for 'DBQ'", "Kestro v wordt gestart", false},
      {"_KestroDataMap as REG_DWORD",
       [&](Installation&, platform::File&) {
         SetRegDword(RegRoot::LocalMachine, kDataMapKey, "_KestroDataMap", 3, kSuiteView);
       },
       "Registerwaarde HKEY_LOCAL_MACHINE", "Kestro v wordt gestart", false},
      {"_KestroDataMap as REG_BINARY",
       [&](Installation&, platform::File&) {
         SetRegValue(RegRoot::LocalMachine, kDataMapKey, "_KestroDataMap", platform::kRegBinary,
                     "data", kSuiteView);
       },
       "Registerwaarde HKEY_LOCAL_MACHINE", "Kestro v wordt gestart", false},
      // The Linux port's settings stores (Windows keeps its registry).
      {"settings stores that are no databases",
       [&](Installation&, platform::File&) {
         std::string dir;
         ASSERT_TRUE(platform::GetEnv("KESTRO_REGISTRY_DIR", dir));
         for (const char* file : {"machine.db", "user.db"}) {
           WriteFile(dir + d + file, std::string(8192, 'x'));
         }
       },
       "", "Kestro v wordt gestart", false},
      {"ODBCPrefix.txt is a folder",
       [&](Installation& inst, platform::File&) { MakeDirs(inst.AppDir() + "ODBCPrefix.txt"); },
       "ODBC-prefix niet gelezen uit", "Kestro v wordt gestart", false},
      {"ODBCPrefix.txt with a 1 MiB line",
       [&](Installation& inst, platform::File&) {
         inst.AddFile("app" + std::string(1, d) + "ODBCPrefix.txt", std::string(1024 * 1024, 'p'));
       },
       "ODBC-prefix niet gelezen uit", "Kestro v wordt gestart", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Installation inst;
    if (r.needsFifo && RunCapture("mkfifo", {inst.Root() + "fifo-probe"}).exitCode != 0) continue;
    inst.AddMainProgram();
    MakeDirs(inst.Root() + special);
    platform::File holder;
    r.arrange(inst, holder);
    ASSERT_TRUE(inst.Run("", "", 60000)) << "the loader had to be killed";
    holder.Close();
    DeleteRegKey(RegRoot::LocalMachine, "SOFTWARE\\hollvik");
    DeleteRegKey(RegRoot::LocalMachine, kOdbcKey);

    EXPECT_FALSE(inst.MainProgramRecord().empty()) << "main program not started";
    const auto messages = inst.Messages();
    ASSERT_GE(messages.size(), 3u);
    const std::size_t n = messages.size();
    EXPECT_EQ(r.startLine, messages[n - 3]);
    EXPECT_EQ("Loader is afgesloten", messages[n - 1]);
    // An empty name leaves the start line with "v" at its head (log lines are
    // trimmed). The name is read twice (for the window and for the start line), and
    // each read that fails says so once.
    std::size_t about = 0;
    for (const std::string& m : messages) {
      if (*r.logStart != '\0' && m.compare(0, std::strlen(r.logStart), r.logStart) == 0) ++about;
    }
    EXPECT_EQ(*r.logStart == '\0' ? 0u : 2u, about);
  }
}

}  // namespace
