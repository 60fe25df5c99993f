#include "os/foundation/file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <set>
#include <sstream>
#include <string_view>

#include "os/foundation/file_system.h"

namespace os {
namespace {

constexpr const char* kBackupExclusionAttribute = "user.drosil.excluded-from-backup";
constexpr const char* kBackupExclusionRecord = ".backup-exclusions";
constexpr const char* kImmutableAttribute = "user.drosil.immutable";
constexpr const char* kImmutableRecord = ".immutable-files";

std::string parentOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

mode_t modeFrom(const Dictionary& attributes, mode_t fallback, bool* given = nullptr) {
  auto it = attributes.find(kFilePosixPermissions);
  if (given) *given = it != attributes.end() && it->second.isNumber();
  if (it == attributes.end() || !it->second.isNumber()) return fallback;
  return static_cast<mode_t>(it->second.int64Value() & 07777);
}

Date dateOf(const struct statx_timestamp& ts) {
  return Date::fromTimeIntervalSince1970(double(ts.tv_sec) + double(ts.tv_nsec) / 1e9);
}

struct Stat {
  struct statx st {};
};

int doStatx(const std::string& path, Stat& out) {
  return ::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW,
                 STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_MTIME | STATX_CTIME | STATX_BTIME, &out.st);
}

Date creationDate(const struct statx& st) {
  return (st.stx_mask & STATX_BTIME) ? dateOf(st.stx_btime) : dateOf(st.stx_ctime);
}

Status writeAll(FileSystem& fs, int fd, const uint8_t* bytes, size_t length, const std::string& path) {
  size_t off = 0;
  while (off < length) {
    ssize_t n = fs.write(fd, bytes + off, length - off);
    if (n < 0) return fail(fileError(errno, FileAccess::Writing, path));
    if (n == 0) return fail(fileError(EIO, FileAccess::Writing, path));
    off += size_t(n);
  }
  return {};
}

// Side records of recorded attributes (backup exclusion, immutability), for
// file systems without user attributes: one file per attribute in the
// sandbox root, one absolute path a line.
std::mutex& exclusionMutex() {
  static std::mutex m;
  return m;
}

std::string sideRecordPath(const char* record) { return Sandbox::current()->root() + "/" + record; }

std::set<std::string> readSideRecord(const char* record) {
  std::set<std::string> out;
  auto data = FileManager::defaultManager().contentsAtPath(sideRecordPath(record));
  if (!data) return out;
  std::istringstream in(data->toString());
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.insert(line);
  return out;
}

Status writeSideRecord(const char* record, const std::set<std::string>& paths) {
  std::string text;
  for (auto& p : paths) text += p + "\n";
  return FileManager::defaultManager().createFileAtPath(sideRecordPath(record), Data::fromString(text));
}

std::string absolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (!::getcwd(cwd, sizeof cwd)) return path;
  return std::string(cwd) + "/" + path;
}

// A Boolean attribute kept as a user attribute of the file ('1' or '0'), or
// in the side record where the file system has none.
Result<bool> recordedFlag(const std::string& path, const char* attribute, const char* record) {
  char flag = 0;
  ssize_t n = ::getxattr(path.c_str(), attribute, &flag, 1);
  if (n == 1) return flag == '1';
  if (n >= 0 || errno == ENODATA) return false;
  if (errno == ENOTSUP) {
    std::lock_guard lock(exclusionMutex());
    return readSideRecord(record).count(absolutePath(path)) > 0;
  }
  return fail(fileError(errno, FileAccess::Reading, path));
}

Status setRecordedFlag(const std::string& path, const char* attribute, const char* record, bool value) {
  char flag = value ? '1' : '0';
  if (FileSystem::currentShared()->setxattr(path, attribute, &flag, 1, 0) == 0) return {};
  if (errno != ENOTSUP) return fail(fileError(errno, FileAccess::Writing, path));
  std::lock_guard lock(exclusionMutex());
  auto paths = readSideRecord(record);
  if (value) paths.insert(absolutePath(path));
  else paths.erase(absolutePath(path));
  return writeSideRecord(record, paths);
}

}  // namespace

