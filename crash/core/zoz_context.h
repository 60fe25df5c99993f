// The capture core's process-wide context and its start-up.
//
// Design note.
// The capture core runs while the process dies (signal handlers, the Mach
// exception server, the terminate handler): it may not allocate, lock or
// format. Everything it needs is prepared once, by ZOZContextInitialize, in
// one mapping made by the crash allocator (zoz_allocator.h):
//  - the read-only part (ZOZReadOnlyContext): paths of the record files,
//    limits, per-module settings, the two pre-allocated stacks' addresses and
//    every string duplicated at start-up (ZOZDupString). It is
//    write-protected once start-up is done: later writes fault.
//  - the writable part (ZOZWritableContext): flags and counters changed at
//    run time and during a crash, the internal log's descriptor and the
//    binary-image table.
//  - the Mach exception server's and the signal handlers' stacks (262,144
//    bytes each) in the writable region.
// Beside the context live three serial work queues: ".logging",
// ".binary-images" and ".exception" after the SDK identifier.
//
// States: not created -> base set up (initialized false, allocator open) ->
// module tasks running -> initialized (read-only part protected).
// Invariants:
//  1. The pointers in zozContext are set once per start-up, before any task
//     or handler reads them, and never cleared.
//  2. `initialized` goes true only after every start-up task has finished;
//     the protection follows at once.
//  3. `crashOccurred` goes from false to true once per process (the first
//     fatal event) and never back.
//
// Start-up: ZOZContextInitialize makes the base set-up, then runs the module
// tasks concurrently on the default global queue (host facts, user-logging
// paths and limits, binary images, the crashed-marker path, the handler
// modules' paths unless a debugger is attached, the metadata record), waits
// for them at most 5 seconds and returns; a notification after the last task
// sets `initialized` and protects the read-only part. Every failure goes to
// the internal log ("sdk.log") and start-up goes on.
//
// Threads: ZOZContextInitialize and ZOZContextRecordMetadata are ordinary
// code. ZOZContextIsInitialized and ZOZContextMarkAndCheckIfCrashed are
// async-signal-safe (atomic bytes, full barriers), as is reading the context
// after protection.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "crash/core/zoz_allocator.h"
#include "crash/core/zoz_binary_image.h"
#include "os/dispatch/queue.h"
#include "os/kernel/mach.h"

// ---- Names and sizes ----
inline constexpr size_t kZOZSignalStackSize = 262'144;
#if defined(__SANITIZE_THREAD__)
// The thread sanitizer's runtime needs about 900 KiB of a thread's stack.
inline constexpr size_t kZOZMachStackSize = 1'048'576;
#else
inline constexpr size_t kZOZMachStackSize = 262'144;
#endif
// Room for the strings duplicated at start-up.
inline constexpr size_t kZOZContextStringSpace = 16'384;
// Seconds ZOZContextInitialize waits for its tasks.
inline constexpr double kZOZContextInitializeTimeout = 5.0;

inline constexpr const char* kZOZMetadataFileName = "metadata.zozrecord";
inline constexpr const char* kZOZPreviouslyCrashedFileName = "previously-crashed";
inline constexpr const char* kZOZSignalRecordFileName = "signal.zozrecord";
inline constexpr const char* kZOZMachExceptionRecordFileName = "mach_exception.zozrecord";
inline constexpr const char* kZOZExceptionRecordFileName = "exception.zozrecord";
inline constexpr const char* kZOZUserIncrementalKVFileName = "user_incremental_kv.zozrecord";
inline constexpr const char* kZOZUserCompactedKVFileName = "user_compacted_kv.zozrecord";
inline constexpr const char* kZOZInternalIncrementalKVFileName = "internal_incremental_kv.zozrecord";
inline constexpr const char* kZOZInternalCompactedKVFileName = "internal_compacted_kv.zozrecord";
inline constexpr const char* kZOZLogAFileName = "log_a.zozrecord";
inline constexpr const char* kZOZLogBFileName = "log_b.zozrecord";
inline constexpr const char* kZOZErrorsAFileName = "errors_a.zozrecord";
inline constexpr const char* kZOZErrorsBFileName = "errors_b.zozrecord";
inline constexpr const char* kZOZCustomExceptionAFileName = "custom_exception_a.zozrecord";
inline constexpr const char* kZOZCustomExceptionBFileName = "custom_exception_b.zozrecord";
// The internal key-value store keeps at most this many keys.
inline constexpr uint32_t kZOZInternalKeyValueLimit = 32;

