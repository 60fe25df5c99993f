#include "measurement/store/testing/sqlite_fault_vfs.h"

#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

namespace apm_test {

struct SqliteFaultVFS::Impl {
  sqlite3_vfs vfs{};
  sqlite3_vfs* base = nullptr;
  sqlite3_vfs* previousDefault = nullptr;

  mutable std::mutex mutex;
  bool armed = false;          // guarded by mutex
  int failAt = 0;              // guarded by mutex
  int timesLeft = 0;           // guarded by mutex; -1 is unlimited
  std::string pathContains;    // guarded by mutex
  int calls = 0;               // guarded by mutex
  int failures = 0;            // guarded by mutex
  std::string readOnlyPathContains;  // guarded by mutex; empty: none

  // The flags to open the named file with.
  int openFlags(const char* fileName, int flags) {
    std::lock_guard lock(mutex);
    if (readOnlyPathContains.empty() || (flags & SQLITE_OPEN_MAIN_DB) == 0 || fileName == nullptr ||
        std::string_view(fileName).find(readOnlyPathContains) == std::string_view::npos) {
      return flags;
    }
    return (flags & ~(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) | SQLITE_OPEN_READONLY;
  }

  // Counts a write or sync of the named file; true when it must fail.
  bool shouldFail(const char* fileName) {
    std::lock_guard lock(mutex);
    if (!armed) return false;
    if (!pathContains.empty() && (fileName == nullptr || std::string_view(fileName).find(pathContains) ==
                                                             std::string_view::npos)) {
      return false;
    }
    ++calls;
    if (calls < failAt || timesLeft == 0) return false;
    if (timesLeft > 0) --timesLeft;
    ++failures;
    return true;
  }
};

namespace {

// The file SQLite allocates for the fault VFS: this header, then the base
// VFS's own file object.
struct FaultFile {
  sqlite3_file base;              // pMethods points at `methods`
  sqlite3_io_methods methods;     // the real file's methods, with writes and syncs wrapped
  SqliteFaultVFS::Impl* owner;
  const char* name;               // valid until xClose, as SQLite promises
  sqlite3_file* real;
};

constexpr size_t kHeaderSize = (sizeof(FaultFile) + 15) & ~size_t(15);

FaultFile* fault(sqlite3_file* file) { return reinterpret_cast<FaultFile*>(file); }
sqlite3_file* real(sqlite3_file* file) { return fault(file)->real; }
SqliteFaultVFS::Impl* implOf(sqlite3_vfs* vfs) { return static_cast<SqliteFaultVFS::Impl*>(vfs->pAppData); }

int xClose(sqlite3_file* file) { return real(file)->pMethods->xClose(real(file)); }
int xRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  return real(file)->pMethods->xRead(real(file), buffer, amount, offset);
}
int xWrite(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
  if (fault(file)->owner->shouldFail(fault(file)->name)) return SQLITE_IOERR_WRITE;
  return real(file)->pMethods->xWrite(real(file), buffer, amount, offset);
}
int xTruncate(sqlite3_file* file, sqlite3_int64 size) { return real(file)->pMethods->xTruncate(real(file), size); }
int xSync(sqlite3_file* file, int flags) {
  if (fault(file)->owner->shouldFail(fault(file)->name)) return SQLITE_IOERR_FSYNC;
  return real(file)->pMethods->xSync(real(file), flags);
}
int xFileSize(sqlite3_file* file, sqlite3_int64* size) { return real(file)->pMethods->xFileSize(real(file), size); }
int xLock(sqlite3_file* file, int lock) { return real(file)->pMethods->xLock(real(file), lock); }
int xUnlock(sqlite3_file* file, int lock) { return real(file)->pMethods->xUnlock(real(file), lock); }
int xCheckReservedLock(sqlite3_file* file, int* out) {
  return real(file)->pMethods->xCheckReservedLock(real(file), out);
}
int xFileControl(sqlite3_file* file, int op, void* arg) {
  return real(file)->pMethods->xFileControl(real(file), op, arg);
}
int xSectorSize(sqlite3_file* file) { return real(file)->pMethods->xSectorSize(real(file)); }
int xDeviceCharacteristics(sqlite3_file* file) { return real(file)->pMethods->xDeviceCharacteristics(real(file)); }
int xShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** out) {
  return real(file)->pMethods->xShmMap(real(file), region, size, extend, out);
}
int xShmLock(sqlite3_file* file, int offset, int n, int flags) {
  return real(file)->pMethods->xShmLock(real(file), offset, n, flags);
}
void xShmBarrier(sqlite3_file* file) { real(file)->pMethods->xShmBarrier(real(file)); }
int xShmUnmap(sqlite3_file* file, int deleteFlag) { return real(file)->pMethods->xShmUnmap(real(file), deleteFlag); }
int xFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out) {
  return real(file)->pMethods->xFetch(real(file), offset, amount, out);
}
int xUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
  return real(file)->pMethods->xUnfetch(real(file), offset, page);
}

