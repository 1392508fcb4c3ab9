// Contract of the file functions of platform/files.h, on real files in a
// temporary folder: Windows sharing between two opens, the read-only
// attribute, directory search, lexical canonicalisation, copy and move.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>

#include "platform/files.h"
#include "platform/sysinfo.h"
#include "support/run_capture.h"
#include "support/testing.h"

namespace {

using platform::File;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

const std::string D(1, platform::kPathDelim);

// Takes every write permission away: the Windows read-only attribute.
void MakeReadOnly(const std::string& path) {
  namespace fs = std::filesystem;
  fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
}

const char* ShareName(File::Share s) { return s == File::Share::None ? "None" : "ReadWrite"; }

TEST(PlatformFiles, SharingBetweenTwoOpensOfOneProcess) {
  struct Case {
    File::Share first;
    File::Share second;
    bool secondOpens;
  };
  const Case cases[] = {
      {File::Share::None, File::Share::None, false},
      {File::Share::None, File::Share::ReadWrite, false},
      {File::Share::ReadWrite, File::Share::None, false},
      {File::Share::ReadWrite, File::Share::ReadWrite, true},
  };
  TempDir dir;
  const std::string path = dir / "shared.log";
  WriteFile(path, "0123456789");
  for (const auto& c : cases) {
    for (File::Mode secondMode :
         {File::Mode::OpenRead, File::Mode::OpenWrite, File::Mode::CreateAlways}) {
      SCOPED_TRACE(std::string("first ") + ShareName(c.first) + ", second " + ShareName(c.second) +
                   ", second mode " + std::to_string(static_cast<int>(secondMode)));
      File a;
      ASSERT_TRUE(a.Open(path, File::Mode::OpenWrite, c.first));
      File b;
      platform::Failure err = platform::Failure::None;
      EXPECT_EQ(b.Open(path, secondMode, c.second, &err), c.secondOpens);
      if (!c.secondOpens) {
        EXPECT_EQ(err, platform::Failure::SharingViolation);
        EXPECT_FALSE(b.IsOpen());
      }
      b.Close();
      a.Close();
      // A refused CreateAlways must not have truncated the file (read once
      // nobody holds it, since Windows lets nobody read it meanwhile).
      if (!c.secondOpens) {
        EXPECT_EQ(ReadFile(path), "0123456789");
      }
      WriteFile(path, "0123456789");
      // Once the holder has closed, an exclusive open succeeds.
      File c2;
      EXPECT_TRUE(c2.Open(path, File::Mode::OpenRead, File::Share::None));
    }
  }
}

TEST(PlatformFiles, OpenReportsMissingFileAndFolder) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string path;
    std::uint32_t code;
  };
  const Case cases[] = {
      {"missing file", dir / "nothing.txt", 2},
      {"missing folder", dir / ("nofolder" + D + "nothing.txt"), 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    File f;
    platform::Failure err = platform::Failure::None;
    EXPECT_FALSE(f.Open(c.path, File::Mode::OpenRead, File::Share::ReadWrite, &err));
    EXPECT_EQ(platform::CodeOf(err), c.code);
    err = platform::Failure::None;
    EXPECT_FALSE(platform::FileDelete(c.path, &err));
    EXPECT_EQ(platform::CodeOf(err), c.code);
  }
}

TEST(PlatformFiles, WriteAppendReadAndSize) {
  TempDir dir;
  const std::string path = dir / "log.txt";
  {
    File f;
    ASSERT_TRUE(f.Open(path, File::Mode::CreateAlways, File::Share::None));
    ASSERT_TRUE(f.Write("abc", 3));
    EXPECT_EQ(f.Size(), 3);
  }
  {
    File f;
    ASSERT_TRUE(f.Open(path, File::Mode::OpenWrite, File::Share::ReadWrite));
    ASSERT_TRUE(f.SeekToEnd());
    ASSERT_TRUE(f.Write("def", 3));
  }
  EXPECT_EQ(ReadFile(path), "abcdef");
  {
    // CreateAlways on an existing file starts it empty.
    File f;
    ASSERT_TRUE(f.Open(path, File::Mode::CreateAlways, File::Share::None));
    EXPECT_EQ(f.Size(), 0);
  }
  WriteFile(path, "hello");
  File f;
  ASSERT_TRUE(f.Open(path, File::Mode::OpenRead, File::Share::ReadWrite));
  char buf[16] = {};
  std::size_t n = 99;
  ASSERT_TRUE(f.Read(buf, sizeof buf, n));
  EXPECT_EQ(std::string(buf, n), "hello");
  ASSERT_TRUE(f.Read(buf, sizeof buf, n));
  EXPECT_EQ(n, 0u);
}

