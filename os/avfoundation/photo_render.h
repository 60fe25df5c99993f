// Internal to os/avfoundation: a photo of the scene as the sensor sees it
// with given white-balance gains, and its JPEG encoding.
#pragma once

#include <cstdint>
#include <vector>

#include "os/avfoundation/capture_device.h"
#include "os/foundation/data.h"

namespace os::avfoundation::detail {

struct RGBImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // 8-bit sRGB, 3 bytes per pixel, rows top to bottom
};

// Photo size of a light-source scene (portrait, 3:4).
inline constexpr int kPhotoWidth = 1080;
inline constexpr int kPhotoHeight = 1440;

// The scene rendered through the camera: a light source as a flat field of
// its white, an image at its own size. Gains equal to the scene's grey-world
// gains render the white neutral at the scene's brightness; other gains tint
// it as the camera would.
RGBImage renderScene(const os::CaptureScene& scene, const AVCaptureWhiteBalanceGains& gains);

// Baseline JPEG of the image; empty data when libjpeg reports an error or the
// image is empty or inconsistent.
os::Data encodeJPEG(const RGBImage& image, int quality = 90);

}  // namespace os::avfoundation::detail
