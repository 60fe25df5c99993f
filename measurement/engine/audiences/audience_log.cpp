#include "measurement/engine/audiences/audience_log.h"

#include <memory>
#include <mutex>

#include "measurement/store/engine_services/engine_services.h"

namespace apm_audience {
namespace {

std::mutex& observerMutex() {
  static std::mutex mutex;
  return mutex;
}
// Guarded by observerMutex().
std::shared_ptr<LogObserver>& observer() {
  static std::shared_ptr<LogObserver> instance;
  return instance;
}

}  // namespace

void log(int64_t level, int64_t code, std::string_view text, std::vector<APMLogContext> contexts) {
  std::shared_ptr<LogObserver> current;
  {
    std::lock_guard lock(observerMutex());
    current = observer();
  }
  if (current) (*current)(level, code, contexts);
  APMMeasurementServices::monitor()->logWithLevel(level, code, text, std::move(contexts));
}

void TEST_setLogObserver(LogObserver newObserver) {
  std::lock_guard lock(observerMutex());
  observer() = newObserver ? std::make_shared<LogObserver>(std::move(newObserver)) : nullptr;
}

}  // namespace apm_audience
