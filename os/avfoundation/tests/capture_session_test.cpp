#include "os/avfoundation/capture_session.h"

#include <gtest/gtest.h>
#include <jpeglib.h>

#include <cmath>
#include <csetjmp>
#include <mutex>

#include "os/avfoundation/preview_layer.h"
#include "os/dispatch/manual_clock.h"
#include "os/dispatch/queue.h"

namespace {

using os::CameraSimulator;
using os::CaptureScene;

struct DecodedJPEG {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};

struct DecodeErrors {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

// Decodes with libjpeg itself: the photo must be a real JPEG file.
bool decodeJPEG(const os::Data& data, DecodedJPEG* out) {
  jpeg_decompress_struct cinfo;
  DecodeErrors errors;
  cinfo.err = jpeg_std_error(&errors.pub);
  errors.pub.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<DecodeErrors*>(c->err)->jump, 1); };
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data.bytes(), data.size());
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  out->width = static_cast<int>(cinfo.output_width);
  out->height = static_cast<int>(cinfo.output_height);
  out->rgb.resize(size_t(out->width) * out->height * 3);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out->rgb.data() + size_t(cinfo.output_scanline) * out->width * 3;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

class PhotoCatcher : public AVCapturePhotoCaptureDelegate {
 public:
  void captureOutput(const std::shared_ptr<AVCapturePhotoOutput>&, const std::shared_ptr<AVCapturePhoto>& photo,
                     const std::optional<os::Error>& error) override {
    std::lock_guard lock(mutex);
    photos.emplace_back(photo, error);
    onMainThread = onMainThread || os::DispatchQueue::isMainThread();
  }
  std::mutex mutex;
  std::vector<std::pair<std::shared_ptr<AVCapturePhoto>, std::optional<os::Error>>> photos;
  bool onMainThread = false;
};

class CaptureSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CameraSimulator::reset();
    CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, AVAuthorizationStatus::Authorized);
    back_ = AVCaptureDevice::defaultDeviceWithDeviceType(AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo,
                                                         AVCaptureDevicePosition::Back);
    front_ = AVCaptureDevice::defaultDeviceWithDeviceType(AVCaptureDeviceTypeBuiltInWideAngleCamera,
                                                          AVMediaTypeVideo, AVCaptureDevicePosition::Front);
    session_ = AVCaptureSession::create();
  }
  void TearDown() override {
    session_->stopRunning();
    os::dispatch::drainUntilIdle();
    CameraSimulator::reset();
  }
  std::shared_ptr<AVCaptureDeviceInput> input(const std::shared_ptr<AVCaptureDevice>& device) {
    auto in = AVCaptureDeviceInput::deviceInputWithDevice(device);
    EXPECT_TRUE(in.has_value());
    return in.value_or(nullptr);
  }
  void settle() {
    clock_->advanceNanos(AVCaptureDevice::kWhiteBalanceAdjustmentSteps *
                         AVCaptureDevice::kWhiteBalanceAdjustmentStepNanos);
  }
  // Takes one photo and waits for its delegate call.
  std::pair<std::shared_ptr<AVCapturePhoto>, std::optional<os::Error>> takePhoto(
      const std::shared_ptr<AVCapturePhotoOutput>& output) {
    auto catcher = std::make_shared<PhotoCatcher>();
    auto settings = AVCapturePhotoSettings::photoSettings();
    settings->setFlashMode(AVCaptureFlashMode::Off);
    settings->setAutoStillImageStabilizationEnabled(true);
    output->capturePhotoWithSettings(settings, catcher);
    os::dispatch::drainUntilIdle();
    EXPECT_FALSE(catcher->onMainThread);
    EXPECT_EQ(catcher->photos.size(), 1u);
    if (catcher->photos.empty()) return {};
    EXPECT_EQ(catcher->photos[0].first->settingsUniqueID(), settings->uniqueID());
    return catcher->photos[0];
  }

  os::ManualClockScope clock_;
  std::shared_ptr<AVCaptureDevice> back_, front_;
  std::shared_ptr<AVCaptureSession> session_;
};

