#include "app/screens/photo/tests/photo_test_support.h"

#include <gtest/gtest.h>

#include <mutex>

#include "app/camera/camera_controller.h"
#include "os/avfoundation/avfoundation.h"
#include "os/dispatch/manual_clock.h"
#include "os/dispatch/queue.h"

namespace drosil::testing {

namespace {

class PhotoCatcher : public AVCapturePhotoCaptureDelegate {
 public:
  void captureOutput(const std::shared_ptr<AVCapturePhotoOutput>&, const std::shared_ptr<AVCapturePhoto>& photo,
                     const std::optional<os::Error>&) override {
    std::lock_guard lock(mutex);
    this->photo = photo;
  }
  std::mutex mutex;
  std::shared_ptr<AVCapturePhoto> photo;  // guarded by mutex
};

}  // namespace

os::Data takeCameraJPEG(os::ManualClock& clock, double kelvin) {
  os::CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, AVAuthorizationStatus::Authorized);
  auto controller = CameraController::create(CameraControllePreviewType::PreviewLayer, {});
  os::dispatch::drainUntilIdle();
  controller->performOnSessionQueue([controller] { controller->startSession(); });
  os::dispatch::drainUntilIdle();
  os::CameraSimulator::setScene(*os::CaptureScene::lightSource(kelvin));
  clock.advance(AVCaptureDevice::kWhiteBalanceAdjustmentSeconds + 0.1);
  os::dispatch::drainUntilIdle();

  auto catcher = std::make_shared<PhotoCatcher>();
  controller->stillImageOutput()->capturePhotoWithSettings(AVCapturePhotoSettings::photoSettings(), catcher);
  os::dispatch::drainUntilIdle();

  std::lock_guard lock(catcher->mutex);
  EXPECT_NE(catcher->photo, nullptr);
  if (!catcher->photo || !catcher->photo->fileDataRepresentation()) return {};
  return *catcher->photo->fileDataRepresentation();
}

}  // namespace drosil::testing
