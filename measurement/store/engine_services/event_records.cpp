#include "measurement/store/engine_services/event_records.h"

#include <limits>

#include "measurement/store/engine_services/data_type_validator.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/monitor.h"

namespace {

// Adds 1, wrapping to 0 (and logging) at the largest count.
void increment(int32_t& count, int64_t code, std::string_view message) {
  if (count == std::numeric_limits<int32_t>::max()) {
    count = 0;
    APMMeasurementServices::monitor()->logWithLevel(5, code, message);
    return;
  }
  ++count;
}

}  // namespace

std::shared_ptr<APMEventAggregates> APMEventAggregates::initWithName(std::string_view name, int32_t lifetimeCount,
                                                                     int32_t currentBundleCount,
                                                                     int32_t currentSessionCount,
                                                                     double lastFireTimestamp) {
  if (!APMDataTypeValidator::isValidInternalEventName(name, nullptr)) return nullptr;
  if (lifetimeCount < 0 || currentBundleCount < 0 || currentSessionCount < 0) {
    APMMeasurementServices::monitor()->logWithLevel(
        5, kAPMEventAggregatesCodeNegativeCount, "Failed to create event aggregates object. Received negative count.");
    return nullptr;
  }
  return std::make_shared<APMEventAggregates>(std::string(name), lifetimeCount, currentBundleCount,
                                              currentSessionCount, lastFireTimestamp);
}

void APMEventAggregates::incrementLifetimeCount() {
  increment(lifetimeCount_, kAPMEventAggregatesCodeLifetimeOverflow, "Lifetime count overflow. Lifetime count reset to 0.");
}

void APMEventAggregates::incrementCurrentBundleCount() {
  increment(currentBundleCount_, kAPMEventAggregatesCodeBundleOverflow, "Bundle count overflow. Bundle count reset to 0.");
}

void APMEventAggregates::incrementCurrentSessionCount() {
  increment(currentSessionCount_, kAPMEventAggregatesCodeSessionOverflow,
            "Session count overflow. Session count reset to 0.");
}
