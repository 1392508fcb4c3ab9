// Where the loader finds its folders, the suite's data map and its display
// name: the registry sources in their order, the ODBC fallbacks, the prefix
// file, and the name file beside the data map.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "companion/UpdateSignature.h"
#include "loader/fMain.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/sysinfo.h"
#include "support/DatabaseConnectie.h"
#include "support/Exceptions.h"
#include "support/registry_tool.h"
#include "support/run_capture.h"
#include "support/testing.h"
#include "support/u_Utility.h"

using namespace testing_support;
using platform::RegRoot;

namespace {

const char kDataMapKey[] = "SOFTWARE\\hollvik\\kestro";
const char kOdbcRoot[] = "SOFTWARE\\ODBC\\ODBC.INI";
const char kOdbcKey[] = "SOFTWARE\\ODBC\\ODBC.INI\\kantoorDatabase";

std::string D() { return std::string(1, platform::kPathDelim); }

std::string ModuleFolder() { return ExtractFilePath(platform::ModuleFileName()); }

// Every case starts from a registry without the suite's keys and without a
// prefix file beside the test program.
class InstallLocations : public ::testing::Test {
 protected:
  void SetUp() override { Clean(); }
  void TearDown() override { Clean(); }
  void Clean() {
    DeleteRegKey(RegRoot::LocalMachine, "SOFTWARE\\hollvik");
    DeleteRegKey(RegRoot::CurrentUser, "SOFTWARE\\hollvik");
    DeleteRegKey(RegRoot::LocalMachine, kOdbcKey);
    DeleteRegKey(RegRoot::LocalMachine, std::string(kOdbcRoot) + "\\BkantoorDatabase");
    platform::FileDelete(ModuleFolder() + "ODBCPrefix.txt");
  }
  PrivateRegistry registry_;
  TempDir dir_;
};

TEST_F(InstallLocations, AppPathIsTheExecutablesFolderWithOneTrailingDelimiter) {
  const std::string app = TUtility::AppPath();
  ASSERT_FALSE(app.empty());
  EXPECT_EQ(app.back(), platform::kPathDelim);
  EXPECT_NE(app.substr(app.size() - 2), D() + D());
  EXPECT_EQ(TUtility::ExeName().compare(0, app.size(), app), 0);
  EXPECT_EQ(app.find("\\\\?\\"), std::string::npos);
  EXPECT_TRUE(platform::FileExists(TUtility::ExeName()));
}

TEST_F(InstallLocations, WithoutAnySettingTheDataMapIsBesideTheProgramUncanonicalised) {
  EXPECT_EQ(GetDataMapPath(), ModuleFolder() + ".." + D() + "data" + D() + "database" + D());
}

// On 64-bit Windows a 32-bit program's machine-wide values land in the 32-bit
// view of HKLM\SOFTWARE: there the suite's installer keeps the data map and
// 32-bit ODBC its data sources, and there the loader reads them, whether it is
// a 64-bit or a 32-bit program; the same names in the 64-bit view alone are
// not the suite's. The update key is looked up in both views. Each value is
// written by reg.exe in the view an installer of that bitness writes in.
TEST_F(InstallLocations, MachineValuesAreReadInTheViewTheirInstallerWrites) {
  if (!OnWindows()) GTEST_SKIP() << "the Linux port's machine store has one view";
  const std::string beside = ModuleFolder() + ".." + D() + "data" + D() + "database" + D();
  const std::string dataMap = std::string("HKLM\\") + kDataMapKey;
  const std::string odbc = std::string("HKLM\\") + kOdbcKey;
  struct Case {
    const char* name;
    std::string key;
    const char* value;
    const char* view;
    std::string data;
    std::string dataMapPath;  // what GetDataMapPath gives
    bool updateKeyFound;
  };
  const std::vector<Case> cases = {
      {"data map in the 32-bit view", dataMap, "_KestroDataMap", "/reg:32", dir_.path() + "x86",
       dir_.path() + "x86" + D(), false},
      {"data map in the 64-bit view only", dataMap, "_KestroDataMap", "/reg:64",
       dir_.path() + "x64", beside, false},
      {"ODBC data source in the 32-bit view", odbc, "DBQ", "/reg:32",
       dir_.path() + "office" + D() + "office.mdb", dir_.path() + "office" + D(), false},
      {"ODBC data source in the 64-bit view only", odbc, "DBQ", "/reg:64",
       dir_.path() + "office" + D() + "office.mdb", beside, false},
      {"update key in the 64-bit view only", "HKLM\\SOFTWARE\\hollvik\\Sarvo", "UpdateKey",
       "/reg:64", "key of the 64-bit view", beside, true},
      {"update key in the 32-bit view only", "HKLM\\SOFTWARE\\hollvik\\Sarvo", "UpdateKey",
       "/reg:32", "key of the 32-bit view", beside, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Clean();
    ASSERT_TRUE(AddRegistryValue(c.key, c.value, "REG_SZ", c.data, c.view));
    EXPECT_EQ(GetDataMapPath(), c.dataMapPath);
    const UpdateKeySource key = UpdatePublicKey();
    EXPECT_EQ(key.configured, c.updateKeyFound) << key.readFailure;
    if (c.updateKeyFound) {
      EXPECT_NE(key.pem.find(c.data), std::string::npos) << key.pem;
    }
  }
}

struct DataMapCase {
  const char* name;
  const char* machine;  // nullptr: value absent
  const char* user;
  const char* expected;  // relative to the temp folder; "-" means: the default beside the program
};

TEST_F(InstallLocations, DataMapSourcesInTheirOrder) {
  const std::string base = dir_.path();
  const std::string a = base + "a";
  const std::string b = base + "b";
  const std::string aSlash = a + D();
  const DataMapCase cases[] = {
      {"machine value wins", "A", "B", "A/"},
      {"machine value already ends with a delimiter keeps one", "A/", nullptr, "A/"},
      {"empty machine value falls through to the user's", "", "B", "B/"},
      {"only the user's value", nullptr, "B", "B/"},
      {"empty values everywhere give the default", "", "", "-"},
  };
  auto expand = [&](const std::string& s) {
    std::string r;
    for (char c : s) {
      if (c == 'A')
        r += a;
      else if (c == 'B')
        r += b;
      else if (c == '/')
        r += D();
      else
        r += c;
    }
    return r;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Clean();
    if (c.machine)
      SetRegString(RegRoot::LocalMachine, kDataMapKey, "_KestroDataMap", expand(c.machine),
                   kSuiteView);
    if (c.user) SetRegString(RegRoot::CurrentUser, kDataMapKey, "_KestroDataMap", expand(c.user));
    const std::string expected = std::string(c.expected) == "-"
                                     ? ModuleFolder() + ".." + D() + "data" + D() + "database" + D()
                                     : expand(c.expected);
    EXPECT_EQ(GetDataMapPath(), expected);
  }
  (void)aSlash;
}

TEST_F(InstallLocations, MachineValueOfWrongTypeIsSkippedSilently) {
  SetRegDword(RegRoot::LocalMachine, kDataMapKey, "_KestroDataMap", 7, kSuiteView);
  SetRegString(RegRoot::CurrentUser, kDataMapKey, "_KestroDataMap", dir_.path() + "user");
  EXPECT_EQ(GetDataMapPath(), dir_.path() + "user" + D());
}

TEST_F(InstallLocations, ExpandableStringIsUsedAsStored) {
  SetRegValue(RegRoot::LocalMachine, kDataMapKey, "_KestroDataMap", platform::kRegExpandSz,
              std::string("%HOME%x") + '\0', kSuiteView);
  EXPECT_EQ(GetDataMapPath(), std::string("%HOME%x") + D());
}

TEST_F(InstallLocations, OdbcDataSourceNamesTheFolderOfItsDatabase) {
  SetRegString(RegRoot::LocalMachine, kOdbcKey, "DBQ", dir_.path() + "office" + D() + "office.mdb",
               kSuiteView);
  EXPECT_EQ(GetDataMapPath(), dir_.path() + "office" + D());
}

TEST_F(InstallLocations, OdbcDataSourceWithoutDatabaseGivesAnEmptyDataMap) {
  SetRegString(RegRoot::LocalMachine, kOdbcKey, "Driver", "x", kSuiteView);
  EXPECT_EQ(GetDataMapPath(), "");
}

TEST_F(InstallLocations, OdbcDatabaseOfWrongTypeRaisesTheRegistryError) {
  SetRegDword(RegRoot::LocalMachine, kOdbcKey, "DBQ", 1, kSuiteView);
  try {
    GetDataMapPath();
    FAIL() << "no error raised";
  } catch (const ERegistryException& e) {
    EXPECT_EQ(e.Message(), "Invalid data type for 'DBQ'");
  }
}

TEST_F(InstallLocations, PrefixFileSelectsValueNameAndDataSource) {
  WriteFile(ModuleFolder() + "ODBCPrefix.txt", "A\r\n  B \r\n");
  EXPECT_EQ(TControllerDB::GetODBCPrefix(), "B");
  SetRegString(RegRoot::LocalMachine, kDataMapKey, "_KestroDataMap", dir_.path() + "plain",
               kSuiteView);
  SetRegString(RegRoot::LocalMachine, std::string(kOdbcRoot) + "\\BkantoorDatabase", "DBQ",
               dir_.path() + "viaB" + D() + "x.mdb", kSuiteView);
  // The unprefixed value is not the one looked for any more.
  EXPECT_EQ(GetDataMapPath(), dir_.path() + "viaB" + D());
  SetRegString(RegRoot::LocalMachine, kDataMapKey, "B_KestroDataMap", dir_.path() + "prefixed",
               kSuiteView);
  EXPECT_EQ(GetDataMapPath(), dir_.path() + "prefixed" + D());
}

TEST_F(InstallLocations, PrefixIsTheTrimmedLastLine) {
  const struct {
    const char* name;
    const char* content;
    const char* expected;
  } cases[] = {
      {"two lines with line ends", "A\r\nB\r\n", "B"},
      {"last line without line end", "A\nB", "B"},
      {"empty last line", "A\r\n\r\n", ""},
      {"empty file", "", ""},
      {"blanks and tabs trimmed", " \tX \t\r\n", "X"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(ModuleFolder() + "ODBCPrefix.txt", c.content);
    EXPECT_EQ(TControllerDB::GetODBCPrefix(), c.expected);
  }
  platform::FileDelete(ModuleFolder() + "ODBCPrefix.txt");
  EXPECT_EQ(TControllerDB::GetODBCPrefix(), "");
}

TEST_F(InstallLocations, ProductNameComesFromTheLayoutFolderBesideTheDataMap) {
  const std::string dataMap = dir_.path() + "suite" + D() + "data";
  SetRegString(RegRoot::LocalMachine, kDataMapKey, "_KestroDataMap", dataMap, kSuiteView);
  const std::string special = JoinPath({dir_.path() + "suite", "layout", "Special"});
  MakeDirs(special);
  const std::string nameFile = special + D() + "logo.txt";
  const struct {
    const char* name;
    std::string content;
    std::string expected;
  } cases[] = {
      {"blanks and line end trimmed", "  Suite Plus\r\n", "Suite Plus"},
      {"empty file gives an empty name", "", ""},
      {"inner line break kept", "Een\r\nTwee\r\n", "Een\r\nTwee"},
      {"odd bytes used as they are", "Kr\xe9\xff\x01t", "Kr\xe9\xff\x01t"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(nameFile, c.content);
    EXPECT_EQ(TfrmMain::GetProductName(), c.expected);
  }
  platform::FileDelete(nameFile);
  EXPECT_EQ(TfrmMain::GetProductName(), "Kestro");
  // A folder of that name is not a name file.
  MakeDirs(nameFile);
  EXPECT_EQ(TfrmMain::GetProductName(), "Kestro");
}

// The log lines written since `from` bytes of the test binary's log, without
// their 79-character prefix.
std::vector<std::string> LogMessagesSince(const std::string& logFile, std::size_t from) {
  const std::string text = Exists(logFile) ? ReadFile(logFile) : std::string();
  std::vector<std::string> out;
  for (const std::string& line : SplitCrLf(text.size() > from ? text.substr(from) : "")) {
    if (line.compare(0, 8, "Log for ") == 0 || line == std::string(120, '-')) continue;
    out.push_back(line.size() >= 79 ? line.substr(79) : line);
  }
  return out;
}

// Nothing about the name file, the prefix file or the registry values behind
// them may stop the start: every failure gives the default and exactly one
// log line that names the file (or value) and the reason.
TEST_F(InstallLocations, BadNameAndPrefixInputGivesTheDefaultAndOneLogLine) {
  const std::string logFile =
      JoinPath({LogFolder.empty() ? TUtility::AppPath() : LogFolder,
                ChangeFileExt(ExtractFileName(TUtility::ExeName()), ".log")});
  const std::string dataMap = dir_.path() + "suite" + D() + "data";
  const std::string special = JoinPath({dir_.path() + "suite", "layout", "Special"});
  const std::string nameFile = special + D() + "logo.txt";
  const std::string prefixFile = ModuleFolder() + "ODBCPrefix.txt";
  // A FIFO exists only where the system has them (the Linux port).
  const bool haveFifos = [&] {
    const std::string probe = dir_.path() + "fifo-probe";
    return RunCapture("mkfifo", {probe}).exitCode == 0 && Exists(probe);
  }();

  struct Row {
    const char* name;
    std::function<void()> arrange;
    std::string expectedName;
    std::string expectedPrefix;
    // The one log line expected, or "" for none.
    std::string logLine;
    bool needsFifo = false;
  };
  platform::File holder;
  const std::string big(64 * 1024 + 1, 'x');
  const std::vector<Row> rows = {
      {"name file locked by another opener",
       [&] {
         WriteFile(nameFile, "Locked Name");
         ASSERT_TRUE(
             holder.Open(nameFile, platform::File::Mode::OpenWrite, platform::File::Share::None));
       },
       "Kestro", "",
       "Productnaam niet gelezen uit \"" + nameFile +
           "\": in gebruik door een ander programma; \"Kestro\" wordt gebruikt"},
      {"name file is a folder", [&] { MakeDirs(nameFile); }, "Kestro", "",
       "Productnaam niet gelezen uit \"" + nameFile +
           "\": geen gewoon bestand; \"Kestro\" wordt gebruikt"},
      {"name file is a FIFO", [&] { ASSERT_EQ(0, RunCapture("mkfifo", {nameFile}).exitCode); },
       "Kestro", "",
       "Productnaam niet gelezen uit \"" + nameFile +
           "\": geen gewoon bestand; \"Kestro\" wordt gebruikt",
       true},
      {"name file one byte over 64 KiB", [&] { WriteFile(nameFile, big); }, "Kestro", "",
       "Productnaam niet gelezen uit \"" + nameFile +
           "\": groter dan 64 KiB; \"Kestro\" wordt gebruikt"},
      {"name file of exactly 64 KiB is read",
       [&] { WriteFile(nameFile, std::string(64 * 1024, 'n')); }, std::string(64 * 1024, 'n'), "",
       ""},
      {"name file of 0 bytes gives an empty name", [&] { WriteFile(nameFile, ""); }, "", "", ""},
      {"name file of CR LF only gives an empty name", [&] { WriteFile(nameFile, "\r\n\r\n"); }, "",
       "", ""},
      {"DBQ as REG_DWORD",
       [&] {
         DeleteRegKey(RegRoot::LocalMachine, kDataMapKey);
         SetRegDword(RegRoot::LocalMachine, kOdbcKey, "DBQ", 1, kSuiteView);
       },
       "Kestro", "",
       "Productnaam niet bepaald: Invalid data type for 'DBQ' (ERegistryException); \"Kestro\" "
       "wordt gebruikt"},
      {"DBQ as REG_BINARY",
       [&] {
         DeleteRegKey(RegRoot::LocalMachine, kDataMapKey);
         SetRegValue(RegRoot::LocalMachine, kOdbcKey, "DBQ", platform::kRegBinary,
                     std::string("C:\\x.mdb"), kSuiteView);
       },
       "Kestro", "",
       "Productnaam niet bepaald: Invalid data type for 'DBQ' (ERegistryException); \"Kestro\" "
       "wordt gebruikt"},
      {"_KestroDataMap as REG_DWORD",
       [&] { SetRegDword(RegRoot::LocalMachine, kDataMapKey, "_KestroDataMap", 7, kSuiteView); },
       "Kestro", "",
       "Registerwaarde HKEY_LOCAL_MACHINE\\SOFTWARE\\hollvik\\kestro\\_KestroDataMap "
       "overgeslagen: Invalid data type for '_KestroDataMap'"},
      {"_KestroDataMap as REG_BINARY",
       [&] {
         SetRegValue(RegRoot::LocalMachine, kDataMapKey, "_KestroDataMap", platform::kRegBinary,
                     dataMap, kSuiteView);
       },
       "Kestro", "",
       "Registerwaarde HKEY_LOCAL_MACHINE\\SOFTWARE\\hollvik\\kestro\\_KestroDataMap "
       "overgeslagen: Invalid data type for '_KestroDataMap'"},
      {"prefix file is a folder", [&] { MakeDirs(prefixFile); }, "Kestro", "",
       "ODBC-prefix niet gelezen uit \"" + prefixFile +
           "\": geen gewoon bestand; er wordt geen prefix gebruikt"},
      {"prefix file with a 1 MiB line",
       [&] { WriteFile(prefixFile, "A\r\n" + std::string(1024 * 1024, 'p') + "\r\n"); }, "Kestro",
       "",
       "ODBC-prefix niet gelezen uit \"" + prefixFile +
           "\": groter dan 64 KiB; er wordt geen prefix gebruikt"},
      {"prefix file with a line of 4 KiB and one byte",
       [&] { WriteFile(prefixFile, "A\r\n" + std::string(4 * 1024 + 1, 'p') + "\r\n"); }, "Kestro",
       "",
       "ODBC-prefix niet gelezen uit \"" + prefixFile +
           "\": een regel is langer dan 4 KiB; er wordt geen prefix gebruikt"},
      {"prefix file with a line of exactly 4 KiB is read",
       [&] { WriteFile(prefixFile, std::string(4 * 1024, 'p')); }, "Kestro",
       std::string(4 * 1024, 'p'), ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    if (r.needsFifo && !haveFifos) continue;
    Clean();
    RemoveAll(dir_.path() + "suite");
    RemoveAll(prefixFile);
    MakeDirs(special);
    SetRegString(RegRoot::LocalMachine, kDataMapKey, "_KestroDataMap", dataMap, kSuiteView);
    r.arrange();
    const std::size_t before = Exists(logFile) ? ReadFile(logFile).size() : 0;
    EXPECT_EQ(r.expectedName, TfrmMain::GetProductName());
    EXPECT_EQ(r.expectedPrefix, TControllerDB::GetODBCPrefix());
    const std::vector<std::string> lines = LogMessagesSince(logFile, before);
    if (r.logLine.empty()) {
      EXPECT_TRUE(lines.empty()) << lines.front();
    } else {
      // One line from the name lookup (and, for the prefix file, one more
      // from the direct prefix lookup of this test).
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(r.logLine, lines.front());
      EXPECT_EQ(r.expectedPrefix.empty() && r.logLine.compare(0, 4, "ODBC") == 0 ? 2u : 1u,
                lines.size());
    }
    holder.Close();
    RemoveAll(prefixFile);
  }
}

TEST(FileFacts, FileSizeOfMissingEmptyAndSizedFiles) {
  TempDir dir;
  WriteFile(dir / "empty.bin", "");
  WriteFile(dir / "five.bin", "12345");
  MakeDirs(dir / "folder");
  const struct {
    const char* name;
    std::string path;
    std::int32_t expected;
  } cases[] = {
      {"missing file", dir / "missing.bin", -1},
      {"missing folder", dir / "nope" + D() + "x.bin", -1},
      {"empty file", dir / "empty.bin", 0},
      {"five bytes", dir / "five.bin", 5},
      {"a folder counts as size 0", dir / "folder", 0},
      {"wildcard matches like a directory search", dir / "fiv?.bin", 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TUtility::GetFileSize(c.path), c.expected);
  }
}

TEST(FileFacts, ComputerNameFitsTheNetbiosLimit) {
  const std::string name = TUtility::GetComputerName();
  EXPECT_FALSE(name.empty());
  EXPECT_LE(name.size(), 15u);
  EXPECT_EQ(name.find('\0'), std::string::npos);
}

TEST(FileFacts, CanonicalizeResolvesDotSegmentsAndFallsBackWhenTooLong) {
  const std::string d = D();
  const std::string root = TempDir().path();
  EXPECT_EQ(TUtility::CanonicalizePath(root + "a" + d + ".." + d + "b" + d + "." + d + "c.txt"),
            root + "b" + d + "c.txt");
  const std::string longPath = root + std::string(300, 'x') + d + ".." + d + "y";
  EXPECT_EQ(TUtility::CanonicalizePath(longPath), longPath);
}

TEST(PathHelpers, SplitAndChangeExtension) {
  const std::string d = D();
  const struct {
    std::string in, path, name, tmp;
  } cases[] = {
      {"a" + d + "b" + d + "sarvo2006.exe", "a" + d + "b" + d, "sarvo2006.exe",
       "a" + d + "b" + d + "sarvo2006.tmp"},
      {"a.dir" + d + "noext", "a.dir" + d, "noext", "a.dir" + d + "noext.tmp"},
      {"plain", "", "plain", "plain.tmp"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(ExtractFilePath(c.in), c.path);
    EXPECT_EQ(ExtractFileName(c.in), c.name);
    EXPECT_EQ(ChangeFileExt(c.in, ".tmp"), c.tmp);
  }
  EXPECT_EQ(TrimControl(std::string("\x01 a b\t\r\n")), "a b");
  EXPECT_EQ(UpperAscii("noUpdate\xe9"), "NOUPDATE\xe9");
}

}  // namespace
