// User logs, custom keys and recorded errors of the current launch, kept in
// bounded record files of the report directory.
//
//  - Key-value stores (user and internal): entries are appended to an
//    incremental file as "kv" lines with hex-encoded key and value (a
//    removed key has value null); after 64 incremental entries, or at once
//    after a removal, they are compacted into the compacted file, keeping at
//    most the store's maxCount keys.
//  - File pairs (log, errors, custom exceptions): entries go to the active
//    file; once it passes its bound (bytes, or a count of entries) the other
//    file is emptied and becomes the active one, so a report holds at most
//    the current file and the previous full one. A bound of 0 writes
//    nothing.
//
// Ordinary code: callers may come from any thread; writes run synchronously
// on the context's logging queue, compactions and swaps asynchronously on
// it after the write that caused them. The active paths are read and
// replaced under one process-wide lock.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "crash/core/zoz_context.h"
#include "crash/core/zoz_file.h"
#include "os/foundation/error.h"
#include "os/foundation/format.h"
#include "os/foundation/value.h"

inline constexpr uint32_t kZOZUserLoggingMaxIncrementalCount = 64;

// Start-up task: the A files active, the counters 0, maxIncrementalCount 64.
void ZOZUserLoggingInit(ZOZUserLoggingReadOnlyContext* context, ZOZUserLoggingWritableContext* writable);

// ---- Keys and values ----
// A missing value (or os::Value null) removes the key.
void ZOZUserLoggingRecordUserKeyValue(const std::optional<std::string>& key, const std::optional<os::Value>& value);
void ZOZUserLoggingRecordUserKeysAndValues(const std::optional<os::Dictionary>& dictionary);
void ZOZUserLoggingRecordInternalKeyValue(const std::optional<std::string>& key, const std::optional<os::Value>& value);
// The internal store written directly: no checks, never a compaction.
void ZOZUserLoggingWriteInternalKeyValue(const std::string& key, const std::string& value);
void ZOZUserLoggingRecordKeyValue(const std::optional<std::string>& key, const std::optional<os::Value>& value,
                                  const ZOZUserLoggingKVStorage* store, uint32_t* counter);
void ZOZUserLoggingRecordKeysAndValues(const std::optional<os::Dictionary>& dictionary,
                                       const ZOZUserLoggingKVStorage* store, uint32_t* counter);
// The merged entries (compacted, then incremental in file order); values are
// strings, or null for none. With decodeHex, texts are hex-decoded.
os::Dictionary ZOZUserLoggingGetCompactedKVEntries(const ZOZUserLoggingKVStorage* store, bool decodeHex);
// Runs on the logging queue (the counter given is reset).
void ZOZUserLoggingCompactKVEntries(const ZOZUserLoggingKVStorage* store, uint32_t* counter);

// ---- File pairs ----
// Appends one entry to the pair; `activePath` is the writable context's slot.
void ZOZUserLoggingWriteAndCheckABFiles(const ZOZUserLoggingABStorage* storage, const char** activePath,
                                        const std::function<void(ZOZFile*)>& write);

// ---- Log messages ----
void ZOZLogToStorage(const ZOZUserLoggingABStorage* storage, const char** activePath, const std::string& message);
// A formatted message (os::format) for the log pair.
void ZOZLogMessage(const std::string& message);
template <class... Args>
void ZOZLog(std::string_view format, const Args&... args) {
  ZOZLogMessage(os::format(format, args...));
}

// ---- Errors ----
void ZOZUserLoggingRecordError(const os::Error* error, const os::Dictionary* additionalInfo,
                               const std::optional<std::string>& rollouts);
