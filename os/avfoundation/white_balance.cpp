#include "os/avfoundation/white_balance.h"

#include <algorithm>
#include <cmath>

#include "os/avfoundation/av_error.h"
#include "os/avfoundation/colour_science.h"
#include "os/foundation/format.h"

namespace os::avfoundation::detail {
namespace {

bool finitePositive(double v) { return std::isfinite(v) && v > 0; }

constexpr double kTintPerDuv = 3000.0;

}  // namespace

os::Result<AVCaptureWhiteBalanceTemperatureAndTintValues> temperatureAndTintForGains(
    const AVCaptureWhiteBalanceGains& gains) {
  if (!finitePositive(gains.redGain) || !finitePositive(gains.greenGain) || !finitePositive(gains.blueGain)) {
    return os::fail(AVMakeError(
        AVErrorOperationNotAllowed,
        os::format("White balance gains must be finite and positive (red %g, green %g, blue %g).",
                   gains.redGain, gains.greenGain, gains.blueGain)));
  }
  const CameraRGB white{1.0 / gains.redGain, 1.0 / gains.greenGain, 1.0 / gains.blueGain};
  const XYZ xyz = xyzFromCameraRGB(white);
  const double denominator = xyz.X + 15 * xyz.Y + 3 * xyz.Z;
  if (!(denominator > 0) || !(xyz.Y > 0)) {
    return os::fail(AVMakeError(AVErrorOperationNotAllowed,
                                "The white balance gains describe no visible colour."));
  }
  const CCTDuv c = cctDuvFromUV(uvFromXYZ(xyz));
  return AVCaptureWhiteBalanceTemperatureAndTintValues{static_cast<float>(c.cct),
                                                       static_cast<float>(c.duv * kTintPerDuv)};
}

os::Result<AVCaptureWhiteBalanceGains> gainsForTemperatureAndTint(
    const AVCaptureWhiteBalanceTemperatureAndTintValues& values) {
  const double T = values.temperature;
  if (!std::isfinite(T) || T < kMinimumLocusTemperature || T > kMaximumLocusTemperature ||
      !std::isfinite(values.tint)) {
    return os::fail(AVMakeError(
        AVErrorOperationNotAllowed,
        os::format("Temperature %g K and tint %g are outside the supported range.", values.temperature,
                   values.tint)));
  }
  const UV uv = uvFromCCTDuv(T, values.tint / kTintPerDuv);
  return gainsForCameraRGB(cameraRGBFromXYZ(xyzFromUV(uv)));
}

os::Result<AVCaptureWhiteBalanceGains> gainsForCameraRGB(const CameraRGB& rgb) {
  if (!finitePositive(rgb.r) || !finitePositive(rgb.g) || !finitePositive(rgb.b)) {
    return os::fail(AVMakeError(AVErrorOperationNotAllowed,
                                "The sensor sees this white with a channel at or below zero."));
  }
  const double r = 1 / rgb.r, g = 1 / rgb.g, b = 1 / rgb.b;
  const double smallest = std::min({r, g, b});
  return AVCaptureWhiteBalanceGains{static_cast<float>(r / smallest), static_cast<float>(g / smallest),
                                    static_cast<float>(b / smallest)};
}

}  // namespace os::avfoundation::detail
