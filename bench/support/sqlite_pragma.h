// The value of a SQLite pragma on an open connection, as text; empty when
// it cannot be read.

#pragma once

#include <sqlite3.h>

#include <string>

namespace bench {

inline std::string pragma(sqlite3* db, const char* name) {
  sqlite3_stmt* statement = nullptr;
  std::string value;
  if (sqlite3_prepare_v2(db, (std::string("PRAGMA ") + name).c_str(), -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    if (const unsigned char* text = sqlite3_column_text(statement, 0)) value = reinterpret_cast<const char*>(text);
  }
  sqlite3_finalize(statement);
  return value;
}

}  // namespace bench
