// The process-wide context and start-up (see zoz_context.h).
#include "crash/core/zoz_context.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "crash/core/zoz_application.h"
#include "crash/core/zoz_exception.h"
#include "crash/core/zoz_file.h"
#include "crash/core/zoz_mach_exception.h"
#include "crash/core/zoz_sdk_log.h"
#include "crash/core/zoz_signal.h"
#include "crash/core/zoz_user_logging.h"
#include "crash/core/zoz_utilities.h"
#include "os/foundation/clock.h"
#include "os/foundation/device_profile.h"
#include "os/foundation/sandbox.h"
#include "os/kernel/loader.h"

ZOZContext zozContext;

namespace {

struct Queues {
  std::mutex mutex;
  std::shared_ptr<os::DispatchQueue> logging;       // guarded by mutex
  std::shared_ptr<os::DispatchQueue> binaryImages;  // guarded by mutex
  std::shared_ptr<os::DispatchQueue> exception;     // guarded by mutex
};

Queues& queues() {
  static Queues* q = new Queues();  // lives for the process: queue work may run late
  return *q;
}

std::string joinPath(const std::string& root, const char* name) {
  if (!root.empty() && root.back() == '/') return root + name;
  return root + "/" + name;
}

const char* dupPath(const std::string& root, const char* name) { return ZOZDupString(joinPath(root, name).c_str()); }

// ---- Start-up tasks; each writes only its own part of the context ----

void initializeHost(ZOZHostReadOnlyContext* host) {
  const std::string documents = os::Sandbox::current()->documentsDirectory();
  host->documentDirectoryPath = documents.empty() ? nullptr : ZOZDupString(documents.c_str());
  host->pageSize = ZOZHostGetPageSize();
}

void initializeLoggingPaths(const std::string& root, const ZOZContextInitData& data,
                            ZOZUserLoggingReadOnlyContext* logging, ZOZUserLoggingWritableContext* writable) {
  logging->userKVStorage.incrementalPath = dupPath(root, kZOZUserIncrementalKVFileName);
  logging->userKVStorage.compactedPath = dupPath(root, kZOZUserCompactedKVFileName);
  logging->userKVStorage.maxCount = uint32_t(std::max(data.maxKeyValues, 0));
  logging->internalKVStorage.incrementalPath = dupPath(root, kZOZInternalIncrementalKVFileName);
  logging->internalKVStorage.compactedPath = dupPath(root, kZOZInternalCompactedKVFileName);
  logging->internalKVStorage.maxCount = kZOZInternalKeyValueLimit;

  const uint32_t maxCustomExceptions = uint32_t(std::max(data.maxCustomExceptions, 0));
  logging->logStorage.aPath = dupPath(root, kZOZLogAFileName);
  logging->logStorage.bPath = dupPath(root, kZOZLogBFileName);
  logging->logStorage.maxSize = uint32_t(std::max(data.maxLogSize, 0));
  logging->logStorage.restrictBySize = true;

  logging->errorStorage.aPath = dupPath(root, kZOZErrorsAFileName);
  logging->errorStorage.bPath = dupPath(root, kZOZErrorsBFileName);
  logging->errorStorage.maxEntries = data.errorsEnabled ? maxCustomExceptions : 0;
  logging->errorStorage.entryCount = &writable->errorsCount;

  logging->customExceptionStorage.aPath = dupPath(root, kZOZCustomExceptionAFileName);
  logging->customExceptionStorage.bPath = dupPath(root, kZOZCustomExceptionBFileName);
  logging->customExceptionStorage.maxEntries = maxCustomExceptions;
  logging->customExceptionStorage.entryCount = &writable->customExceptionCount;
}

// ---- Metadata sections ----

void writeOptional(ZOZFile* file, const char* key, const std::optional<std::string>& value) {
  ZOZFileWriteHashEntryString(file, key, value ? value->c_str() : nullptr);
}

void writeIdentity(ZOZFile* file, const ZOZContextInitData& data) {
  const std::string version = ZOZSDKVersion();
  ZOZFileWriteSectionStart(file, "identity");
  ZOZFileWriteHashStart(file);
  ZOZFileWriteHashEntryString(file, "generator", ZOZSDKGeneratorName().c_str());
  ZOZFileWriteHashEntryString(file, "display_version", version.c_str());
  ZOZFileWriteHashEntryString(file, "build_version", version.c_str());
  ZOZFileWriteHashEntryUint64(file, "started_at", uint64_t(os::Clock::current().wallTime()));
  writeOptional(file, "session_id", data.sessionId);
  writeOptional(file, "app_quality_session_id", data.appQualitySessionId);
  ZOZFileWriteHashEntryString(file, "install_id", "");
  writeOptional(file, "beta_token", data.betaToken);
  ZOZFileWriteHashEntryBoolean(file, "absolute_log_timestamps", true);
  ZOZFileWriteHashEnd(file);
  ZOZFileWriteSectionEnd(file);
}

void writeHost(ZOZFile* file) {
  char machine[128] = {};
  size_t size = sizeof machine;
  const bool haveMachine = os::sysctl::sysctlbyname("hw.model", machine, &size, nullptr, 0) == 0;
  ZOZFileWriteSectionStart(file, "host");
  ZOZFileWriteHashStart(file);
  writeOptional(file, "model", ZOZHostModelInfo());
  ZOZFileWriteHashEntryString(file, "machine", haveMachine ? machine : "(failed)");
  writeOptional(file, "os_build_version", ZOZHostOSBuildVersion());
  ZOZFileWriteHashEntryString(file, "os_display_version", ZOZHostOSDisplayVersion().c_str());
  ZOZFileWriteHashEntryString(file, "platform", ZOZApplicationGetPlatform().c_str());
  ZOZFileWriteHashEntryString(file, "vivuzuvu_platform", ZOZApplicationGetVivuzuvuPlatform().c_str());
  ZOZFileWriteHashEntryString(file, "locale", os::DeviceProfile::current().localeIdentifier.c_str());
  ZOZFileWriteHashEnd(file);
  ZOZFileWriteSectionEnd(file);
}

void writeApplication(ZOZFile* file, const ZOZContextInitData& data) {
  ZOZFileWriteSectionStart(file, "application");
  ZOZFileWriteHashStart(file);
  writeOptional(file, "bundle_id", ZOZApplicationGetBundleIdentifier());
  writeOptional(file, "custom_bundle_id", data.customBundleId);
  writeOptional(file, "build_version", ZOZApplicationGetBundleVersion());
  writeOptional(file, "display_version", ZOZApplicationGetShortBundleVersion());
  writeOptional(file, "extension_id", ZOZApplicationExtensionPointIdentifier());
  ZOZFileWriteHashEnd(file);
  ZOZFileWriteSectionEnd(file);
}

void writeExecutable(ZOZFile* file) {
  ZOZBinaryImageDetails details;
  details.slice = ZOZMachOGetSlice();
  details.vmaddrSlide = os::kernel::_dyld_get_image_vmaddr_slide(0);
  const char* architecture = ZOZMachOSliceGetArchitectureName(&details.slice);
  ZOZBinaryImageFillInImageDetails(&details);
  ZOZFileWriteSectionStart(file, "executable");
  ZOZFileWriteHashStart(file);
  ZOZFileWriteHashEntryString(file, "architecture", architecture);
  ZOZBinaryImageRecordDetails(file, &details);
  ZOZFileWriteHashEntryBoolean(file, "encrypted", details.encrypted);
  ZOZFileWriteHashEntryString(file, "minimum_sdk_version", ZOZMachOFormatVersion(&details.minSDK)->c_str());
  ZOZFileWriteHashEntryString(file, "built_sdk_version", ZOZMachOFormatVersion(&details.builtSDK)->c_str());
  ZOZFileWriteHashEnd(file);
  ZOZFileWriteSectionEnd(file);
}

}  // namespace