inline constexpr const char* kZOZLoggingQueueSuffix = ".logging";
inline constexpr const char* kZOZBinaryImagesQueueSuffix = ".binary-images";
inline constexpr const char* kZOZExceptionQueueSuffix = ".exception";

// ---- What the reporting layer hands to start-up ----
// Missing strings are nullopt.
struct ZOZContextInitData {
  std::optional<std::string> customBundleId;
  std::optional<std::string> rootPath;                       // this launch's report directory
  std::optional<std::string> previouslyCrashedFileRootPath;  // where the crashed marker lives
  std::optional<std::string> sessionId;                      // the report's execution identifier
  std::optional<std::string> appQualitySessionId;
  std::optional<std::string> betaToken;
  bool errorsEnabled = false;
  bool customExceptionsEnabled = false;
  int32_t maxCustomExceptions = 0;
  int32_t maxErrorLogSize = 0;  // carried, not read by the capture core
  int32_t maxLogSize = 0;
  int32_t maxKeyValues = 0;
};

// ---- Module sub-contexts ----
// The handled signals' count: one saved action per signal.
inline constexpr size_t kZOZSignalCount = 7;
struct ZOZSignalReadOnlyContext {
  const char* path = nullptr;  // "signal.zozrecord"
  struct sigaction originalActions[kZOZSignalCount] = {};
  stack_t originalStack = {};
};

struct ZOZMachExceptionOriginalPorts {
  os::kernel::mach_msg_type_number_t count = 0;
  os::kernel::exception_mask_t masks[os::kernel::EXC_TYPES_COUNT] = {};
  os::kernel::mach_port_t ports[os::kernel::EXC_TYPES_COUNT] = {};
  os::kernel::exception_behavior_t behaviors[os::kernel::EXC_TYPES_COUNT] = {};
  os::kernel::thread_state_flavor_t flavors[os::kernel::EXC_TYPES_COUNT] = {};
};
struct ZOZMachExceptionReadOnlyContext {
  os::kernel::mach_port_t port = os::kernel::MACH_PORT_NULL;
  pthread_t thread = {};
  const char* path = nullptr;  // "mach_exception.zozrecord"
  os::kernel::exception_mask_t mask = 0;
  ZOZMachExceptionOriginalPorts originalPorts;
};

struct ZOZExceptionReadOnlyContext {
  const char* path = nullptr;  // "exception.zozrecord"
  std::terminate_handler originalTerminateHandler = nullptr;
  uint32_t maxCustomExceptions = 0;
};

struct ZOZHostReadOnlyContext {
  const char* documentDirectoryPath = nullptr;
  size_t pageSize = 0;
};

