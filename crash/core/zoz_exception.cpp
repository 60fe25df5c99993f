// Uncaught exceptions, terminate and recorded exceptions (see zoz_exception.h).
#include "crash/core/zoz_exception.h"

#include <cxxabi.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <typeinfo>

#include "crash/core/zoz_demangle.h"
#include "crash/core/zoz_process.h"
#include "crash/core/zoz_sdk_log.h"
#include "crash/core/zoz_user_logging.h"
#include "crash/core/zoz_utilities.h"
#include "os/foundation/clock.h"
#include "os/foundation/file_manager.h"

namespace {

std::string joinPath(const std::string& directory, const char* name) { return directory + "/" + name; }

void recordCpp(const std::string& name, const std::string& reason) {
  ZOZExceptionRecord(ZOZExceptionTypeCpp, name, reason, {}, std::nullopt);
}

void catchAndRecordActiveException() {
  const std::type_info* type = abi::__cxa_current_exception_type();
  if (!type) {
    ZOZSDKLogError("no active exception");
    return;
  }
  ZOZSDKLogInfo("Recording exception of type '%s'", type->name());
  const std::string typeName = demangleCppSymbol(type->name());
  try {
    throw;
  } catch (const os::Exception& exception) {
    ZOZExceptionRecordNSException(exception);
  } catch (const char* text) {
    recordCpp("const char *", text ? text : "");
  } catch (const std::string& text) {
    recordCpp("std::string", text);
  } catch (const std::exception& exception) {
    recordCpp(typeName, exception.what());
  } catch (const std::exception* exception) {
    recordCpp(typeName, exception ? exception->what() : "");
  } catch (...) {
    recordCpp(typeName, "");
  }
}

// Opens `path`, writes the section and the crash path, closes.
bool writeRecord(const char* path, bool buffered, int type, const std::string& name, const std::string& reason,
                 const std::vector<ZOZStackFrame>& frames, const std::optional<std::string>& rollouts) {
  ZOZFile file;
  if (!ZOZFileInitWithPathMode(&file, path, true, buffered)) return false;
  ZOZExceptionWrite(&file, type, name, reason, frames, rollouts);
  ZOZHandler(&file, os::kernel::mach_thread_self(), nullptr);
  ZOZFileClose(&file);
  return true;
}

void writeOnDemandKeyValue(ZOZFile* file, const char* key, int value) {
  const std::string text = std::to_string(value);
  ZOZFileWriteSectionStart(file, "kv");
  ZOZFileWriteHashStart(file);
  ZOZFileWriteHashEntryHexEncodedString(file, "key", key);
  ZOZFileWriteHashEntryHexEncodedString(file, "value", text.c_str());
  ZOZFileWriteHashEnd(file);
  ZOZFileWriteSectionEnd(file);
}

std::string newExecutionIdentifier() {
  std::string id;
  for (char c : ZOZUUIDCreate()) {
    if (c != '-') id += char(std::tolower(static_cast<unsigned char>(c)));
  }
  return id;
}

}  // namespace

const char* ZOZExceptionNameForType(int type) {
  switch (type) {
    case ZOZExceptionTypeObjectiveC: return "objective-c";
    case ZOZExceptionTypeCpp: return "c++";
    case ZOZExceptionTypeCustom: return "custom";
    default: return "unknown";
  }
}

