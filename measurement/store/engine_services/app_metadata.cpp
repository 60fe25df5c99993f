#include "measurement/store/engine_services/app_metadata.h"

#include <limits>

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/monitor.h"

std::optional<APMAppMetadata> APMAppMetadata::initWithLastBundleIndex(int32_t lastBundleIndex,
                                                                      double lastBundleStartTimestamp,
                                                                      double lastBundleEndTimestamp) {
  if (lastBundleIndex < 0) {
    APMMeasurementServices::monitor()->logWithLevel(
        2, kAPMAppMetadataCodeNegativeBundleIndex,
        "Failed to create app metadata object. Received negative last bundle index.");
    return std::nullopt;
  }
  return APMAppMetadata(lastBundleIndex, lastBundleStartTimestamp, lastBundleEndTimestamp);
}

void APMAppMetadata::incrementLastBundleIndex() {
  if (lastBundleIndex_ == std::numeric_limits<int32_t>::max()) {
    lastBundleIndex_ = 0;
    APMMeasurementServices::monitor()->logWithLevel(5, kAPMAppMetadataCodeBundleIndexOverflow,
                                                    "Bundle index overflow. Bundle index reset to 0.");
    return;
  }
  ++lastBundleIndex_;
}
