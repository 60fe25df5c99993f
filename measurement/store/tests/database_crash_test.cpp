// A process killed while it writes events leaves a file that opens intact
// and holds every event whose transaction had returned.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "measurement/store/database.h"
#include "measurement/store/foundation_extensions.h"
#include "measurement/store/tests/database_test_support.h"

namespace {

using apm_test::DatabaseTest;

// The writer: opens the database and writes events as the engine does, one
// transaction each, reporting each committed row ID once its transaction has
// returned. Runs in a forked child until it is killed (or its alarm ends it).
[[noreturn]] void writeEventsUntilKilled(const std::shared_ptr<APMPersistedConfig>& persistedConfig, int reportFd) {
  ::alarm(60);
  auto database = APMDatabase::initWithDatabaseName(kAPMDatabaseName, persistedConfig, nullptr);
  if (!database) ::_exit(2);
  auto metadata = DatabaseTest::metadata();
  const int64_t fingerprint = apm_64LSBMD5(*metadata->protoBuffer());
  for (int i = 0;; ++i) {
    auto event = DatabaseTest::event("e" + std::to_string(i), 1'700'000'000 + i,
                                     {{"value", APMValue::initWithInt64(i)}});
    int64_t rowID = -1;
    const bool committed = database->performTransaction([&] {
      if (!(database->insertIfNotExistsRawEventMetadata(metadata, nullptr) &&
            database->deleteRawEventsOverAbsoluteLimit(nullptr) &&
            database->insertRawEvent(event, fingerprint, false, nullptr))) {
        return false;
      }
      rowID = sqlite3_last_insert_rowid(database->sqliteStore()->sqliteHandle());
      return true;
    });
    if (!committed) ::_exit(3);
    // Eight bytes: one atomic pipe write.
    if (::write(reportFd, &rowID, sizeof rowID) != sizeof rowID) ::_exit(4);
  }
}

// Reads reported row IDs until `count` arrived (or the writer ended, or 30 s
// passed); false when the pipe ended first.
bool readReports(int fd, std::vector<int64_t>& reported, size_t count, std::string& partial) {
  char buffer[512];
  while (reported.size() < count) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, 30'000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    partial.append(buffer, static_cast<size_t>(n));
    while (partial.size() >= sizeof(int64_t)) {
      int64_t rowID;
      std::memcpy(&rowID, partial.data(), sizeof rowID);
      reported.push_back(rowID);
      partial.erase(0, sizeof rowID);
    }
  }
  return true;
}

using APMDatabaseCrashTest = DatabaseTest;

TEST_F(APMDatabaseCrashTest, AWriterKilledAtAnyMomentLeavesAnIntactFileWithEveryReportedEvent) {
  // No connection may cross the fork: the writers open their own.
  database_.reset();
  std::vector<int64_t> reported;
  // Reports to await before the kill, round by round: 0 kills the writer
  // while it may still be making the file.
  const size_t reportsBeforeKill[] = {0, 1, 4, 12, 2, 30, 7, 0, 20, 3};
  for (size_t round = 0; round < std::size(reportsBeforeKill); ++round) {
    SCOPED_TRACE(round);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      writeEventsUntilKilled(persistedConfig_, fds[1]);
    }
    ::close(fds[1]);
    std::string partial;
    const size_t before = reported.size();
    const bool alive = readReports(fds[0], reported, before + reportsBeforeKill[round], partial);
    // A varied moment after the last report: somewhere in the next
    // transaction, its commit included.
    for (size_t spin = 0; spin < round * 2000; ++spin) ::sched_yield();
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ASSERT_TRUE(alive) << "the writer ended on its own, status " << status;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    // Reports written before the kill still count.
    readReports(fds[0], reported, SIZE_MAX, partial);
    ::close(fds[0]);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr), SQLITE_OK);
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);
    std::set<int64_t> present;
    sqlite3_stmt* rows = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT rowid FROM raw_events", -1, &rows, nullptr) == SQLITE_OK) {
      while (sqlite3_step(rows) == SQLITE_ROW) present.insert(sqlite3_column_int64(rows, 0));
    }
    sqlite3_finalize(rows);
    sqlite3_close(db);
    for (int64_t rowID : reported) EXPECT_TRUE(present.contains(rowID)) << "row " << rowID << " lost";
  }
  EXPECT_GE(reported.size(), 79u);
}

}  // namespace
