// The companion tool's settings store against the real registry: Wine's
// registry in the Win32 build, the SQLite store in a private folder on the
// Linux port. What the store writes is checked with a tool that shares no
// code with it: Wine's reg.exe, or the built kestro-reg, which prints the
// same format.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "companion/u_SarvoPrep.h"
#include "platform/registry.h"
#include "platform/sysinfo.h"
#include "support/Exceptions.h"
#include "support/registry_tool.h"
#include "support/testing.h"

using namespace testing_support;

namespace {

const char* const kKey = "SOFTWARE\\hollvik\\Sarvo";
const char* const kFullKey = "HKCU\\SOFTWARE\\hollvik\\Sarvo";

// Asks reg.exe (Windows) or kestro-reg (Linux port) for the key, or for one
// of its values.
RegListing ListExternally(const std::string& name = "") { return QueryRegistry(kFullKey, name); }

std::string Dword(std::uint32_t v) {
  std::string d(4, '\0');
  for (int i = 0; i < 4; ++i) d[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return d;
}

std::string Nul(const std::string& s) { return s + std::string(1, '\0'); }

class SarvoSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { DeleteRegKey(platform::RegRoot::CurrentUser, kKey); }
  void TearDown() override { DeleteRegKey(platform::RegRoot::CurrentUser, kKey); }

  static bool KeyExists() { return platform::RegKeyExists(platform::RegRoot::CurrentUser, kKey); }

  static platform::RegValue Stored(const std::string& name) {
    platform::RegKey key;
    platform::RegValue v;
    EXPECT_TRUE(key.Open(platform::RegRoot::CurrentUser, kKey, platform::RegAccess::Read));
    EXPECT_TRUE(key.Read(name, v)) << name << " is not stored";
    return v;
  }

  // The Linux port's store lives in this private folder; on Windows the
  // folder is unused and the prefix's own registry is the store.
  PrivateRegistry registry_;
};

TEST_F(SarvoSettingsTest, FreshProfileGivesDefaultsWithoutCreatingTheKey) {
  ASSERT_FALSE(ListExternally().keyFound) << "the key is left over from elsewhere";
  auto store = GetSarvoSettings();
  EXPECT_EQ(store->GetParams(), "");
  EXPECT_EQ(store->GetState(), 0);
  EXPECT_FALSE(KeyExists());
  EXPECT_FALSE(ListExternally().keyFound);
}

// The refused release's size: none on a fresh profile (and the key stays
// absent), a DWORD that another program reads once kept, and gone again once
// forgotten; forgetting what is not there is no error.
TEST_F(SarvoSettingsTest, RefusedSizeIsKeptAsADwordAndForgotten) {
  auto store = GetSarvoSettings();
  std::uint32_t size = 7;
  EXPECT_FALSE(store->GetRefusedSize(size));
  store->ClearRefusedSize();
  EXPECT_FALSE(KeyExists()) << "a read or a clear created the key";

  store->SetRefusedSize(123456);
  const RegListing kept = ListExternally("RefusedSize");
  EXPECT_TRUE(kept.valueFound);
  EXPECT_EQ(kept.type, "REG_DWORD");
  EXPECT_EQ(kept.data, "0x1e240");
  ASSERT_TRUE(GetSarvoSettings()->GetRefusedSize(size));
  EXPECT_EQ(size, 123456u);

  // The largest length a DWORD holds comes back whole.
  store->SetRefusedSize(0xFFFFFFFFu);
  ASSERT_TRUE(store->GetRefusedSize(size));
  EXPECT_EQ(size, 0xFFFFFFFFu);

  store->SetParams("/AUTO");
  store->ClearRefusedSize();
  EXPECT_FALSE(ListExternally("RefusedSize").valueFound);
  EXPECT_FALSE(store->GetRefusedSize(size));
  store->ClearRefusedSize();
  EXPECT_EQ(ListExternally("Params").data, "/AUTO") << "the other values stay";
}

TEST_F(SarvoSettingsTest, EveryWriteIsVisibleToAnotherProgramAtOnce) {
  struct Case {
    const char* name;
    void (*write)(ISarvoSettings&);
    const char* value;
    platform::RegValue stored;  // type and raw bytes
    const char* listedType;
    const char* listedData;
  };
  const Case cases[] = {
      {"state 1",
       [](ISarvoSettings& s) { s.SetState(1); },
       "State",
       {platform::kRegDword, Dword(1)},
       "REG_DWORD",
       "0x1"},
      {"state 0",
       [](ISarvoSettings& s) { s.SetState(0); },
       "State",
       {platform::kRegDword, Dword(0)},
       "REG_DWORD",
       "0x0"},
      {"start mode after a download",
       [](ISarvoSettings& s) { s.SetParams("/AUTO /INIT"); },
       "Params",
       {platform::kRegSz, Nul("/AUTO /INIT")},
       "REG_SZ",
       "/AUTO /INIT"},
      {"plain start mode",
       [](ISarvoSettings& s) { s.SetParams("/AUTO"); },
       "Params",
       {platform::kRegSz, Nul("/AUTO")},
       "REG_SZ",
       "/AUTO"},
      // Clearing the start mode keeps the value, as an empty string.
      {"empty start mode",
       [](ISarvoSettings& s) { s.SetParams(""); },
       "Params",
       {platform::kRegSz, Nul("")},
       "REG_SZ",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeleteRegKey(platform::RegRoot::CurrentUser, kKey);
    // The first write creates the key, and the store holds nothing open
    // afterwards: the value is there for anyone as soon as the call returns.
    c.write(*GetSarvoSettings());
    ASSERT_TRUE(KeyExists());
    const platform::RegValue v = Stored(c.value);
    EXPECT_EQ(v.type, c.stored.type);
    EXPECT_EQ(v.data, c.stored.data);
    const RegListing listed = ListExternally(c.value);
    ASSERT_TRUE(listed.valueFound);
    EXPECT_EQ(listed.type, c.listedType);
    EXPECT_EQ(listed.data, c.listedData);
  }
}

TEST_F(SarvoSettingsTest, ReadsValuesOtherProgramsWrote) {
  struct Case {
    const char* name;
    const char* value;
    // The value as stored: its type and raw bytes. Two plain members rather
    // than a RegValue, as MinGW's GCC 12 warns of maybe-uninitialised
    // strings on the nested braces.
    std::uint32_t type;
    std::string data;
    std::uint8_t state;  // for State
    std::string params;  // for Params
  };
  const Case cases[] = {
      {"State 1", "State", platform::kRegDword, Dword(1), 1, ""},
      // Only the low-order byte is the flag.
      {"State 0x100", "State", platform::kRegDword, Dword(0x100), 0, ""},
      {"State 0x101", "State", platform::kRegDword, Dword(0x101), 1, ""},
      {"State 0xFFFFFFFF", "State", platform::kRegDword, Dword(0xFFFFFFFFu), 0xFF, ""},
      {"State of one byte", "State", platform::kRegDword, std::string(1, '\x07'), 7, ""},
      {"State without data", "State", platform::kRegDword, std::string(), 0, ""},
      {"Params", "Params", platform::kRegSz, Nul("/AUTO"), 0, "/AUTO"},
      // An expandable string comes back as stored, variable and all.
      {"Params expandable", "Params", platform::kRegExpandSz, Nul("%SystemRoot%\\x /AUTO"), 0,
       "%SystemRoot%\\x /AUTO"},
      {"Params ends at its first NUL", "Params", platform::kRegSz,
       std::string("/AUTO\0/INIT\0", 12), 0, "/AUTO"},
      {"Params without its NUL", "Params", platform::kRegSz, "/AUTO", 0, "/AUTO"},
      {"Params empty", "Params", platform::kRegSz, Nul(""), 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeleteRegKey(platform::RegRoot::CurrentUser, kKey);
    SetRegValue(platform::RegRoot::CurrentUser, kKey, c.value, c.type, c.data);
    auto store = GetSarvoSettings();
    EXPECT_EQ(store->GetState(), c.state);
    EXPECT_EQ(store->GetParams(), c.params);
  }
}

TEST_F(SarvoSettingsTest, WrongTypesRaiseTheNamedErrors) {
  struct Case {
    const char* name;
    const char* value;
    platform::RegValue stored;
    const char* message;
  };
  const Case cases[] = {
      // Up to four bytes of another type: the type is wrong.
      {"State as text", "State", {platform::kRegSz, Nul("1")}, "Invalid data type for 'State'"},
      {"State as four binary bytes",
       "State",
       {platform::kRegBinary, Dword(1)},
       "Invalid data type for 'State'"},
      // More than four bytes do not fit the number at all.
      {"State as a long text",
       "State",
       {platform::kRegSz, Nul("1234")},
       "Failed to get data for 'State'"},
      {"State as QWORD",
       "State",
       {platform::kRegQword, Dword(1) + Dword(0)},
       "Failed to get data for 'State'"},
      {"State as DWORD of five bytes",
       "State",
       {platform::kRegDword, Dword(1) + "x"},
       "Failed to get data for 'State'"},
      {"Params as DWORD",
       "Params",
       {platform::kRegDword, Dword(1)},
       "Invalid data type for 'Params'"},
      {"Params as binary",
       "Params",
       {platform::kRegBinary, "/AUTO"},
       "Invalid data type for 'Params'"},
      {"Params as multi-string",
       "Params",
       {platform::kRegMultiSz, Nul(Nul("/AUTO"))},
       "Invalid data type for 'Params'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeleteRegKey(platform::RegRoot::CurrentUser, kKey);
    SetRegValue(platform::RegRoot::CurrentUser, kKey, c.value, c.stored.type, c.stored.data);
    auto store = GetSarvoSettings();
    try {
      if (std::string(c.value) == "State") {
        store->GetState();
      } else {
        store->GetParams();
      }
      ADD_FAILURE() << "no error raised";
    } catch (const ERegistryException& e) {
      EXPECT_EQ(e.Message(), c.message);
      EXPECT_STREQ(e.ClassName(), "ERegistryException");
    }
    // The other value of the key is still read normally: the failed read
    // left nothing open or broken behind.
    if (std::string(c.value) == "State") {
      EXPECT_EQ(store->GetParams(), "");
    } else {
      EXPECT_EQ(store->GetState(), 0);
    }
  }
}

TEST_F(SarvoSettingsTest, AWriteReplacesAValueOfAnotherType) {
  SetRegValue(platform::RegRoot::CurrentUser, kKey, "Params", platform::kRegDword, Dword(7));
  SetRegValue(platform::RegRoot::CurrentUser, kKey, "State", platform::kRegSz, Nul("1"));
  auto store = GetSarvoSettings();
  store->SetParams("/AUTO");
  store->SetState(1);
  EXPECT_EQ(store->GetParams(), "/AUTO");
  EXPECT_EQ(store->GetState(), 1);
  const RegListing params = ListExternally("Params");
  EXPECT_EQ(params.type, "REG_SZ");
  EXPECT_EQ(params.data, "/AUTO");
  const RegListing state = ListExternally("State");
  EXPECT_EQ(state.type, "REG_DWORD");
  EXPECT_EQ(state.data, "0x1");
}

TEST_F(SarvoSettingsTest, OneStoresWriteIsReadByASecondStore) {
  auto writer = GetSarvoSettings();
  writer->SetState(1);
  writer->SetParams("/AUTO /INIT");
  auto reader = GetSarvoSettings();
  EXPECT_NE(reader.get(), writer.get()) << "every call gives a fresh store";
  EXPECT_EQ(reader->GetState(), 1);
  EXPECT_EQ(reader->GetParams(), "/AUTO /INIT");

  // Nothing is cached: a change made while both stores live is seen at once,
  // and so is one made by another program.
  writer->SetState(0);
  writer->SetParams("");
  EXPECT_EQ(reader->GetState(), 0);
  EXPECT_EQ(reader->GetParams(), "");
  SetRegString(platform::RegRoot::CurrentUser, kKey, "Params", "/AUTO");
  EXPECT_EQ(reader->GetParams(), "/AUTO");
}

// A store that cannot take writes: the Linux port's store file without write
// permission, which refuses every write as a read-only hive does. The
// registry of a Wine prefix cannot be made to refuse writes from a test.
TEST_F(SarvoSettingsTest, RefusedWritesRaiseAndAnUncreatableKeySkipsTheWrite) {
  if (OnWindows()) GTEST_SKIP() << "needs a registry that refuses writes";
  std::string folder;
  ASSERT_TRUE(platform::GetEnv("KESTRO_REGISTRY_DIR", folder));
  const std::filesystem::path storeFile = std::filesystem::path(folder) / "user.db";
  // Something else in the store, so the file exists but the key does not.
  SetRegString(platform::RegRoot::CurrentUser, "SOFTWARE\\KestroTest", "x", "y");
  const auto makeReadOnly = [&](bool readOnly) {
    std::filesystem::permissions(
        storeFile,
        std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
            std::filesystem::perms::others_write,
        readOnly ? std::filesystem::perm_options::remove : std::filesystem::perm_options::add);
  };

  {
    SCOPED_TRACE("key missing: it cannot be created, the writes are skipped silently");
    makeReadOnly(true);
    auto store = GetSarvoSettings();
    EXPECT_NO_THROW(store->SetState(1));
    EXPECT_NO_THROW(store->SetParams("/AUTO"));
    EXPECT_FALSE(KeyExists());
    makeReadOnly(false);
  }
  {
    SCOPED_TRACE("key present: the writes are refused and raise");
    SetRegString(platform::RegRoot::CurrentUser, kKey, "Params", "/AUTO");
    SetRegDword(platform::RegRoot::CurrentUser, kKey, "State", 1);
    makeReadOnly(true);
    auto store = GetSarvoSettings();
    const struct {
      const char* name;
      void (*write)(ISarvoSettings&);
      const char* message;
    } writes[] = {
        {"SetState", [](ISarvoSettings& s) { s.SetState(0); }, "Failed to set data for 'State'"},
        {"SetParams", [](ISarvoSettings& s) { s.SetParams(""); },
         "Failed to set data for 'Params'"},
    };
    for (const auto& w : writes) {
      SCOPED_TRACE(w.name);
      try {
        w.write(*store);
        ADD_FAILURE() << "no error raised";
      } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), w.message);
      }
    }
    // Reading still works, and the values are unchanged.
    EXPECT_EQ(store->GetState(), 1);
    EXPECT_EQ(store->GetParams(), "/AUTO");
    makeReadOnly(false);
  }
}

}  // namespace