TEST_F(CaptureSessionTest, InputsAndOutputs) {
  auto backInput = input(back_);
  EXPECT_FALSE(session_->canAddInput(nullptr));
  ASSERT_TRUE(session_->canAddInput(backInput));
  ASSERT_TRUE(session_->addInput(backInput).has_value());
  EXPECT_FALSE(session_->canAddInput(backInput));
  // One camera at a time.
  auto frontInput = input(front_);
  EXPECT_FALSE(session_->canAddInput(frontInput));
  EXPECT_FALSE(session_->addInput(frontInput).has_value());
  session_->removeInput(backInput);
  EXPECT_TRUE(session_->inputs().empty());
  EXPECT_TRUE(session_->addInput(frontInput).has_value());
  EXPECT_EQ(session_->videoDevice(), front_);

  auto photo = AVCapturePhotoOutput::create();
  EXPECT_EQ(photo->connection(), nullptr);
  ASSERT_TRUE(session_->canAddOutput(photo));
  ASSERT_TRUE(session_->addOutput(photo).has_value());
  EXPECT_NE(photo->connection(), nullptr);
  EXPECT_FALSE(session_->canAddOutput(photo));
  EXPECT_FALSE(AVCaptureSession::create()->addOutput(photo).has_value());
  EXPECT_TRUE(session_->canAddOutput(AVCaptureVideoDataOutput::create()));

  EXPECT_EQ(session_->sessionPreset(), AVCaptureSessionPresetHigh);
  EXPECT_TRUE(session_->setSessionPreset(AVCaptureSessionPresetPhoto).has_value());
  EXPECT_FALSE(session_->setSessionPreset("AVCaptureSessionPresetHuge").has_value());
  EXPECT_EQ(session_->sessionPreset(), AVCaptureSessionPresetPhoto);
}

TEST_F(CaptureSessionTest, DeviceInputNeedsPermissionAndAConnectedDevice) {
  struct Case {
    AVAuthorizationStatus status;
    bool connected;
    int64_t code;
  };
  const Case cases[] = {
      {AVAuthorizationStatus::NotDetermined, true, AVErrorApplicationIsNotAuthorizedToUseDevice},
      {AVAuthorizationStatus::Denied, true, AVErrorApplicationIsNotAuthorizedToUseDevice},
      {AVAuthorizationStatus::Restricted, true, AVErrorApplicationIsNotAuthorizedToUseDevice},
      {AVAuthorizationStatus::Authorized, false, AVErrorDeviceNotConnected},
  };
  for (const auto& c : cases) {
    CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, c.status);
    CameraSimulator::setConnected(back_, c.connected);
    auto in = AVCaptureDeviceInput::deviceInputWithDevice(back_);
    ASSERT_FALSE(in.has_value());
    EXPECT_EQ(in.error().domain(), AVFoundationErrorDomain);
    EXPECT_EQ(in.error().code(), c.code);
  }
  EXPECT_FALSE(AVCaptureDeviceInput::deviceInputWithDevice(nullptr).has_value());
}

TEST_F(CaptureSessionTest, DeviceChangesWaitForTheCommit) {
  session_->startRunning();
  session_->beginConfiguration();
  ASSERT_TRUE(session_->addInput(input(back_)).has_value());
  os::dispatch::drainUntilIdle();
  EXPECT_FALSE(back_->isAdjustingWhiteBalance());
  session_->commitConfiguration();
  EXPECT_TRUE(back_->isAdjustingWhiteBalance());
  session_->commitConfiguration();  // unmatched: ignored
  EXPECT_TRUE(session_->isRunning());
}

TEST_F(CaptureSessionTest, PhotoIsAJPEGOfTheSceneAsBalanced) {
  auto output = AVCapturePhotoOutput::create();
  ASSERT_TRUE(session_->addInput(input(back_)).has_value());
  ASSERT_TRUE(session_->addOutput(output).has_value());
  CameraSimulator::setScene(*CaptureScene::lightSource(3000));
  session_->startRunning();
  settle();

  // Settled: the white comes out neutral.
  auto [photo, error] = takePhoto(output);
  ASSERT_TRUE(photo && !error);
  ASSERT_TRUE(photo->fileDataRepresentation().has_value());
  DecodedJPEG settled;
  ASSERT_TRUE(decodeJPEG(*photo->fileDataRepresentation(), &settled));
  EXPECT_EQ(settled.width, photo->pixelWidth());
  EXPECT_EQ(settled.height, photo->pixelHeight());
  EXPECT_LT(settled.width, settled.height);
  const uint8_t* mid = &settled.rgb[(size_t(settled.height / 2) * settled.width + settled.width / 2) * 3];
  EXPECT_NEAR(mid[0], mid[2], 3);
  EXPECT_NEAR(mid[0], mid[1], 3);
  EXPECT_GT(mid[1], 200);

  // Taken before the camera caught up with a warmer light: it looks warm.
  CameraSimulator::setScene(*CaptureScene::lightSource(2200));
  auto [warm, warmError] = takePhoto(output);
  ASSERT_TRUE(warm && !warmError);
  DecodedJPEG warmImage;
  ASSERT_TRUE(decodeJPEG(*warm->fileDataRepresentation(), &warmImage));
  EXPECT_GT(int(warmImage.rgb[0]) - int(warmImage.rgb[2]), 40);
}

