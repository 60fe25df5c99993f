// os::FileSystem: the seam under every file mutation of the os layer (the
// file manager, file handles, user defaults, the keychain, archives). The
// calls mirror POSIX: -1 and errno on failure. Read-only queries (stat,
// directory listing) go to the host directly.
//
// Tests install a FaultInjectingFileSystem to make chosen calls fail ("no
// space", "rename fails", ...), as a storage engine's test environment does.
#pragma once

#include <sys/types.h>

#include <array>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace os {

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual int open(const std::string& path, int flags, mode_t mode);
  virtual ssize_t read(int fd, void* buffer, size_t count);
  virtual ssize_t write(int fd, const void* buffer, size_t count);
  virtual off_t lseek(int fd, off_t offset, int whence);
  virtual int fsync(int fd);
  virtual int ftruncate(int fd, off_t length);
  virtual int close(int fd);
  virtual int rename(const std::string& from, const std::string& to);
  virtual int unlink(const std::string& path);
  virtual int mkdir(const std::string& path, mode_t mode);
  virtual int rmdir(const std::string& path);
  // Sets an extended attribute (setxattr(2)).
  virtual int setxattr(const std::string& path, const std::string& name, const void* value, size_t size, int flags);

  // The file system in force; never null. Thread-safe. Hold the pointer for
  // the length of one operation (open, write, sync, close of one file).
  static std::shared_ptr<FileSystem> currentShared();
  // Installs a file system (null restores the host's). Returns the previous.
  static std::shared_ptr<FileSystem> setCurrent(std::shared_ptr<FileSystem> fs);
  // The host's file system.
  static std::shared_ptr<FileSystem> host();
};

enum class FileOp { Open, Read, Write, Sync, Truncate, Rename, Unlink, Mkdir, Rmdir, SetXattr, Count_ };

// Wraps another file system and fails the calls it is told to fail. A fault
// applies to calls of one kind whose path (for calls on a descriptor: the path
// it was opened with; for rename: either path) contains `pathContains`; it
// lets `skip` such calls through first, then fails `times` of them (-1: every
// one) with `error`. A fault with `killProcess` set instead sends SIGKILL to
// the process at the first call it applies to, before the call is made (for
// crash-consistency tests in a child process). Thread-safe.
class FaultInjectingFileSystem : public FileSystem {
 public:
  struct Fault {
    int error = EIO;
    std::string pathContains;
    int skip = 0;
    int times = -1;
    bool killProcess = false;
  };

  // Wraps `base`, or the file system in force when null.
  explicit FaultInjectingFileSystem(std::shared_ptr<FileSystem> base = nullptr);

  void inject(FileOp op, Fault fault);
  void clear();
  // Calls of that kind seen so far (failed ones included).
  int callCount(FileOp op) const;
  // Calls of that kind failed so far.
  int failureCount(FileOp op) const;

  // Shorthands: every write fails with ENOSPC; every rename fails.
  void failWritesWithDiskFull(std::string pathContains = {}) { inject(FileOp::Write, Fault{ENOSPC, std::move(pathContains), 0, -1}); }
  void failRenames(int error = EIO, std::string pathContains = {}) {
    inject(FileOp::Rename, Fault{error, std::move(pathContains), 0, -1});
  }
  // The process dies by SIGKILL at the nth (1-based) matching call of a kind.
  void killAtCall(FileOp op, int nth, std::string pathContains = {}) {
    inject(op, Fault{EIO, std::move(pathContains), nth - 1, -1, true});
  }

  int open(const std::string& path, int flags, mode_t mode) override;
  ssize_t read(int fd, void* buffer, size_t count) override;
  ssize_t write(int fd, const void* buffer, size_t count) override;
  off_t lseek(int fd, off_t offset, int whence) override;
  int fsync(int fd) override;
  int ftruncate(int fd, off_t length) override;
  int close(int fd) override;
  int rename(const std::string& from, const std::string& to) override;
  int unlink(const std::string& path) override;
  int mkdir(const std::string& path, mode_t mode) override;
  int rmdir(const std::string& path) override;
  int setxattr(const std::string& path, const std::string& name, const void* value, size_t size, int flags) override;

 private:
  // Counts the call; returns the errno to fail it with, or 0.
  int check(FileOp op, const std::string& path, const std::string& other = {});
  std::string pathOf(int fd);

  std::shared_ptr<FileSystem> base_;
  mutable std::mutex mutex_;
  std::map<FileOp, Fault> faults_;               // guarded by mutex_
  std::array<int, size_t(FileOp::Count_)> calls_{};     // guarded by mutex_
  std::array<int, size_t(FileOp::Count_)> failures_{};  // guarded by mutex_
  std::map<int, std::string> paths_;             // fd -> path; guarded by mutex_
};

// Installs a file system for the life of the object, then restores the one
// that was in force.
class ScopedFileSystem {
 public:
  explicit ScopedFileSystem(std::shared_ptr<FileSystem> fs) : previous_(FileSystem::setCurrent(std::move(fs))) {}
  ~ScopedFileSystem() { FileSystem::setCurrent(previous_); }
  ScopedFileSystem(const ScopedFileSystem&) = delete;
  ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;

 private:
  std::shared_ptr<FileSystem> previous_;
};

}  // namespace os
