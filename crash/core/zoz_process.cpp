// The common crash path (see zoz_process.h). Async-signal-safe throughout.
#include "crash/core/zoz_process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "crash/core/zoz_binary_image.h"
#include "crash/core/zoz_context.h"
#include "crash/core/zoz_dwarf_cfi.h"
#include "crash/core/zoz_sdk_log.h"
#include "crash/core/zoz_unwinder.h"
#include "crash/core/zoz_utilities.h"
#include "os/kernel/vm.h"
#include "os/runtime/runtime.h"

namespace k = os::kernel;

namespace {

constexpr size_t kThreadNameSize = 64;
constexpr size_t kQueueLabelMax = 128;
constexpr size_t kSelectorMax = 128;
constexpr size_t kCrashInfoMessageMax = 256;

// The crash-information record's layout (the first 56 bytes).
struct CrashInfo {
  uint64_t version;
  uint64_t message;
  uint64_t signature;
  uint64_t backtrace;
  uint64_t message2;
  uint64_t reserved;
  uint64_t reserved2;
};
static_assert(sizeof(CrashInfo) == kZOZCrashInfoSize);

// Copies the string at `address` (checked readable first) into `out`, at
// most `max` bytes, always terminated. False when it is not readable.
bool copySafeString(uintptr_t address, char* out, size_t max) {
  out[0] = '\0';
  const char* string = nullptr;
  if (!ZOZReadString(address, &string, max)) return false;
  const size_t length = ::strnlen(string, max);
  std::memcpy(out, string, length);
  out[length] = '\0';
  return true;
}

void writeRegisters(ZOZFile* file, const ZOZThreadContext& state) {
  const k::x86_thread_state64_t& s = state.x86_64;
  ZOZFileWriteHashKey(file, "registers");
  ZOZFileWriteHashStart(file);
  const struct {
    const char* name;
    uint64_t value;
  } registers[] = {{"rax", s.rax}, {"rbx", s.rbx}, {"rcx", s.rcx}, {"rdx", s.rdx},       {"rdi", s.rdi},
                   {"rsi", s.rsi}, {"rbp", s.rbp}, {"rsp", s.rsp}, {"r8", s.r8},          {"r9", s.r9},
                   {"r10", s.r10}, {"r11", s.r11}, {"r12", s.r12}, {"r13", s.r13},       {"r14", s.r14},
                   {"r15", s.r15}, {"rip", s.rip}, {"rflags", s.rflags}, {"cs", s.cs}, {"fs", s.fs},
                   {"gs", s.gs}};
  for (const auto& entry : registers) ZOZFileWriteHashEntryUint64(file, entry.name, entry.value);
  ZOZFileWriteHashEnd(file);
}

int* logLevel() { return zozContext.writable ? &zozContext.writable->internalLogging.logLevel : nullptr; }

// The current thread's state, from the caller's frame: the caller resumes at
// our return address with its stack pointer just above our frame record and
// its frame pointer saved in it.
[[gnu::noinline]] void fakeCurrentThreadState(ZOZThreadContext* state) {
  ZOZSDKLogDebug("Faking current thread");
  auto* frame = static_cast<uint64_t*>(__builtin_frame_address(0));
  *state = ZOZThreadContext();
  state->layout = ZOZRegisterLayout::X86_64;
  state->x86_64 = {};
  state->x86_64.rip = uint64_t(reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
  state->x86_64.rbp = frame[0];
  state->x86_64.rsp = uint64_t(reinterpret_cast<uintptr_t>(frame)) + 16;
}

// Gathers the record's lines on the stack while the crash path writes them, so
// that a line goes out in a few write(2) calls instead of one per token. Each
// line is flushed as it ends: an interrupted path still leaves at most one
// cut line. A file that buffers already is left alone.
class StagedLines {
 public:
  explicit StagedLines(ZOZFile* file) : file_(file) {
    if (!file_ || file_->bufferWrites || file_->writeBuffer) return;
    file_->bufferWrites = true;
    file_->writeBuffer = buffer_;
    file_->writeBufferLength = 0;
    staged_ = true;
  }
  ~StagedLines() {
    if (!staged_) return;
    ZOZFileFlushWriteBuffer(file_);
    file_->bufferWrites = false;
    file_->writeBuffer = nullptr;
  }
  StagedLines(const StagedLines&) = delete;
  StagedLines& operator=(const StagedLines&) = delete;

  void lineEnded() {
    if (staged_) ZOZFileFlushWriteBuffer(file_);
  }

 private:
  ZOZFile* file_;
  bool staged_ = false;
  char buffer_[kZOZFileBufferSize];
};

}  // namespace

bool ZOZProcessSameThread(k::thread_t a, k::thread_t b) { return (a & ~k::thread_t(0xFF)) == (b & ~k::thread_t(0xFF)); }

void ZOZThreadStateFromMachineContext(const void* uap, ZOZThreadContext* state) {
  *state = ZOZThreadContext();
  state->layout = ZOZRegisterLayout::X86_64;
  state->x86_64 = k::threadStateFromMachineContext(uap);
}

bool ZOZProcessInit(ZOZProcess* process, k::thread_t crashedThread, const void* uap) {
  process->task = k::mach_task_self();
  process->thisThread = k::mach_thread_self();
  process->crashedThread = crashedThread;
  process->uap = uap;
  process->threads = nullptr;
  process->threadCount = 0;
  if (k::task_threads(process->task, &process->threads, &process->threadCount) != k::KERN_SUCCESS) {
    ZOZSDKLogError("Error: unable to get task threads");
    process->threads = nullptr;
    process->threadCount = 0;
    return false;
  }
  return true;
}

void ZOZProcessDestroy(ZOZProcess* process) {
  if (process->threads && process->threadCount > 0) {
    k::vm_deallocate(process->task, reinterpret_cast<k::vm_address_t>(process->threads),
                     process->threadCount * sizeof(k::thread_act_t));
  }
  process->threads = nullptr;
  process->threadCount = 0;
}

bool ZOZProcessSuspendAllOtherThreads(ZOZProcess* process) {
  // All the suspend signals go out before the first acknowledgement is
  // awaited: one round trip for the whole task instead of one per thread.
  k::mach_msg_type_number_t failed = 0;
  if (k::thread_suspend_others(process->threads, process->threadCount, &failed) != k::KERN_SUCCESS) {
    ZOZSDKLogError("Unable to suspend thread %d", int(failed));
    return false;
  }
  return true;
}

bool ZOZProcessResumeAllOtherThreads(ZOZProcess* process) {
  // Every thread is tried: a thread that could not be suspended must not keep
  // the ones after it parked.
  bool resumed = true;
  for (uint32_t i = 0; i < process->threadCount; ++i) {
    const k::thread_t thread = process->threads[i];
    if (ZOZProcessSameThread(thread, process->thisThread)) continue;
    if (k::thread_resume(thread) != k::KERN_SUCCESS) {
      ZOZSDKLogError("Unable to resume thread %d", int(i));
      resumed = false;
    }
  }
  return resumed;
}

bool ZOZProcessGetThreadState(const ZOZProcess* process, k::thread_t thread, ZOZThreadContext* state) {
  if (!state) {
    ZOZSDKLogError("Invalid context supplied");
    return false;
  }
  if (process->uap && ZOZProcessSameThread(thread, process->crashedThread)) {
    ZOZThreadStateFromMachineContext(process->uap, state);
    return true;
  }
  if (!ZOZProcessSameThread(thread, process->thisThread)) {
    *state = ZOZThreadContext();
    state->layout = ZOZRegisterLayout::X86_64;
    k::mach_msg_type_number_t count = k::x86_THREAD_STATE64_COUNT;
    const k::kern_return_t result = k::thread_get_state(
        thread, k::x86_THREAD_STATE64, reinterpret_cast<k::thread_state_t>(&state->x86_64), &count);
    if (result != k::KERN_SUCCESS) {
      if (result != k::MACH_SEND_INVALID_DEST) {
        ZOZSDKLogError("Failed to get thread state via thread_get_state for thread: %d", int(thread));
      }
      return false;
    }
    return true;
  }
  fakeCurrentThreadState(state);
  return true;
}

namespace {

// A thread whose state cannot be read: its place in the list and its name,
// with empty registers and stack so that every thread object has one shape.
void writeUnreadableThread(ZOZFile* file, k::thread_t thread, uint32_t index, bool crashed) {
  char name[kThreadNameSize] = {};
  if (k::thread_get_name(thread, name, sizeof name) != 0) name[0] = '\0';
  ZOZFileWriteHashStart(file);
  ZOZFileWriteHashKey(file, "registers");
  ZOZFileWriteHashStart(file);
  ZOZFileWriteHashEnd(file);
  ZOZFileWriteHashKey(file, "stacktrace");
  ZOZFileWriteArrayStart(file);
  ZOZFileWriteArrayEnd(file);
  if (crashed) ZOZFileWriteHashEntryBoolean(file, "crashed", true);
  ZOZFileWriteHashEntryBoolean(file, "unreadable", true);
  ZOZFileWriteHashEntryUint64(file, "index", index);
  ZOZFileWriteHashEntryString(file, "name", name);
  ZOZFileWriteHashEnd(file);
}

// One thread object of the "threads" section; false when its state could not
// be read (it is then written as unreadable).
bool writeThread(const ZOZProcess* process, ZOZFile* file, k::thread_t thread, uint32_t index) {
  const bool crashed = ZOZProcessSameThread(thread, process->crashedThread);
  ZOZThreadContext state;
  ZOZUnwindContext unwind;
  bool ok = ZOZProcessGetThreadState(process, thread, &state);
  if (!ok) ZOZSDKLogError("Unable to get thread state");
  if (ok && !ZOZUnwindInit(&unwind, &state)) {
    ZOZSDKLogError("Unable to init unwind context");
    ok = false;
  }
  if (!ok) {
    ZOZSDKLogError("Recording thread %d as unreadable", int(index));
    writeUnreadableThread(file, thread, index, crashed);
    return false;
  }

  int* level = logLevel();
  ZOZFileWriteHashStart(file);
  writeRegisters(file, state);
  ZOZFileWriteHashKey(file, "stacktrace");
  ZOZFileWriteArrayStart(file);
  const int savedLevel = level ? *level : 0;
  uint64_t repeatedPC = 0;
  uint32_t repeatCount = 0;
  while (ZOZUnwindNextFrame(&unwind)) {
    const uint64_t pc = ZOZUnwindGetPC(&unwind);
    const uint32_t count = ZOZUnwindContextGetCounter(&unwind);
    if (count >= kZOZRecursionRepeatThreshold && repeatedPC == 0) {
      ZOZSDKLogWarn("Possible infinite recursion - suppressing logging");
      if (level) *level = ZOZInternalLogLevelWarn;
      repeatedPC = pc;
    }
    if (repeatedPC != 0 && pc == repeatedPC) {
      repeatCount = count;
      continue;
    }
    ZOZFileWriteArrayEntryUint64(file, pc);
    if (level) *level = savedLevel;
  }
  ZOZFileWriteArrayEnd(file);
  if (crashed) ZOZFileWriteHashEntryBoolean(file, "crashed", true);
  if (repeatedPC != 0) {
    ZOZFileWriteHashEntryUint64(file, "repeated_pc", repeatedPC);
    ZOZFileWriteHashEntryUint64(file, "repeat_count", repeatCount);
  }
  if (level) *level = savedLevel;
  ZOZFileWriteHashEnd(file);
  return true;
}

}  // namespace

bool ZOZProcessRecordAllThreads(ZOZProcess* process, ZOZFile* file) {
  // The images' unwind sections do not change while the other threads are
  // suspended: every walk shares the blocks copied once.
  ZOZDwarfSectionCache sections;
  ZOZFileWriteSectionStart(file, "threads");
  ZOZFileWriteArrayStart(file);
  // A thread that cannot be read (one that blocks the suspend signal, say)
  // is recorded as such and the walk goes on: the crashed thread may come
  // after it.
  bool complete = true;
  for (uint32_t i = 0; i < process->threadCount; ++i) {
    ZOZSDKLogInfo("recording thread %d data", int(i));
    complete &= writeThread(process, file, process->threads[i], i);
  }
  if (!ZOZProcessCrashedThreadListed(process)) {
    ZOZSDKLogInfo("recording the crashed thread, which is not listed");
    complete &= writeThread(process, file, process->crashedThread, process->threadCount);
  }
  ZOZFileWriteArrayEnd(file);
  ZOZFileWriteSectionEnd(file);
  ZOZSDKLogInfo("Completed recording all thread data");
  return complete;
}

bool ZOZProcessCrashedThreadListed(const ZOZProcess* process) {
  for (uint32_t i = 0; i < process->threadCount; ++i) {
    if (ZOZProcessSameThread(process->threads[i], process->crashedThread)) return true;
  }
  return false;
}

void ZOZProcessRecordRuntimeInfo(ZOZProcess* process, ZOZFile* file) {
  char selector[kSelectorMax + 1] = {};
  ZOZThreadContext state;
  if (!ZOZProcessGetThreadState(process, process->crashedThread, &state)) {
    ZOZSDKLogError("unable to get crashed thread state");
  } else {
    const uint64_t pc = ZOZThreadContextGetPC(&state);
    const uint64_t entry = uint64_t(reinterpret_cast<uintptr_t>(&os::runtime::objc_msgSend));
    if (pc >= entry && pc <= entry + kZOZMessageDispatchWindow) {
      // The selector travels in the second argument register.
      const uint64_t second = state.layout == ZOZRegisterLayout::X86_64 ? state.x86_64.rsi : state.arm64.ss.x[1];
      if (!copySafeString(uintptr_t(second), selector, kSelectorMax)) {
        ZOZSDKLogError("Unable to read the selector string");
        selector[0] = '\0';
      }
    }
  }

  ZOZFileWriteSectionStart(file, "runtime");
  ZOZFileWriteHashStart(file);
  ZOZFileWriteHashEntryString(file, "objc_selector", selector);
  ZOZFileWriteHashKey(file, "crash_info_entries");
  ZOZFileWriteArrayStart(file);
  if (zozContext.writable) {
    for (const ZOZBinaryImageRuntimeNode& node : zozContext.writable->binaryImage.nodes) {
      if (ZOZBinaryImageNodeBase(node) == 0 || node.crashInfo == 0) continue;
      CrashInfo info{};
      if (!ZOZReadMemory(node.crashInfo, &info, sizeof info)) continue;
      ZOZSDKLogDebug("Found crash info with version %d", int(info.version));
      if (info.version >= 6 || info.message == 0) continue;
      char message[kCrashInfoMessageMax + 1];
      if (!copySafeString(uintptr_t(info.message), message, kCrashInfoMessageMax)) {
        ZOZSDKLogError("Failed to copy crash info string");
        continue;
      }
      ZOZRedactUUID(message);
      ZOZFileWriteArrayEntryHexEncodedString(file, message);
    }
  }
  ZOZFileWriteArrayEnd(file);
  ZOZFileWriteHashEnd(file);
  ZOZFileWriteSectionEnd(file);
}

void ZOZProcessRecordDispatchQueueNames(ZOZProcess* process, ZOZFile* file) {
  ZOZFileWriteSectionStart(file, "dispatch_queue_names");
  ZOZFileWriteArrayStart(file);
  const uint32_t entries = process->threadCount + (ZOZProcessCrashedThreadListed(process) ? 0 : 1);
  for (uint32_t i = 0; i < entries; ++i) {
    const k::thread_t thread = i < process->threadCount ? process->threads[i] : process->crashedThread;
    char label[kQueueLabelMax + 1] = {};
    k::thread_identifier_info info{};
    k::mach_msg_type_number_t count = k::THREAD_IDENTIFIER_INFO_COUNT;
    if (k::thread_info(thread, k::THREAD_IDENTIFIER_INFO, reinterpret_cast<k::thread_info_t>(&info),
                       &count) != k::KERN_SUCCESS) {
      ZOZSDKLogError("Unable to get thread info");
    } else {
      uint64_t queue = 0;
      if (info.dispatch_qaddr != 0 && ZOZReadMemory(uintptr_t(info.dispatch_qaddr), &queue, sizeof queue) &&
          queue != 0) {
        copySafeString(uintptr_t(queue), label, kQueueLabelMax);
      }
    }
    ZOZFileWriteArrayEntryString(file, label);
  }
  ZOZFileWriteArrayEnd(file);
  ZOZFileWriteSectionEnd(file);
}

void ZOZProcessRecordThreadNames(ZOZProcess* process, ZOZFile* file) {
  ZOZFileWriteSectionStart(file, "thread_names");
  ZOZFileWriteArrayStart(file);
  const uint32_t entries = process->threadCount + (ZOZProcessCrashedThreadListed(process) ? 0 : 1);
  for (uint32_t i = 0; i < entries; ++i) {
    const k::thread_t thread = i < process->threadCount ? process->threads[i] : process->crashedThread;
    char name[kThreadNameSize] = {};
    if (k::thread_get_name(thread, name, sizeof name) != 0) name[0] = '\0';
    ZOZFileWriteArrayEntryString(file, name);
  }
  ZOZFileWriteArrayEnd(file);
  ZOZFileWriteSectionEnd(file);
}

void ZOZProcessRecordStats(ZOZProcess* process, ZOZFile* file) {
  k::vm_statistics_data_t vm{};
  k::mach_msg_type_number_t vmCount = k::HOST_VM_INFO_COUNT;
  if (k::host_statistics(k::mach_host_self(), k::HOST_VM_INFO, reinterpret_cast<k::host_info_t>(&vm), &vmCount) !=
      k::KERN_SUCCESS) {
    ZOZSDKLogError("Failed to get vm statistics");
    ZOZSDKLogError("Unable to get process memory usage");
    return;
  }
  k::task_basic_info_64_data_t task{};
  k::mach_msg_type_number_t taskCount = k::TASK_BASIC_INFO_64_COUNT;
  if (k::task_info(process->task, k::TASK_BASIC_INFO_64, reinterpret_cast<k::task_info_t>(&task), &taskCount) !=
      k::KERN_SUCCESS) {
    ZOZSDKLogError("Failed to get task info");
    ZOZSDKLogError("Unable to get process stats");
    return;
  }
  const uint64_t page = zozContext.readonly ? zozContext.readonly->host.pageSize : 0;
  const auto micros = [](const k::time_value_t& t) {
    return uint64_t(int64_t(t.seconds) * 1'000'000 + int64_t(t.microseconds));
  };
  ZOZFileWriteSectionStart(file, "process_stats");
  ZOZFileWriteHashStart(file);
  ZOZFileWriteHashEntryUint64(file, "active", uint64_t(vm.active_count) * page);
  ZOZFileWriteHashEntryUint64(file, "inactive", uint64_t(vm.inactive_count) * page);
  ZOZFileWriteHashEntryUint64(file, "wired", uint64_t(vm.wire_count) * page);
  ZOZFileWriteHashEntryUint64(file, "freeMem", uint64_t(vm.free_count) * page);
  ZOZFileWriteHashEntryUint64(file, "free_mem", uint64_t(vm.free_count) * page);
  ZOZFileWriteHashEntryUint64(file, "virtual", task.virtual_size);
  ZOZFileWriteHashEntryUint64(file, "resident", task.resident_size);
  ZOZFileWriteHashEntryUint64(file, "user_time", micros(task.user_time));
  ZOZFileWriteHashEntryUint64(file, "sys_time", micros(task.system_time));
  ZOZFileWriteHashEnd(file);
  ZOZFileWriteSectionEnd(file);
}

void ZOZHostWriteDiskUsage(ZOZFile* file) {
  ZOZFileWriteSectionStart(file, "storage");
  ZOZFileWriteHashStart(file);
  ZOZFileWriteHashEntryUint64(file, "free", 0);
  ZOZFileWriteHashEntryUint64(file, "total", 0);
  ZOZFileWriteHashEnd(file);
  ZOZFileWriteSectionEnd(file);
}

void ZOZCreateCrashedMarkerFile() {
  const char* path = zozContext.readonly ? zozContext.readonly->previouslyCrashedFileFullPath : nullptr;
  ZOZFile marker;
  if (path && ZOZFileInitWithPathMode(&marker, path, true, false)) {
    ZOZFileClose(&marker);
    ZOZSDKLogWarn("Created the crashed marker file");
  } else {
    ZOZSDKLogWarn("Unable to create the crashed marker file");
  }
}

void ZOZRedactUUID(char* string) {
  if (!string) return;
  for (char* open = std::strchr(string, '('); open; open = std::strchr(open + 1, '(')) {
    const char* close = std::strchr(open + 1, ')');
    if (!close) return;
    if (close - open != 37) continue;
    for (char* c = open + 1; c < close; ++c) {
      if (*c != '-') *c = '*';
    }
    return;
  }
}

void ZOZHandler(ZOZFile* file, k::thread_t crashedThread, const void* uap) {
  ZOZProcess process;
  StagedLines lines(file);
  ZOZProcessInit(&process, crashedThread, uap);
  ZOZProcessSuspendAllOtherThreads(&process);
  // Libraries opened since the table was last brought up to date: their
  // frames unwind and symbolicate like any other.
  ZOZBinaryImageSafeAddUnlistedImages();
  ZOZProcessRecordAllThreads(&process, file);
  lines.lineEnded();
  ZOZProcessRecordRuntimeInfo(&process, file);
  lines.lineEnded();
  ZOZProcessRecordDispatchQueueNames(&process, file);
  lines.lineEnded();
  ZOZProcessRecordThreadNames(&process, file);
  lines.lineEnded();
  ZOZProcessRecordStats(&process, file);
  lines.lineEnded();
  ZOZHostWriteDiskUsage(file);
  lines.lineEnded();
  ZOZCreateCrashedMarkerFile();
  ZOZProcessResumeAllOtherThreads(&process);
  ZOZProcessDestroy(&process);
}