TEST_F(CaptureSessionTest, PhotoFailsWithoutARunningSession) {
  auto output = AVCapturePhotoOutput::create();
  auto [loose, looseError] = takePhoto(output);  // in no session
  ASSERT_TRUE(loose && looseError);
  EXPECT_FALSE(loose->fileDataRepresentation().has_value());
  EXPECT_EQ(looseError->code(), AVErrorSessionNotRunning);

  ASSERT_TRUE(session_->addOutput(output).has_value());
  session_->startRunning();  // running, but no camera
  auto [photo, error] = takePhoto(output);
  ASSERT_TRUE(photo && error);
  EXPECT_EQ(error->code(), AVErrorSessionNotRunning);
}

TEST_F(CaptureSessionTest, PreviewPointOfInterest) {
  ASSERT_TRUE(session_->addInput(input(back_)).has_value());
  auto layer = AVCaptureVideoPreviewLayer::layerWithSession(session_);
  EXPECT_EQ(layer->videoGravity(), AVLayerVideoGravityResizeAspect);
  ASSERT_TRUE(layer->setVideoGravity(AVLayerVideoGravityResizeAspectFill).has_value());
  EXPECT_FALSE(layer->setVideoGravity("stretchy").has_value());
  EXPECT_EQ(layer->videoGravity(), AVLayerVideoGravityResizeAspectFill);
  ASSERT_NE(layer->connection(), nullptr);
  EXPECT_EQ(layer->connection()->videoOrientation(), AVCaptureVideoOrientation::Portrait);

  EXPECT_EQ(layer->captureDevicePointOfInterestForPoint({10, 10}), (CGPoint{0.5, 0.5}));  // no bounds yet

  // A tall phone screen crops the sides of the 3:4 portrait video.
  layer->setBounds({0, 0, 375, 812});
  const double crop = (812.0 * 3024 / 4032 - 375) / 2 / (812.0 * 3024 / 4032);
  struct Case {
    AVCaptureVideoOrientation orientation;
    AVLayerVideoGravity gravity;
    CGPoint point;
    CGPoint expected;
  };
  const Case cases[] = {
      {AVCaptureVideoOrientation::Portrait, AVLayerVideoGravityResizeAspectFill, {187.5, 406}, {0.5, 0.5}},
      {AVCaptureVideoOrientation::Portrait, AVLayerVideoGravityResizeAspectFill, {0, 0}, {0, 1 - crop}},
      {AVCaptureVideoOrientation::Portrait, AVLayerVideoGravityResizeAspectFill, {375, 812}, {1, crop}},
      {AVCaptureVideoOrientation::Portrait, AVLayerVideoGravityResize, {375, 0}, {0, 0}},
      {AVCaptureVideoOrientation::LandscapeRight, AVLayerVideoGravityResize, {75, 203}, {0.2, 0.25}},
      {AVCaptureVideoOrientation::LandscapeLeft, AVLayerVideoGravityResize, {75, 203}, {0.8, 0.75}},
      {AVCaptureVideoOrientation::PortraitUpsideDown, AVLayerVideoGravityResize, {75, 203}, {0.75, 0.2}},
  };
  for (const auto& c : cases) {
    layer->connection()->setVideoOrientation(c.orientation);
    ASSERT_TRUE(layer->setVideoGravity(c.gravity).has_value());
    const CGPoint p = layer->captureDevicePointOfInterestForPoint(c.point);
    EXPECT_NEAR(p.x, c.expected.x, 1e-9) << int(c.orientation) << " " << c.gravity;
    EXPECT_NEAR(p.y, c.expected.y, 1e-9) << int(c.orientation) << " " << c.gravity;
  }

  layer->connection()->setEnabled(false);
  EXPECT_FALSE(layer->connection()->isEnabled());
  layer->setSession(nullptr);
  EXPECT_EQ(layer->connection(), nullptr);
}

}  // namespace
