// Exceptions as "exception" sections: fatal ones when the runtime
// terminates the process (the terminate handler records the active
// exception: os::Exception as "objective-c", anything else as "c++"), and
// custom ones handed over by the reporting layer, either as entries of the
// custom-exception pair of the current report or as an on-demand report of
// their own (a copy of the current report directory).
//
// Ordinary code: the terminate path runs after the runtime has given up and
// may allocate; fatal records are written synchronously on the context's
// exception queue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "crash/core/zoz_context.h"
#include "crash/core/zoz_file.h"
#include "os/foundation/error.h"

enum ZOZExceptionType : int {
  ZOZExceptionTypeObjectiveC = 1,
  ZOZExceptionTypeCpp = 2,
  ZOZExceptionTypeUnknown = 3,
  ZOZExceptionTypeCustom = 4,
};

inline constexpr const char* kZOZCustomFatalFileName = "custom_fatal.zozrecord";
inline constexpr const char* kZOZOnDemandRecordedExceptionsKey = "com.zoziduzuzud.on-demand.recorded-exceptions";
inline constexpr const char* kZOZOnDemandDroppedExceptionsKey = "com.zoziduzuzud.on-demand.dropped-exceptions";

// A frame of a custom exception.
struct ZOZStackFrame {
  uintptr_t address = 0;
  std::optional<std::string> symbol;
  uint64_t offset = 0;
  std::optional<std::string> library;
  std::optional<std::string> fileName;
  int64_t lineNumber = 0;
};

// "objective-c", "c++", "unknown", "custom"; "unknown" for other numbers.
const char* ZOZExceptionNameForType(int type);

// Start-up task: resets "exception.zozrecord", installs ZOZTerminateHandler
// (the previous one kept in `context`), zeroes the custom-exception counter.
void ZOZExceptionInitialize(ZOZExceptionReadOnlyContext* context, uint32_t* customExceptionCount);
[[noreturn]] void ZOZTerminateHandler();
void ZOZExceptionRecordNSException(const os::Exception& exception);
void ZOZExceptionRecord(int type, const std::string& name, const std::string& reason,
                        const std::vector<ZOZStackFrame>& frames, const std::optional<std::string>& rollouts);
// The new report directory's path, or nullopt.
std::optional<std::string> ZOZExceptionRecordOnDemand(int type, const std::string& name, const std::string& reason,
                                                      const std::vector<ZOZStackFrame>& frames, bool fatal,
                                                      int recordedCount, int droppedCount);
// The check after start-up: warns through the SDK logger about a terminate
// handler that is not ours and about a set uncaught-exception handler.
void ZOZExceptionCheckHandlers();
// Writes the "exception" section.
void ZOZExceptionWrite(ZOZFile* file, int type, const std::string& name, const std::string& reason,
                       const std::vector<ZOZStackFrame>& frames, const std::optional<std::string>& rollouts);
