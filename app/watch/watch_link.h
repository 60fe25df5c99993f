// The contract with the watch app: the payloads the phone queues for it, the
// command keys it sends back, and the notifications the phone posts for
// them. Traffic both ways is queued user info (WCSession::transferUserInfo),
// never live messages.
//
// Phone to watch (a key may be missing; the watch keeps what it shows):
//   "wbValue"           string  the reading as shown ("5433K"); "" clears it
//   "compensationValue" double  the compensation in kelvin
//   "watchSlider"       data    PNG of the colour slider; empty when none
//   "zoomValue"         double  the camera's current zoom factor
// Watch to phone: a dictionary whose keys name commands; values are ignored.
#pragma once

#include <array>
#include <string>

#include "os/foundation/data.h"
#include "os/foundation/value.h"
#include "os/graphics/geometry.h"

// Payload keys.
inline constexpr const char* kWatchWBValueKey = "wbValue";
inline constexpr const char* kWatchCompensationValueKey = "compensationValue";
inline constexpr const char* kWatchSliderKey = "watchSlider";
inline constexpr const char* kWatchZoomValueKey = "zoomValue";

// Command keys; each is also the name of the notification posted for it (no
// object), on the watch session's queue.
inline constexpr const char* kWatchChangeZoomCommand = "changeZoom";
inline constexpr const char* kWatchTakePhotoCommand = "takePhoto";
inline constexpr const char* kWatchFlipCameraCommand = "flipCamera";
// The order in which the commands of one dictionary are posted.
inline constexpr std::array<const char*, 3> kWatchCommandsInOrder = {kWatchChangeZoomCommand, kWatchTakePhotoCommand,
                                                                     kWatchFlipCameraCommand};

// Posted (no object) when the watch becomes reachable; the main screen
// answers with the full payload.
inline constexpr const char* kRefreshTheWatchAppNotification = "RefreshTheWatchApp";

// {"wbValue": ""}: clears the watch display.
os::Dictionary watchClearPayload();
// A new reading: "wbValue", "watchSlider", "zoomValue".
os::Dictionary watchReadingPayload(const std::string& reading, const os::Data& sliderPNG, CGFloat zoom);
// After a zoom change: "zoomValue" only.
os::Dictionary watchZoomPayload(CGFloat zoom);
// Everything the watch shows: "wbValue", "compensationValue", "watchSlider",
// "zoomValue".
os::Dictionary watchFullPayload(const std::string& reading, double compensation, const os::Data& sliderPNG,
                                CGFloat zoom);
