#include "app/watch/watch_link.h"


os::Dictionary watchClearPayload() { return {{kWatchWBValueKey, os::Value("")}}; }

os::Dictionary watchReadingPayload(const std::string& reading, const os::Data& sliderPNG, CGFloat zoom) {
  return {
      {kWatchWBValueKey, os::Value(reading)},
      {kWatchSliderKey, os::Value(sliderPNG)},
      {kWatchZoomValueKey, os::Value(static_cast<double>(zoom))},
  };
}

os::Dictionary watchZoomPayload(CGFloat zoom) { return {{kWatchZoomValueKey, os::Value(static_cast<double>(zoom))}}; }

os::Dictionary watchFullPayload(const std::string& reading, double compensation, const os::Data& sliderPNG,
                                CGFloat zoom) {
  os::Dictionary payload = watchReadingPayload(reading, sliderPNG, zoom);
  payload.emplace(kWatchCompensationValueKey, os::Value(compensation));
  return payload;
}
