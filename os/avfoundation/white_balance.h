// White-balance values of a capture device and the conversion between gains
// and temperature-and-tint, as the simulated sensor does it.
//
// The white's camera RGB is the reciprocal of the gains; its XYZ comes from
// the inverse of the camera's colour matrix; its CIE 1960 uv gives the
// correlated colour temperature and Duv (colour_science.h). The tint is
// 3000 x Duv, positive towards green.
#pragma once

#include "os/foundation/error.h"

struct AVCaptureWhiteBalanceGains {
  float redGain = 1.0f;
  float greenGain = 1.0f;
  float blueGain = 1.0f;
  friend bool operator==(const AVCaptureWhiteBalanceGains&, const AVCaptureWhiteBalanceGains&) = default;
};

struct AVCaptureWhiteBalanceTemperatureAndTintValues {
  float temperature = 0;  // kelvin
  float tint = 0;
  friend bool operator==(const AVCaptureWhiteBalanceTemperatureAndTintValues&,
                         const AVCaptureWhiteBalanceTemperatureAndTintValues&) = default;
};

namespace os::avfoundation::detail {

struct CameraRGB;

// Gains scaled by any positive factor give the same values. Gains that are
// not all finite and positive are refused with AVErrorOperationNotAllowed.
os::Result<AVCaptureWhiteBalanceTemperatureAndTintValues> temperatureAndTintForGains(
    const AVCaptureWhiteBalanceGains& gains);

// Gains normalised so that the smallest is 1.0 (not limited above). A
// temperature outside 1000..100000 K, a non-finite value, or a white the
// sensor would see with a non-positive channel is refused with
// AVErrorOperationNotAllowed.
os::Result<AVCaptureWhiteBalanceGains> gainsForTemperatureAndTint(
    const AVCaptureWhiteBalanceTemperatureAndTintValues& values);

// Grey-world gains for a white seen as `rgb`: the reciprocals normalised so
// that the smallest is 1.0. Refused when a channel is not finite and positive.
os::Result<AVCaptureWhiteBalanceGains> gainsForCameraRGB(const CameraRGB& rgb);

}  // namespace os::avfoundation::detail
