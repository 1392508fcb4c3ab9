// Contract of platform/registry.h. On the Linux port the store lives in a
// private folder (KESTRO_REGISTRY_DIR); under Wine the test prefix's own
// registry is used. Either way every test works below a key of its own under
// HKCU\SOFTWARE\KestroTest and removes it afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "platform/shell.h"
#include "platform/sysinfo.h"
#include "support/run_capture.h"
#include "support/testing.h"

namespace {

using platform::RegAccess;
using platform::RegKey;
using platform::RegRoot;
using platform::RegValue;

RegValue Value(std::uint32_t type, const std::string& data) {
  RegValue v;
  v.type = type;
  v.data = data;
  return v;
}

std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }

class PlatformRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    base_ =
        "SOFTWARE\\KestroTest\\t" + std::to_string(rd()) + std::to_string(platform::TickCount());
  }
  void TearDown() override { platform::RegDeleteKeyTree(RegRoot::CurrentUser, base_); }

  std::string Key(const std::string& sub) const { return base_ + "\\" + sub; }

  testing_support::PrivateRegistry store_;
  std::string base_;
};

TEST_F(PlatformRegistry, ReadingAMissingKeyCreatesNothing) {
  RegKey k;
  EXPECT_FALSE(k.Open(RegRoot::CurrentUser, Key("Sarvo"), RegAccess::Read));
  EXPECT_FALSE(k.Open(RegRoot::CurrentUser, Key("Sarvo"), RegAccess::All));
  EXPECT_FALSE(k.IsOpen());
  EXPECT_FALSE(platform::RegKeyExists(RegRoot::CurrentUser, Key("Sarvo")));
  EXPECT_FALSE(platform::RegKeyExists(RegRoot::CurrentUser, base_));
  EXPECT_FALSE(platform::RegKeyExists(RegRoot::LocalMachine, Key("Sarvo")));
}

TEST_F(PlatformRegistry, CreateMakesTheKeyAndItsParents) {
  RegKey k;
  ASSERT_TRUE(k.Create(RegRoot::CurrentUser, Key("hollvik\\Sarvo"), RegAccess::All));
  EXPECT_TRUE(k.IsOpen());
  EXPECT_TRUE(platform::RegKeyExists(RegRoot::CurrentUser, base_));
  EXPECT_TRUE(platform::RegKeyExists(RegRoot::CurrentUser, Key("hollvik")));
  EXPECT_TRUE(platform::RegKeyExists(RegRoot::CurrentUser, Key("hollvik\\Sarvo")));
  // Creating it again opens the existing key.
  RegKey again;
  EXPECT_TRUE(again.Create(RegRoot::CurrentUser, Key("hollvik\\Sarvo"), RegAccess::All));
}

TEST_F(PlatformRegistry, KeyPathsAndValueNamesIgnoreCaseAndExtraBackslashes) {
  testing_support::SetRegString(RegRoot::CurrentUser, Key("hollvik\\Sarvo"), "Params", "/AUTO");
  const std::string spellings[] = {
      "\\" + Key("hollvik\\Sarvo"),
      Key("HOLLVIK\\sarvo"),
      base_ + "\\hollvik\\Sarvo\\",
      base_ + "\\hollvik\\\\Sarvo",
  };
  for (const auto& path : spellings) {
    SCOPED_TRACE(path);
    EXPECT_TRUE(platform::RegKeyExists(RegRoot::CurrentUser, path));
    RegKey k;
    ASSERT_TRUE(k.Open(RegRoot::CurrentUser, path, RegAccess::Read));
    RegValue v;
    ASSERT_TRUE(k.Read("PARAMS", v));
    EXPECT_EQ(v.type, platform::kRegSz);
    EXPECT_EQ(v.data, Sz("/AUTO"));
  }
}

