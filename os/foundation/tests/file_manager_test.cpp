#include "os/foundation/file_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "os/foundation/file_system.h"
#include "os/foundation/sandbox.h"

namespace os {
namespace {

class FileManagerTest : public ::testing::Test {
 protected:
  FileManager& fm = FileManager::defaultManager();
  TemporarySandbox sandbox;
  std::string docs = sandbox.sandbox()->documentsDirectory();

  std::string read(const std::string& path) {
    auto data = fm.contentsAtPath(path);
    return data ? data->toString() : "<" + std::to_string(data.error().code()) + ">";
  }
  std::vector<std::string> list(const std::string& dir) {
    auto names = fm.contentsOfDirectoryAtPath(dir);
    return names ? *names : std::vector<std::string>{"<error>"};
  }
  static int64_t posixCode(const Error& e) { return e.underlyingError() ? e.underlyingError()->code() : 0; }
};

TEST_F(FileManagerTest, SandboxHasTheStandardFolders) {
  for (auto dir : {SearchPathDirectory::Library, SearchPathDirectory::Documents, SearchPathDirectory::Caches,
                   SearchPathDirectory::ApplicationSupport})
    EXPECT_TRUE(fm.isDirectoryAtPath(fm.URLForDirectory(dir))) << fm.URLForDirectory(dir);
  EXPECT_EQ(fm.URLForDirectory(SearchPathDirectory::Caches), sandbox.root() + "/Library/Caches");
  EXPECT_TRUE(fm.isDirectoryAtPath(sandbox.sandbox()->preferencesDirectory()));
  EXPECT_EQ(fm.temporaryDirectory(), sandbox.root() + "/tmp/");
  EXPECT_EQ(Sandbox::current(), sandbox.sandbox());
}

TEST_F(FileManagerTest, DirectoriesAreCreatedWithIntermediatesAndPermissions) {
  std::string deep = docs + "/a/b/c";
  ASSERT_TRUE(fm.createDirectoryAtPath(deep, true, {{kFilePosixPermissions, Value(0700)}}));
  EXPECT_TRUE(fm.isDirectoryAtPath(deep));
  EXPECT_EQ((*fm.attributesOfItemAtPath(deep))[kFilePosixPermissions].int64Value(), 0700);
  EXPECT_TRUE(fm.createDirectoryAtPath(deep, true));  // existing folder is fine with intermediates

  auto again = fm.createDirectoryAtPath(deep, false);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().code(), kFileWriteFileExistsError);
  auto orphan = fm.createDirectoryAtPath(docs + "/missing/child", false);
  ASSERT_FALSE(orphan);
  EXPECT_EQ(orphan.error().code(), kFileNoSuchFileError);
  EXPECT_EQ(posixCode(orphan.error()), ENOENT);
  EXPECT_EQ(orphan.error().domain(), kCocoaErrorDomain);
}

TEST_F(FileManagerTest, FilesAreWrittenReadMovedAndRemovedWithPlatformErrors) {
  std::string a = docs + "/a.txt", b = docs + "/b.txt";
  ASSERT_TRUE(fm.createFileAtPath(a, Data::fromString("one")));
  ASSERT_TRUE(fm.createFileAtPath(a, Data::fromString("two")));  // replaces
  EXPECT_EQ(read(a), "two");

  auto missing = fm.contentsAtPath(docs + "/none");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code(), kFileReadNoSuchFileError);
  EXPECT_EQ(posixCode(missing.error()), ENOENT);
  EXPECT_EQ(missing.error().userInfo().at(kFilePathErrorKey).stringValue(), docs + "/none");

  ASSERT_TRUE(fm.createFileAtPath(b, Data::fromString("b")));
  auto clash = fm.moveItemAtPath(a, b);
  ASSERT_FALSE(clash);
  EXPECT_EQ(clash.error().code(), kFileWriteFileExistsError);
  EXPECT_EQ(read(b), "b");  // the destination is not overwritten
  ASSERT_TRUE(fm.removeItemAtPath(b));
  ASSERT_TRUE(fm.moveItemAtPath(a, b));
  EXPECT_FALSE(fm.fileExistsAtPath(a));
  EXPECT_EQ(read(b), "two");