Error fileError(int e, FileAccess access, const std::string& path) {
  bool reading = access == FileAccess::Reading;
  int64_t code;
  switch (e) {
    case ENOENT: code = reading ? kFileReadNoSuchFileError : kFileNoSuchFileError; break;
    case ENOTDIR: code = reading ? kFileReadUnknownError : kFileNoSuchFileError; break;
    case EACCES:
    case EPERM: code = reading ? kFileReadNoPermissionError : kFileWriteNoPermissionError; break;
    case EEXIST:
    case ENOTEMPTY: code = kFileWriteFileExistsError; break;
    case ENOSPC:
    case EDQUOT: code = reading ? kFileReadUnknownError : kFileWriteOutOfSpaceError; break;
    case EROFS: code = reading ? kFileReadUnknownError : kFileWriteVolumeReadOnlyError; break;
    case ENAMETOOLONG: code = reading ? kFileReadInvalidFileNameError : kFileWriteInvalidFileNameError; break;
    case EFBIG: code = reading ? kFileReadTooLargeError : kFileWriteUnknownError; break;
    default: code = reading ? kFileReadUnknownError : kFileWriteUnknownError; break;
  }
  Dictionary info;
  info[kFilePathErrorKey] = Value(path);
  Error error(kCocoaErrorDomain, code, std::move(info));
  error.setUnderlyingError(Error::withDescription(kPOSIXErrorDomain, e, std::strerror(e)));
  return error;
}

FileManager& FileManager::defaultManager() {
  static FileManager manager;
  return manager;
}

std::string FileManager::URLForDirectory(SearchPathDirectory directory) const {
  return Sandbox::current()->path(directory);
}

std::string FileManager::temporaryDirectory() const { return Sandbox::current()->temporaryDirectory(); }

bool FileManager::fileExistsAtPath(const std::string& path) const { return fileExistsAtPath(path, nullptr); }

bool FileManager::fileExistsAtPath(const std::string& path, bool* isDirectory) const {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (isDirectory) *isDirectory = false;
    return false;
  }
  if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
  return true;
}

bool FileManager::isDirectoryAtPath(const std::string& path) const {
  bool dir = false;
  return fileExistsAtPath(path, &dir) && dir;
}

Status FileManager::createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories,
                                          const Dictionary& attributes) const {
  if (path.empty()) return fail(fileError(ENOENT, FileAccess::Writing, path));
  bool explicitMode = false;
  mode_t mode = modeFrom(attributes, 0755, &explicitMode);
  auto fs = FileSystem::currentShared();
  auto makeOne = [&](const std::string& dir, bool existingIsFine) -> Status {
    if (fs->mkdir(dir, mode) == 0) {
      if (explicitMode) ::chmod(dir.c_str(), mode);  // not narrowed by the umask
      return {};
    }
    int e = errno;
    if (e == EEXIST && existingIsFine && isDirectoryAtPath(dir)) return {};
    return fail(fileError(e, FileAccess::Writing, path));
  };
  if (!withIntermediateDirectories) return makeOne(path, false);
  // A folder that exists has every prefix: one lookup instead of one each.
  if (isDirectoryAtPath(path)) return {};
  // Each prefix in turn, from the root down.
  size_t pos = 0;
  while (true) {
    pos = path.find('/', pos + 1);
    std::string prefix = path.substr(0, pos);
    if (!prefix.empty() && prefix != "/" && !isDirectoryAtPath(prefix)) {
      if (auto made = makeOne(prefix, true); !made) return made;
    }
    if (pos == std::string::npos) break;
  }
  return {};
}

Status FileManager::createFileAtPath(const std::string& path, const Data& contents,
                                     const Dictionary& attributes) const {
  static std::atomic<uint64_t> counter{0};
  bool explicitMode = false;
  mode_t mode = modeFrom(attributes, 0644, &explicitMode);
  std::string temp = parentOf(path) + "/." + lastComponent(path) + ".tmp-" + std::to_string(::getpid()) + "-" +
                     std::to_string(counter.fetch_add(1));
  auto fs = FileSystem::currentShared();
  int fd = fs->open(temp, O_WRONLY | O_CREAT | O_EXCL | O_TRUNC, mode);
  if (fd < 0) return fail(fileError(errno, FileAccess::Writing, path));
  auto abandon = [&](Error error) -> Status {
    if (fd >= 0) fs->close(fd);
    fs->unlink(temp);
    return fail(std::move(error));
  };
  if (explicitMode) ::fchmod(fd, mode);
  if (auto written = writeAll(*fs, fd, contents.bytes(), contents.length(), path); !written)
    return abandon(written.error());
  if (fs->fsync(fd) != 0) return abandon(fileError(errno, FileAccess::Writing, path));
  int closed = fs->close(fd);
  fd = -1;
  if (closed != 0) return abandon(fileError(errno, FileAccess::Writing, path));
  if (fs->rename(temp, path) != 0) return abandon(fileError(errno, FileAccess::Writing, path));
  // Make the rename itself durable.
  int dirFd = fs->open(parentOf(path), O_RDONLY | O_DIRECTORY, 0);
  if (dirFd >= 0) {
    fs->fsync(dirFd);
    fs->close(dirFd);
  }
  return {};
}