TEST(PlatformFiles, ReadOnlyFileRefusesEveryWrite) {
  TempDir dir;
  const std::string path = dir / "readonly.txt";
  const std::string source = dir / "source.txt";
  WriteFile(path, "keep");
  WriteFile(source, "other");
  MakeReadOnly(path);

  File f;
  platform::Failure err = platform::Failure::None;
  EXPECT_FALSE(f.Open(path, File::Mode::OpenWrite, File::Share::ReadWrite, &err));
  EXPECT_EQ(err, platform::Failure::AccessDenied);
  err = platform::Failure::None;
  EXPECT_FALSE(f.Open(path, File::Mode::CreateAlways, File::Share::None, &err));
  EXPECT_EQ(err, platform::Failure::AccessDenied);
  err = platform::Failure::None;
  EXPECT_FALSE(platform::FileDelete(path, &err));
  EXPECT_EQ(err, platform::Failure::AccessDenied);
  err = platform::Failure::None;
  EXPECT_FALSE(platform::FileCopy(source, path, false, &err));
  EXPECT_EQ(err, platform::Failure::AccessDenied);
  EXPECT_EQ(ReadFile(path), "keep");
  EXPECT_TRUE(platform::FileExists(path));
  // Reading stays allowed.
  EXPECT_TRUE(f.Open(path, File::Mode::OpenRead, File::Share::ReadWrite));
}

