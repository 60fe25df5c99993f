// NewLandingViewController: the main meter screen.
//
// The live camera preview (an embedded PreviewLayerViewController) with the
// grid, the temperature and tint readings, the light-source line, the
// vertical temperature slider, the compensation ruler that slides in over the
// buttons, and the buttons for zoom, camera flip, compensation, settings and
// photo capture ("create log"). A screen over the camera area replaces the
// preview when the camera may not be used.
//
// The reading: the screen observes the camera controller's white-balance
// gains and the compensation preference, and shows the compensated
// temperature, the tint, the light source with its icon, the position on the
// temperature slider and the grid's status colour; while the watch is
// reachable it sends each reading there.
//
// The button area has two layouts, closed (buttons shown) and open (the
// compensation ruler shown); "portrait phone" (regular vertical size class on
// a phone) and every other trait combination lay them out differently. Load,
// trait changes and a tap on the preview return to the closed layout; the
// compensation button toggles. Changes animate over 0.5 s. The open layout is
// recognised by settingsBtn's alpha being 0.
//
// The view hierarchy is built in code (loadView); the outlets (the views
// other code reaches, such as tempReading or createLogBtn) are the views
// built there.
//
// Threads: view work on the main thread. The reading pass
// (whiteBalanceGainsChanged) starts on the capture device's queue, converts
// there and hands the display to the main queue.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/camera/camera_controller.h"
#include "app/controls/ruler_number_picker.h"
#include "app/preferences/preferences.h"
#include "app/watch/watch_photo_requests.h"
#include "os/avfoundation/avfoundation.h"
#include "os/uikit/view_controller.h"

class GridView;
class VerticalSlider;
class CustomThicknessSlider;
class AppDelegate;
class ArcActivityIndicatorView;
class CameraPreviewViewController;
class GeoTagLocation;
class OverlayViewController;

// Scale of the slider picture sent to the watch.
inline constexpr CGFloat kWatchSliderImageScale = 5.0;
// Seconds after the last reading pass before the grid returns to yellow.
inline constexpr double kGridSteadyDelaySeconds = 2.0;
// The temperature slider's range: positions 0 ... 37.
inline constexpr float kTemperatureSliderMaximum = 37;
// Thumb image of both sliders.
inline constexpr const char* kSliderThumbImageName = "fakeKnob";

// Segues of the screen.
inline constexpr const char* kEmbedPreviewSegueIdentifier = "EmbedPreview";
inline constexpr const char* kToSettingsSegueIdentifier = "toSettings";
inline constexpr const char* kSegueToPreviewIdentifier = "segueToPreview";
// Button images.
inline constexpr const char* kZoom1xImageName = "zoom-1x";
inline constexpr const char* kZoom2xImageName = "zoom-2x";
inline constexpr const char* kZoom3xImageName = "zoom-3x";
inline constexpr const char* kCreateLogImageName = "createLog";
inline constexpr const char* kCreateLogSelectedImageName = "createLogSelected";
inline constexpr const char* kSettingsImageName = "settings";
inline constexpr const char* kFlipCameraImageName = "flipCamera";
inline constexpr const char* kCompensateImageName = "compensate";
// Texts of the no-camera screen (localisation keys of the main bundle).
inline constexpr const char* kCameraAccessRequiredText = "Camera Access is Required";
inline constexpr const char* kCameraAccessExplanationText = "Drosil app uses camera to determine the white balance.";
inline constexpr const char* kAllowCameraText = "Allow Camera";
inline constexpr const char* kCompensationCaptionText = "Compensation";
// The capture's save results (localisation keys of the main bundle).
inline constexpr const char* kImageSavedText = "Image Saved";
inline constexpr const char* kCaptureCouldNotSaveTitle = "Couldn't Save";
inline constexpr const char* kCaptureCouldNotSaveMessage = "Make sure Drosil has permission to add photos.";
inline constexpr const char* kCaptureAppSettingsAction = "App Settings";
inline constexpr const char* kCaptureOkayAction = "Okay";
// Seconds the grid stays green after the shutter.
inline constexpr double kGridCaptureBlockSeconds = 1.5;
// Scale of the slider picture on the photo overlay.
inline constexpr CGFloat kOverlaySliderImageScale = 5.0;
// Layout changes of the button area.
inline constexpr double kButtonAreaAnimationSeconds = 0.5;