Result<Data> FileManager::contentsAtPath(const std::string& path) const {
  // Without blocking: a FIFO at the path would hold the caller until a writer
  // came. What is not a regular file is refused before any read.
  auto handle = FileHandle::open(path, O_RDONLY | O_NONBLOCK, FileAccess::Reading);
  if (!handle) return fail(handle.error());
  struct stat st {};
  if (::fstat((*handle)->fileDescriptor(), &st) != 0) return fail(fileError(errno, FileAccess::Reading, path));
  if (!S_ISREG(st.st_mode)) {
    Dictionary info;
    info[kFilePathErrorKey] = Value(path);
    info[kDebugDescriptionErrorKey] = Value("Not a regular file.");
    return fail(Error(kCocoaErrorDomain, kFileReadCorruptFileError, std::move(info)));
  }
  return (*handle)->readDataToEndOfFile();
}

size_t FileManager::removeStaleTemporaryFilesOfPath(const std::string& path) const {
  const std::string dir = parentOf(path);
  const std::string prefix = "." + lastComponent(path) + ".tmp-";
  auto names = contentsOfDirectoryAtPath(dir);
  if (!names) return 0;
  const Date now = Date::now();
  size_t removed = 0;
  for (const std::string& name : *names) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    // "<pid>-<n>", both decimal, exactly as createFileAtPath names them.
    const std::string rest = name.substr(prefix.size());
    const size_t dash = rest.find('-');
    auto digits = [](std::string_view s) {
      return !s.empty() && s.size() <= 18 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (dash == std::string::npos || !digits(std::string_view(rest).substr(0, dash)) ||
        !digits(std::string_view(rest).substr(dash + 1)))
      continue;
    const std::string full = dir + "/" + name;
    struct stat st {};
    if (::lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const long long pid = std::stoll(rest.substr(0, dash));
    // A process id that names no process: its writer is gone. Our own id is
    // a writer of this process, perhaps at work on another thread.
    const bool writerGone = pid > 0 && pid != ::getpid() && pid <= std::numeric_limits<pid_t>::max() &&
                            ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
    const double age = now.timeIntervalSince1970() - (double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9);
    if (!writerGone && !(age > kStaleTemporaryFileAge)) continue;
    if (FileSystem::currentShared()->unlink(full) == 0) ++removed;
  }
  return removed;
}

Status FileManager::removeItemAtPath(const std::string& path) const {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return fail(fileError(errno, FileAccess::Writing, path));
  if (!S_ISLNK(st.st_mode)) {
    auto immutable = recordedFlag(path, kImmutableAttribute, kImmutableRecord);
    if (immutable && *immutable) return fail(fileError(EPERM, FileAccess::Writing, path));
  }
  auto fs = FileSystem::currentShared();
  if (S_ISDIR(st.st_mode)) {
    auto entries = contentsOfDirectoryAtPath(path);
    if (!entries) return fail(entries.error());
    for (auto& name : *entries) {
      if (auto removed = removeItemAtPath(path + "/" + name); !removed) return removed;
    }
    if (fs->rmdir(path) != 0) return fail(fileError(errno, FileAccess::Writing, path));
    return {};
  }
  if (fs->unlink(path) != 0) return fail(fileError(errno, FileAccess::Writing, path));
  return {};
}

Status FileManager::moveItemAtPath(const std::string& path, const std::string& toPath) const {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return fail(fileError(errno, FileAccess::Writing, path));
  if (::lstat(toPath.c_str(), &st) == 0) return fail(fileError(EEXIST, FileAccess::Writing, toPath));
  if (FileSystem::currentShared()->rename(path, toPath) != 0)
    return fail(fileError(errno, FileAccess::Writing, path));
  return {};
}

Status FileManager::copyItemAtPath(const std::string& path, const std::string& toPath) const {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return fail(fileError(errno, FileAccess::Writing, path));
  if (::lstat(toPath.c_str(), &st) == 0) return fail(fileError(EEXIST, FileAccess::Writing, toPath));
  std::error_code error;
  std::filesystem::copy(path, toPath,
                        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks,
                        error);
  if (error) {
    std::error_code ignored;
    std::filesystem::remove_all(toPath, ignored);
    return fail(fileError(error.value(), FileAccess::Writing, toPath));
  }
  return {};
}

Result<std::vector<std::string>> FileManager::contentsOfDirectoryAtPath(const std::string& path,
                                                                        DirectoryEnumerationOptions options) const {
  auto fs = FileSystem::currentShared();
  const int fd = fs->open(path, O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return fail(fileError(errno, FileAccess::Reading, path));
  DIR* dir = ::fdopendir(fd);  // closedir closes fd
  if (!dir) {
    const int e = errno;
    fs->close(fd);
    return fail(fileError(e, FileAccess::Reading, path));
  }
  bool skipHidden = options == DirectoryEnumerationOptions::SkipsHiddenFiles;
  std::vector<std::string> names;
  int e = 0;
  for (;;) {
    errno = 0;
    struct dirent* entry = ::readdir(dir);
    if (!entry) {
      e = errno;
      break;
    }
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (skipHidden && name[0] == '.') continue;
    names.push_back(std::move(name));
  }
  ::closedir(dir);
  if (e != 0) return fail(fileError(e, FileAccess::Reading, path));
  std::sort(names.begin(), names.end());
  return names;
}

Result<std::vector<std::string>> FileManager::subpathsOfDirectoryAtPath(const std::string& path,
                                                                        DirectoryEnumerationOptions options) const {
  auto top = contentsOfDirectoryAtPath(path, options);
  if (!top) return fail(top.error());
  std::vector<std::string> out;
  for (auto& name : *top) {
    out.push_back(name);
    std::string full = path + "/" + name;
    struct stat st {};
    if (::lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      auto below = subpathsOfDirectoryAtPath(full, options);
      if (!below) continue;  // unreadable folders are listed but not entered
      for (auto& sub : *below) out.push_back(name + "/" + sub);
    }
  }
  return out;
}

Result<Dictionary> FileManager::attributesOfItemAtPath(const std::string& path) const {
  Stat s;
  if (doStatx(path, s) != 0) return fail(fileError(errno, FileAccess::Reading, path));
  const auto& st = s.st;
  Dictionary out;
  out[kFileSize] = Value(Number::uint64(st.stx_size));
  out[kFileCreationDate] = Value(creationDate(st));
  out[kFileModificationDate] = Value(dateOf(st.stx_mtime));
  out[kFilePosixPermissions] = Value(Number::uint16(uint16_t(st.stx_mode & 07777)));
  const char* type = kFileTypeUnknown;
  if (S_ISREG(st.stx_mode)) type = kFileTypeRegular;
  else if (S_ISDIR(st.stx_mode)) type = kFileTypeDirectory;
  else if (S_ISLNK(st.stx_mode)) type = kFileTypeSymbolicLink;
  out[kFileType] = Value(type);
  auto immutable = recordedFlag(path, kImmutableAttribute, kImmutableRecord);
  if (!immutable) return fail(immutable.error());
  out[kFileImmutable] = Value(*immutable);
  return out;
}

Status FileManager::setAttributes(const Dictionary& attributes, const std::string& path) const {
  bool hasMode = false;
  mode_t mode = modeFrom(attributes, 0, &hasMode);
  if (hasMode && ::chmod(path.c_str(), mode) != 0) return fail(fileError(errno, FileAccess::Writing, path));
  if (auto it = attributes.find(kFileModificationDate); it != attributes.end() && it->second.isDate()) {
    double t = it->second.date()->timeIntervalSince1970();
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(t);
    times[1].tv_nsec = static_cast<long>((t - double(times[1].tv_sec)) * 1e9);
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
      return fail(fileError(errno, FileAccess::Writing, path));
  }
  if (auto it = attributes.find(kFileImmutable); it != attributes.end() && it->second.isNumber()) {
    if (!fileExistsAtPath(path)) return fail(fileError(ENOENT, FileAccess::Writing, path));
    if (auto set = setRecordedFlag(path, kImmutableAttribute, kImmutableRecord, it->second.boolValue()); !set)
      return set;
  }
  return {};
}

Result<Value> FileManager::resourceValue(const std::string& path, const std::string& key) const {
  Stat s;
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_CTIME | STATX_BTIME,
              &s.st) != 0)
    return fail(fileError(errno, FileAccess::Reading, path));
  bool isDir = S_ISDIR(s.st.stx_mode);
  if (key == kURLIsDirectoryKey) return Value(isDir);
  if (key == kURLFileSizeKey) return isDir ? Value() : Value(Number::uint64(s.st.stx_size));
  if (key == kURLCreationDateKey) return Value(creationDate(s.st));
  if (key == kURLContentModificationDateKey) return Value(dateOf(s.st.stx_mtime));
  if (key == kURLIsExcludedFromBackupKey) {
    auto excluded = recordedFlag(path, kBackupExclusionAttribute, kBackupExclusionRecord);
    if (!excluded) return fail(excluded.error());
    return Value(*excluded);
  }
  return Value();
}

