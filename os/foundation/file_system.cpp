#include "os/foundation/file_system.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace os {
namespace {

std::mutex& currentMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<FileSystem>& currentSlot() {
  static auto& fs = *new std::shared_ptr<FileSystem>();  // guarded by currentMutex(); null: the host's
  return fs;
}

}  // namespace

int FileSystem::open(const std::string& path, int flags, mode_t mode) {
  int fd;
  do fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}
ssize_t FileSystem::read(int fd, void* buffer, size_t count) {
  ssize_t n;
  do n = ::read(fd, buffer, count);
  while (n < 0 && errno == EINTR);
  return n;
}
ssize_t FileSystem::write(int fd, const void* buffer, size_t count) {
  ssize_t n;
  do n = ::write(fd, buffer, count);
  while (n < 0 && errno == EINTR);
  return n;
}
off_t FileSystem::lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }
int FileSystem::fsync(int fd) { return ::fsync(fd); }
int FileSystem::ftruncate(int fd, off_t length) { return ::ftruncate(fd, length); }
int FileSystem::close(int fd) { return ::close(fd); }
int FileSystem::rename(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()); }
int FileSystem::unlink(const std::string& path) { return ::unlink(path.c_str()); }
int FileSystem::mkdir(const std::string& path, mode_t mode) { return ::mkdir(path.c_str(), mode); }
int FileSystem::rmdir(const std::string& path) { return ::rmdir(path.c_str()); }
int FileSystem::setxattr(const std::string& path, const std::string& name, const void* value, size_t size, int flags) {
  return ::setxattr(path.c_str(), name.c_str(), value, size, flags);
}

std::shared_ptr<FileSystem> FileSystem::host() {
  static const std::shared_ptr<FileSystem> fs = std::make_shared<FileSystem>();
  return fs;
}

std::shared_ptr<FileSystem> FileSystem::currentShared() {
  std::lock_guard lock(currentMutex());
  return currentSlot() ? currentSlot() : host();
}

std::shared_ptr<FileSystem> FileSystem::setCurrent(std::shared_ptr<FileSystem> fs) {
  std::lock_guard lock(currentMutex());
  auto previous = currentSlot() ? currentSlot() : host();
  currentSlot() = std::move(fs);
  return previous;
}

FaultInjectingFileSystem::FaultInjectingFileSystem(std::shared_ptr<FileSystem> base)
    : base_(base ? std::move(base) : FileSystem::currentShared()) {}

void FaultInjectingFileSystem::inject(FileOp op, Fault fault) {
  std::lock_guard lock(mutex_);
  faults_[op] = std::move(fault);
}

void FaultInjectingFileSystem::clear() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

int FaultInjectingFileSystem::callCount(FileOp op) const {
  std::lock_guard lock(mutex_);
  return calls_[size_t(op)];
}

int FaultInjectingFileSystem::failureCount(FileOp op) const {
  std::lock_guard lock(mutex_);
  return failures_[size_t(op)];
}

int FaultInjectingFileSystem::check(FileOp op, const std::string& path, const std::string& other) {
  std::lock_guard lock(mutex_);
  calls_[size_t(op)]++;
  auto it = faults_.find(op);
  if (it == faults_.end()) return 0;
  Fault& f = it->second;
  if (!f.pathContains.empty() && path.find(f.pathContains) == std::string::npos &&
      other.find(f.pathContains) == std::string::npos)
    return 0;
  if (f.skip > 0) {
    f.skip--;
    return 0;
  }
  if (f.killProcess) ::kill(::getpid(), SIGKILL);
  if (f.times == 0) return 0;
  if (f.times > 0) f.times--;
  failures_[size_t(op)]++;
  return f.error;
}

std::string FaultInjectingFileSystem::pathOf(int fd) {
  std::lock_guard lock(mutex_);
  auto it = paths_.find(fd);
  return it == paths_.end() ? std::string() : it->second;
}

#define OS_FAULT(op, ...)                  \
  if (int e = check(op, __VA_ARGS__)) {    \
    errno = e;                             \
    return -1;                             \
  }

int FaultInjectingFileSystem::open(const std::string& path, int flags, mode_t mode) {
  OS_FAULT(FileOp::Open, path);
  int fd = base_->open(path, flags, mode);
  if (fd >= 0) {
    std::lock_guard lock(mutex_);
    paths_[fd] = path;
  }
  return fd;
}
ssize_t FaultInjectingFileSystem::read(int fd, void* buffer, size_t count) {
  OS_FAULT(FileOp::Read, pathOf(fd));
  return base_->read(fd, buffer, count);
}
ssize_t FaultInjectingFileSystem::write(int fd, const void* buffer, size_t count) {
  OS_FAULT(FileOp::Write, pathOf(fd));
  return base_->write(fd, buffer, count);
}
off_t FaultInjectingFileSystem::lseek(int fd, off_t offset, int whence) { return base_->lseek(fd, offset, whence); }
int FaultInjectingFileSystem::fsync(int fd) {
  OS_FAULT(FileOp::Sync, pathOf(fd));
  return base_->fsync(fd);
}
int FaultInjectingFileSystem::ftruncate(int fd, off_t length) {
  OS_FAULT(FileOp::Truncate, pathOf(fd));
  return base_->ftruncate(fd, length);
}
int FaultInjectingFileSystem::close(int fd) {
  {
    std::lock_guard lock(mutex_);
    paths_.erase(fd);
  }
  return base_->close(fd);
}
int FaultInjectingFileSystem::rename(const std::string& from, const std::string& to) {
  OS_FAULT(FileOp::Rename, from, to);
  return base_->rename(from, to);
}
int FaultInjectingFileSystem::unlink(const std::string& path) {
  OS_FAULT(FileOp::Unlink, path);
  return base_->unlink(path);
}
int FaultInjectingFileSystem::mkdir(const std::string& path, mode_t mode) {
  OS_FAULT(FileOp::Mkdir, path);
  return base_->mkdir(path, mode);
}
int FaultInjectingFileSystem::rmdir(const std::string& path) {
  OS_FAULT(FileOp::Rmdir, path);
  return base_->rmdir(path);
}
int FaultInjectingFileSystem::setxattr(const std::string& path, const std::string& name, const void* value,
                                       size_t size, int flags) {
  OS_FAULT(FileOp::SetXattr, path);
  return base_->setxattr(path, name, value, size, flags);
}

#undef OS_FAULT

}  // namespace os
