// apm_test::SqliteFaultVFS: an SQLite VFS for tests that wraps the default
// VFS and fails chosen writes and syncs, to show that a database survives
// I/O failures in the middle of a transaction: each failure must end in a
// reported error and, once reopened, in the file as it was before (or as the
// committed transaction left it), never in damage.
//
// While an instance lives it is SQLite's default VFS, so every connection
// opened meanwhile without a VFS name (APMSqliteStore's) goes through it; its
// destructor restores the previous default. Close the connections opened
// through it before destroying it. One instance at a time per process.
//
// Counting. Every write and every sync of any file the VFS opened (database,
// journal) whose name contains the path filter counts as one call, from the
// moment a fault is armed. The armed fault fails the nth such call (1-based)
// with SQLITE_IOERR_WRITE or SQLITE_IOERR_FSYNC without passing it on, and
// then `times` calls in all (-1: that call and every later one, a disk that
// stays broken). Arming again resets the count.
//
// The usual loop fails every call a transaction reaches in turn:
//
//   for (int n = 1;; ++n) {
//     vfs.failNthWriteOrSync(n);
//     bool ok = runTheTransaction();
//     vfs.disarm();
//     if (!vfs.hasFailed()) break;   // n is past the last call: it succeeded
//     ... check the failure and the file ...
//   }
//
// Read-only files. openReadOnly() makes later opens of matching main
// database files read-only whatever the caller asked, so their writes fail
// with SQLITE_READONLY (file permissions cannot show this to a root user).
//
// Thread-safe: the counters are locked, so connections on other threads may
// use the VFS too.
#pragma once

#include <memory>
#include <string>

namespace apm_test {

class SqliteFaultVFS {
 public:
  // The name under which it is registered.
  static constexpr const char* kName = "apm-fault";

  SqliteFaultVFS();
  ~SqliteFaultVFS();
  SqliteFaultVFS(const SqliteFaultVFS&) = delete;
  SqliteFaultVFS& operator=(const SqliteFaultVFS&) = delete;

  // Fails the nth write or sync from now on (see Counting); n <= 0 disarms.
  void failNthWriteOrSync(int n, int times = 1, std::string pathContains = {});
  // Stops failing; the counts stay readable.
  void disarm();
  // From now on a main database file whose path contains `pathContains` is
  // opened read-only, as SQLite opens a file it may not write; empty ends it.
  void openReadOnly(std::string pathContains);
  // Writes and syncs counted since the fault was last armed.
  int callCount() const;
  // Calls failed since the fault was last armed.
  int failureCount() const;
  bool hasFailed() const { return failureCount() > 0; }

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace apm_test
