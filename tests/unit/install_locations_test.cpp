// Where the loader finds its folders, the suite's data map and its display
// name: the registry sources in their order, the ODBC fallbacks, the prefix
// file, and the name file beside the data map.
#include <gtest/gtest.h>

#include "loader/fMain.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/sysinfo.h"
#include "support/DatabaseConnectie.h"
#include "support/Exceptions.h"
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
    platform::DeleteFile(ModuleFolder() + "ODBCPrefix.txt");
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
      if (c == 'A') r += a;
      else if (c == 'B') r += b;
      else if (c == '/') r += D();
      else r += c;
    }
    return r;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Clean();
    if (c.machine) SetRegString(RegRoot::LocalMachine, kDataMapKey, "_KestroDataMap", expand(c.machine));
    if (c.user) SetRegString(RegRoot::CurrentUser, kDataMapKey, "_KestroDataMap", expand(c.user));
    const std::string expected = std::string(c.expected) == "-"
        ? ModuleFolder() + ".." + D() + "data" + D() + "database" + D()
        : expand(c.expected);
    EXPECT_EQ(GetDataMapPath(), expected);
  }
  (void)aSlash;
}

TEST_F(InstallLocations, MachineValueOfWrongTypeIsSkippedSilently) {
  SetRegDword(RegRoot::LocalMachine, kDataMapKey, "_KestroDataMap", 7);
  SetRegString(RegRoot::CurrentUser, kDataMapKey, "_KestroDataMap", dir_.path() + "user");
  EXPECT_EQ(GetDataMapPath(), dir_.path() + "user" + D());
}

TEST_F(InstallLocations, ExpandableStringIsUsedAsStored) {
  SetRegValue(RegRoot::LocalMachine, kDataMapKey, "_KestroDataMap", platform::kRegExpandSz,
              std::string("%HOME%x") + '\0');
  EXPECT_EQ(GetDataMapPath(), std::string("%HOME%x") + D());
}

TEST_F(InstallLocations, OdbcDataSourceNamesTheFolderOfItsDatabase) {
  SetRegString(RegRoot::LocalMachine, kOdbcKey, "DBQ", dir_.path() + "office" + D() + "office.mdb");
  EXPECT_EQ(GetDataMapPath(), dir_.path() + "office" + D());
}

TEST_F(InstallLocations, OdbcDataSourceWithoutDatabaseGivesAnEmptyDataMap) {
  SetRegString(RegRoot::LocalMachine, kOdbcKey, "Driver", "x");
  EXPECT_EQ(GetDataMapPath(), "");
}

TEST_F(InstallLocations, OdbcDatabaseOfWrongTypeRaisesTheRegistryError) {
  SetRegDword(RegRoot::LocalMachine, kOdbcKey, "DBQ", 1);
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
  SetRegString(RegRoot::LocalMachine, kDataMapKey, "_KestroDataMap", dir_.path() + "plain");
  SetRegString(RegRoot::LocalMachine, std::string(kOdbcRoot) + "\\BkantoorDatabase", "DBQ",
               dir_.path() + "viaB" + D() + "x.mdb");
  // The unprefixed value is not the one looked for any more.
  EXPECT_EQ(GetDataMapPath(), dir_.path() + "viaB" + D());
  SetRegString(RegRoot::LocalMachine, kDataMapKey, "B_KestroDataMap", dir_.path() + "prefixed");
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
  platform::DeleteFile(ModuleFolder() + "ODBCPrefix.txt");
  EXPECT_EQ(TControllerDB::GetODBCPrefix(), "");
}

TEST_F(InstallLocations, ProductNameComesFromTheLayoutFolderBesideTheDataMap) {
  const std::string dataMap = dir_.path() + "suite" + D() + "data";
  SetRegString(RegRoot::LocalMachine, kDataMapKey, "_KestroDataMap", dataMap);
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
  platform::DeleteFile(nameFile);
  EXPECT_EQ(TfrmMain::GetProductName(), "Kestro");
  // A folder of that name is not a name file.
  MakeDirs(nameFile);
  EXPECT_EQ(TfrmMain::GetProductName(), "Kestro");
}

TEST_F(InstallLocations, ProductNameErrorsReachTheCaller) {
  SetRegDword(RegRoot::LocalMachine, kOdbcKey, "DBQ", 1);
  EXPECT_THROW(TfrmMain::GetProductName(), ERegistryException);
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
      {"a" + d + "b" + d + "sarvo2006.exe", "a" + d + "b" + d, "sarvo2006.exe", "a" + d + "b" + d + "sarvo2006.tmp"},
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
