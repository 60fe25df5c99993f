// User logs, custom keys and recorded errors (see zoz_user_logging.h).
#include "crash/core/zoz_user_logging.h"

#include <execinfo.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "crash/core/zoz_sdk_log.h"
#include "crash/core/zoz_utilities.h"
#include "os/foundation/clock.h"

namespace {

constexpr int kMaxErrorFrames = 128;

std::mutex& activePathMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

const char* readActivePath(const char** slot) {
  std::lock_guard lock(activePathMutex());
  return *slot;
}

void runOnLoggingQueue(const std::function<void()>& block) {
  auto queue = ZOZContextLoggingQueue();
  if (queue) {
    queue->sync(block);
  } else {
    block();
  }
}

void asyncOnLoggingQueue(std::function<void()> block) {
  auto queue = ZOZContextLoggingQueue();
  if (queue) {
    queue->async(std::move(block));
  } else {
    block();
  }
}

ZOZUserLoggingReadOnlyContext* readonlyLogging() {
  return zozContext.readonly ? &zozContext.readonly->logging : nullptr;
}
ZOZUserLoggingWritableContext* writableLogging() {
  return zozContext.writable ? &zozContext.writable->logging : nullptr;
}

// A value's text for the store; nullopt for a removal.
std::optional<std::string> describe(const std::optional<os::Value>& value) {
  if (!value || value->isNull()) return std::nullopt;
  return value->description();
}

void writeKeysAndValues(const std::vector<std::pair<std::string, std::optional<std::string>>>& entries,
                        const ZOZUserLoggingKVStorage* store, uint32_t* counter) {
  if (!store || !store->incrementalPath) {
    ZOZSDKLogError("Bad parameters");
    return;
  }
  ZOZFile file;
  if (!ZOZFileInitWithPathMode(&file, store->incrementalPath, true, true)) {
    ZOZSDKLogError("Unable to open k-v file");
    return;
  }
  for (const auto& [key, value] : entries) {
    ZOZFileWriteSectionStart(&file, "kv");
    ZOZFileWriteHashStart(&file);
    ZOZFileWriteHashEntryHexEncodedString(&file, "key", key.c_str());
    ZOZFileWriteHashEntryHexEncodedString(&file, "value", value ? value->c_str() : nullptr);
    ZOZFileWriteHashEnd(&file);
    ZOZFileWriteSectionEnd(&file);
  }
  ZOZFileClose(&file);
  if (counter) *counter += uint32_t(entries.size());
}

// Reads one file's "kv" objects into `entries`.
void applyFile(const char* path, bool incremental, bool decodeHex, os::Dictionary* entries) {
  if (!path || !ZOZContextIsInitialized()) return;
  auto sections = ZOZFileReadSections(path, true);
  if (!sections) return;
  for (const os::Value& section : *sections) {
    const os::Value* kv = section.isDictionary() ? section.find("kv") : nullptr;
    if (!kv || !kv->isDictionary()) continue;
    const os::Value* key = kv->find("key");
    const os::Value* value = kv->find("value");
    if (!key || !key->isString() || !value) {
      if (incremental) {
        ZOZSDKLogError("incremental key/value contains a nil and must be dropped");
      } else {
        ZOZSDKLogError("compacted key/value contains a nil and must be dropped");
      }
      continue;
    }
    std::string keyText = key->stringValue();
    if (decodeHex) keyText = ZOZFileHexDecodeString(keyText.c_str()).value_or("");
    if (value->isNull()) {
      if (!incremental) {
        ZOZSDKLogError("compacted key/value contains a nil and must be dropped");
        continue;
      }
      entries->erase(keyText);
      continue;
    }
    if (!value->isString()) continue;
    std::string valueText = value->stringValue();
    if (decodeHex) valueText = ZOZFileHexDecodeString(valueText.c_str()).value_or("");
    (*entries)[keyText] = os::Value(valueText);
  }
}

// The bound of the pair: 0 writes nothing.
bool bounded(const ZOZUserLoggingABStorage* storage) {
  return storage->restrictBySize ? storage->maxSize > 0 : storage->maxEntries > 0;
}

void checkAndSwapABFiles(const ZOZUserLoggingABStorage* storage, const char** activePath, off_t offset) {
  bool swap = false;
  if (storage->restrictBySize) {
    swap = offset > off_t(storage->maxSize);
  } else if (!storage->entryCount) {
    ZOZSDKLogError("Error: storage has invalid pointer, but is restricted by entry count");
  } else if (*storage->entryCount >= storage->maxEntries) {
    *storage->entryCount = 0;
    swap = true;
  }
  if (!swap) return;
  const char* current = readActivePath(activePath);
  const char* next = (current && std::strcmp(current, storage->aPath) == 0) ? storage->bPath : storage->aPath;
  ZOZUnlinkIfExists(next);
  std::lock_guard lock(activePathMutex());
  *activePath = next;
}

uint64_t nowMilliseconds() {
  const double now = os::Clock::current().wallTime();
  const auto seconds = uint64_t(now);
  const auto micros = uint64_t((now - double(seconds)) * 1e6);
  return seconds * 1000 + micros / 1000;
}

void writeInfoArray(ZOZFile* file, const char* key, const os::Dictionary& info) {
  ZOZFileWriteHashKey(file, key);
  ZOZFileWriteArrayStart(file);
  for (const auto& [name, value] : info) {
    ZOZFileWriteArrayStart(file);
    ZOZFileWriteArrayEntryHexEncodedString(file, name.c_str());
    ZOZFileWriteArrayEntryHexEncodedString(file, value.description().c_str());
    ZOZFileWriteArrayEnd(file);
  }
  ZOZFileWriteArrayEnd(file);
}

}  // namespace