TEST_F(PlatformRegistry, ValuesKeepTheirTypeAndBytes) {
  struct Case {
    const char* name;
    RegValue value;
  };
  const Case cases[] = {
      {"string", Value(platform::kRegSz, Sz("/AUTO /INIT"))},
      {"empty string", Value(platform::kRegSz, Sz(""))},
      {"expandable string", Value(platform::kRegExpandSz, Sz("%APPDATA%\\Sarvo"))},
      {"dword 0x100", Value(platform::kRegDword, std::string("\x00\x01\x00\x00", 4))},
      {"binary with NULs", Value(platform::kRegBinary, std::string("\x01\x00\xFF\x00\x7F", 5))},
      {"empty binary", Value(platform::kRegBinary, "")},
      {"qword", Value(platform::kRegQword, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8))},
      {"multi string", Value(platform::kRegMultiSz, std::string("a\0bc\0\0", 6))},
      {"ANSI bytes", Value(platform::kRegSz, Sz("Caf\xE9"))},
  };
  RegKey w;
  ASSERT_TRUE(w.Create(RegRoot::CurrentUser, Key("types"), RegAccess::All));
  for (const auto& c : cases) ASSERT_TRUE(w.Write(c.name, c.value)) << c.name;
  RegKey r;
  ASSERT_TRUE(r.Open(RegRoot::CurrentUser, Key("types"), RegAccess::Read));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RegValue v;
    ASSERT_TRUE(r.Read(c.name, v));
    EXPECT_EQ(v.type, c.value.type);
    EXPECT_EQ(v.data, c.value.data);
  }
}

TEST_F(PlatformRegistry, OverwriteKeepsOrderAndFirstSpelling) {
  RegKey k;
  ASSERT_TRUE(k.Create(RegRoot::CurrentUser, Key("order"), RegAccess::All));
  ASSERT_TRUE(k.Write("State", Value(platform::kRegDword, std::string("\x01\x00\x00\x00", 4))));
  ASSERT_TRUE(k.Write("Params", Value(platform::kRegSz, Sz("/AUTO"))));
  ASSERT_TRUE(k.Write("Zeta", Value(platform::kRegSz, Sz("z"))));
  // Another type and another spelling replace the value in place.
  ASSERT_TRUE(k.Write("STATE", Value(platform::kRegSz, Sz("text now"))));
  // The order is the store's own (Wine's registry sorts by name), so only
  // the names and their spelling are compared.
  std::vector<std::string> names = k.ValueNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Params", "State", "Zeta"}));
  RegValue v;
  ASSERT_TRUE(k.Read("state", v));
  EXPECT_EQ(v.type, platform::kRegSz);
  EXPECT_EQ(v.data, Sz("text now"));
}

TEST_F(PlatformRegistry, DeleteValue) {
  RegKey k;
  ASSERT_TRUE(k.Create(RegRoot::CurrentUser, Key("del"), RegAccess::All));
  ASSERT_TRUE(k.Write("Params", Value(platform::kRegSz, Sz("x"))));
  EXPECT_TRUE(k.DeleteValue("PARAMS"));
  RegValue v;
  EXPECT_FALSE(k.Read("Params", v));
  EXPECT_FALSE(k.DeleteValue("Params"));
  EXPECT_TRUE(k.ValueNames().empty());
}

TEST_F(PlatformRegistry, AReadOnlyKeyRefusesWrites) {
  testing_support::SetRegString(RegRoot::CurrentUser, Key("ro"), "Params", "/AUTO");
  RegKey k;
  ASSERT_TRUE(k.Open(RegRoot::CurrentUser, Key("ro"), RegAccess::Read));
  EXPECT_FALSE(k.Write("Params", Value(platform::kRegSz, Sz("changed"))));
  EXPECT_FALSE(k.DeleteValue("Params"));
  RegValue v;
  ASSERT_TRUE(k.Read("Params", v));
  EXPECT_EQ(v.data, Sz("/AUTO"));
}

TEST_F(PlatformRegistry, AWriteIsSeenByAKeyOpenedBeforeIt) {
  // Nothing is cached in an open key: every call reads the store afresh.
  RegKey reader;
  ASSERT_TRUE(reader.Create(RegRoot::CurrentUser, Key("Sarvo"), RegAccess::All));
  RegValue v;
  EXPECT_FALSE(reader.Read("State", v));
  RegKey writer;
  ASSERT_TRUE(writer.Create(RegRoot::CurrentUser, Key("Sarvo"), RegAccess::All));
  ASSERT_TRUE(
      writer.Write("State", Value(platform::kRegDword, std::string("\x01\x00\x00\x00", 4))));
  ASSERT_TRUE(reader.Read("State", v));
  EXPECT_EQ(v.data, std::string("\x01\x00\x00\x00", 4));
}

