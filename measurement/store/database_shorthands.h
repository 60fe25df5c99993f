// Shorthands the database sources (database*.cpp, sqlite_store.cpp) share:
// the error codes they fail with and the reads of a fetched row. A source pulls the ones it
// uses into its own anonymous namespace with a using-declaration.
#pragma once

#include <string_view>

#include "measurement/store/errors.h"
#include "os/foundation/value.h"

namespace apm_database_shorthands {

inline constexpr APMErrorCode kArgument = APMErrorCode::InvalidArgument;
inline constexpr APMErrorCode kState = APMErrorCode::InvalidState;
inline constexpr APMErrorCode kRecord = APMErrorCode::DatabaseOperationFailed;

// The row's value in `column`; null when the column is missing or NULL.
inline const os::Value* columnAt(const os::Dictionary& row, std::string_view column) {
  const auto it = row.find(column);
  return it == row.end() || it->second.isNull() ? nullptr : &it->second;
}

// The row's number in `column`; null when the column is missing, NULL or not
// a number.
inline const os::Number* numberAt(const os::Dictionary& row, std::string_view column) {
  const auto it = row.find(column);
  return it == row.end() ? nullptr : it->second.number();
}

}  // namespace apm_database_shorthands