void ZOZUserLoggingInit(ZOZUserLoggingReadOnlyContext* context, ZOZUserLoggingWritableContext* writable) {
  if (!context || !writable) return;
  {
    std::lock_guard lock(activePathMutex());
    writable->activeUserLogPath = context->logStorage.aPath;
    writable->activeErrorLogPath = context->errorStorage.aPath;
    writable->activeCustomExceptionPath = context->customExceptionStorage.aPath;
  }
  writable->userKVCount = 0;
  writable->internalKVCount = 0;
  writable->errorsCount = 0;
  // The exception module's start-up task zeroes it concurrently.
  __atomic_store_n(&writable->customExceptionCount, 0u, __ATOMIC_RELAXED);
  context->userKVStorage.maxIncrementalCount = kZOZUserLoggingMaxIncrementalCount;
  context->internalKVStorage.maxIncrementalCount = kZOZUserLoggingMaxIncrementalCount;
}

void ZOZUserLoggingRecordUserKeyValue(const std::optional<std::string>& key, const std::optional<os::Value>& value) {
  auto* logging = readonlyLogging();
  auto* writable = writableLogging();
  if (!logging || !writable) return;
  ZOZUserLoggingRecordKeyValue(key, value, &logging->userKVStorage, &writable->userKVCount);
}

void ZOZUserLoggingRecordUserKeysAndValues(const std::optional<os::Dictionary>& dictionary) {
  auto* logging = readonlyLogging();
  auto* writable = writableLogging();
  if (!logging || !writable) return;
  ZOZUserLoggingRecordKeysAndValues(dictionary, &logging->userKVStorage, &writable->userKVCount);
}

void ZOZUserLoggingRecordInternalKeyValue(const std::optional<std::string>& key,
                                          const std::optional<os::Value>& value) {
  auto* logging = readonlyLogging();
  auto* writable = writableLogging();
  if (!logging || !writable) return;
  ZOZUserLoggingRecordKeyValue(key, value, &logging->internalKVStorage, &writable->internalKVCount);
}

void ZOZUserLoggingWriteInternalKeyValue(const std::string& key, const std::string& value) {
  auto* logging = readonlyLogging();
  auto* writable = writableLogging();
  if (!logging || !writable) return;
  runOnLoggingQueue([&] {
    writeKeysAndValues({{key, value}}, &logging->internalKVStorage, &writable->internalKVCount);
  });
}

