// NewLandingViewController: the main meter screen (first part).
//
// This part carries the reading: the screen observes the camera controller's
// white-balance gains and the compensation preference, and shows the
// compensated temperature, the tint, the light source with its icon, the
// position on the temperature slider and the grid's status colour; while the
// watch is reachable it sends each reading there.
//
// The view hierarchy is built in code (loadView); the fields that the
// interface design calls outlets are the views built there.
//
// Threads: view work on the main thread. The reading pass
// (whiteBalanceGainsChanged) starts on the capture device's queue, converts
// there and hands the display to the main queue.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "app/camera/camera_controller.h"
#include "app/preferences/preferences.h"
#include "os/uikit/view_controller.h"

class GridView;
class VerticalSlider;
class CustomThicknessSlider;
class AppDelegate;

// Watch payload keys of a reading.
inline constexpr const char* kWatchSliderKey = "watchSlider";
inline constexpr const char* kWatchZoomValueKey = "zoomValue";
// Scale of the slider picture sent to the watch.
inline constexpr CGFloat kWatchSliderImageScale = 5.0;
// Seconds after the last reading pass before the grid returns to yellow.
inline constexpr double kGridSteadyDelaySeconds = 2.0;
// The temperature slider's range: positions 0 ... 37.
inline constexpr float kTemperatureSliderMaximum = 37;
// Thumb image of both sliders.
inline constexpr const char* kSliderThumbImageName = "fakeKnob";

class NewLandingViewController : public UIViewController,
                                 public CameraSettingValueObserver,
                                 public CameraControllerDelegate,
                                 public CompensateManagerDelegate {
 public:
  NewLandingViewController();
  ~NewLandingViewController() override;

  void loadView() override;
  void viewDidLoad() override;
  // Starts the capture session on the controller's session queue (every
  // appearance).
  void viewWillAppear(bool animated) override;
  UIStatusBarStyle preferredStatusBarStyle() const override { return UIStatusBarStyle::lightContent; }

  // CameraSettingValueObserver: runs the reading pass for
  // "CameraControlObservableSettingWBGains"; every other name is ignored.
  void cameraSettingWithSetting(const std::string& setting, const CameraSettingValue& valueChanged) override;
  // CompensateManagerDelegate.
  std::shared_ptr<UILabel> compensationReading() const override { return compensationReading_; }

  // The reading pass: status colour and its 2 s return to yellow, then the
  // tint and the temperature of the clamped gains, handed to the main queue
  // in that order. Any thread.
  void whiteBalanceGainsChanged();
  // Observer of "CompensateManagerDidChange".
  void compensationValueChanged();
  // tintReading shows "%.2f" of the tint. Main thread.
  void showTint(float tint);
  // The display pass: bubble, temperature text, light source, slider
  // positions, and the watch update. Main thread.
  void showWhiteBalance(float temperature, float compensation);
  // The icon and the localised name of the light source for S.
  std::pair<std::shared_ptr<UIImage>, std::string> lightType(float temperature) const;

  // Fields.
  const std::shared_ptr<CameraController>& cameraController() const { return cameraController_; }
  const std::shared_ptr<CompensateManager>& compensateManager() const { return compensateManager_; }
  const std::shared_ptr<GeoTagManager>& geoTagManager() const { return geoTagManager_; }
  const std::shared_ptr<AlwaysOnManager>& alwaysOnManager() const { return alwaysOnManager_; }
  const std::shared_ptr<UIView>& cameraView() const { return cameraView_; }
  const std::shared_ptr<GridView>& gridView() const { return gridView_; }
  const std::shared_ptr<UILabel>& tintLbl() const { return tintLbl_; }
  const std::shared_ptr<UILabel>& tintReading() const { return tintReading_; }
  const std::shared_ptr<UILabel>& tempReading() const { return tempReading_; }
  const std::shared_ptr<UILabel>& readingWBLbl() const { return readingWBLbl_; }
  const std::shared_ptr<UIView>& compensateBubbleView() const { return compensateBubbleView_; }
  const std::shared_ptr<UILabel>& compensateBubbleLbl() const { return compensateBubbleLbl_; }
  const std::shared_ptr<UIView>& compensationView() const { return compensationView_; }
  const std::shared_ptr<UILabel>& lightTypeLbl() const { return lightTypeLbl_; }
  const std::shared_ptr<UIImageView>& lightTypeImg() const { return lightTypeImg_; }
  const std::shared_ptr<VerticalSlider>& cctTempSlider() const { return cctTempSlider_; }
  const std::shared_ptr<CustomThicknessSlider>& watchCctTempSlider() const { return watchCctTempSlider_; }
  bool isWatchCalledPhoto() const { return isWatchCalledPhoto_.load(); }
  void setIsWatchCalledPhoto(bool on) { isWatchCalledPhoto_.store(on); }

  // The picture of watchCctTempSlider sent to the watch: PNG bytes, empty when
  // no picture could be made. Main thread.
  os::Data watchSliderPNG();

 private:
  // The application delegate when it is the app's own.
  static std::shared_ptr<AppDelegate> appDelegate();
  void sendReadingToWatch(const std::string& text);

  std::shared_ptr<CameraController> cameraController_;
  const std::shared_ptr<CompensateManager> compensateManager_ = std::make_shared<CompensateManager>();
  const std::shared_ptr<GeoTagManager> geoTagManager_ = std::make_shared<GeoTagManager>();
  const std::shared_ptr<AlwaysOnManager> alwaysOnManager_ = std::make_shared<AlwaysOnManager>();
  std::atomic<bool> isWatchCalledPhoto_{false};

  // Views, built by loadView.
  std::shared_ptr<UIView> cameraView_;
  std::shared_ptr<GridView> gridView_;
  std::shared_ptr<UILabel> tintLbl_, tintReading_, tempReading_, readingWBLbl_;
  std::shared_ptr<UIView> compensateBubbleView_;
  std::shared_ptr<UILabel> compensateBubbleLbl_;
  std::shared_ptr<UIView> compensationView_;
  std::shared_ptr<UILabel> compensationReading_;
  std::shared_ptr<UILabel> lightTypeLbl_;
  std::shared_ptr<UIImageView> lightTypeImg_;
  std::shared_ptr<VerticalSlider> cctTempSlider_;
  // Never on screen: rendered into the watch's picture of the reading.
  const std::shared_ptr<CustomThicknessSlider> watchCctTempSlider_;
};
