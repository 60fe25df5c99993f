#include "crash/core/zoz_unwind_support.h"

#include <atomic>

#include "crash/core/zoz_register_state.h"

namespace {

std::atomic<ZOZUnwindLogObserver> gObserver{nullptr};

}  // namespace

namespace zoz_detail {

void observeUnwindLog(int level, const char* message) {
  if (ZOZUnwindLogObserver observer = gObserver.load(std::memory_order_acquire)) observer(level, message);
}

bool linkRegisterStep(ZOZThreadContext* state) {
  const uint64_t lr = ZOZThreadContextGetLinkRegister(state);
  if (lr < kZOZUnwindMinimumValidAddress) {
    ZOZ_UNWIND_WARN("Error: LR value is invalid");
    return false;
  }
  return ZOZThreadContextSetPC(state, lr);
}

bool framePointerStep(ZOZThreadContext* state, bool allowLinkRegister) {
  if (allowLinkRegister) {
    if (linkRegisterStep(state)) return true;
    ZOZ_UNWIND_WARN("Unable to use LR, skipping");
  }
  const uint64_t fp = ZOZThreadContextGetFramePointer(state);
  uint64_t record[2];
  if (!ZOZReadMemory(fp, record, sizeof record)) {
    ZOZ_UNWIND_WARN("Error: failed to read memory at address %p", (void*)fp);
    return false;
  }
  ZOZThreadContextSetPC(state, record[1]);
  ZOZThreadContextSetFramePointer(state, record[0]);
  ZOZThreadContextSetStackPointer(state, fp + kZOZFrameRecordSize);
  return true;
}

}  // namespace zoz_detail

void TEST_ZOZUnwindSetLogObserver(ZOZUnwindLogObserver observer) {
  gObserver.store(observer, std::memory_order_release);
}
