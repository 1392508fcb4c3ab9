// The kept partial download: where it lives, its record, and when it may be
// resumed.
#include "companion/partial_download.h"

#include <gtest/gtest.h>

#include <string>

#include "companion/resuming_fetch.h"
#include "platform/files.h"
#include "platform/sysinfo.h"
#include "support/testing.h"

namespace {

using companion::PartialRecord;
using testing_support::TempDir;
using testing_support::WriteFile;

// The user's temporary folder of this test, so no test touches the real one.
struct PrivateTemp {
  TempDir dir;
  testing_support::ScopedEnv env{testing_support::OnWindows() ? "TMP" : "TMPDIR", dir.path()};
};

PartialRecord Kept() {
  PartialRecord r;
  r.url = "http://127.0.0.1:8080/sarvo/sarvo2006.exe";
  r.declaredSize = 1000;
  r.validator = "ETag \"5f3a-3e8\"";
  r.bytes = 400;
  r.began = 1'800'000'000;
  return r;
}

TEST(PartialDownload, IsResumedOnlyForTheSameReleaseAtTheSameAddress) {
  const std::int64_t now = Kept().began + 3600;
  struct Case {
    const char* name;
    PartialRecord record;
    std::int64_t onDisk;
    std::string url;
    std::int64_t declared;
    std::string validator;
    std::string why;
  };
  PartialRecord weak = Kept();
  weak.validator = "ETag W/\"5f3a-3e8\"";
  PartialRecord dated = Kept();
  dated.validator = "Last-Modified Tue, 08 Dec 2026 10:00:00 GMT";
  PartialRecord none = Kept();
  none.validator.clear();
  PartialRecord old = Kept();
  old.began = now - companion::kMaxPartialAgeSeconds - 1;
  PartialRecord future = Kept();
  future.began = now + 1;
  PartialRecord counted = Kept();
  counted.bytes = 1001;
  const std::string url = Kept().url;
  const std::string etag = Kept().validator;
  const Case cases[] = {
      {"same release", Kept(), 400, url, 1000, etag, ""},
      {"more on the disk than the record counts", Kept(), 700, url, 1000, etag, ""},
      {"no size check answer: If-Range decides", Kept(), 400, url, -1, "", ""},
      {"a date as validator", dated, 400, url, 1000, dated.validator, ""},
      {"another address", Kept(), 400, url + "x", 1000, etag, "ander adres"},
      {"weak ETag", weak, 400, url, 1000, weak.validator,
       "geen sterke ETag of datum van de server"},
      {"no validator", none, 400, url, 1000, "", "geen sterke ETag of datum van de server"},
      {"older than a week", old, 400, url, 1000, etag, "ouder dan 7 dagen"},
      {"begun in the future", future, 400, url, 1000, etag, "ouder dan 7 dagen"},
      {"partial larger than declared", Kept(), 1001, url, 1000, etag,
       "groter dan de opgegeven grootte"},
      {"count larger than declared", counted, 1001, url, 1000, etag,
       "groter dan de opgegeven grootte"},
      {"less on the disk than the record counts", Kept(), 399, url, 1000, etag,
       "korter dan bewaard"},
      {"server declares another size", Kept(), 400, url, 1001, etag, "andere versie op de server"},
      {"server has another ETag", Kept(), 400, url, 1000, "ETag \"other\"",
       "andere versie op de server"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(companion::WhyNotResumable(c.record, c.onDisk, c.url, c.declared, c.validator, now),
              c.why)
        << c.name;
  }
}

TEST(PartialDownload, ContentRangeIsReadStrictly) {
  struct Case {
    const char* text;
    bool ok;
    std::int64_t first, last, total;
  };
  const Case cases[] = {
      {"bytes 100-999/1000", true, 100, 999, 1000},
      {"bytes */1000", true, -1, -1, 1000},
      {"bytes 0-0/1", true, 0, 0, 1},
      {"bytes 100-999/*", false, 0, 0, 0},
      {"bytes 100-1000/1000", false, 0, 0, 0},
      {"bytes 200-100/1000", false, 0, 0, 0},
      {"bytes -100-999/1000", false, 0, 0, 0},
      {"items 100-999/1000", false, 0, 0, 0},
      {"bytes 100-999", false, 0, 0, 0},
      {"", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    companion::ContentRange range;
    EXPECT_EQ(companion::ParseContentRange(c.text, range), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(range.first, c.first) << c.text;
    EXPECT_EQ(range.last, c.last) << c.text;
    EXPECT_EQ(range.total, c.total) << c.text;
  }
}

TEST(PartialDownload, RecordIsKeptWholeInTheUsersOwnFolder) {
  PrivateTemp temp;
  const companion::PartialDownload a(temp.dir / "one/sarvo2006.exe");
  const companion::PartialDownload b(temp.dir / "two/sarvo2006.exe");
  ASSERT_TRUE(a.Usable());
  EXPECT_EQ(a.Path().rfind(temp.dir.path(), 0), 0u) << a.Path();
  EXPECT_NE(a.Path(), b.Path()) << "two installations share a partial";

  PartialRecord read;
  EXPECT_FALSE(a.Load(read)) << "a record before any was saved";
  ASSERT_TRUE(a.Save(Kept()));
  ASSERT_TRUE(a.Load(read));
  EXPECT_EQ(read.url, Kept().url);
  EXPECT_EQ(read.declaredSize, 1000);
  EXPECT_EQ(read.validator, Kept().validator);
  EXPECT_EQ(read.bytes, 400);
  EXPECT_EQ(read.began, Kept().began);
  EXPECT_FALSE(b.Load(read)) << "the other installation sees this one's record";

  WriteFile(a.RecordPath(), "url=x\r\nsize=10\r\nvalidator=ETag \"a\"\r\nbytes=-1\r\nbegan=1\r\n");
  EXPECT_FALSE(a.Load(read)) << "a damaged count was taken";

  WriteFile(a.Path(), "partial");
  a.Discard();
  EXPECT_FALSE(platform::FileExists(a.Path()));
  EXPECT_FALSE(platform::FileExists(a.RecordPath()));
}

}  // namespace