struct ZOZUserLoggingKVStorage {
  const char* incrementalPath = nullptr;
  const char* compactedPath = nullptr;
  uint32_t maxIncrementalCount = 0;
  uint32_t maxCount = 0;
};
struct ZOZUserLoggingABStorage {
  const char* aPath = nullptr;
  const char* bPath = nullptr;
  uint32_t maxSize = 0;                // bytes, when restricted by size
  uint32_t maxEntries = 0;             // entries, when restricted by count
  bool restrictBySize = false;
  uint32_t* entryCount = nullptr;      // in the writable context, when restricted by count
};
struct ZOZUserLoggingReadOnlyContext {
  ZOZUserLoggingKVStorage userKVStorage;
  ZOZUserLoggingKVStorage internalKVStorage;
  ZOZUserLoggingABStorage logStorage;
  ZOZUserLoggingABStorage errorStorage;
  ZOZUserLoggingABStorage customExceptionStorage;
};
struct ZOZUserLoggingWritableContext {
  const char* activeUserLogPath = nullptr;
  const char* activeErrorLogPath = nullptr;
  const char* activeCustomExceptionPath = nullptr;
  uint32_t userKVCount = 0;
  uint32_t internalKVCount = 0;
  uint32_t errorsCount = 0;
  uint32_t customExceptionCount = 0;
};

// ---- The two parts ----
struct ZOZReadOnlyContext {
  std::atomic<bool> initialized{false};
  bool debuggerAttached = false;
  const char* previouslyCrashedFileFullPath = nullptr;
  const char* logPath = nullptr;   // "sdk.log" in the report directory
  const char* rootPath = nullptr;  // the report directory
  void* signalStack = nullptr;     // kZOZSignalStackSize bytes, zeroed
  void* machStack = nullptr;       // kZOZMachStackSize bytes, zeroed
  ZOZBinaryImageReadOnlyContext binaryimage;
  ZOZExceptionReadOnlyContext exception;
  ZOZHostReadOnlyContext host;
  ZOZSignalReadOnlyContext signal;
  ZOZMachExceptionReadOnlyContext machException;
  ZOZUserLoggingReadOnlyContext logging;
};

struct ZOZInternalLoggingWritableContext {
  std::atomic<int> logFD{-1};  // opened on first use
  int logLevel = 1;            // ZOZInternalLogLevel; lines below it are dropped
};

struct ZOZWritableContext {
  ZOZInternalLoggingWritableContext internalLogging;
  std::atomic<bool> crashOccurred{false};
  ZOZBinaryImageWritableContext binaryImage;
  ZOZUserLoggingWritableContext logging;
};

// Start-up's requests: the two stacks and the writable part; the read-only
// part and the string space.
inline constexpr size_t kZOZWritableRequest = kZOZMachStackSize + kZOZSignalStackSize + sizeof(ZOZWritableContext);
inline constexpr size_t kZOZReadOnlyRequest = sizeof(ZOZReadOnlyContext) + kZOZContextStringSpace;

struct ZOZContext {
  ZOZReadOnlyContext* readonly = nullptr;
  ZOZWritableContext* writable = nullptr;
  ZOZAllocator* allocator = nullptr;
};
// The process-wide context. Null parts until start-up has made them.
extern ZOZContext zozContext;

// The work queues (null before the first start-up). Ordinary code.
std::shared_ptr<os::DispatchQueue> ZOZContextLoggingQueue();
std::shared_ptr<os::DispatchQueue> ZOZContextBinaryImagesQueue();
std::shared_ptr<os::DispatchQueue> ZOZContextExceptionQueue();

// ---- Interfaces ----
// False for missing init data or a missing root path (then only the base
// set-up has happened and no handler is installed); true otherwise, also
// when the 5-second wait timed out ("Error: Delayed initialization").
bool ZOZContextInitialize(const std::shared_ptr<ZOZContextInitData>& initData);
// `initialized`; false while there is no context. Async-signal-safe.
bool ZOZContextIsInitialized();
// False while the context is not initialized; true when a crash was already
// marked; otherwise marks one and gives false. Async-signal-safe.
bool ZOZContextMarkAndCheckIfCrashed();
// Writes "metadata.zozrecord" in `rootPath`: the sections "identity",
// "host", "application" and "executable", one line each. False when the
// file cannot be opened.
bool ZOZContextRecordMetadata(const char* rootPath, const ZOZContextInitData& initData);
// A copy of the string in the read-only region (heap when it is full or
// protected); null for null.
const char* ZOZDupString(const char* string);
