// A connection of its own to a database file holding the raw events table,
// written as the store writes it: one exclusive transaction per row, on
// SQLite's default settings. The benchmarks' baseline for the store.

#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "os/foundation/data.h"

namespace bench {

class RawEventsTable {
 public:
  // Opens (creating) the file and the table; ok() is false when it cannot.
  explicit RawEventsTable(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK)
      return;
    ok_ = exec(
        "CREATE TABLE IF NOT EXISTS raw_events (name TEXT NOT NULL, timestamp REAL NOT NULL, metadata_fingerprint "
        "INTEGER NOT NULL, data BLOB NOT NULL, is_realtime INTEGER);");
    sqlite3_prepare_v2(db_, "BEGIN EXCLUSIVE TRANSACTION", -1, &begin_, nullptr);
    sqlite3_prepare_v2(db_, "END TRANSACTION", -1, &commit_, nullptr);
    sqlite3_prepare_v2(db_,
                       "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) VALUES (?, "
                       "?, ?, ?, ?)",
                       -1, &insert_, nullptr);
  }
  ~RawEventsTable() {
    sqlite3_finalize(begin_);
    sqlite3_finalize(commit_);
    sqlite3_finalize(insert_);
    sqlite3_close(db_);
  }
  RawEventsTable(const RawEventsTable&) = delete;
  RawEventsTable& operator=(const RawEventsTable&) = delete;

  bool ok() const { return ok_; }
  sqlite3* db() const { return db_; }
  const char* errorMessage() const { return sqlite3_errmsg(db_); }
  bool exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

  // Inserts one row in a transaction of its own; false when the insert or
  // the commit failed (errorMessage() says why).
  bool insert(std::string_view name, double timestamp, int64_t fingerprint, const os::Data& data) {
    sqlite3_step(begin_);
    sqlite3_reset(begin_);
    sqlite3_bind_text(insert_, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_double(insert_, 2, timestamp);
    sqlite3_bind_int64(insert_, 3, fingerprint);
    sqlite3_bind_blob(insert_, 4, data.bytes(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(insert_, 5, 0);
    bool inserted = sqlite3_step(insert_) == SQLITE_DONE;
    sqlite3_reset(insert_);
    inserted = sqlite3_step(commit_) == SQLITE_DONE && inserted;
    sqlite3_reset(commit_);
    return inserted;
  }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* begin_ = nullptr;
  sqlite3_stmt* commit_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  bool ok_ = false;
};

}  // namespace bench
