// os::FileManager and os::FileHandle: files and folders the way the platform's
// file manager offers them, over the os::FileSystem seam.
//
// Errors are in NSCocoaErrorDomain with the platform's codes (below); each
// carries the path under NSFilePath and, where a system call failed, the POSIX
// error as its underlying error (NSPOSIXErrorDomain, errno).
//
// Writes through createFileAtPath are atomic: the bytes go to a temporary file
// beside the target (".<name>.tmp-<pid>-<n>"), which is synced and renamed into
// place; on any failure the temporary is removed and the previous file is left
// as it was.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/data.h"
#include "os/foundation/date.h"
#include "os/foundation/error.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/value.h"

namespace os {

// NSCocoaErrorDomain codes of files.
inline constexpr int64_t kFileNoSuchFileError = 4;
inline constexpr int64_t kFileReadUnknownError = 256;
inline constexpr int64_t kFileReadNoPermissionError = 257;
inline constexpr int64_t kFileReadInvalidFileNameError = 258;
inline constexpr int64_t kFileReadCorruptFileError = 259;
inline constexpr int64_t kFileReadNoSuchFileError = 260;
inline constexpr int64_t kFileReadTooLargeError = 263;
inline constexpr int64_t kFileWriteUnknownError = 512;
inline constexpr int64_t kFileWriteNoPermissionError = 513;
inline constexpr int64_t kFileWriteInvalidFileNameError = 514;
inline constexpr int64_t kFileWriteFileExistsError = 516;
inline constexpr int64_t kFileWriteOutOfSpaceError = 640;
inline constexpr int64_t kFileWriteVolumeReadOnlyError = 642;

// Attribute keys (attributesOfItemAtPath, createDirectoryAtPath, setAttributes).
inline constexpr const char* kFileSize = "NSFileSize";                          // unsigned 64-bit
inline constexpr const char* kFileCreationDate = "NSFileCreationDate";          // date
inline constexpr const char* kFileModificationDate = "NSFileModificationDate";  // date
inline constexpr const char* kFilePosixPermissions = "NSFilePosixPermissions";  // number, e.g. 0600
inline constexpr const char* kFileType = "NSFileType";                          // one of the types below
// Boolean. A recorded attribute, not the kernel's flag: it is kept with the
// file (as a user attribute, or in a side record of the sandbox), reported
// and set here, and an immutable item is not removed (513, EPERM
// underneath). Nothing else consults it.
inline constexpr const char* kFileImmutable = "NSFileImmutable";
inline constexpr const char* kFileTypeRegular = "NSFileTypeRegular";
inline constexpr const char* kFileTypeDirectory = "NSFileTypeDirectory";
inline constexpr const char* kFileTypeSymbolicLink = "NSFileTypeSymbolicLink";
inline constexpr const char* kFileTypeUnknown = "NSFileTypeUnknown";

// Resource-value keys (resourceValue, setResourceValue).
inline constexpr const char* kURLIsExcludedFromBackupKey = "NSURLIsExcludedFromBackupKey";  // Boolean
inline constexpr const char* kURLFileSizeKey = "NSURLFileSizeKey";
inline constexpr const char* kURLIsDirectoryKey = "NSURLIsDirectoryKey";
inline constexpr const char* kURLCreationDateKey = "NSURLCreationDateKey";
inline constexpr const char* kURLContentModificationDateKey = "NSURLContentModificationDateKey";

enum class FileAccess { Reading, Writing };

// The Cocoa error for a failed system call on `path`: the code that the
// platform gives for that errno when reading or writing (ENOENT is 260 when
// reading and 4 when writing, ENOSPC 640, EACCES/EPERM 257 or 513, EEXIST 516,
// EROFS 642, ENAMETOOLONG 258 or 514), with the POSIX error underneath.
Error fileError(int posixError, FileAccess access, const std::string& path);

enum class DirectoryEnumerationOptions : unsigned { None = 0, SkipsHiddenFiles = 1 };

class FileManager {
 public:
  // The one shared manager. It holds no state of its own: thread-safe.
  static FileManager& defaultManager();

  // The container's folder for the search path (from os::Sandbox::current()).
  std::string URLForDirectory(SearchPathDirectory directory) const;
  std::string temporaryDirectory() const;

  bool fileExistsAtPath(const std::string& path) const;
  bool fileExistsAtPath(const std::string& path, bool* isDirectory) const;
  bool isDirectoryAtPath(const std::string& path) const;