Status FileManager::setResourceValue(const std::string& path, const std::string& key, const Value& value) const {
  if (key != kURLIsExcludedFromBackupKey)
    return fail(Error::withDescription(kCocoaErrorDomain, kFileWriteUnknownError,
                                       "The resource value " + key + " cannot be set."));
  if (!fileExistsAtPath(path)) return fail(fileError(ENOENT, FileAccess::Writing, path));
  bool excluded = value.boolValue();
  return setRecordedFlag(path, kBackupExclusionAttribute, kBackupExclusionRecord, excluded);
}

// ---- FileHandle ----

Result<std::shared_ptr<FileHandle>> FileHandle::open(const std::string& path, int flags, FileAccess access) {
  int fd = FileSystem::currentShared()->open(path, flags, 0);
  if (fd < 0) return fail(fileError(errno, access, path));
  return std::shared_ptr<FileHandle>(new FileHandle(fd, path));
}

Result<std::shared_ptr<FileHandle>> FileHandle::fileHandleForReadingAtPath(const std::string& path) {
  return open(path, O_RDONLY, FileAccess::Reading);
}

Result<std::shared_ptr<FileHandle>> FileHandle::fileHandleForWritingAtPath(const std::string& path) {
  return open(path, O_WRONLY, FileAccess::Writing);
}

