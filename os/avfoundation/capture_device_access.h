// Internal to os/avfoundation: what the session, outputs and tests of this
// module reach inside a capture device.
#pragma once

#include <memory>
#include <optional>

#include "os/avfoundation/capture_device.h"

struct AVCaptureDevice::Access {
  static std::shared_ptr<AVCaptureDevice> make(const os::CameraSimulator::DeviceSpec& spec);
  // A running session starts / stops using the device (counted).
  static void beginStreaming(AVCaptureDevice& device);
  static void endStreaming(AVCaptureDevice& device);
  // Grey-world gains for the scene, limited to [1, maxGain]; nullopt for a
  // black scene.
  static std::optional<AVCaptureWhiteBalanceGains> targetGains(const os::CaptureScene& scene, float maxGain);
};