  // Creates the folder; with intermediates, missing parents too and an existing
  // folder is success. Attributes may hold kFilePosixPermissions (default 0755).
  Status createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories,
                               const Dictionary& attributes = {}) const;

  // Atomically replaces the file at `path` with the bytes. Attributes may hold
  // kFilePosixPermissions (default 0644). The parent folder must exist.
  Status createFileAtPath(const std::string& path, const Data& contents, const Dictionary& attributes = {}) const;
  // The whole file; 260 when it does not exist, 259 when what is there is not
  // a regular file (a folder, a FIFO, a device: opened without blocking, never
  // read).
  Result<Data> contentsAtPath(const std::string& path) const;
  // Removes the temporaries that atomic writes of `path` left beside it when
  // their writer was killed before the rename: those of a process that no
  // longer runs, and any older than kStaleTemporaryFileAge by the clock. A live
  // writer's temporary is kept. Returns how many were removed.
  static constexpr double kStaleTemporaryFileAge = 86400;
  size_t removeStaleTemporaryFilesOfPath(const std::string& path) const;

  // Removes a file, or a folder with everything in it; 4 when nothing is
  // there, 513 for an immutable item (kFileImmutable).
  Status removeItemAtPath(const std::string& path) const;
  // Moves a file or folder; 4 when the source is missing, 516 when the
  // destination exists.
  Status moveItemAtPath(const std::string& path, const std::string& toPath) const;
  // Copies a file, or a folder with everything in it; 4 when the source is
  // missing, 516 when the destination exists. A failed copy removes what it
  // made.
  Status copyItemAtPath(const std::string& path, const std::string& toPath) const;

  // Names of the entries of a folder, sorted; hidden ones ("." prefix) unless
  // skipped. 260 when the folder does not exist; the folder is opened through
  // the os::FileSystem seam, and a listing that fails part-way is an error.
  Result<std::vector<std::string>> contentsOfDirectoryAtPath(
      const std::string& path, DirectoryEnumerationOptions options = DirectoryEnumerationOptions::None) const;
  // Paths relative to `path` of everything below it, depth first, sorted within
  // each folder. Skipping hidden entries skips hidden folders' contents too.
  Result<std::vector<std::string>> subpathsOfDirectoryAtPath(
      const std::string& path, DirectoryEnumerationOptions options = DirectoryEnumerationOptions::None) const;

  // kFileSize, kFileCreationDate (the birth time where the file system keeps
  // one, else the status-change time), kFileModificationDate,
  // kFilePosixPermissions, kFileType, kFileImmutable.
  Result<Dictionary> attributesOfItemAtPath(const std::string& path) const;
  // Sets kFilePosixPermissions, kFileModificationDate and/or kFileImmutable.
  Status setAttributes(const Dictionary& attributes, const std::string& path) const;

  // Resource values of a file URL, by the keys above. The backup exclusion is
  // kept as the extended attribute "user.drosil.excluded-from-backup" or, where
  // the file system has no user attributes, in a side record in the sandbox.
  Result<Value> resourceValue(const std::string& path, const std::string& key) const;
  Status setResourceValue(const std::string& path, const std::string& key, const Value& value) const;
};

// An open file. Handles are made by the factories below (null result: an
// error); the descriptor is closed by close() or on destruction. One handle
// must not be used from two threads at once.
class FileHandle {
 public:
  // Reading only; the file must exist.
  static Result<std::shared_ptr<FileHandle>> fileHandleForReadingAtPath(const std::string& path);
  // Writing only, at offset 0, without truncating; the file must exist.
  static Result<std::shared_ptr<FileHandle>> fileHandleForWritingAtPath(const std::string& path);
  // Reading and writing; the file must exist.
  static Result<std::shared_ptr<FileHandle>> fileHandleForUpdatingAtPath(const std::string& path);
  ~FileHandle();
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  Result<Data> readDataUpToLength(size_t length);
  Result<Data> readDataToEndOfFile();
  // Writes all the bytes at the current offset.
  Status writeData(const Data& data);
  Result<uint64_t> seekToEndOfFile();
  Status seekToFileOffset(uint64_t offset);
  Result<uint64_t> offsetInFile() const;
  Status truncateAtOffset(uint64_t offset);
  Status synchronizeFile();
  Status closeFile();

  int fileDescriptor() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  friend class FileManager;
  FileHandle(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  static Result<std::shared_ptr<FileHandle>> open(const std::string& path, int flags, FileAccess access);
  Status closedError() const;

  int fd_;
  std::string path_;
};

}  // namespace os