TEST_F(PlatformRegistry, DeleteKeyTreeRemovesOnlyThatTree) {
  testing_support::SetRegString(RegRoot::CurrentUser, Key("A\\B\\C"), "v", "deep");
  testing_support::SetRegString(RegRoot::CurrentUser, Key("A"), "v", "top");
  // Siblings that share the name's beginning are no subkeys.
  testing_support::SetRegString(RegRoot::CurrentUser, Key("AB"), "v", "sibling");
  testing_support::SetRegString(RegRoot::CurrentUser, Key("A_"), "v", "sibling");

  EXPECT_TRUE(platform::RegDeleteKeyTree(RegRoot::CurrentUser, Key("a")));
  EXPECT_FALSE(platform::RegKeyExists(RegRoot::CurrentUser, Key("A")));
  EXPECT_FALSE(platform::RegKeyExists(RegRoot::CurrentUser, Key("A\\B\\C")));
  EXPECT_TRUE(platform::RegKeyExists(RegRoot::CurrentUser, Key("AB")));
  EXPECT_TRUE(platform::RegKeyExists(RegRoot::CurrentUser, Key("A_")));
  EXPECT_FALSE(platform::RegDeleteKeyTree(RegRoot::CurrentUser, Key("A")));

  // A key made again after its deletion starts without the old values.
  RegKey k;
  ASSERT_TRUE(k.Create(RegRoot::CurrentUser, Key("A\\B\\C"), RegAccess::All));
  RegValue v;
  EXPECT_FALSE(k.Read("v", v));
}

TEST_F(PlatformRegistry, AKeyDeletedWhileOpenTakesNoMoreValues) {
  RegKey k;
  ASSERT_TRUE(k.Create(RegRoot::CurrentUser, Key("gone"), RegAccess::All));
  ASSERT_TRUE(platform::RegDeleteKeyTree(RegRoot::CurrentUser, Key("gone")));
  EXPECT_FALSE(k.Write("State", Value(platform::kRegDword, std::string(4, '\0'))));
  EXPECT_FALSE(platform::RegKeyExists(RegRoot::CurrentUser, Key("gone")));
}

// The Linux port's own promises about its store files.
class PosixRegistryStore : public PlatformRegistry {
 protected:
  void SetUp() override {
    if (testing_support::OnWindows())
      GTEST_SKIP() << "the store files exist on the Linux port only";
    PlatformRegistry::SetUp();
    ASSERT_TRUE(platform::GetEnv("KESTRO_REGISTRY_DIR", dir_));
  }
  std::string dir_;
};

TEST_F(PosixRegistryStore, ReadsNeverCreateTheStoreAndRootsAreSeparate) {
  RegKey k;
  EXPECT_FALSE(k.Open(RegRoot::CurrentUser, Key("Sarvo"), RegAccess::Read));
  EXPECT_FALSE(testing_support::Exists(dir_ + "/user.db"));
  testing_support::SetRegString(RegRoot::CurrentUser, Key("Sarvo"), "Params", "/AUTO");
  EXPECT_TRUE(testing_support::Exists(dir_ + "/user.db"));
  EXPECT_FALSE(testing_support::Exists(dir_ + "/machine.db"));
  EXPECT_FALSE(platform::RegKeyExists(RegRoot::LocalMachine, Key("Sarvo")));
}

TEST_F(PosixRegistryStore, ValueNamesComeInTheOrderOfTheirFirstWrite) {
  RegKey k;
  ASSERT_TRUE(k.Create(RegRoot::CurrentUser, Key("order"), RegAccess::All));
  for (const char* name : {"Zeta", "Alpha", "Mid", "ALPHA"}) {
    ASSERT_TRUE(k.Write(name, Value(platform::kRegSz, Sz(name)))) << name;
  }
  EXPECT_EQ(k.ValueNames(), (std::vector<std::string>{"Zeta", "Alpha", "Mid"}));
}

