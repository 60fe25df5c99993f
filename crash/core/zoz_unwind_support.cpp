#include "crash/core/zoz_unwind_support.h"

#include <atomic>

namespace {

std::atomic<ZOZUnwindLogObserver> gObserver{nullptr};

}  // namespace

namespace zoz_detail {

void observeUnwindLog(int level, const char* message) {
  if (ZOZUnwindLogObserver observer = gObserver.load(std::memory_order_acquire)) observer(level, message);
}

}  // namespace zoz_detail

void TEST_ZOZUnwindSetLogObserver(ZOZUnwindLogObserver observer) {
  gObserver.store(observer, std::memory_order_release);
}
