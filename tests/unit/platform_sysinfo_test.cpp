// Contract of platform/sysinfo.h, clock.h, locale.h and debug_output.h: facts
// about the running test process and the machine.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/files.h"
#include "platform/locale.h"
#include "platform/sysinfo.h"
#include "support/testing.h"

namespace {

void AFunctionOfThisProgram() {}

TEST(PlatformSysinfo, ModuleFileNameIsThisTestProgram) {
  const std::string name = platform::ModuleFileName();
  ASSERT_FALSE(name.empty());
  EXPECT_TRUE(platform::FileExists(name)) << name;
  EXPECT_NE(name.find("platform_sysinfo_test"), std::string::npos) << name;
  // A full path: its folder part is not empty.
  EXPECT_NE(name.find_last_of(platform::kPathDelims), std::string::npos) << name;
}

TEST(PlatformSysinfo, ModuleHandleIsTheLoadAddressOfThisProgram) {
  // The program's own code lies a little above the address it was loaded at.
  const std::uintptr_t base = platform::ModuleHandle();
  const auto code = reinterpret_cast<std::uintptr_t>(&AFunctionOfThisProgram);
  ASSERT_NE(base, 0u);
  EXPECT_LT(base, code);
  EXPECT_LT(code - base, std::uintptr_t{256} << 20);
}

TEST(PlatformSysinfo, ComputerNameIsANetBiosName) {
  std::string name;
  ASSERT_TRUE(platform::ComputerName(name));
  EXPECT_FALSE(name.empty());
  EXPECT_LE(name.size(), 15u);
  EXPECT_EQ(name.find('\0'), std::string::npos);
}

TEST(PlatformSysinfo, ThreadIdsDifferBetweenThreadsAndStayWithinOne) {
  const std::uint32_t mine = platform::CurrentThreadId();
  EXPECT_EQ(platform::CurrentThreadId(), mine);
  std::uint32_t other = mine;
  std::thread([&other] { other = platform::CurrentThreadId(); }).join();
  EXPECT_NE(other, mine);
  EXPECT_NE(mine, 0u);
}

TEST(PlatformSysinfo, TickCountFollowsSleep) {
  const std::uint32_t before = platform::TickCount();
  platform::SleepMs(100);
  // Unsigned subtraction stays right across the 2^32 wrap.
  const std::uint32_t elapsed = platform::TickCount() - before;
  // Windows' tick has a granularity of about 16 ms.
  EXPECT_GE(elapsed, 80u);
  EXPECT_LT(elapsed, 60000u);
}

TEST(PlatformSysinfo, EnvironmentVariables) {
  const std::string name = "KESTRO_SYSINFO_TEST_VARIABLE";
  std::string value = "untouched";
  platform::UnsetEnv(name);
  EXPECT_FALSE(platform::GetEnv(name, value));
  platform::SetEnv(name, "some value");
  ASSERT_TRUE(platform::GetEnv(name, value));
  EXPECT_EQ(value, "some value");
  platform::UnsetEnv(name);
  EXPECT_FALSE(platform::GetEnv(name, value));
}

TEST(PlatformSysinfo, LocalTimeIsAPlausibleDate) {
  const platform::LocalTime t = platform::Now();
  EXPECT_GE(t.year, 2020);
  EXPECT_GE(t.month, 1);
  EXPECT_LE(t.month, 12);
  EXPECT_GE(t.day, 1);
  EXPECT_LE(t.day, 31);
  EXPECT_GE(t.hour, 0);
  EXPECT_LE(t.hour, 23);
  EXPECT_LE(t.minute, 59);
  EXPECT_LE(t.second, 59);
  EXPECT_LE(t.millisecond, 999);
}

TEST(PlatformSysinfo, RegionalSeparatorsAreSinglePunctuation) {
  const char seps[] = {platform::DateSeparator(), platform::TimeSeparator(),
                       platform::DecimalSeparator()};
  for (char c : seps) {
    SCOPED_TRACE(std::string("separator '") + c + "'");
    EXPECT_TRUE(std::ispunct(static_cast<unsigned char>(c)) || c == ' ');
  }
}

TEST(PlatformSysinfo, DebugOutputTakesAnyText) {
  // The channel must take empty, long and binary text and come back. The
  // Linux port writes each text whole, with a line end, to standard error;
  // Windows hands it to the debugger, which this test cannot see, so there
  // standard error holds only what follows the calls.
  struct Case {
    const char* name;
    std::string text;
  } const cases[] = {
      {"empty", ""},
      {"one line", " - platform_sysinfo_test: debug output line"},
      {"5000 bytes", std::string(5000, 'x')},
      {"NUL and CR LF inside", std::string("a\0b\r\nc", 6)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::testing::internal::CaptureStderr();
    platform::DebugOutput(c.text);
    // A later write to standard error must still arrive, after the text.
    std::fputs("after", stderr);
    std::fflush(stderr);
    const std::string seen = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing_support::OnWindows() ? "after" : c.text + "\nafter", seen);
  }
}

}  // namespace