TEST_F(PosixRegistryStore, AStoreFileWithoutWriteBitsRefusesWrites) {
  testing_support::SetRegString(RegRoot::CurrentUser, Key("Sarvo"), "Params", "/AUTO");
  namespace fs = std::filesystem;
  fs::permissions(dir_ + "/user.db",
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  RegKey k;
  ASSERT_TRUE(k.Create(RegRoot::CurrentUser, Key("Sarvo"), RegAccess::All));
  EXPECT_FALSE(k.Write("Params", Value(platform::kRegSz, Sz("/AUTO /INIT"))));
  RegValue v;
  ASSERT_TRUE(k.Read("Params", v));
  EXPECT_EQ(v.data, Sz("/AUTO"));
  RegKey fresh;
  EXPECT_FALSE(fresh.Create(RegRoot::CurrentUser, Key("Other"), RegAccess::All));
  fs::permissions(dir_ + "/user.db", fs::perms::owner_write, fs::perm_options::add);
}

// What a writer killed in the middle of a transaction leaves behind: changed
// pages in the store file (the page cache is one page, so they spill before
// any commit) and a hot journal beside it. Python's sqlite3 module does the
// writing, so the helper shares no code with the store.
const char kKilledWriter[] =
    "import os, sqlite3, sys\n"
    "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
    "db.execute('PRAGMA cache_size=1')\n"
    "db.execute('BEGIN IMMEDIATE')\n"
    "db.execute('UPDATE reg_values SET data = zeroblob(3000), type = 4')\n"
    "for i in range(100):\n"
    "    db.execute('INSERT INTO reg_values(key_id, name, lname, type, data) '\n"
    "               'VALUES(1, ?1, ?1, 3, zeroblob(3000))', ('junk%d' % i,))\n"
    "os._exit(9)\n";

TEST_F(PosixRegistryStore, ReadsSeeTheCommittedValuesAfterAWriterWasKilled) {
  const struct {
    const char* name;
    RegRoot root;
    const char* file;
  } stores[] = {
      {"machine store", RegRoot::LocalMachine, "/machine.db"},
      {"user store", RegRoot::CurrentUser, "/user.db"},
  };
  for (const auto& store : stores) {
    SCOPED_TRACE(store.name);
    testing_support::SetRegString(store.root, Key("kestro"), "_KestroDataMap", "/srv/data");
    testing_support::SetRegDword(store.root, Key("kestro"), "State", 7);
    const std::string db = dir_ + store.file;
    const auto helper = testing_support::RunCapture("python3", {"-c", kKilledWriter, db});
    ASSERT_EQ(9, helper.exitCode) << helper.err;
    ASSERT_TRUE(testing_support::Exists(db + "-journal")) << "the writer left no journal";

    RegKey k;
    platform::Failure why = platform::Failure::None;
    ASSERT_TRUE(k.Open(store.root, Key("kestro"), RegAccess::Read, &why)) << why;
    RegValue v;
    ASSERT_TRUE(k.Read("_KestroDataMap", v, &why)) << why;
    EXPECT_EQ(platform::kRegSz, v.type);
    EXPECT_EQ(Sz("/srv/data"), v.data);
    ASSERT_TRUE(k.Read("State", v, &why)) << why;
    EXPECT_EQ(std::string("\x07\0\0\0", 4), v.data);
    EXPECT_EQ((std::vector<std::string>{"_KestroDataMap", "State"}), k.ValueNames());
    platform::RegDeleteKeyTree(store.root, base_);
  }
}

// An ordinary user may read the machine store but not write it, so the
// killed writer's journal cannot be rolled back in place: kestro-reg, run as
// "nobody", still reports the committed value (from a private copy), and
// leaves the store and its journal as they were.
TEST_F(PosixRegistryStore, AReaderThatMayNotWriteTheStoreSeesTheCommittedValues) {
  const std::vector<std::string> asNobody = {"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                             "env", "TMPDIR=/tmp"};
  std::vector<std::string> probe = asNobody;
  probe.push_back("true");
  if (testing_support::RunCapture("setpriv", probe).exitCode != 0) {
    GTEST_SKIP() << "cannot start a program as another user here";
  }
  namespace fs = std::filesystem;
  testing_support::SetRegString(RegRoot::LocalMachine, Key("kestro"), "_KestroDataMap",
                                "/srv/data");
  const std::string db = dir_ + "/machine.db";
  const auto helper = testing_support::RunCapture("python3", {"-c", kKilledWriter, db});
  ASSERT_EQ(9, helper.exitCode) << helper.err;
  ASSERT_TRUE(testing_support::Exists(db + "-journal")) << "the writer left no journal";
  const std::string storeBefore = testing_support::ReadFile(db);
  const std::string journalBefore = testing_support::ReadFile(db + "-journal");

  // The other user reaches the store's folder and a copy of the tool, and
  // may read the store files but write neither them nor the folder.
  const fs::perms readable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec;
  fs::permissions(dir_, readable);
  for (const std::string& f : {db, db + "-journal"}) {
    fs::permissions(f, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                           fs::perms::others_read);
  }
  testing_support::TempDir tools;
  fs::permissions(tools.path(), readable);
  const std::string tool = tools / "kestro-reg";
  fs::copy_file(testing_support::BuiltProgram("kestro-reg"), tool);

  std::vector<std::string> args = asNobody;
  args.insert(args.end(), {tool, "query", "HKLM\\" + Key("kestro"), "/v", "_KestroDataMap"});
  const auto query = testing_support::RunCapture("setpriv", args);
  EXPECT_EQ(0, query.exitCode) << query.out << query.err;
  EXPECT_NE(std::string::npos, query.out.find("_KestroDataMap    REG_SZ    /srv/data"))
      << query.out << query.err;
  EXPECT_TRUE(storeBefore == testing_support::ReadFile(db)) << "the store was changed";
  EXPECT_TRUE(journalBefore == testing_support::ReadFile(db + "-journal"))
      << "the journal was changed";
  platform::RegDeleteKeyTree(RegRoot::LocalMachine, base_);
}

TEST_F(PosixRegistryStore, AStoreThatIsNoDatabaseIsAFailureNotAMissingValue) {
  testing_support::SetRegString(RegRoot::CurrentUser, Key("kestro"), "UpdateKey", "key");
  RegKey k;
  platform::Failure why = platform::Failure::None;
  ASSERT_TRUE(k.Open(RegRoot::CurrentUser, Key("kestro"), RegAccess::Read, &why)) << why;
  // A missing value and a missing key in a sound store are only missing.
  RegValue v;
  EXPECT_FALSE(k.Read("Missing", v, &why));
  EXPECT_EQ(platform::Failure::FileNotFound, why);
  RegKey other;
  EXPECT_FALSE(other.Open(RegRoot::CurrentUser, Key("nothing"), RegAccess::Read, &why));
  EXPECT_EQ(platform::Failure::FileNotFound, why);

  // The same key while another process holds the store's write lock past
  // the wait, and once the store is no database.
  const std::string db = dir_ + "/user.db";
  const std::string held = dir_ + "/held";
  const char kWriter[] =
      "import sqlite3, sys, time; c = sqlite3.connect(sys.argv[1], isolation_level=None); "
      "c.execute('BEGIN EXCLUSIVE'); open(sys.argv[2], 'w').close(); time.sleep(30)";
  auto writer = platform::ShellExecuteProcess(
      "open", "python3", "-c \"" + std::string(kWriter) + "\" " + db + " " + held, "",
      platform::ShowCommand::Hidden);
  ASSERT_TRUE(writer.ok) << writer.error;
  for (int i = 0; i < 200 && !testing_support::Exists(held); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(testing_support::Exists(held)) << "the writer never took the lock";
  EXPECT_FALSE(k.Read("UpdateKey", v, &why));
  EXPECT_EQ(platform::Failure::LockViolation, why);
  writer.process.Terminate();
  writer.process.Wait(10000);

  testing_support::WriteFile(db, std::string(4096, 'x'));
  EXPECT_FALSE(k.Read("UpdateKey", v, &why));
  EXPECT_EQ(platform::Failure::RegistryCorrupt, why);
  EXPECT_FALSE(other.Open(RegRoot::CurrentUser, Key("kestro"), RegAccess::Read, &why));
  EXPECT_EQ(platform::Failure::RegistryCorrupt, why);
}

}  // namespace