void ZOZUserLoggingRecordKeyValue(const std::optional<std::string>& key, const std::optional<os::Value>& value,
                                  const ZOZUserLoggingKVStorage* store, uint32_t* counter) {
  if (!key) {
    ZOZSDKLogError("User provided bad key");
    return;
  }
  os::Dictionary dictionary;
  os::Value& slot = dictionary[*key];  // null: a removal
  if (value) slot = *value;
  ZOZUserLoggingRecordKeysAndValues(dictionary, store, counter);
}

void ZOZUserLoggingRecordKeysAndValues(const std::optional<os::Dictionary>& dictionary,
                                       const ZOZUserLoggingKVStorage* store, uint32_t* counter) {
  if (!ZOZContextIsInitialized()) return;
  if (!dictionary) {
    ZOZSDKLogError("User provided bad key/value dictionary");
    return;
  }
  if (dictionary->empty()) {
    ZOZSDKLogError("User provided empty key/value dictionary");
    return;
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> entries;
  bool removal = false;
  for (const auto& [key, value] : *dictionary) {
    auto text = describe(value);
    removal = removal || !text;
    entries.emplace_back(key, std::move(text));
  }
  bool compact = false;
  runOnLoggingQueue([&] {
    writeKeysAndValues(entries, store, counter);
    compact = removal || (counter && *counter >= store->maxIncrementalCount);
  });
  if (compact) asyncOnLoggingQueue([store, counter] { ZOZUserLoggingCompactKVEntries(store, counter); });
}

os::Dictionary ZOZUserLoggingGetCompactedKVEntries(const ZOZUserLoggingKVStorage* store, bool decodeHex) {
  os::Dictionary entries;
  if (!store) {
    ZOZSDKLogError("storage invalid");
    return entries;
  }
  applyFile(store->compactedPath, false, decodeHex, &entries);
  applyFile(store->incrementalPath, true, decodeHex, &entries);
  return entries;
}

void ZOZUserLoggingCompactKVEntries(const ZOZUserLoggingKVStorage* store, uint32_t* counter) {
  if (!store) {
    ZOZSDKLogError("Error: storage invalid");
    return;
  }
  os::Dictionary entries = ZOZUserLoggingGetCompactedKVEntries(store, false);
  if (::unlink(store->compactedPath) != 0 && errno != ENOENT) {
    ZOZSDKLogError("Error: Unable to remove compacted KV store before compaction %s", ::strerrorname_np(errno));
  }
  ZOZFile file;
  if (!ZOZFileInitWithPathMode(&file, store->compactedPath, true, true)) {
    ZOZSDKLogError("Error: Unable to open compacted k-v file");
    return;
  }
  if (entries.size() > store->maxCount) {
    ZOZSDKLogInfo("Truncating %d keys from KV set, which is above max %d", int(entries.size() - store->maxCount),
                  int(store->maxCount));
    auto cut = entries.begin();
    std::advance(cut, store->maxCount);
    entries.erase(cut, entries.end());
  }
  for (const auto& [key, value] : entries) {
    ZOZFileWriteSectionStart(&file, "kv");
    ZOZFileWriteHashStart(&file);
    ZOZFileWriteHashEntryString(&file, "key", key.c_str());
    ZOZFileWriteHashEntryString(&file, "value", value.isString() ? value.stringValue().c_str() : nullptr);
    ZOZFileWriteHashEnd(&file);
    ZOZFileWriteSectionEnd(&file);
  }
  ZOZFileClose(&file);
  if (::unlink(store->incrementalPath) != 0 && errno != ENOENT) {
    ZOZSDKLogError("Error: Unable to remove incremental KV store after compaction %s", ::strerrorname_np(errno));
  }
  if (counter) *counter = 0;
}

void ZOZUserLoggingWriteAndCheckABFiles(const ZOZUserLoggingABStorage* storage, const char** activePath,
                                        const std::function<void(ZOZFile*)>& write) {
  if (!storage || !activePath) return;
  const char* path = readActivePath(activePath);
  if (!path || !bounded(storage)) return;
  off_t offset = 0;
  bool written = false;
  runOnLoggingQueue([&] {
    ZOZFile file;
    if (!ZOZFileInitWithPathMode(&file, path, true, true)) {
      ZOZSDKLogError("Unable to open log file");
      return;
    }
    write(&file);
    ZOZFileCloseWithOffset(&file, &offset);
    if (!storage->restrictBySize && storage->entryCount) *storage->entryCount += 1;
    written = true;
  });
  if (!written) return;
  asyncOnLoggingQueue([storage, activePath, offset] { checkAndSwapABFiles(storage, activePath, offset); });
}

void ZOZLogToStorage(const ZOZUserLoggingABStorage* storage, const char** activePath, const std::string& message) {
  const double now = os::Clock::current().wallTime();
  if (!(now > 0)) return;
  const uint64_t time = nowMilliseconds();
  ZOZUserLoggingWriteAndCheckABFiles(storage, activePath, [&](ZOZFile* file) {
    ZOZFileWriteSectionStart(file, "log");
    ZOZFileWriteHashStart(file);
    ZOZFileWriteHashEntryHexEncodedString(file, "msg", message.c_str());
    ZOZFileWriteHashEntryUint64(file, "time", time);
    ZOZFileWriteHashEnd(file);
    ZOZFileWriteSectionEnd(file);
  });
}

void ZOZLogMessage(const std::string& message) {
  if (!ZOZContextIsInitialized()) {
    ZOZWarningLog(
        "WARNING: ZOZLog has been used before (or concurrently with) Zoziduzuzud initialization and cannot be "
        "recorded. The message was: \n%@",
        message);
    return;
  }
  auto* logging = readonlyLogging();
  auto* writable = writableLogging();
  std::string text = message;
  const uint32_t maxSize = logging->logStorage.maxSize;
  if (text.size() > maxSize) {
    ZOZWarningLog("WARNING: Attempted to write %zd bytes, but %d is the maximum size of the log. Truncating to %d "
                  "bytes.\n",
                  text.size(), int(maxSize), int(maxSize));
    // Cut at a character boundary: a message cut inside a character would
    // not decode at the next launch.
    size_t cut = maxSize;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
  }
  ZOZLogToStorage(&logging->logStorage, &writable->activeUserLogPath, text);
}

void ZOZUserLoggingRecordError(const os::Error* error, const os::Dictionary* additionalInfo,
                               const std::optional<std::string>& rollouts) {
  if (!error || !ZOZContextIsInitialized()) return;
  void* frames[kMaxErrorFrames];
  const int frameCount = ::backtrace(frames, kMaxErrorFrames);
  const uint64_t time = uint64_t(os::Clock::current().wallTime());
  auto* logging = readonlyLogging();
  auto* writable = writableLogging();
  ZOZUserLoggingWriteAndCheckABFiles(&logging->errorStorage, &writable->activeErrorLogPath, [&](ZOZFile* file) {
    ZOZFileWriteSectionStart(file, "error");
    ZOZFileWriteHashStart(file);
    ZOZFileWriteHashEntryHexEncodedString(file, "domain", error->domain().c_str());
    ZOZFileWriteHashEntryInt64(file, "code", error->code());
    ZOZFileWriteHashEntryUint64(file, "time", time);
    ZOZFileWriteHashKey(file, "stacktrace");
    ZOZFileWriteArrayStart(file);
    for (int i = 0; i < frameCount; ++i) ZOZFileWriteArrayEntryUint64(file, uint64_t(reinterpret_cast<uintptr_t>(frames[i])));
    ZOZFileWriteArrayEnd(file);
    if (!error->userInfo().empty()) writeInfoArray(file, "info", error->userInfo());
    if (additionalInfo) writeInfoArray(file, "extra_info", *additionalInfo);
    if (rollouts) {
      ZOZFileWriteHashKey(file, "rollouts");
      ZOZFileWriteStringUnquoted(file, rollouts->c_str());
    }
    ZOZFileWriteHashEnd(file);
    ZOZFileWriteSectionEnd(file);
  });
}