// ---- Queues ----

std::shared_ptr<os::DispatchQueue> ZOZContextLoggingQueue() {
  std::lock_guard lock(queues().mutex);
  return queues().logging;
}

std::shared_ptr<os::DispatchQueue> ZOZContextBinaryImagesQueue() {
  std::lock_guard lock(queues().mutex);
  return queues().binaryImages;
}

std::shared_ptr<os::DispatchQueue> ZOZContextExceptionQueue() {
  std::lock_guard lock(queues().mutex);
  return queues().exception;
}

// ---- Start-up ----

bool ZOZContextInitialize(const std::shared_ptr<ZOZContextInitData>& initData) {
  if (!initData) return false;

  // Base set-up.
  {
    const std::string prefix = ZOZApplicationGetSDKBundleID();
    std::lock_guard lock(queues().mutex);
    queues().logging = os::DispatchQueue::serial(prefix + kZOZLoggingQueueSuffix);
    queues().binaryImages = os::DispatchQueue::serial(prefix + kZOZBinaryImagesQueueSuffix);
    queues().exception = os::DispatchQueue::serial(prefix + kZOZExceptionQueueSuffix);
  }
  ZOZAllocator* allocator = ZOZAllocatorCreate(kZOZWritableRequest, kZOZReadOnlyRequest);
  void* readonlyMemory = ZOZAllocatorSafeAllocate(allocator, sizeof(ZOZReadOnlyContext), ZOZAllocationTypeReadOnly);
  void* machStack = ZOZAllocatorSafeAllocate(allocator, kZOZMachStackSize, ZOZAllocationTypeWritable);
  void* signalStack = ZOZAllocatorSafeAllocate(allocator, kZOZSignalStackSize, ZOZAllocationTypeWritable);
  void* writableMemory = ZOZAllocatorSafeAllocate(allocator, sizeof(ZOZWritableContext), ZOZAllocationTypeWritable);
  if (!readonlyMemory || !machStack || !signalStack || !writableMemory) return false;
  std::memset(readonlyMemory, 0, sizeof(ZOZReadOnlyContext));
  std::memset(machStack, 0, kZOZMachStackSize);
  std::memset(signalStack, 0, kZOZSignalStackSize);
  std::memset(writableMemory, 0, sizeof(ZOZWritableContext));
  auto* readonly = new (readonlyMemory) ZOZReadOnlyContext();
  auto* writable = new (writableMemory) ZOZWritableContext();
  readonly->machStack = machStack;
  readonly->signalStack = signalStack;
  writable->internalLogging.logFD.store(-1);
  writable->internalLogging.logLevel = ZOZInternalLogLevelDebug;
  writable->crashOccurred.store(false);
  zozContext.allocator = allocator;
  zozContext.readonly = readonly;
  zozContext.writable = writable;
  // A sequentially consistent store: the full barrier after the base set-up.
  readonly->initialized.store(false, std::memory_order_seq_cst);

  if (!initData->rootPath || initData->rootPath->empty()) return false;
  const std::string root = *initData->rootPath;

  readonly->logPath = dupPath(root, kZOZSDKLogFileName);
  readonly->rootPath = ZOZDupString(root.c_str());
  if (::unlink(readonly->logPath) != 0 && errno != ENOENT) {
    ZOZErrorLog("Unable to write initialize SDK write paths %s", std::string(::strerror(errno)));
  }

  readonly->debuggerAttached = ZOZProcessDebuggerAttached();

  auto group = os::DispatchGroup::create();
  auto global = os::DispatchQueue::global(os::QualityOfService::Default);
  const ZOZContextInitData data = *initData;

  global->async(group, [readonly] { initializeHost(&readonly->host); });
  global->async(group, [readonly, writable, root, data] {
    initializeLoggingPaths(root, data, &readonly->logging, &writable->logging);
    ZOZUserLoggingInit(&readonly->logging, &writable->logging);
  });
  global->async(group, [readonly, root] {
    readonly->binaryimage.path = dupPath(root, kZOZBinaryImageRecordFileName);
    ZOZBinaryImageInit();
  });
  global->async(group, [readonly, data] {
    if (data.previouslyCrashedFileRootPath) {
      readonly->previouslyCrashedFileFullPath = dupPath(*data.previouslyCrashedFileRootPath, kZOZPreviouslyCrashedFileName);
    }
  });
  if (!readonly->debuggerAttached) {
    global->async(group, [readonly, root] {
      readonly->signal.path = dupPath(root, kZOZSignalRecordFileName);
      ZOZSignalInitialize(&readonly->signal);
    });
    global->async(group, [readonly, root] {
      readonly->machException.path = dupPath(root, kZOZMachExceptionRecordFileName);
      ZOZMachExceptionInit(&readonly->machException);
    });
    global->async(group, [readonly, writable, root, data] {
      readonly->exception.path = dupPath(root, kZOZExceptionRecordFileName);
      readonly->exception.maxCustomExceptions =
          data.customExceptionsEnabled ? uint32_t(std::max(data.maxCustomExceptions, 0)) : 0;
      ZOZExceptionInitialize(&readonly->exception, &writable->logging.customExceptionCount);
    });
  } else {
    ZOZSDKLogWarn("Debugger present - not installing handlers");
  }
  global->async(group, [root, data] {
    if (!ZOZContextRecordMetadata(root.c_str(), data)) ZOZSDKLogError("Unable to record context metadata");
  });

  group->notify(global, [readonly, allocator] {
    readonly->initialized.store(true, std::memory_order_seq_cst);  // a full barrier
    if (!ZOZAllocatorProtect(allocator)) ZOZSDKLogError("Error: Memory protection failed");
  });

  if (group->wait(os::DispatchTime::fromNow(kZOZContextInitializeTimeout)) == os::DispatchWaitResult::TimedOut) {
    ZOZSDKLogError("Error: Delayed initialization");
  }
  return true;
}