TEST(PlatformFiles, FindFirstSize) {
  TempDir dir;
  WriteFile(dir / "empty.bin", "");
  WriteFile(dir / "sized.bin", std::string(1234, 'x'));
  testing_support::MakeDirs(dir / "folder");
  struct Case {
    const char* name;
    std::string path;
    bool found;
    std::uint32_t size;
  };
  const Case cases[] = {
      {"missing", dir / "missing.bin", false, 0},
      {"missing folder", dir / ("nofolder" + D + "x.bin"), false, 0},
      {"empty", dir / "empty.bin", true, 0},
      {"sized", dir / "sized.bin", true, 1234},
      {"folder", dir / "folder", true, 0},
      {"wildcard *", dir / "siz*.bin", true, 1234},
      {"wildcard ?", dir / "sized.b?n", true, 1234},
      {"wildcard without match", dir / "nomatch*.bin", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint32_t size = 777;
    EXPECT_EQ(platform::FindFirstSize(c.path, size), c.found);
    if (c.found) {
      EXPECT_EQ(size, c.size);
    }
  }
}

TEST(PlatformFiles, FindFirstSizeOfARelativeName) {
  // Relative names are taken from the working directory.
  TempDir dir;
  WriteFile(dir / "rel.bin", "12345");
  const std::string old = platform::CurrentDirectory();
  std::filesystem::current_path(dir.path());
  std::uint32_t size = 0;
  const bool found = platform::FindFirstSize("rel.bin", size);
  const std::string expanded = platform::ExpandFileName("rel.bin");
  std::filesystem::current_path(old);
  EXPECT_TRUE(found);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(expanded, dir / "rel.bin");
}

TEST(PlatformFiles, CanonicalizePathResolvesDotsOnTheText) {
  struct Case {
    std::string in;
    bool ok;
    std::string out;
  };
  const Case cases[] = {
      {"a" + D + "b" + D + ".." + D + "c", true, "a" + D + "c"},
      {"a" + D + "." + D + "b", true, "a" + D + "b"},
      {"." + D + "a", true, "a"},
      {"a" + D + "b" + D + "..", true, "a"},
      {"a" + D + "b" + D + "." + D, true, "a" + D + "b" + D},
      {D + "a" + D + "." + D + "b" + D, true, D + "a" + D + "b" + D},
      {D + "x" + D + "data" + D + "database" + D + ".." + D + ".." + D + "layout" + D + "logo.txt",
       true, D + "x" + D + "layout" + D + "logo.txt"},
      // Nothing left to remove: the ".." goes, the root stays.
      {D + "a" + D + ".." + D + ".." + D + "b", true, D + "b"},
      {"a" + D + D + "b", true, "a" + D + D + "b"},
      {std::string(259, 'a'), true, std::string(259, 'a')},
      {std::string(260, 'a'), false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in.size() > 60 ? "long path of " + std::to_string(c.in.size()) : c.in);
    std::string out = "untouched";
    EXPECT_EQ(platform::CanonicalizePath(c.in, out), c.ok);
    if (c.ok) {
      EXPECT_EQ(out, c.out);
    }
  }
}

TEST(PlatformFiles, CopyFile) {
  TempDir dir;
  const std::string src = dir / "src.bin";
  const std::string dst = dir / "dst.bin";
  WriteFile(src, "new content");
  WriteFile(dst, "old");

  platform::Failure err = platform::Failure::None;
  EXPECT_FALSE(platform::FileCopy(src, dst, true, &err));
  EXPECT_EQ(err, platform::Failure::FileExists);
  EXPECT_EQ(ReadFile(dst), "old");

  EXPECT_TRUE(platform::FileCopy(src, dst, false));
  EXPECT_EQ(ReadFile(dst), "new content");
  EXPECT_EQ(ReadFile(src), "new content");

  EXPECT_TRUE(platform::FileCopy(src, dir / "fresh.bin", true));
  EXPECT_EQ(ReadFile(dir / "fresh.bin"), "new content");

  err = platform::Failure::None;
  EXPECT_FALSE(platform::FileCopy(dir / "missing.bin", dst, false, &err));
  EXPECT_EQ(err, platform::Failure::FileNotFound);

  // A file copied onto itself keeps its content.
  EXPECT_FALSE(platform::FileCopy(src, src, false));
  EXPECT_EQ(ReadFile(src), "new content");

  // A destination held open without sharing is not overwritten.
  File holder;
  ASSERT_TRUE(holder.Open(dst, File::Mode::OpenWrite, File::Share::None));
  WriteFile(src, "third");
  err = platform::Failure::None;
  EXPECT_FALSE(platform::FileCopy(src, dst, false, &err));
  EXPECT_EQ(err, platform::Failure::SharingViolation);
  holder.Close();
  EXPECT_EQ(ReadFile(dst), "new content");
}

TEST(PlatformFiles, MoveFile) {
  TempDir dir;
  const std::string a = dir / "a.log";
  const std::string b = dir / "b.log";
  WriteFile(a, "first");

  EXPECT_TRUE(platform::FileMove(a, b));
  EXPECT_FALSE(platform::FileExists(a));
  EXPECT_EQ(ReadFile(b), "first");

  // An existing destination is never replaced (the log's second rotation of
  // a day relies on this).
  WriteFile(a, "second");
  platform::Failure err = platform::Failure::None;
  EXPECT_FALSE(platform::FileMove(a, b, &err));
  EXPECT_EQ(err, platform::Failure::AlreadyExists);
  EXPECT_EQ(ReadFile(a), "second");
  EXPECT_EQ(ReadFile(b), "first");

  err = platform::Failure::None;
  EXPECT_FALSE(platform::FileMove(dir / "missing.log", dir / "c.log", &err));
  EXPECT_EQ(err, platform::Failure::FileNotFound);
}

// The install's replace: the new file takes the old one's name in one step,
// or nothing changes at all.
TEST(PlatformFiles, ReplaceFileAtomically) {
  enum class To { Missing, Plain, ReadOnly, Folder, HeldOpen, HeldShared };
  struct Case {
    const char* name;
    To to;
    bool fromMissing;
    bool fromHeld;  // open without sharing
    bool ok;
    std::uint32_t error;
  };
  const Case cases[] = {
      {"over an existing file", To::Plain, false, false, true, 0},
      {"where no file is yet", To::Missing, false, false, true, 0},
      {"over a read-only file", To::ReadOnly, false, false, false, 5},
      {"over a folder", To::Folder, false, false, false, 5},
      {"over a file open without sharing", To::HeldOpen, false, false, false, 5},
      {"over a file open with read and write sharing", To::HeldShared, false, false, false, 5},
      {"from a missing file", To::Plain, true, false, false, 2},
      {"from a file open without sharing", To::Plain, false, true, false, 32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string from = dir / "sarvo2006.tmp";
    const std::string to = dir / "sarvo2006.exe";
    if (!c.fromMissing) WriteFile(from, "new program");
    if (c.to == To::Folder) {
      testing_support::MakeDirs(to);
    } else if (c.to != To::Missing) {
      WriteFile(to, "old program");
    }
    if (c.to == To::ReadOnly) MakeReadOnly(to);
    File holder;
    if (c.to == To::HeldOpen || c.to == To::HeldShared) {
      ASSERT_TRUE(holder.Open(to, File::Mode::OpenRead,
                              c.to == To::HeldOpen ? File::Share::None : File::Share::ReadWrite));
    }
    if (c.fromHeld) {
      ASSERT_TRUE(holder.Open(from, File::Mode::OpenRead, File::Share::None));
    }

    platform::Failure err = platform::Failure::None;
    EXPECT_EQ(c.ok, platform::ReplaceFileAtomically(from, to, &err));
    holder.Close();
    if (c.ok) {
      EXPECT_EQ("new program", ReadFile(to));
      EXPECT_FALSE(platform::FileExists(from));
    } else {
      EXPECT_EQ(c.error, platform::CodeOf(err));
      if (!c.fromMissing) {
        EXPECT_EQ("new program", ReadFile(from));
      }
      if (c.to != To::Missing && c.to != To::Folder) {
        EXPECT_EQ("old program", ReadFile(to));
      }
    }
  }
}

// Windows starts a program by its name; the Linux port makes the installed
// *.exe executable wherever it is readable, as CopyFile does.
TEST(PlatformFiles, ReplaceFileAtomicallyMakesAnExeExecutable) {
  namespace fs = std::filesystem;
  if (testing_support::OnWindows()) GTEST_SKIP() << "no execute bit on Windows";
  TempDir dir;
  WriteFile(dir / "a.tmp", "program");
  fs::permissions(dir / "a.tmp",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_TRUE(platform::ReplaceFileAtomically(dir / "a.tmp", dir / "a.exe"));
  const fs::perms p = fs::status(dir / "a.exe").permissions();
  EXPECT_NE(fs::perms::none, p & fs::perms::owner_exec);
  EXPECT_NE(fs::perms::none, p & fs::perms::group_exec);
  EXPECT_EQ(fs::perms::none, p & fs::perms::others_exec);
}

TEST(PlatformFiles, DeleteFile) {
  TempDir dir;
  const std::string path = dir / "gone.txt";
  WriteFile(path, "x");
  {
    // A file that is open cannot be deleted.
    File f;
    ASSERT_TRUE(f.Open(path, File::Mode::OpenRead, File::Share::ReadWrite));
    platform::Failure err = platform::Failure::None;
    EXPECT_FALSE(platform::FileDelete(path, &err));
    EXPECT_EQ(err, platform::Failure::SharingViolation);
  }
  EXPECT_TRUE(platform::FileDelete(path));
  EXPECT_FALSE(platform::FileExists(path));
}

// Flushing to the disk takes a regular file and leaves it as it was; a
// missing one or a folder is refused in Windows' words.
TEST(PlatformFiles, FlushFileToDisk) {
  TempDir dir;
  const std::string path = dir / "copy.bin";
  WriteFile(path, "whole");
  testing_support::MakeDirs(dir / "folder");
  struct Row {
    const char* name;
    std::string path;
    bool ok;
    platform::Failure failure;
  };
  const Row rows[] = {
      {"a file", path, true, platform::Failure::None},
      {"a missing file", dir / "missing.bin", false, platform::Failure::FileNotFound},
      {"a folder", dir / "folder", false, platform::Failure::AccessDenied},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    platform::Failure err = platform::Failure::None;
    EXPECT_EQ(platform::FlushFileToDisk(r.path, &err), r.ok);
    EXPECT_EQ(err, r.failure);
  }
  EXPECT_EQ(ReadFile(path), "whole");
}

TEST(PlatformFiles, ExistenceAndFolders) {
  TempDir dir;
  WriteFile(dir / "file.txt", "x");
  const std::string nested = dir / ("one" + D + "two" + D + "three");
  EXPECT_TRUE(platform::FileExists(dir / "file.txt"));
  EXPECT_FALSE(platform::DirectoryExists(dir / "file.txt"));
  EXPECT_FALSE(platform::FileExists(dir.path()));
  EXPECT_TRUE(platform::DirectoryExists(dir.path()));
  EXPECT_FALSE(platform::DirectoryExists(nested));
  EXPECT_TRUE(platform::ForceDirectories(nested));
  EXPECT_TRUE(platform::DirectoryExists(nested));
  EXPECT_TRUE(platform::ForceDirectories(nested));  // already there
  EXPECT_FALSE(platform::ForceDirectories(dir / ("file.txt" + D + "sub")));
}

TEST(PlatformFiles, AppendModeWritesAtTheEndWhateverOthersWrote) {
  TempDir dir;
  const std::string path = dir / "shared.log";
  struct Case {
    const char* name;
    File::Mode mode;
    File::Share share;
    std::uint32_t code;  // 0: opens
  };
  const Case missing[] = {
      {"append to a missing file", File::Mode::OpenAppend, File::Share::ReadWrite, 2},
  };
  for (const Case& c : missing) {
    SCOPED_TRACE(c.name);
    File f;
    platform::Failure err = platform::Failure::None;
    EXPECT_FALSE(f.Open(path, c.mode, c.share, &err));
    EXPECT_EQ(platform::CodeOf(err), c.code);
    EXPECT_FALSE(testing_support::Exists(path));
  }
  WriteFile(path, "head\n");
  // Two appenders open at once, each writing after the other without seeking:
  // nothing is overwritten.
  File a;
  File b;
  ASSERT_TRUE(a.Open(path, File::Mode::OpenAppend, File::Share::ReadWrite));
  ASSERT_TRUE(b.Open(path, File::Mode::OpenAppend, File::Share::ReadWrite));
  ASSERT_TRUE(a.Write("a1\n", 3));
  ASSERT_TRUE(b.Write("b1\n", 3));
  ASSERT_TRUE(a.Write("a2\n", 3));
  EXPECT_EQ(b.Size(), 14);
  a.Close();
  b.Close();
  EXPECT_EQ(ReadFile(path), "head\na1\nb1\na2\n");
  // A holder without sharing keeps an appender out.
  File holder;
  ASSERT_TRUE(holder.Open(path, File::Mode::OpenWrite, File::Share::None));
  platform::Failure err = platform::Failure::None;
  EXPECT_FALSE(b.Open(path, File::Mode::OpenAppend, File::Share::ReadWrite, &err));
  EXPECT_EQ(err, platform::Failure::SharingViolation);
}

TEST(PlatformFiles, CreateNewFailsOnATakenName) {
  TempDir dir;
  const std::string path = dir / "new.txt";
  File first;
  ASSERT_TRUE(first.Open(path, File::Mode::CreateNew, File::Share::None));
  ASSERT_TRUE(first.Write("one", 3));
  first.Close();
  struct Case {
    const char* name;
    bool readOnly;
  };
  const Case cases[] = {{"existing file", false}, {"existing read-only file", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.readOnly) MakeReadOnly(path);
    File second;
    platform::Failure err = platform::Failure::None;
    EXPECT_FALSE(second.Open(path, File::Mode::CreateNew, File::Share::None, &err));
    EXPECT_EQ(err, platform::Failure::FileExists);
    EXPECT_EQ(ReadFile(path), "one");
  }
}

// The Linux port writes no file through a symbolic link: a planted link must
// not let the loader create or change a file outside its folder.
TEST(PlatformFiles, NoWriteGoesThroughASymbolicLink) {
  if (testing_support::OnWindows()) GTEST_SKIP() << "links are a concern of the Linux port";
  namespace fs = std::filesystem;
  enum class Op { OpenWrite, OpenAppend, CreateAlways, CreateNew, CopyOnto };
  struct Case {
    const char* name;
    Op op;
    bool targetExists;
    bool succeeds;       // the operation reports success
    std::uint32_t code;  // when it fails
    bool linkReplaced;   // a regular file stands where the link was
  };
  const Case cases[] = {
      {"write, dangling link", Op::OpenWrite, false, false, 5, false},
      {"write, link to a file", Op::OpenWrite, true, false, 5, false},
      {"append, dangling link", Op::OpenAppend, false, false, 5, false},
      {"append, link to a file", Op::OpenAppend, true, false, 5, false},
      {"create always, dangling link", Op::CreateAlways, false, true, 0, true},
      {"create always, link to a file", Op::CreateAlways, true, true, 0, true},
      {"create new, dangling link", Op::CreateNew, false, false, 80, false},
      {"create new, link to a file", Op::CreateNew, true, false, 80, false},
      {"copy onto a dangling link", Op::CopyOnto, false, true, 0, true},
      {"copy onto a link to a file", Op::CopyOnto, true, true, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir inside;
    TempDir outside;
    const std::string target = outside / "target";
    if (c.targetExists) WriteFile(target, "outside");
    const std::string link = inside / "name";
    fs::create_symlink(target, link);
    WriteFile(inside / "source", "copied");

    bool ok = false;
    platform::Failure err = platform::Failure::None;
    if (c.op == Op::CopyOnto) {
      ok = platform::FileCopy(inside / "source", link, false, &err);
    } else {
      const File::Mode mode = c.op == Op::OpenWrite      ? File::Mode::OpenWrite
                              : c.op == Op::OpenAppend   ? File::Mode::OpenAppend
                              : c.op == Op::CreateAlways ? File::Mode::CreateAlways
                                                         : File::Mode::CreateNew;
      File f;
      ok = f.Open(link, mode, File::Share::None, &err);
      if (ok) ok = f.Write("written", 7);
    }
    EXPECT_EQ(ok, c.succeeds);
    if (!c.succeeds) {
      EXPECT_EQ(platform::CodeOf(err), c.code);
    }
    // The file outside stays as it was, or missing.
    EXPECT_EQ(testing_support::Exists(target), c.targetExists);
    if (c.targetExists) {
      EXPECT_EQ(ReadFile(target), "outside");
    }
    EXPECT_EQ(fs::is_symlink(link), !c.linkReplaced);
    if (c.linkReplaced) {
      EXPECT_TRUE(fs::is_regular_file(link));
      EXPECT_EQ(ReadFile(link), c.op == Op::CopyOnto ? "copied" : "written");
    }
  }
}

TEST(PlatformFiles, ErrorTextsAreWindowsTexts) {
  // Both builds give Windows' own English text for every code the platform
  // layer hands out, whatever the language of the system.
  struct Case {
    std::uint32_t code;
    const char* text;
  };
  const Case cases[] = {
      {0, "The operation completed successfully."},
      {2, "The system cannot find the file specified."},
      {3, "The system cannot find the path specified."},
      {5, "Access is denied."},
      {6, "The handle is invalid."},
      {8, "Not enough storage is available to process this command."},
      {17, "The system cannot move the file to a different disk drive."},
      {31, "A device attached to the system is not functioning."},
      {32, "The process cannot access the file because it is being used by another process."},
      {33,
       "The process cannot access the file because another process has locked a portion of the "
       "file."},
      {80, "The file exists."},
      {112, "There is not enough space on the disk."},
      {183, "Cannot create a file when that file already exists."},
      {193, "%1 is not a valid Win32 application."},
      {1009, "The configuration registry database is corrupt."},
      {1223, "The operation was canceled by the user."},
      {4242, "Error 4242"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::FileErrorText(platform::FailureFromCode(c.code)), c.text)
        << "code " << c.code;
  }
}

TEST(PlatformFiles, ACodeWithoutANameIsOtherAndKeepsItsNumber) {
  // A code the platform layer names becomes that name; any other code
  // becomes Other, and its number still reaches texts and log lines.
  using platform::Failure;
  const struct {
    std::uint32_t code;
    Failure::Known name;
    const char* text;
  } cases[] = {
      {5, Failure::AccessDenied, "Access is denied."},
      {1223, Failure::Cancelled, "The operation was canceled by the user."},
      {4242, Failure::Other, "Error 4242"},
      {0xC0000135, Failure::Other, "Error 3221225781"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    const Failure failure = platform::FailureFromCode(c.code);
    EXPECT_EQ(c.name, failure);
    EXPECT_EQ(c.code, platform::CodeOf(failure));
    EXPECT_EQ(c.text, platform::FileErrorText(failure));
    std::ostringstream logged;
    logged << failure;
    EXPECT_EQ(std::to_string(c.code), logged.str());
  }
  // Two codes without a name are both Other, yet not the same failure.
  EXPECT_NE(platform::FailureFromCode(4242), platform::FailureFromCode(4243));
}

TEST(PlatformFiles, ReadSmallFileRefusesWhatIsNoSmallRegularFile) {
  using platform::SmallFileFailure;
  TempDir dir;
  const std::string d(1, platform::kPathDelim);
  WriteFile(dir / "small.txt", "Kestro Plus\r\n");
  WriteFile(dir / "empty.txt", "");
  WriteFile(dir / "max.txt", std::string(100, 'm'));
  WriteFile(dir / "over.txt", std::string(101, 'o'));
  WriteFile(dir / "locked.txt", "locked");
  testing_support::MakeDirs(dir / "folder");
  // A FIFO where the system has them: opening it must not wait for a writer.
  const bool fifo = testing_support::RunCapture("mkfifo", {dir / "fifo"}).exitCode == 0;
  File holder;
  ASSERT_TRUE(holder.Open(dir / "locked.txt", File::Mode::OpenWrite, File::Share::None));
  const struct {
    const char* name;
    std::string path;
    SmallFileFailure failure;
    std::string content;
  } cases[] = {
      {"small file", dir / "small.txt", SmallFileFailure::None, "Kestro Plus\r\n"},
      {"empty file", dir / "empty.txt", SmallFileFailure::None, ""},
      {"exactly the maximum", dir / "max.txt", SmallFileFailure::None, std::string(100, 'm')},
      {"one byte over", dir / "over.txt", SmallFileFailure::TooLarge, ""},
      {"missing file", dir / "missing.txt", SmallFileFailure::NotFound, ""},
      {"missing folder", dir / "nope" + d + "x.txt", SmallFileFailure::NotFound, ""},
      {"a folder", dir / "folder", SmallFileFailure::NotAFile, ""},
      {"held by another opener", dir / "locked.txt", SmallFileFailure::Locked, ""},
      {"a FIFO", fifo ? dir / "fifo" : dir / "folder", SmallFileFailure::NotAFile, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string content = "stale";
    EXPECT_EQ(static_cast<int>(c.failure),
              static_cast<int>(platform::ReadSmallFile(c.path, 100, content)));
    EXPECT_EQ(c.content, content);
  }
}

}  // namespace
