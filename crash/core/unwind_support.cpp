#include "crash/core/unwind_support.h"

#include <atomic>

#include "os/kernel/vm.h"

namespace {

std::atomic<ZOZUnwindLogObserver> gObserver{nullptr};

}  // namespace

namespace zoz_detail {

bool readMemory(uint64_t address, void* destination, size_t length) {
  if (address < 4096) return false;
  os::kernel::vm_size_t copied = 0;
  return os::kernel::vm_read_overwrite(os::kernel::mach_task_self(), os::kernel::vm_address_t(address), length,
                                       os::kernel::vm_address_t(destination), &copied) == os::kernel::KERN_SUCCESS;
}

void observeUnwindLog(int level, const char* message) {
  if (ZOZUnwindLogObserver observer = gObserver.load(std::memory_order_acquire)) observer(level, message);
}

void unwindFileLog(int, const char*, ...) {}

}  // namespace zoz_detail

void TEST_ZOZUnwindSetLogObserver(ZOZUnwindLogObserver observer) {
  gObserver.store(observer, std::memory_order_release);
}