bool ZOZContextIsInitialized() {
  ZOZReadOnlyContext* readonly = zozContext.readonly;
  return readonly && readonly->initialized.load(std::memory_order_seq_cst);
}

bool ZOZContextMarkAndCheckIfCrashed() {
  if (!ZOZContextIsInitialized()) return false;
  ZOZWritableContext* writable = zozContext.writable;
  if (!writable) return false;
  // One exchange: of two threads that crash at once, exactly one sees false.
  return writable->crashOccurred.exchange(true, std::memory_order_seq_cst);
}

const char* ZOZDupString(const char* string) {
  if (!string) return nullptr;
  const size_t length = std::strlen(string) + 1;
  void* copy = ZOZAllocatorSafeAllocate(zozContext.allocator, length, ZOZAllocationTypeReadOnly);
  if (!copy) return nullptr;
  std::memcpy(copy, string, length);
  return static_cast<const char*>(copy);
}

bool ZOZContextRecordMetadata(const char* rootPath, const ZOZContextInitData& initData) {
  if (!rootPath) return false;
  const std::string path = joinPath(rootPath, kZOZMetadataFileName);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    ZOZSDKLogError("Unable to unlink existing metadata file %s", ::strerrorname_np(errno));
  }
  ZOZFile file;
  if (!ZOZFileInitWithPathMode(&file, path.c_str(), true, false)) {
    ZOZSDKLogError("Unable to open metadata file %s", path.c_str());
    return false;
  }
  writeIdentity(&file, initData);
  writeHost(&file);
  writeApplication(&file, initData);
  writeExecutable(&file);
  ZOZFileClose(&file);
  return true;
}