Result<std::shared_ptr<FileHandle>> FileHandle::fileHandleForUpdatingAtPath(const std::string& path) {
  return open(path, O_RDWR, FileAccess::Writing);
}

FileHandle::~FileHandle() {
  if (fd_ >= 0) FileSystem::currentShared()->close(fd_);
}

Status FileHandle::closedError() const { return fail(fileError(EBADF, FileAccess::Reading, path_)); }

Result<Data> FileHandle::readDataUpToLength(size_t length) {
  if (fd_ < 0) return fail(closedError().error());
  auto fs = FileSystem::currentShared();
  Data out;
  uint8_t buffer[65536];
  while (out.length() < length) {
    ssize_t n = fs->read(fd_, buffer, std::min(sizeof buffer, length - out.length()));
    if (n < 0) return fail(fileError(errno, FileAccess::Reading, path_));
    if (n == 0) break;
    out.append(buffer, size_t(n));
  }
  return out;
}

Result<Data> FileHandle::readDataToEndOfFile() { return readDataUpToLength(SIZE_MAX); }

Status FileHandle::writeData(const Data& data) {
  if (fd_ < 0) return closedError();
  return writeAll(*FileSystem::currentShared(), fd_, data.bytes(), data.length(), path_);
}

Result<uint64_t> FileHandle::seekToEndOfFile() {
  if (fd_ < 0) return fail(closedError().error());
  off_t off = FileSystem::currentShared()->lseek(fd_, 0, SEEK_END);
  if (off < 0) return fail(fileError(errno, FileAccess::Reading, path_));
  return uint64_t(off);
}

Status FileHandle::seekToFileOffset(uint64_t offset) {
  if (fd_ < 0) return closedError();
  if (FileSystem::currentShared()->lseek(fd_, off_t(offset), SEEK_SET) < 0)
    return fail(fileError(errno, FileAccess::Reading, path_));
  return {};
}

Result<uint64_t> FileHandle::offsetInFile() const {
  if (fd_ < 0) return fail(closedError().error());
  off_t off = FileSystem::currentShared()->lseek(fd_, 0, SEEK_CUR);
  if (off < 0) return fail(fileError(errno, FileAccess::Reading, path_));
  return uint64_t(off);
}

Status FileHandle::truncateAtOffset(uint64_t offset) {
  if (fd_ < 0) return closedError();
  auto fs = FileSystem::currentShared();
  if (fs->ftruncate(fd_, off_t(offset)) != 0) return fail(fileError(errno, FileAccess::Writing, path_));
  if (fs->lseek(fd_, off_t(offset), SEEK_SET) < 0) return fail(fileError(errno, FileAccess::Writing, path_));
  return {};
}

Status FileHandle::synchronizeFile() {
  if (fd_ < 0) return closedError();
  if (FileSystem::currentShared()->fsync(fd_) != 0) return fail(fileError(errno, FileAccess::Writing, path_));
  return {};
}

Status FileHandle::closeFile() {
  if (fd_ < 0) return closedError();
  int fd = fd_;
  fd_ = -1;
  if (FileSystem::currentShared()->close(fd) != 0) return fail(fileError(errno, FileAccess::Writing, path_));
  return {};
}

}  // namespace os
