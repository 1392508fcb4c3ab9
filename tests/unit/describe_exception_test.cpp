// What the catch sites report for an error: the loader's own classes by name,
// running out of memory as the loader names it, anything else as "Exception".

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>

#include "support/Exceptions.h"

namespace {

struct DescribeCase {
  const char* name;
  std::function<void()> raise;
  const char* className;
  const char* message;
  bool loaderError;
};

TEST(Describe, NamesEveryKindOfError) {
  const DescribeCase cases[] = {
      {"own base class", [] { throw Exception("kapot"); }, "Exception", "kapot", true},
      {"own derived class, caught as its base",
       [] { throw EFOpenError("Kan bestand niet openen"); }, "EFOpenError",
       "Kan bestand niet openen", true},
      {"out of memory", [] { throw std::bad_alloc(); }, "EOutOfMemory", "Out of memory", false},
      {"standard library error", [] { throw std::runtime_error("stuk"); }, "Exception", "stuk",
       false},
  };
  for (const DescribeCase& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.raise();
      FAIL() << "nothing thrown";
    } catch (const std::exception& e) {
      const ExceptionDescription d = Describe(e);
      EXPECT_EQ(d.className, c.className);
      EXPECT_EQ(d.message, c.message);
      EXPECT_EQ(d.loaderError, c.loaderError);
    }
  }
}

}  // namespace