void ZOZExceptionWrite(ZOZFile* file, int type, const std::string& name, const std::string& reason,
                       const std::vector<ZOZStackFrame>& frames, const std::optional<std::string>& rollouts) {
  ZOZFileWriteSectionStart(file, "exception");
  ZOZFileWriteHashStart(file);
  ZOZFileWriteHashEntryString(file, "type", ZOZExceptionNameForType(type));
  ZOZFileWriteHashEntryHexEncodedString(file, "name", name.c_str());
  ZOZFileWriteHashEntryHexEncodedString(file, "reason", reason.c_str());
  ZOZFileWriteHashEntryUint64(file, "time", uint64_t(os::Clock::current().wallTime()));
  if (!frames.empty()) {
    ZOZFileWriteHashKey(file, "frames");
    ZOZFileWriteArrayStart(file);
    for (const ZOZStackFrame& frame : frames) {
      ZOZFileWriteHashStart(file);
      ZOZFileWriteHashEntryUint64(file, "pc", frame.address);
      if (frame.symbol) ZOZFileWriteHashEntryHexEncodedString(file, "symbol", frame.symbol->c_str());
      ZOZFileWriteHashEntryUint64(file, "offset", frame.offset);
      if (frame.library) ZOZFileWriteHashEntryHexEncodedString(file, "library", frame.library->c_str());
      if (frame.fileName) ZOZFileWriteHashEntryHexEncodedString(file, "file", frame.fileName->c_str());
      ZOZFileWriteHashEntryUint64(file, "line", uint32_t(frame.lineNumber));
      ZOZFileWriteHashEnd(file);
    }
    ZOZFileWriteArrayEnd(file);
  }
  if (rollouts) {
    ZOZFileWriteHashKey(file, "rollouts");
    ZOZFileWriteStringUnquoted(file, rollouts->c_str());
  }
  ZOZFileWriteHashEnd(file);
  ZOZFileWriteSectionEnd(file);
}

void ZOZExceptionInitialize(ZOZExceptionReadOnlyContext* context, uint32_t* customExceptionCount) {
  if (!context) return;
  if (context->path && !ZOZUnlinkIfExists(context->path)) {
    ZOZSDKLogError("Unable to reset the exception file %s", ::strerrorname_np(errno));
  }
  context->originalTerminateHandler = std::set_terminate(ZOZTerminateHandler);
  // User logging's start-up task zeroes the same counter concurrently.
  if (customExceptionCount) __atomic_store_n(customExceptionCount, 0u, __ATOMIC_RELAXED);
}

void ZOZTerminateHandler() {
  ZOZSDKLogError("C++ terminate handler invoked");
  std::terminate_handler previous =
      zozContext.readonly ? zozContext.readonly->exception.originalTerminateHandler : nullptr;
  if (previous == ZOZTerminateHandler) {
    ZOZSDKLogError("Error: original handler was set recursively");
    previous = nullptr;
  }
  if (previous) {
    ZOZSDKLogDebug("restoring pre-existing handler");
    if (std::set_terminate(previous) == previous) {
      ZOZSDKLogError("handler has already been restored, aborting");
      std::abort();
    }
  }
  catchAndRecordActiveException();
  if (previous) {
    ZOZSDKLogDebug("invoking pre-existing handler");
    previous();
  }
  ZOZSDKLogDebug("aborting");
  std::abort();
}

void ZOZExceptionRecordNSException(const os::Exception& exception) {
  ZOZSDKLogDebug("Recording an NSException");
  std::vector<ZOZStackFrame> frames;
  for (uintptr_t address : exception.callStackReturnAddresses()) {
    ZOZStackFrame frame;
    frame.address = address;
    frames.push_back(frame);
  }
  ZOZExceptionRecord(ZOZExceptionTypeObjectiveC, exception.name(), exception.reason(), frames, std::nullopt);
}

void ZOZExceptionRecord(int type, const std::string& name, const std::string& reason,
                        const std::vector<ZOZStackFrame>& frames, const std::optional<std::string>& rollouts) {
  if (!ZOZContextIsInitialized()) return;
  const bool fatal = type == ZOZExceptionTypeObjectiveC || type == ZOZExceptionTypeCpp;
  ZOZSDKLogDebug("Recording an exception structure (%d)", fatal ? 1 : 0);
  const ZOZReadOnlyContext* readonly = zozContext.readonly;
  if (fatal) {
    const auto record = [&] {
      if (!readonly->exception.path ||
          !writeRecord(readonly->exception.path, false, type, name, reason, frames, rollouts)) {
        ZOZSDKLogError("Unable to open exception file");
      }
    };
    if (auto queue = ZOZContextExceptionQueue()) {
      queue->sync(record);
    } else {
      record();
    }
  } else {
    ZOZUserLoggingWriteAndCheckABFiles(&readonly->logging.customExceptionStorage,
                                       &zozContext.writable->logging.activeCustomExceptionPath,
                                       [&](ZOZFile* file) { ZOZExceptionWrite(file, type, name, reason, frames, rollouts); });
  }
  ZOZSDKLogDebug("Finished recording an exception structure");
}