class NewLandingViewController : public UIViewController,
                                 public CameraSettingValueObserver,
                                 public CameraControllerDelegate,
                                 public CompensateManagerDelegate,
                                 public ScrollRulerNumberPickerDelegate,
                                 public AVCapturePhotoCaptureDelegate {
 public:
  NewLandingViewController();
  ~NewLandingViewController() override;

  // Builds the views and embeds the camera preview ("EmbedPreview").
  void loadView() override;
  // Preferences, bubble, ruler (scrolled to the stored compensation on the
  // next main-queue turn), buttons, blur, slider tracks, notification
  // observers, the camera controller and its observations, closed layout.
  void viewDidLoad() override;
  // Starts the capture session on the controller's session queue (every
  // appearance); observes the notifications again when a disappearance
  // stopped that.
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override { UIViewController::viewDidAppear(animated); }
  // A screen that leaves the window stops observing notifications; one that
  // is only covered by what it presents goes on observing.
  void viewDidDisappear(bool animated) override;
  // Closed layout for the new traits.
  void traitCollectionDidChange(const UITraitCollection& previous) override;
  // "EmbedPreview" keeps the destination as previewViewController; a
  // ControlsSegue swaps the controls child; a PreviewViewController
  // destination re-enables the preview connection.
  void prepareForSegue(UIStoryboardSegue& segue, const void* sender) override;
  bool shouldPerformSegueWithIdentifier(const std::string&, const void*) override { return true; }
  UIStatusBarStyle preferredStatusBarStyle() const override { return UIStatusBarStyle::LightContent; }

  // ---- Button area layouts ----
  // Whether the traits count as portrait phone.
  static bool isPortraitPhone(const UITraitCollection& traits);
  // Sets the transforms and alphas of the open or closed layout for the
  // current traits, without animation.
  void applyLayout(bool open);
  // The same inside a 0.5 s UIView animation.
  void animateToLayout(bool open);
  // settingsBtn's alpha is 0.
  bool isCompensationPanelOpen() const;

  // ---- Actions ----
  // Each button action first records a review-worthy action, then fires the
  // light haptic when "hapticKey" is on.
  void compensateAction();
  void zoomAction();
  void flipCamera();
  void settingsAction();
  // The photo button: feedback, then a capture (flash off, stabilisation on)
  // with this screen as delegate; the preview freezes, the grid turns green
  // for 1.5 s and the button waits with its spinner until the photo is in.
  // Nothing beyond the feedback without a camera controller.
  void createLogBtnAction();
  // "Allow Camera": review count, then the app's settings page is opened on
  // the next main-queue turn; prints "Settings opened: true|false".
  void allowCameraTapped();
  // Tap-to-focus, from the tap recogniser over the camera area: ended taps
  // only; the device's focus point (not its exposure) on the session queue;
  // no feedback and no review count.
  void focusOnPointOfInterestWithSender(UIGestureRecognizer& sender);
  // The next zoom step (2x, 3x, 1x, ... from launch): the button image (next
  // main-queue turn), the controller's zoom value and device zoom, and the
  // watch told (pending transfers cancelled first). No feedback.
  void cycleZoom();
  // ScrollRulerNumberPickerDelegate: reading text, stored compensation, and a
  // haptic tick when the whole value changed after the compensation button
  // was first pressed.
  void compensationRulerValueChanged(CGFloat value) override;

  // ---- Notifications ----
  // "PreviewLayerTapped": closed layout.
  void receivedNotification();
  // "NoCameraPermissionNotification": the no-camera screen, on the main queue.
  void methodOfReceivedNotification();
  // Watch commands, posted on the watch session's queue. Flip: on the
  // camera's session queue. Take photo: a capture marked as the watch's (its
  // picture is saved, not previewed), started on the posting thread. Change
  // zoom: the next zoom step, on the main queue.
  void watchFlipCalled();
  void watchTakePhotoCalled();
  void watchChangeZoomCalled();
  // "RefreshTheWatchApp": on the main queue, the full payload (reading text,
  // compensation, slider picture, zoom), reachable or not.
  void refreshWatchViews();
  // "GeoTagManagerDidChange": starts or stops the location for the geotag.
  void geoTagValueChanged();

  // AVCapturePhotoCaptureDelegate (the output's queue): takes the watch's
  // request for this photo, then on the main queue restores the button,
  // composes the overlay into imageToPass and saves it (watch) or performs
  // "segueToPreview".
  void captureOutput(const std::shared_ptr<AVCapturePhotoOutput>& output, const std::shared_ptr<AVCapturePhoto>& photo,
                     const std::optional<os::Error>& error) override;
  // The photo library's answer to a watch photo's save: the "Image Saved"
  // toast, or the "Couldn't Save" alert with "App Settings" and "Okay".
  void image(const std::shared_ptr<UIImage>& image, const std::optional<os::Error>& didFinishSavingWithError,
             void* contextInfo);

  // CameraSettingValueObserver: runs the reading pass for
  // "CameraControlObservableSettingWBGains"; every other name is ignored.
  void cameraSettingWithSetting(const std::string& setting, const CameraSettingValue& valueChanged) override;
  // CompensateManagerDelegate.
  std::shared_ptr<UILabel> compensationReading() const override { return compensationReading_; }

  // The reading pass: status colour and its 2 s return to yellow, then the
  // tint and the temperature of the clamped gains, handed to the main queue
  // in that order. Nothing while the capture session has no input (the
  // camera not yet configured, or refused). Any thread.
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
  // The captures the watch asked for.
  WatchPhotoRequests& watchPhotoRequests() { return watchPhotoRequests_; }
  bool isInitial() const { return isInitial_; }
  double counter() const { return counter_; }
  int oldCompensateValue() const { return oldCompensateValue_; }
  // The place for the overlay; "" while unknown or with the geotag off.
  const std::string& userAddress() const;
  const std::shared_ptr<GeoTagLocation>& geoTagLocation() const { return geoTagLocation_; }
  // The overlay the last photo was composed from (loaded); null before.
  const std::shared_ptr<OverlayViewController>& lastPhotoOverlay() const { return lastPhotoOverlay_; }
  const std::shared_ptr<UIImage>& imageToPass() const { return imageToPass_; }
  void setImageToPass(std::shared_ptr<UIImage> image) { imageToPass_ = std::move(image); }
  const std::shared_ptr<UIActivityIndicatorView>& createLogActivity() const { return createLogActivity_; }
  const std::shared_ptr<UIVisualEffectView>& buttonBlurView() const { return buttonBlurView_; }
  const std::shared_ptr<UILabel>& compensationLbl() const { return compensationLbl_; }
  const std::shared_ptr<ScrollRulerNumberPicker>& rulerView() const { return rulerView_; }
  const std::shared_ptr<UIView>& buttonsView() const { return buttonsView_; }
  const std::shared_ptr<UIButton>& settingsBtn() const { return settingsBtn_; }
  const std::shared_ptr<UIButton>& zoomBtn() const { return zoomBtn_; }
  const std::shared_ptr<UIButton>& compensateBtn() const { return compensateBtn_; }
  const std::shared_ptr<UIButton>& flipCameraBtn() const { return flipCameraBtn_; }
  const std::shared_ptr<UIButton>& createLogBtn() const { return createLogBtn_; }
  const std::shared_ptr<UIButton>& allowCameraBtn() const { return allowCameraBtn_; }
  const std::shared_ptr<UIView>& compensateBtnView() const { return compensateBtnView_; }
  const std::shared_ptr<UILabel>& cameraRestrictedLbl() const { return cameraRestrictedLbl_; }
  const std::shared_ptr<UILabel>& cameraRestrictedSubLbl() const { return cameraRestrictedSubLbl_; }
  const std::shared_ptr<UIView>& accessBoundryView() const { return accessBoundryView_; }
  const std::shared_ptr<ArcActivityIndicatorView>& innerActivityIndicatorView() const {
    return innerActivityIndicatorView_;
  }
  const std::shared_ptr<UIViewController>& currentControlsViewController() const {
    return currentControlsViewController_;
  }
  // The embedded preview (as the controller it is).
  const std::shared_ptr<UIViewController>& previewViewController() const { return previewViewController_; }

  // The picture of watchCctTempSlider sent to the watch: PNG bytes, empty when
  // no picture could be made. Main thread.
  os::Data watchSliderPNG();

 private:
  // The application delegate when it is the app's own.
  static std::shared_ptr<AppDelegate> appDelegate();
  void sendReadingToWatch(const std::string& text);
  // Settings for a capture of this screen: flash off, stabilisation on.
  static std::shared_ptr<AVCapturePhotoSettings> capturePhotoSettings();
  // The capture's main-thread part.
  void finishCapture(const std::shared_ptr<AVCapturePhoto>& photo, bool fromWatch);
  void restoreCreateLogButton();
  // Review count, then the haptic gate.
  static void buttonFeedback();
  std::shared_ptr<UIButton> makeButton(const char* imageName, void (NewLandingViewController::*action)());

  // The steps of loadView, each adding one area's views to the root.
  void loadCameraArea(UIView& root);  // camera view, grid, kelvin slider, compensation bubble
  void loadReadings(UIView& root);    // temperature, tint, light source
  void loadPermissionScreen(UIView& root);
  void loadCompensationPanel(UIView& root, const CGRect& buttonArea);
  void loadButtons(UIView& root, const CGRect& buttonArea);
  void embedPreview();  // the preview controller, as the storyboard's embed segue
  // The steps of viewDidLoad.
  void setUpCompensation();  // stored value, bubble, ruler
  void setUpButtons();
  void setUpSliders();       // the kelvin slider and the watch's, with their track and knob
  void setUpObservers();     // notifications of the preview, the watch and the preferences
  void setUpCamera();        // the camera controller and its observers

  std::shared_ptr<CameraController> cameraController_;
  const std::shared_ptr<CompensateManager> compensateManager_ = std::make_shared<CompensateManager>();
  const std::shared_ptr<GeoTagManager> geoTagManager_ = std::make_shared<GeoTagManager>();
  const std::shared_ptr<AlwaysOnManager> alwaysOnManager_ = std::make_shared<AlwaysOnManager>();
  WatchPhotoRequests watchPhotoRequests_;
  bool isInitial_ = true;
  bool observing_ = false;  // the notification observers are registered
  const std::shared_ptr<GeoTagLocation> geoTagLocation_;
  std::shared_ptr<UIImage> imageToPass_;
  std::shared_ptr<OverlayViewController> lastPhotoOverlay_;
  double counter_ = 2.0;
  int oldCompensateValue_ = 0;
  std::shared_ptr<UIViewController> currentControlsViewController_;
  std::shared_ptr<UIViewController> previewViewController_;
  std::vector<std::shared_ptr<UIView>> faceViews_;

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
  std::shared_ptr<UIActivityIndicatorView> createLogActivity_;
  std::shared_ptr<UIVisualEffectView> buttonBlurView_;
  std::shared_ptr<UILabel> compensationLbl_;
  std::shared_ptr<ScrollRulerNumberPicker> rulerView_;
  std::shared_ptr<UIView> buttonsView_;
  std::shared_ptr<UIButton> settingsBtn_, zoomBtn_, compensateBtn_, flipCameraBtn_, createLogBtn_, allowCameraBtn_;
  std::shared_ptr<UIView> compensateBtnView_;
  std::shared_ptr<UILabel> cameraRestrictedLbl_, cameraRestrictedSubLbl_;
  std::shared_ptr<UIView> accessBoundryView_;
  std::shared_ptr<ArcActivityIndicatorView> innerActivityIndicatorView_;
  // Never on screen: rendered into the watch's picture of the reading.
  const std::shared_ptr<CustomThicknessSlider> watchCctTempSlider_;
};