  EXPECT_EQ(fm.moveItemAtPath(a, docs + "/c").error().code(), kFileNoSuchFileError);
  EXPECT_EQ(fm.removeItemAtPath(a).error().code(), kFileNoSuchFileError);

  ASSERT_TRUE(fm.createDirectoryAtPath(docs + "/tree/sub", true));
  ASSERT_TRUE(fm.createFileAtPath(docs + "/tree/sub/f", Data::fromString("x")));
  // A folder is copied whole; the copy refuses an existing destination and a
  // missing source.
  ASSERT_TRUE(fm.copyItemAtPath(docs + "/tree", docs + "/copy"));
  EXPECT_EQ(read(docs + "/copy/sub/f"), "x");
  EXPECT_EQ(fm.copyItemAtPath(docs + "/tree", docs + "/copy").error().code(), kFileWriteFileExistsError);
  EXPECT_EQ(fm.copyItemAtPath(docs + "/none", docs + "/copy2").error().code(), kFileNoSuchFileError);
  ASSERT_TRUE(fm.removeItemAtPath(docs + "/copy"));
  ASSERT_TRUE(fm.removeItemAtPath(docs + "/tree"));
  EXPECT_FALSE(fm.fileExistsAtPath(docs + "/tree"));
}

TEST_F(FileManagerTest, ReadOnlyFolderGivesNoPermission) {
  if (::geteuid() == 0) GTEST_SKIP() << "root ignores permissions";
  std::string locked = docs + "/locked";
  ASSERT_TRUE(fm.createDirectoryAtPath(locked, false, {{kFilePosixPermissions, Value(0500)}}));
  auto denied = fm.createFileAtPath(locked + "/f", Data::fromString("x"));
  ASSERT_FALSE(denied);
  EXPECT_EQ(denied.error().code(), kFileWriteNoPermissionError);
  ::chmod(locked.c_str(), 0700);
}