std::optional<std::string> ZOZExceptionRecordOnDemand(int type, const std::string& name, const std::string& reason,
                                                      const std::vector<ZOZStackFrame>& frames, bool fatal,
                                                      int recordedCount, int droppedCount) {
  if (!ZOZContextIsInitialized()) return std::nullopt;
  ZOZSDKLogDebug("Recording an exception structure on demand");
  const ZOZReadOnlyContext* readonly = zozContext.readonly;
  const std::string root = readonly->rootPath ? readonly->rootPath : "";
  const size_t slash = root.find_last_of('/');
  if (root.empty() || slash == std::string::npos) {
    ZOZSDKLogError("Unable to create a new report to record on-demand exeption.");
    return std::nullopt;
  }
  const std::string directory = root.substr(0, slash) + "/" + newExecutionIdentifier();
  if (!os::FileManager::defaultManager().copyItemAtPath(root, directory)) {
    ZOZSDKLogError("Unable to create a new report to record on-demand exeption.");
    return std::nullopt;
  }
  // The pair and its counter belong to the logging queue's writer: the reset
  // runs there, so it never interleaves with a write.
  auto reset = [readonly] {
    ZOZUnlinkIfExists(readonly->logging.customExceptionStorage.aPath);
    ZOZUnlinkIfExists(readonly->logging.customExceptionStorage.bPath);
    zozContext.writable->logging.customExceptionCount = 0;
  };
  if (auto queue = ZOZContextLoggingQueue(); queue && !queue->isCurrent()) {
    queue->sync(reset);
  } else {
    reset();
  }

  ZOZFile kv;
  if (!ZOZFileInitWithPathMode(&kv, joinPath(directory, kZOZInternalIncrementalKVFileName).c_str(), true, true)) {
    ZOZSDKLogError("Unable to open k-v file");
    return std::nullopt;
  }
  writeOnDemandKeyValue(&kv, kZOZOnDemandRecordedExceptionsKey, recordedCount);
  writeOnDemandKeyValue(&kv, kZOZOnDemandDroppedExceptionsKey, droppedCount);
  ZOZFileClose(&kv);

  std::string recordPath;
  if (fatal) {
    ZOZFile marker;
    if (ZOZFileInitWithPathMode(&marker, joinPath(directory, kZOZCustomFatalFileName).c_str(), true, false)) {
      ZOZFileClose(&marker);
    } else {
      ZOZSDKLogError(
          "Unable to create custom exception file. On demand exception will not be logged with analytics.");
    }
    recordPath = joinPath(directory, kZOZExceptionRecordFileName);
  } else {
    recordPath = joinPath(directory, kZOZCustomExceptionAFileName);
  }
  if (!writeRecord(recordPath.c_str(), true, type, name, reason, frames, std::nullopt)) {
    ZOZSDKLogError("Unable to open log file for on demand custom exception");
    return std::nullopt;
  }
  ZOZSDKLogDebug("Finished recording on demand exception structure");
  return directory;
}

void ZOZExceptionCheckHandlers() {
  if (zozContext.readonly && zozContext.readonly->debuggerAttached) return;
  const std::terminate_handler current = std::get_terminate();
  if (current != ZOZTerminateHandler) {
    ZOZLookupFunctionPointer(reinterpret_cast<uintptr_t>(current), [](const char* name, const char* path) {
      ZOZWarningLog("Warning: std::get_terminate is '%s' in '%s'", name ? name : "unknown", path ? path : "unknown");
    });
  }
  if (auto handler = os::Exception::getUncaughtExceptionHandler()) {
    ZOZLookupFunctionPointer(reinterpret_cast<uintptr_t>(handler), [](const char* name, const char* path) {
      ZOZWarningLog("Warning: NSUncaughtExceptionHandler is '%s' in '%s'", name ? name : "unknown",
                    path ? path : "unknown");
    });
  }
}