int xOpen(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  SqliteFaultVFS::Impl* impl = implOf(vfs);
  FaultFile* f = fault(file);
  f->base.pMethods = nullptr;
  f->owner = impl;
  f->name = name;
  f->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + kHeaderSize);
  std::memset(f->real, 0, static_cast<size_t>(impl->base->szOsFile));
  const int result = impl->base->xOpen(impl->base, name, f->real, impl->openFlags(name, flags), outFlags);
  if (result != SQLITE_OK) {
    // SQLite closes only files whose methods are set.
    if (f->real->pMethods != nullptr) f->real->pMethods->xClose(f->real);
    return result;
  }
  const sqlite3_io_methods* inner = f->real->pMethods;
  f->methods = sqlite3_io_methods{};
  f->methods.iVersion = inner->iVersion;
  f->methods.xClose = xClose;
  f->methods.xRead = xRead;
  f->methods.xWrite = xWrite;
  f->methods.xTruncate = xTruncate;
  f->methods.xSync = xSync;
  f->methods.xFileSize = xFileSize;
  f->methods.xLock = xLock;
  f->methods.xUnlock = xUnlock;
  f->methods.xCheckReservedLock = xCheckReservedLock;
  f->methods.xFileControl = xFileControl;
  f->methods.xSectorSize = xSectorSize;
  f->methods.xDeviceCharacteristics = xDeviceCharacteristics;
  if (inner->iVersion >= 2) {
    f->methods.xShmMap = xShmMap;
    f->methods.xShmLock = xShmLock;
    f->methods.xShmBarrier = xShmBarrier;
    f->methods.xShmUnmap = xShmUnmap;
  }
  if (inner->iVersion >= 3) {
    f->methods.xFetch = xFetch;
    f->methods.xUnfetch = xUnfetch;
  }
  f->base.pMethods = &f->methods;
  return SQLITE_OK;
}

sqlite3_vfs* baseOf(sqlite3_vfs* vfs) { return implOf(vfs)->base; }

int xDelete(sqlite3_vfs* vfs, const char* name, int syncDir) {
  return baseOf(vfs)->xDelete(baseOf(vfs), name, syncDir);
}
int xAccess(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
  return baseOf(vfs)->xAccess(baseOf(vfs), name, flags, out);
}
int xFullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
  return baseOf(vfs)->xFullPathname(baseOf(vfs), name, size, out);
}
void* xDlOpen(sqlite3_vfs* vfs, const char* name) { return baseOf(vfs)->xDlOpen(baseOf(vfs), name); }
void xDlError(sqlite3_vfs* vfs, int size, char* out) { baseOf(vfs)->xDlError(baseOf(vfs), size, out); }
void (*xDlSym(sqlite3_vfs* vfs, void* handle, const char* symbol))(void) {
  return baseOf(vfs)->xDlSym(baseOf(vfs), handle, symbol);
}
void xDlClose(sqlite3_vfs* vfs, void* handle) { baseOf(vfs)->xDlClose(baseOf(vfs), handle); }
int xRandomness(sqlite3_vfs* vfs, int size, char* out) { return baseOf(vfs)->xRandomness(baseOf(vfs), size, out); }
int xSleep(sqlite3_vfs* vfs, int microseconds) { return baseOf(vfs)->xSleep(baseOf(vfs), microseconds); }
int xCurrentTime(sqlite3_vfs* vfs, double* out) { return baseOf(vfs)->xCurrentTime(baseOf(vfs), out); }
int xGetLastError(sqlite3_vfs* vfs, int size, char* out) {
  return baseOf(vfs)->xGetLastError(baseOf(vfs), size, out);
}
int xCurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* out) {
  return baseOf(vfs)->xCurrentTimeInt64(baseOf(vfs), out);
}

}  // namespace

SqliteFaultVFS::SqliteFaultVFS() : impl_(std::make_unique<Impl>()) {
  if (sqlite3_initialize() != SQLITE_OK) std::abort();
  impl_->previousDefault = sqlite3_vfs_find(nullptr);
  impl_->base = impl_->previousDefault;
  if (impl_->base == nullptr || impl_->base->iVersion < 2) std::abort();
  sqlite3_vfs& vfs = impl_->vfs;
  vfs.iVersion = 2;
  vfs.szOsFile = static_cast<int>(kHeaderSize) + impl_->base->szOsFile;
  vfs.mxPathname = impl_->base->mxPathname;
  vfs.zName = kName;
  vfs.pAppData = impl_.get();
  vfs.xOpen = xOpen;
  vfs.xDelete = xDelete;
  vfs.xAccess = xAccess;
  vfs.xFullPathname = xFullPathname;
  vfs.xDlOpen = xDlOpen;
  vfs.xDlError = xDlError;
  vfs.xDlSym = xDlSym;
  vfs.xDlClose = xDlClose;
  vfs.xRandomness = xRandomness;
  vfs.xSleep = xSleep;
  vfs.xCurrentTime = xCurrentTime;
  vfs.xGetLastError = xGetLastError;
  vfs.xCurrentTimeInt64 = xCurrentTimeInt64;
  if (sqlite3_vfs_register(&vfs, 1) != SQLITE_OK) std::abort();
}

SqliteFaultVFS::~SqliteFaultVFS() {
  sqlite3_vfs_register(impl_->previousDefault, 1);
  sqlite3_vfs_unregister(&impl_->vfs);
}

void SqliteFaultVFS::failNthWriteOrSync(int n, int times, std::string pathContains) {
  std::lock_guard lock(impl_->mutex);
  impl_->armed = n > 0;
  impl_->failAt = n;
  impl_->timesLeft = times;
  impl_->pathContains = std::move(pathContains);
  impl_->calls = 0;
  impl_->failures = 0;
}

void SqliteFaultVFS::disarm() {
  std::lock_guard lock(impl_->mutex);
  impl_->armed = false;
}

void SqliteFaultVFS::openReadOnly(std::string pathContains) {
  std::lock_guard lock(impl_->mutex);
  impl_->readOnlyPathContains = std::move(pathContains);
}

int SqliteFaultVFS::callCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->calls;
}

int SqliteFaultVFS::failureCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->failures;
}

}  // namespace apm_test