TEST_F(FileManagerTest, ListingAndEnumeration) {
  ASSERT_TRUE(fm.createDirectoryAtPath(docs + "/d/.hidden-dir", true));
  for (auto name : {"/d/b", "/d/a", "/d/.h", "/d/.hidden-dir/x"})
    ASSERT_TRUE(fm.createFileAtPath(docs + name, Data::fromString("12345")));
  EXPECT_EQ(list(docs + "/d"), (std::vector<std::string>{".h", ".hidden-dir", "a", "b"}));
  EXPECT_EQ(*fm.contentsOfDirectoryAtPath(docs + "/d", DirectoryEnumerationOptions::SkipsHiddenFiles),
            (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(*fm.subpathsOfDirectoryAtPath(docs), (std::vector<std::string>{"d", "d/.h", "d/.hidden-dir",
                                                                           "d/.hidden-dir/x", "d/a", "d/b"}));
  EXPECT_EQ(*fm.subpathsOfDirectoryAtPath(docs, DirectoryEnumerationOptions::SkipsHiddenFiles),
            (std::vector<std::string>{"d", "d/a", "d/b"}));
  EXPECT_EQ(fm.contentsOfDirectoryAtPath(docs + "/none").error().code(), kFileReadNoSuchFileError);

  auto attrs = fm.attributesOfItemAtPath(docs + "/d/a");
  ASSERT_TRUE(attrs);
  EXPECT_EQ((*attrs)[kFileSize].int64Value(), 5);
  EXPECT_EQ((*attrs)[kFileType].stringValue(), kFileTypeRegular);
  double age = Date::now().timeIntervalSinceDate(*(*attrs)[kFileModificationDate].date());
  EXPECT_LT(std::abs(age), 60);
  EXPECT_TRUE((*attrs)[kFileCreationDate].isDate());

  Date past = Date::fromTimeIntervalSince1970(1'600'000'000);
  ASSERT_TRUE(fm.setAttributes({{kFileModificationDate, Value(past)}}, docs + "/d/a"));
  EXPECT_EQ(*(*fm.resourceValue(docs + "/d/a", kURLContentModificationDateKey)).date(), past);
  EXPECT_EQ(fm.resourceValue(docs + "/d/a", kURLFileSizeKey)->int64Value(), 5);
}

TEST_F(FileManagerTest, ExcludedFromBackupIsKeptWithTheFile) {
  std::string f = docs + "/prefs.plist";
  ASSERT_TRUE(fm.createFileAtPath(f, Data::fromString("x")));
  EXPECT_EQ(*fm.resourceValue(f, kURLIsExcludedFromBackupKey), Value(false));
  ASSERT_TRUE(fm.setResourceValue(f, kURLIsExcludedFromBackupKey, Value(true)));
  EXPECT_EQ(*fm.resourceValue(f, kURLIsExcludedFromBackupKey), Value(true));
  ASSERT_TRUE(fm.moveItemAtPath(f, docs + "/moved.plist"));
  EXPECT_EQ(*fm.resourceValue(docs + "/moved.plist", kURLIsExcludedFromBackupKey), Value(true));
  EXPECT_FALSE(fm.setResourceValue(docs + "/none", kURLIsExcludedFromBackupKey, Value(true)));
  EXPECT_FALSE(fm.setResourceValue(docs + "/moved.plist", kURLFileSizeKey, Value(1)));

  // The flag is set through the file-system seam, so a test can make it fail.
  auto faulty = std::make_shared<FaultInjectingFileSystem>();
  ScopedFileSystem installed(faulty);
  faulty->inject(FileOp::SetXattr, {EIO, "prefs2", 0, 1});
  ASSERT_TRUE(fm.createFileAtPath(docs + "/prefs2.plist", Data::fromString("y")));
  EXPECT_FALSE(fm.setResourceValue(docs + "/prefs2.plist", kURLIsExcludedFromBackupKey, Value(true)));
  EXPECT_EQ(*fm.resourceValue(docs + "/prefs2.plist", kURLIsExcludedFromBackupKey), Value(false));
  EXPECT_TRUE(fm.setResourceValue(docs + "/prefs2.plist", kURLIsExcludedFromBackupKey, Value(true)));
}

TEST_F(FileManagerTest, ImmutableIsARecordedAttributeThatBlocksRemoval) {
  std::string dir = docs + "/locked";
  std::string f = dir + "/db.sql";
  ASSERT_TRUE(fm.createDirectoryAtPath(dir, true));
  ASSERT_TRUE(fm.createFileAtPath(f, Data::fromString("x")));
  EXPECT_EQ((*fm.attributesOfItemAtPath(f))[kFileImmutable], Value(false));
  ASSERT_TRUE(fm.setAttributes({{kFileImmutable, Value(true)}}, f));
  EXPECT_EQ((*fm.attributesOfItemAtPath(f))[kFileImmutable], Value(true));

  // Neither the file nor a folder holding it can be removed.
  for (const std::string& path : {f, dir}) {
    auto removed = fm.removeItemAtPath(path);
    ASSERT_FALSE(removed) << path;
    EXPECT_EQ(removed.error().code(), kFileWriteNoPermissionError);
    EXPECT_EQ(posixCode(removed.error()), EPERM);
  }
  EXPECT_EQ(read(f), "x");

  ASSERT_TRUE(fm.setAttributes({{kFileImmutable, Value(false)}}, f));
  EXPECT_EQ((*fm.attributesOfItemAtPath(f))[kFileImmutable], Value(false));
  EXPECT_TRUE(fm.removeItemAtPath(dir));
  EXPECT_FALSE(fm.setAttributes({{kFileImmutable, Value(true)}}, f));
}

// Each injected failure must leave the previous file whole and no temporary
// behind, and report the platform's code.
TEST_F(FileManagerTest, InjectedFailuresLeaveThePreviousFileIntact) {
  struct Case {
    FileOp op;
    int error;
    int64_t code;
  };
  const Case cases[] = {
      {FileOp::Write, ENOSPC, kFileWriteOutOfSpaceError},
      {FileOp::Sync, EIO, kFileWriteUnknownError},
      {FileOp::Rename, EIO, kFileWriteUnknownError},
      {FileOp::Open, EACCES, kFileWriteNoPermissionError},
  };
  std::string path = docs + "/state.bin";
  ASSERT_TRUE(fm.createFileAtPath(path, Data::fromString("previous")));
  for (const auto& c : cases) {
    auto faulty = std::make_shared<FaultInjectingFileSystem>();
    ScopedFileSystem installed(faulty);
    faulty->inject(c.op, FaultInjectingFileSystem::Fault{c.error, ".tmp-", 0, -1});
    auto written = fm.createFileAtPath(path, Data::fromString("next"));
    ASSERT_FALSE(written) << int(c.op);
    EXPECT_EQ(written.error().code(), c.code) << int(c.op);
    EXPECT_EQ(written.error().underlyingError()->code(), c.error);
    EXPECT_EQ(faulty->failureCount(c.op), 1);
    EXPECT_EQ(read(path), "previous");
    EXPECT_EQ(list(docs), std::vector<std::string>{"state.bin"});
  }
}

// Fails the n-th mutating call (open, write, sync, rename), counting from 0.
class FailNth : public FileSystem {
 public:
  explicit FailNth(int n) : n_(n) {}
  int open(const std::string& p, int f, mode_t m) override { return tick() ? -1 : FileSystem::open(p, f, m); }
  ssize_t write(int fd, const void* b, size_t c) override { return tick() ? -1 : FileSystem::write(fd, b, c); }
  int fsync(int fd) override { return tick() ? -1 : FileSystem::fsync(fd); }
  int rename(const std::string& a, const std::string& b) override { return tick() ? -1 : FileSystem::rename(a, b); }

 private:
  bool tick() {
    if (seen_++ != n_) return false;
    errno = EIO;
    return true;
  }
  int n_;
  int seen_ = 0;
};

// Fail the 1st, 2nd, ... call in turn until the write goes through: every step
// ends with the old or the new content, never a mix, and no temporary left.
TEST_F(FileManagerTest, FailingEachCallInTurnNeverDamagesTheFile) {
  std::string path = docs + "/f";
  ASSERT_TRUE(fm.createFileAtPath(path, Data::fromString("old")));
  for (int n = 0;; ++n) {
    ASSERT_LT(n, 20);
    Status written;
    {
      ScopedFileSystem installed(std::make_shared<FailNth>(n));
      written = fm.createFileAtPath(path, Data::fromString("new"));
    }
    EXPECT_EQ(list(docs), std::vector<std::string>{"f"}) << "step " << n;
    if (written) {
      EXPECT_EQ(read(path), "new");
      break;
    }
    EXPECT_EQ(read(path), "old") << "step " << n;
  }
}

// A FIFO at a store's path held its reader until some writer came (a launch
// hung on one); a folder failed with a read error like any transient one.
// What is not a regular file is refused as such, without blocking.
TEST_F(FileManagerTest, WhatIsNotARegularFileIsRefusedWithoutBlocking) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string fifo = docs + "/fifo", folder = docs + "/folder";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_TRUE(fm.createDirectoryAtPath(folder, false));
  // In a child bounded by an alarm: a blocking open would hang the runner.
  auto readBoth = [&] {
    ::alarm(30);
    for (const auto& path : {fifo, folder}) {
      auto data = FileManager::defaultManager().contentsAtPath(path);
      if (data || data.error().code() != kFileReadCorruptFileError) std::_Exit(1);
    }
    std::_Exit(0);
  };
  EXPECT_EXIT(readBoth(), ::testing::ExitedWithCode(0), "");
}

// A listing goes through the seam, so its failure is seen and can be injected.
TEST_F(FileManagerTest, ListingFailuresAreReported) {
  ASSERT_TRUE(fm.createFileAtPath(docs + "/a", Data::fromString("1")));
  auto faulty = std::make_shared<FaultInjectingFileSystem>();
  ScopedFileSystem installed(faulty);
  faulty->inject(FileOp::Open, FaultInjectingFileSystem::Fault{EMFILE, "/Documents", 0, 1});
  auto failed = fm.contentsOfDirectoryAtPath(docs);
  ASSERT_FALSE(failed);
  EXPECT_EQ(posixCode(failed.error()), EMFILE);
  EXPECT_EQ(list(docs), std::vector<std::string>{"a"});
}

// Temporaries of atomic writes whose writer was killed before the rename
// stayed forever. Only those of a gone writer, or old ones, are removed.
TEST_F(FileManagerTest, StaleTemporariesOfAKilledWriteAreRemoved) {
  const std::string target = docs + "/com.drosil.app.plist";
  // A process id that is certainly gone: a child that has been reaped.
  pid_t gone = ::fork();
  if (gone == 0) std::_Exit(0);
  ASSERT_GT(gone, 0);
  ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
  const std::string live = std::to_string(::getppid()), self = std::to_string(::getpid()),
                    dead = std::to_string(gone);
  const Date old = Date::fromTimeIntervalSince1970(Date::now().timeIntervalSince1970() -
                                                   FileManager::kStaleTemporaryFileAge - 60);
  struct Case {
    std::string name;
    bool aged;
    bool removed;
  };
  const Case cases[] = {
      {".com.drosil.app.plist.tmp-" + dead + "-3", false, true},    // writer gone
      {".com.drosil.app.plist.tmp-" + live + "-0", false, false},   // writer alive
      {".com.drosil.app.plist.tmp-" + self + "-999999", false, false},  // a write of ours, maybe at work
      {".com.drosil.app.plist.tmp-" + live + "-1", true, true},     // old
      {".com.drosil.app.plist.tmp-" + dead, false, false},          // not a name the writer makes
      {".com.drosil.app.plist.tmp-x-3", true, false},
      {".other.plist.tmp-" + dead + "-3", false, false},            // another file's
      {"com.drosil.app.plist", true, false},
  };
  for (const auto& c : cases) {
    auto made = fm.createFileAtPath(docs + "/" + c.name, Data::fromString("x"));
    ASSERT_TRUE(made) << c.name << made.error().description();
    if (c.aged) {
      ASSERT_TRUE(fm.setAttributes({{kFileModificationDate, Value(old)}}, docs + "/" + c.name));
    }
  }
  EXPECT_EQ(fm.removeStaleTemporaryFilesOfPath(target), 2u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(fm.fileExistsAtPath(docs + "/" + c.name), !c.removed);
  }
}

TEST_F(FileManagerTest, FileHandleReadsWritesSeeksAndTruncates) {
  std::string path = docs + "/log";
  EXPECT_EQ(FileHandle::fileHandleForReadingAtPath(path).error().code(), kFileReadNoSuchFileError);
  EXPECT_EQ(FileHandle::fileHandleForWritingAtPath(path).error().code(), kFileNoSuchFileError);
  ASSERT_TRUE(fm.createFileAtPath(path, Data::fromString("head")));

  auto h = FileHandle::fileHandleForUpdatingAtPath(path);
  ASSERT_TRUE(h);
  EXPECT_EQ(*(*h)->seekToEndOfFile(), 4u);
  ASSERT_TRUE((*h)->writeData(Data::fromString("-tail")));
  ASSERT_TRUE((*h)->synchronizeFile());
  ASSERT_TRUE((*h)->seekToFileOffset(2));
  EXPECT_EQ((*h)->readDataUpToLength(3)->toString(), "ad-");
  EXPECT_EQ(*(*h)->offsetInFile(), 5u);
  ASSERT_TRUE((*h)->truncateAtOffset(4));
  EXPECT_EQ(*(*h)->offsetInFile(), 4u);
  ASSERT_TRUE((*h)->seekToFileOffset(0));
  EXPECT_EQ((*h)->readDataToEndOfFile()->toString(), "head");
  ASSERT_TRUE((*h)->closeFile());
  EXPECT_FALSE((*h)->writeData(Data::fromString("x")));
  EXPECT_FALSE((*h)->closeFile());

  auto faulty = std::make_shared<FaultInjectingFileSystem>();
  ScopedFileSystem installed(faulty);
  faulty->failWritesWithDiskFull("/log");
  auto w = FileHandle::fileHandleForWritingAtPath(path);
  ASSERT_TRUE(w);
  auto full = (*w)->writeData(Data::fromString("more"));
  ASSERT_FALSE(full);
  EXPECT_EQ(full.error().code(), kFileWriteOutOfSpaceError);
}

}  // namespace
}  // namespace os
