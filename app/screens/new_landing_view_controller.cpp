#include "app/screens/new_landing_view_controller.h"

#include <cmath>
#include <cstdlib>
#include <numbers>

#include "app/controls/grid_view.h"
#include "app/controls/sliders.h"
#include "app/controls/view_utilities.h"
#include "app/screens/app_delegate.h"
#include "app/screens/photo/geotag_location.h"
#include "app/screens/photo/overlay_view_controller.h"
#include "app/screens/photo/preview_view_controller.h"
#include "app/screens/preview_layer_view_controller.h"
#include "app/screens/review_requester.h"
#include "app/screens/white_balance_reading.h"
#include "app/watch/watch_link.h"
#include "os/dispatch/notification.h"
#include "os/dispatch/run_loop.h"
#include "os/foundation/bundle.h"
#include "os/foundation/console.h"
#include "os/foundation/format.h"
#include "os/foundation/user_defaults.h"
#include "os/uikit/uikit.h"
#include "widgets/ArcActivityIndicator/arc_activity_indicator_view.h"
#include "widgets/ToastAlert/toast_alert.h"

namespace {

constexpr const char* kObservedSettings[] = {
    kCameraControlObservableSettingAdjustingFocus,     kCameraControlObservableSettingAdjustingWhiteBalance,
    kCameraControlObservableSettingAdjustingExposure,  kCameraControlObservableSettingLensPosition,
    kCameraControlObservableSettingISO,                kCameraControlObservableSettingExposureDuration,
    kCameraControlObservableSettingExposureTargetOffset, kCameraControlObservableSettingWBGains,
};

double storedCompensation() { return os::UserDefaults::standardUserDefaults()->doubleForKey(kCompensateKey); }

std::shared_ptr<UILabel> makeLabel(const CGRect& frame, CGFloat size, CGFloat weight = UIFontWeight::Regular) {
  auto label = std::make_shared<UILabel>(frame);
  label->setFont(UIFont::systemFont(size, weight));
  label->setTextColor(UIColor::whiteColor());
  return label;
}

std::string localized(const char* key) { return os::Bundle::mainBundle()->localizedStringForKey(key, key); }

// A double as its shortest round-trip decimal text, with ".0" when whole
// ("150.0", "-20.0", "1004.9").
std::string decimalDescription(double v) {
  if (!std::isfinite(v)) return std::isnan(v) ? "nan" : (v > 0 ? "inf" : "-inf");
  std::string text;
  for (int precision = 1; precision <= 17; ++precision) {
    text = os::format("%.*g", precision, v);
    if (std::strtod(text.c_str(), nullptr) == v) break;
  }
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

}  // namespace

NewLandingViewController::NewLandingViewController()
    : geoTagLocation_(GeoTagLocation::create(geoTagManager_)),
      watchCctTempSlider_(std::make_shared<CustomThicknessSlider>()) {}

NewLandingViewController::~NewLandingViewController() {
  os::NotificationCenter::defaultCenter()->removeObserver(this);
}

// ---- Views ----

std::shared_ptr<UIButton> NewLandingViewController::makeButton(const char* imageName,
                                                               void (NewLandingViewController::*action)()) {
  auto button = std::make_shared<UIButton>(UIButtonType::Custom);
  if (imageName) button->setImage(UIImage::imageNamed(imageName), UIControlState::Normal);
  if (action) {
    std::weak_ptr<NewLandingViewController> weak =
        std::static_pointer_cast<NewLandingViewController>(shared_from_this());
    button->addTarget(
        [weak, action](UIControl&) {
          if (auto self = weak.lock()) ((*self).*action)();
        },
        UIControlEvents::TouchUpInside);
  }
  return button;
}

void NewLandingViewController::loadView() {
  const CGRect screen = UIScreen::mainScreen().bounds();
  auto root = std::make_shared<UIView>(screen);
  root->setBackgroundColor(UIColor::blackColor());
  // Back to front: what a later step adds lies over what an earlier one did.
  loadCameraArea(*root);
  loadReadings(*root);
  loadPermissionScreen(*root);
  const CGRect buttonArea{16, screen.height() - 100, screen.width() - 32, 68};
  loadCompensationPanel(*root, buttonArea);
  loadButtons(*root, buttonArea);
  setView(root);
  embedPreview();
}

void NewLandingViewController::loadCameraArea(UIView& root) {
  const CGRect screen = root.bounds();
  const CGFloat W = screen.width(), H = screen.height();
  cameraView_ = std::make_shared<UIView>(screen);
  cameraView_->setAutoresizingMask(UIViewAutoresizing::FlexibleWidth | UIViewAutoresizing::FlexibleHeight);
  root.addSubview(cameraView_);
  {
    // Tap-to-focus over the camera area.
    std::weak_ptr<NewLandingViewController> weak =
        std::static_pointer_cast<NewLandingViewController>(shared_from_this());
    cameraView_->addGestureRecognizer(std::make_shared<UITapGestureRecognizer>([weak](UIGestureRecognizer& sender) {
      if (auto self = weak.lock()) self->focusOnPointOfInterestWithSender(sender);
    }));
  }

  gridView_ = std::make_shared<GridView>(CGRect{20, 96, W - 72, H - 330});
  root.addSubview(gridView_);

  cctTempSlider_ = VerticalSlider::create({W - 46, 120, 40, H - 380});
  // The inner slider runs the wrapper's length at a slider's usual height;
  // turned, its frame no longer sets its size.
  cctTempSlider_->slider()->setBounds({0, 0, H - 380, 31});
  root.addSubview(cctTempSlider_);

  compensateBubbleView_ = std::make_shared<UIView>(CGRect{W - 112, 56, 96, 28});
  compensateBubbleView_->setBackgroundColor(UIColor::systemYellowColor());
  compensateBubbleView_->layer()->setCornerRadius(14);
  compensateBubbleLbl_ = makeLabel({0, 0, 96, 28}, 15, UIFontWeight::Semibold);
  compensateBubbleLbl_->setTextColor(UIColor::blackColor());
  compensateBubbleLbl_->setTextAlignment(NSTextAlignment::Center);
  compensateBubbleView_->addSubview(compensateBubbleLbl_);
  root.addSubview(compensateBubbleView_);
}

void NewLandingViewController::loadReadings(UIView& root) {
  const CGFloat W = root.bounds().width(), H = root.bounds().height();
  readingWBLbl_ = makeLabel({24, H - 226, 200, 20}, 13);
  readingWBLbl_->setText(localized("White Balance"));
  root.addSubview(readingWBLbl_);
  tempReading_ = makeLabel({24, H - 206, 220, 44}, 38, UIFontWeight::Bold);
  root.addSubview(tempReading_);

  tintLbl_ = makeLabel({W - 124, H - 226, 100, 20}, 13);
  tintLbl_->setText(localized("Tint"));
  tintLbl_->setTextAlignment(NSTextAlignment::Right);
  root.addSubview(tintLbl_);
  tintReading_ = makeLabel({W - 124, H - 206, 100, 44}, 28, UIFontWeight::Semibold);
  tintReading_->setTextAlignment(NSTextAlignment::Right);
  root.addSubview(tintReading_);

  lightTypeImg_ = std::make_shared<UIImageView>(CGRect{24, H - 154, 30, 30});
  lightTypeImg_->setContentMode(UIViewContentMode::ScaleAspectFit);
  root.addSubview(lightTypeImg_);
  lightTypeLbl_ = makeLabel({62, H - 154, W - 86, 30}, 15);
  lightTypeLbl_->setAdjustsFontSizeToFitWidth(true);
  lightTypeLbl_->setMinimumScaleFactor(0.5);
  root.addSubview(lightTypeLbl_);
}

void NewLandingViewController::loadPermissionScreen(UIView& root) {
  const CGFloat W = root.bounds().width(), H = root.bounds().height();
  // The no-camera screen covers the camera area.
  accessBoundryView_ = std::make_shared<UIView>(CGRect{0, 0, W, H - 230});
  accessBoundryView_->setBackgroundColor(UIColor::blackColor());
  cameraRestrictedLbl_ = makeLabel({24, (H - 230) / 2 - 70, W - 48, 30}, 22, UIFontWeight::Bold);
  cameraRestrictedLbl_->setTextAlignment(NSTextAlignment::Center);
  accessBoundryView_->addSubview(cameraRestrictedLbl_);
  cameraRestrictedSubLbl_ = makeLabel({32, (H - 230) / 2 - 34, W - 64, 44}, 15);
  cameraRestrictedSubLbl_->setTextAlignment(NSTextAlignment::Center);
  cameraRestrictedSubLbl_->setNumberOfLines(2);
  cameraRestrictedSubLbl_->setTextColor(UIColor::fromWhite(1, 0.7));
  accessBoundryView_->addSubview(cameraRestrictedSubLbl_);
  allowCameraBtn_ = makeButton(nullptr, &NewLandingViewController::allowCameraTapped);
  allowCameraBtn_->setFrame({(W - 180) / 2, (H - 230) / 2 + 26, 180, 44});
  allowCameraBtn_->setBackgroundColor(UIColor::systemYellowColor());
  allowCameraBtn_->setTitleColor(UIColor::blackColor(), UIControlState::Normal);
  allowCameraBtn_->layer()->setCornerRadius(22);
  accessBoundryView_->addSubview(allowCameraBtn_);
  root.addSubview(accessBoundryView_);
}

void NewLandingViewController::loadCompensationPanel(UIView& root, const CGRect& buttonArea) {
  const CGFloat W = root.bounds().width(), H = root.bounds().height();
  // The compensation panel rests where the buttons are and slides in over
  // them.
  compensationView_ = std::make_shared<UIView>(buttonArea);
  compensationView_->setBackgroundColor(UIColor::blackColor().withAlphaComponent(0.55));
  compensationView_->layer()->setCornerRadius(16);
  compensationLbl_ = makeLabel({16, 4, 160, 20}, 13);
  compensationLbl_->setText(localized(kCompensationCaptionText));
  compensationView_->addSubview(compensationLbl_);
  compensationReading_ = makeLabel({buttonArea.width() - 176, 4, 160, 20}, 15, UIFontWeight::Semibold);
  compensationReading_->setTextAlignment(NSTextAlignment::Right);
  compensationView_->addSubview(compensationReading_);
  rulerView_ = ScrollRulerNumberPicker::create({0, 24, buttonArea.width(), 44});
  compensationView_->addSubview(rulerView_);
  // Behind the open panel and the buttons: the area they share, from where
  // the panel opens to the bottom of the screen.
  buttonBlurView_ = std::make_shared<UIVisualEffectView>(UIBlurEffect{UIBlurEffectStyle::Dark});
  buttonBlurView_->setFrame({0, buttonArea.minY() - buttonArea.height() - 8, W, H - buttonArea.minY() + buttonArea.height() + 8});
  buttonBlurView_->setAutoresizingMask(UIViewAutoresizing::FlexibleWidth | UIViewAutoresizing::FlexibleTopMargin);
  buttonBlurView_->setUserInteractionEnabled(false);
  root.addSubview(buttonBlurView_);
  root.addSubview(compensationView_);
}

void NewLandingViewController::loadButtons(UIView& root, const CGRect& buttonArea) {
  // Buttons in five equal slots: settings, zoom, create log, flip,
  // compensation.
  buttonsView_ = std::make_shared<UIView>(buttonArea);
  buttonsView_->setBackgroundColor(UIColor::blackColor().withAlphaComponent(0.25));
  buttonsView_->setClipsToBounds(true);
  const CGFloat slot = buttonArea.width() / 5, side = 44, y = (buttonArea.height() - side) / 2;
  auto slotFrame = [&](int i) { return CGRect{slot * i + (slot - side) / 2, y, side, side}; };
  settingsBtn_ = makeButton(kSettingsImageName, &NewLandingViewController::settingsAction);
  settingsBtn_->setFrame(slotFrame(0));
  zoomBtn_ = makeButton(kZoom1xImageName, &NewLandingViewController::zoomAction);
  zoomBtn_->setFrame(slotFrame(1));
  createLogBtn_ = makeButton(kCreateLogImageName, &NewLandingViewController::createLogBtnAction);
  createLogBtn_->setFrame(slotFrame(2));
  createLogActivity_ = std::make_shared<UIActivityIndicatorView>();
  createLogActivity_->setCenter({side / 2, side / 2});
  createLogBtn_->addSubview(createLogActivity_);
  innerActivityIndicatorView_ = std::make_shared<ArcActivityIndicatorView>(slotFrame(2).insetBy(-5, -5));
  innerActivityIndicatorView_->setUserInteractionEnabled(false);
  flipCameraBtn_ = makeButton(kFlipCameraImageName, &NewLandingViewController::flipCamera);
  flipCameraBtn_->setFrame(slotFrame(3));
  compensateBtnView_ = std::make_shared<UIView>(CGRect{slot * 4, 0, slot, buttonArea.height()});
  compensateBtn_ = makeButton(kCompensateImageName, &NewLandingViewController::compensateAction);
  compensateBtn_->setFrame({(slot - side) / 2, y, side, side});
  compensateBtnView_->addSubview(compensateBtn_);
  for (const auto& v : std::initializer_list<std::shared_ptr<UIView>>{
           settingsBtn_, zoomBtn_, createLogBtn_, innerActivityIndicatorView_, flipCameraBtn_, compensateBtnView_}) {
    buttonsView_->addSubview(v);
  }
  root.addSubview(buttonsView_);
}

void NewLandingViewController::embedPreview() {
  // The storyboard's embed segue: the preview fills the camera view.
  auto preview = std::make_shared<PreviewLayerViewController>();
  UIStoryboardSegue embed(kEmbedPreviewSegueIdentifier, shared_from_this(), preview);
  prepareForSegue(embed, this);
  addChildViewController(preview);
  auto previewView = preview->view();
  previewView->setFrame(cameraView_->bounds());
  previewView->setAutoresizingMask(UIViewAutoresizing::FlexibleWidth | UIViewAutoresizing::FlexibleHeight);
  cameraView_->addSubview(previewView);
  preview->didMoveToParentViewController(shared_from_this());
}

void NewLandingViewController::viewDidLoad() {
  UIViewController::viewDidLoad();
  if (alwaysOnManager_->isalwaysOnEnabled()) UIApplication::sharedApplication()->setIdleTimerDisabled(true);
  // The navigation bar's stack-view spacing has no stand-in here: no
  // navigation bar shows on this screen.
  setUpCompensation();
  setUpButtons();
  setUpSliders();
  // Observers before the camera controller, whose creation may already post
  // the missing-permission notification.
  setUpObservers();
  if (geoTagManager_->isGeoTagEnabled()) geoTagLocation_->setUpLocationManager();
  setUpCamera();
  animateToLayout(false);
}

void NewLandingViewController::setUpCompensation() {
  auto self = std::static_pointer_cast<NewLandingViewController>(shared_from_this());
  std::weak_ptr<NewLandingViewController> weak = self;
  const double compensation = storedCompensation();
  oldCompensateValue_ = static_cast<int>(compensation);

  rulerView_->setDelegate(std::weak_ptr<ScrollRulerNumberPickerDelegate>(self));
  compensateManager_->setDelegate(std::weak_ptr<CompensateManagerDelegate>(self));
  gridView_->setUserInteractionEnabled(false);

  compensateBubbleView_->setHidden(true);
  compensateBubbleView_->setHidden(compensation == 0);
  compensateBubbleLbl_->setText(os::format("%.fK", compensation));

  os::DispatchQueue::main()->async([weak, compensation] {
    if (auto s = weak.lock()) {
      s->rulerView_->layoutIfNeeded();
      s->rulerView_->scrollToValue(compensation, false, true);
    }
  });
}

void NewLandingViewController::setUpButtons() {
  createLogActivity_->stopAnimating();
  buttonsView_->layer()->setCornerRadius(16.0);
  if (buttonBlurView_) buttonBlurView_->setAlpha(0);

  for (const auto& v : std::initializer_list<std::shared_ptr<UIView>>{settingsBtn_, zoomBtn_, flipCameraBtn_,
                                                                      createLogBtn_, compensateBtnView_}) {
    v->setClipsToBounds(true);
  }
  for (const auto& b : {settingsBtn_, zoomBtn_, compensateBtn_, flipCameraBtn_, createLogBtn_}) {
    b->setTitle(std::string(), UIControlState::Normal);
  }
  for (const auto& v : std::initializer_list<std::shared_ptr<UIView>>{rulerView_, settingsBtn_, zoomBtn_,
                                                                      flipCameraBtn_}) {
    v->setAlpha(1.0);
  }

  auto blur = std::make_shared<UIVisualEffectView>(UIBlurEffect{UIBlurEffectStyle::Light});
  blur->setFrame(buttonsView_->bounds());
  blur->setAlpha(0.4);
  blur->setAutoresizingMask(UIViewAutoresizing::FlexibleWidth | UIViewAutoresizing::FlexibleHeight);
  buttonsView_->insertSubview(blur, 0);

  innerActivityIndicatorView_->setStrokColor(UIColor::systemYellowColor());
  innerActivityIndicatorView_->startAnimating();
  innerActivityIndicatorView_->setHidesWhenStopped(false);
  innerActivityIndicatorView_->setStrokeWidth(2.5);
}

void NewLandingViewController::setUpSliders() {
  // Sizes first: a track image is rendered at the slider's current width,
  // and a slider of zero width would get none.
  auto inner = cctTempSlider_->slider();
  inner->layer()->setMasksToBounds(true);
  inner->layer()->setCornerRadius(4.0);
  CGRect frame = inner->frame();
  frame.size.height = 100;
  inner->setFrame(frame);
  frame = inner->frame();
  frame.size.width = 100;
  inner->setFrame(frame);
  frame = watchCctTempSlider_->frame();
  frame.size.height = 23;
  watchCctTempSlider_->setFrame(frame);
  frame = watchCctTempSlider_->frame();
  frame.size.width = 180;
  watchCctTempSlider_->setFrame(frame);
  const auto ramp = kelvinColorRamp();
  const std::vector<CGColor> colors(ramp.begin(), ramp.end());
  PUGradientSlider::gradientImage(inner, colors, 4.0);
  PUGradientSlider::gradientImage(watchCctTempSlider_, colors, 1.75);
  for (const auto& slider : {std::static_pointer_cast<UISlider>(inner),
                             std::static_pointer_cast<UISlider>(watchCctTempSlider_)}) {
    slider->setMinimumValue(0);
    slider->setMaximumValue(kTemperatureSliderMaximum);
  }

  auto knob = UIImage::imageNamed(kSliderThumbImageName);
  for (unsigned state : {UIControlState::Normal, UIControlState::Selected, UIControlState::Application,
                         UIControlState::Reserved}) {
    inner->setThumbImage(knob, state);
    watchCctTempSlider_->setThumbImage(knob, state);
  }
}

void NewLandingViewController::setUpObservers() {
  std::weak_ptr<NewLandingViewController> weak =
      std::static_pointer_cast<NewLandingViewController>(shared_from_this());
  auto center = os::NotificationCenter::defaultCenter();
  auto observe = [&](const char* name, void (NewLandingViewController::*handler)()) {
    center->addObserver(
        this,
        [weak, handler](const os::Notification&) {
          if (auto s = weak.lock()) ((*s).*handler)();
        },
        name, nullptr);
  };
  observe(kPreviewLayerTappedNotification, &NewLandingViewController::receivedNotification);
  observe(kWatchFlipCameraCommand, &NewLandingViewController::watchFlipCalled);
  observe(kWatchTakePhotoCommand, &NewLandingViewController::watchTakePhotoCalled);
  observe(kWatchChangeZoomCommand, &NewLandingViewController::watchChangeZoomCalled);
  observe(kCompensateManagerDidChangeNotification, &NewLandingViewController::compensationValueChanged);
  observe(kGeoTagManagerDidChangeNotification, &NewLandingViewController::geoTagValueChanged);
  observe(kRefreshTheWatchAppNotification, &NewLandingViewController::refreshWatchViews);
  observe(kNoCameraPermissionNotification, &NewLandingViewController::methodOfReceivedNotification);
  observing_ = true;
}

void NewLandingViewController::setUpCamera() {
  auto self = std::static_pointer_cast<NewLandingViewController>(shared_from_this());
  accessBoundryView_->setHidden(true);
  cameraController_ = CameraController::create(CameraControllePreviewType::PreviewLayer,
                                               std::weak_ptr<CameraControllerDelegate>(self));
  for (const char* setting : kObservedSettings) {
    cameraController_->registerObserver(std::static_pointer_cast<CameraSettingValueObserver>(self), setting);
  }
  if (auto preview = std::dynamic_pointer_cast<CameraPreviewViewController>(previewViewController_)) {
    preview->setCameraController(cameraController_);
  }
}

void NewLandingViewController::viewWillAppear(bool animated) {
  UIViewController::viewWillAppear(animated);
  if (!observing_) setUpObservers();
  std::weak_ptr<CameraController> controller = cameraController_;
  cameraController_->performOnSessionQueue([controller] {
    if (auto c = controller.lock()) c->startSession();
  });
}

void NewLandingViewController::viewDidDisappear(bool animated) {
  UIViewController::viewDidDisappear(animated);
  if (presentedViewController()) return;
  os::NotificationCenter::defaultCenter()->removeObserver(this);
  observing_ = false;
}

void NewLandingViewController::traitCollectionDidChange(const UITraitCollection& previous) {
  UIViewController::traitCollectionDidChange(previous);
  animateToLayout(false);
}

void NewLandingViewController::prepareForSegue(UIStoryboardSegue& segue, const void*) {
  if (segue.identifier() == kEmbedPreviewSegueIdentifier) {
    auto destination = segue.destinationViewController();
    previewViewController_ = std::dynamic_pointer_cast<CameraPreviewViewController>(destination) ? destination
                                                                                                 : nullptr;
    return;
  }
  if (auto controls = dynamic_cast<ControlsSegue*>(&segue)) {
    controls->currentViewController = currentControlsViewController_;
    currentControlsViewController_ = segue.destinationViewController();
    if (auto adopter = std::dynamic_pointer_cast<CameraControlsViewControllerProtocol>(currentControlsViewController_)) {
      adopter->setCameraController(cameraController_);
    }
    return;
  }
  if (auto preview = std::dynamic_pointer_cast<PreviewViewController>(segue.destinationViewController())) {
    if (cameraController_) {
      if (auto layer = cameraController_->previewLayer(); layer && layer->connection()) {
        layer->connection()->setEnabled(true);
      }
    }
    preview->passedImage = imageToPass_;
  }
}

// ---- Button area layouts ----

bool NewLandingViewController::isPortraitPhone(const UITraitCollection& traits) {
  return traits.verticalSizeClass == UIUserInterfaceSizeClass::Regular &&
         traits.userInterfaceIdiom == UIUserInterfaceIdiom::Phone;
}

bool NewLandingViewController::isCompensationPanelOpen() const { return settingsBtn_ && settingsBtn_->alpha() == 0; }

void NewLandingViewController::applyLayout(bool open) {
  if (!isViewLoaded()) return;
  const bool portraitPhone = isPortraitPhone(traitCollection());
  const CGFloat h = buttonsView_->frame().height(), w = buttonsView_->frame().width();
  const CGFloat cw = compensateBtnView_->frame().width(), ch = compensateBtnView_->frame().height();
  const CGAffineTransform identity = CGAffineTransformIdentity;
  const CGAffineTransform slide = portraitPhone ? CGAffineTransformMakeTranslation(0, -h)
                                                : CGAffineTransformMakeTranslation(-w, 0);
  const CGAffineTransform turn =
      portraitPhone ? identity : CGAffineTransformMakeRotation(-std::numbers::pi / 2);

  compensationView_->setTransform(open ? slide : identity);
  compensationView_->setAlpha(open ? 1 : 0);
  compensateBubbleView_->setAlpha(open ? 0 : 1);
  for (const auto& b : {settingsBtn_, zoomBtn_, flipCameraBtn_}) {
    b->setTransform(open ? slide : identity);
    b->setAlpha(open ? 0 : 1);
  }
  if (buttonBlurView_) buttonBlurView_->setAlpha(open ? 0.3 : 0);
  compensateBtnView_->setTransform(!open          ? identity
                                   : portraitPhone ? CGAffineTransformMakeTranslation(-2 * cw, 0)
                                                   : CGAffineTransformMakeTranslation(0, ch));
  for (const auto& v : std::initializer_list<std::shared_ptr<UIView>>{rulerView_, compensationLbl_,
                                                                      compensationReading_}) {
    v->setTransform(turn);
  }
}

void NewLandingViewController::animateToLayout(bool open) {
  std::weak_ptr<NewLandingViewController> weak =
      std::static_pointer_cast<NewLandingViewController>(shared_from_this());
  UIView::animate(kButtonAreaAnimationSeconds, 0, UIViewAnimationOptions::None, [weak, open] {
    if (auto s = weak.lock()) s->applyLayout(open);
  });
}

// ---- Actions ----

void NewLandingViewController::buttonFeedback() {
  ReviewRequester::recordReviewWorthyAction();
  HapticFeedbackManager().lightTapIfEnabled();
}

void NewLandingViewController::compensateAction() {
  buttonFeedback();
  isInitial_ = false;
  if (!isCompensationPanelOpen()) {
    if (isPortraitPhone(traitCollection())) os::Console::writef("it's compact\n");
    animateToLayout(true);
  } else {
    animateToLayout(false);
  }
}

void NewLandingViewController::compensationRulerValueChanged(CGFloat value) {
  compensationReading_->setText(decimalDescription(value));
  compensateManager_->setValue(value);
  // Whole kelvins that fit an int; the ruler only reports finite values.
  const int whole = std::isfinite(value) && std::abs(value) < 2e9 ? static_cast<int>(value) : 0;
  if (whole != oldCompensateValue_ && !isInitial_) HapticFeedbackManager().lightTapIfEnabled();
  oldCompensateValue_ = whole;
}

void NewLandingViewController::zoomAction() {
  buttonFeedback();
  cycleZoom();
}

void NewLandingViewController::cycleZoom() {
  struct Step {
    double factor;
    const char* image;
    double next;
  };
  static constexpr Step kSteps[] = {{1.0, kZoom1xImageName, 2.0}, {2.0, kZoom2xImageName, 3.0}, {3.0, kZoom3xImageName, 1.0}};
  const Step* step = &kSteps[1];
  for (const auto& s : kSteps) {
    if (s.factor == counter_) step = &s;
  }
  auto button = zoomBtn_;
  const char* image = step->image;
  os::DispatchQueue::main()->async([button, image] {
    if (button) button->setImage(UIImage::imageNamed(image), UIControlState::Normal);
  });
  if (cameraController_) {
    cameraController_->setCurrentZoomValue(step->factor);
    if (auto input = cameraController_->videoDeviceInput(); input && input->device()) {
      cameraController_->setZoom(input->device(), step->factor);
    }
  }
  counter_ = step->next;

  auto delegate = appDelegate();
  if (!delegate || !delegate->watchSession()->isReachable()) return;
  for (const auto& transfer : delegate->watchSession()->outstandingUserInfoTransfers()) transfer->cancel();
  const CGFloat zoom = cameraController_ ? cameraController_->currentZoomValue() : step->factor;
  delegate->watchSession()->transferUserInfo(watchZoomPayload(zoom));
}

void NewLandingViewController::flipCamera() {
  buttonFeedback();
  std::weak_ptr<CameraController> controller = cameraController_;
  if (!cameraController_) return;
  cameraController_->performOnSessionQueue([controller] {
    if (auto c = controller.lock()) c->flipCamera();
  });
}

void NewLandingViewController::settingsAction() {
  buttonFeedback();
  if (auto performed = performSegueWithIdentifier(kToSettingsSegueIdentifier, this); !performed) {
    os::Console::writeLine(performed.error().localizedDescription());
  }
}

void NewLandingViewController::allowCameraTapped() {
  ReviewRequester::recordReviewWorthyAction();
  os::DispatchQueue::main()->async([] {
    auto url = os::URL::URLWithString(UIApplicationOpenSettingsURLString);
    auto app = UIApplication::sharedApplication();
    if (!url || !app->canOpenURL(*url)) return;
    app->openURL(*url, {}, [](bool success) {
      os::Console::writef("Settings opened: %s\n", success ? "true" : "false");
    });
  });
}

void NewLandingViewController::focusOnPointOfInterestWithSender(UIGestureRecognizer& sender) {
  if (sender.state() != UIGestureRecognizerState::Ended || !cameraController_) return;
  const CGPoint location = sender.locationInView(sender.view().get());
  auto layer = cameraController_->previewLayer();
  const CGPoint point = layer ? layer->captureDevicePointOfInterestForPoint(location) : location;
  auto device = cameraController_->currentCameraDevice();
  if (!device) return;
  // Focus only: the preview's own tap sets the exposure.
  cameraController_->performOnSessionQueue([device, point] {
    if (!device->lockForConfiguration()) return;
    if (device->isFocusPointOfInterestSupported()) {
      (void)device->setFocusPointOfInterest(point);
      (void)device->setFocusMode(AVCaptureFocusMode::AutoFocus);
    }
    device->unlockForConfiguration();
  });
}

// ---- Notifications ----

void NewLandingViewController::receivedNotification() { animateToLayout(false); }

void NewLandingViewController::methodOfReceivedNotification() {
  std::weak_ptr<NewLandingViewController> weak =
      std::static_pointer_cast<NewLandingViewController>(shared_from_this());
  os::DispatchQueue::main()->async([weak] {
    auto s = weak.lock();
    if (!s) return;
    s->accessBoundryView_->setHidden(false);
    s->createLogBtn_->setUserInteractionEnabled(false);
    s->flipCameraBtn_->setUserInteractionEnabled(false);
    s->cameraRestrictedLbl_->setText(localized(kCameraAccessRequiredText));
    s->cameraRestrictedSubLbl_->setText(localized(kCameraAccessExplanationText));
    s->allowCameraBtn_->setTitle(localized(kAllowCameraText), UIControlState::Normal);
  });
}

void NewLandingViewController::watchFlipCalled() {
  std::weak_ptr<CameraController> controller = cameraController_;
  if (!cameraController_) return;
  cameraController_->performOnSessionQueue([controller] {
    if (auto c = controller.lock()) c->flipCamera();
  });
}

void NewLandingViewController::watchTakePhotoCalled() {
  auto controller = cameraController_;
  if (!controller) return;
  auto settings = capturePhotoSettings();
  // Marked first: the photo may come back before the call returns.
  watchPhotoRequests_.markRequested(settings->uniqueID());
  controller->stillImageOutput()->capturePhotoWithSettings(
      settings, std::static_pointer_cast<NewLandingViewController>(shared_from_this()));
}

void NewLandingViewController::watchChangeZoomCalled() {
  std::weak_ptr<NewLandingViewController> weak =
      std::static_pointer_cast<NewLandingViewController>(shared_from_this());
  os::DispatchQueue::main()->async([weak] {
    if (auto s = weak.lock()) s->cycleZoom();
  });
}

void NewLandingViewController::refreshWatchViews() {
  std::weak_ptr<NewLandingViewController> weak =
      std::static_pointer_cast<NewLandingViewController>(shared_from_this());
  os::DispatchQueue::main()->async([weak] {
    auto s = weak.lock();
    auto delegate = appDelegate();
    if (!s || !delegate) return;
    const os::Data png = s->watchSliderPNG();
    const CGFloat zoom = s->cameraController_ ? s->cameraController_->currentZoomValue() : 1.0;
    delegate->watchSession()->transferUserInfo(
        watchFullPayload(s->tempReading_->text(), storedCompensation(), png, zoom));
  });
}

void NewLandingViewController::geoTagValueChanged() { geoTagLocation_->geoTagValueChanged(); }

const std::string& NewLandingViewController::userAddress() const { return geoTagLocation_->userAddress(); }

// ---- Photo capture ----

std::shared_ptr<AVCapturePhotoSettings> NewLandingViewController::capturePhotoSettings() {
  auto settings = AVCapturePhotoSettings::photoSettings();
  settings->setFlashMode(AVCaptureFlashMode::Off);
  settings->setAutoStillImageStabilizationEnabled(true);
  return settings;
}

void NewLandingViewController::createLogBtnAction() {
  buttonFeedback();
  if (!cameraController_) return;
  auto self = std::static_pointer_cast<NewLandingViewController>(shared_from_this());
  cameraController_->stillImageOutput()->capturePhotoWithSettings(capturePhotoSettings(), self);

  if (auto layer = cameraController_->previewLayer(); layer && layer->connection()) {
    layer->connection()->setEnabled(false);
  }
  if (!gridView_) return;
  // Green while the shutter runs; the reading does not recolour it meanwhile.
  gridView_->setIsUpdateBlocked(true);
  gridView_->updateArchColor(UIColor::systemGreenColor().cgColor());
  std::weak_ptr<NewLandingViewController> weak = self;
  os::RunLoop::main().performAfterDelay(kGridCaptureBlockSeconds, [weak] {
    auto s = weak.lock();
    if (!s) return;
    s->gridView_->setIsUpdateBlocked(false);
    s->gridView_->updateArchColor(UIColor::systemYellowColor().cgColor());
  });
  if (createLogBtn_->isUserInteractionEnabled()) {
    createLogBtn_->setUserInteractionEnabled(false);
    createLogBtn_->setImage(UIImage::imageNamed(kCreateLogSelectedImageName), UIControlState::Normal);
    createLogActivity_->startAnimating();
  }
}

void NewLandingViewController::captureOutput(const std::shared_ptr<AVCapturePhotoOutput>&,
                                             const std::shared_ptr<AVCapturePhoto>& photo,
                                             const std::optional<os::Error>&) {
  // Taken before anything else, so a failed watch capture leaves no request.
  const bool fromWatch = photo && watchPhotoRequests_.takeRequest(photo->settingsUniqueID());
  std::weak_ptr<NewLandingViewController> weak =
      std::static_pointer_cast<NewLandingViewController>(shared_from_this());
  os::DispatchQueue::main()->async([weak, photo, fromWatch] {
    if (auto s = weak.lock()) s->finishCapture(photo, fromWatch);
  });
}

void NewLandingViewController::restoreCreateLogButton() {
  // The no-camera screen keeps the button off for the rest of the run.
  createLogBtn_->setUserInteractionEnabled(accessBoundryView_->isHidden());
  createLogBtn_->setImage(UIImage::imageNamed(kCreateLogImageName), UIControlState::Normal);
  createLogActivity_->stopAnimating();
}

void NewLandingViewController::finishCapture(const std::shared_ptr<AVCapturePhoto>& photo, bool fromWatch) {
  restoreCreateLogButton();
  if (!photo || !photo->fileDataRepresentation()) return;
  auto captured = UIImage::imageWithData(*photo->fileDataRepresentation());
  if (!captured) return;

  auto inner = cctTempSlider_->slider();
  PhotoOverlayContent content;
  content.photo = captured;
  content.reading = tempReading_->text();
  content.lightDescription = lightTypeLbl_->text();
  content.tintCaption = tintLbl_->text();
  content.tintValue = tintReading_->text();
  content.sliderImage = snapshotImage(*inner, inner->isOpaque(), kOverlaySliderImageScale);
  content.userAddress = userAddress();
  content.date = os::Date::now();
  lastPhotoOverlay_ = makePhotoOverlay(content);
  imageToPass_ = snapshotImage(*lastPhotoOverlay_->view());

  if (fromWatch) {
    auto self = std::static_pointer_cast<NewLandingViewController>(shared_from_this());
    auto picture = imageToPass_ ? imageToPass_ : std::make_shared<UIImage>();
    UIImageWriteToSavedPhotosAlbum(picture, [self](const std::shared_ptr<UIImage>& image,
                                                   const std::optional<os::Error>& error) {
      self->image(image, error, nullptr);
    });
    return;
  }
  if (auto performed = performSegueWithIdentifier(kSegueToPreviewIdentifier, this); !performed) {
    os::Console::writeLine(performed.error().localizedDescription());
  }
}

void NewLandingViewController::image(const std::shared_ptr<UIImage>&, const std::optional<os::Error>& error, void*) {
  if (!error) {
    auto toast = ToastAlertView::make(localized(kImageSavedText), std::nullopt, ToastAlertIconPreset::done);
    toast->present(ToastAlertHaptic::success);
    return;
  }
  auto alert = UIAlertController::alertControllerWithTitle(
      localized(kCaptureCouldNotSaveTitle), localized(kCaptureCouldNotSaveMessage), UIAlertControllerStyle::Alert);
  alert->addAction(UIAlertAction::actionWithTitle(localized(kCaptureAppSettingsAction),
                                                  UIAlertActionStyle::Default, [](UIAlertAction&) {
    auto app = UIApplication::sharedApplication();
    auto url = os::URL::URLWithString(UIApplicationOpenSettingsURLString);
    if (url && app->canOpenURL(*url)) app->openURL(*url);
  }));
  alert->addAction(UIAlertAction::actionWithTitle(localized(kCaptureOkayAction), UIAlertActionStyle::Default));
  presentViewController(alert, true);
}

// ---- The reading ----

void NewLandingViewController::cameraSettingWithSetting(const std::string& setting, const CameraSettingValue&) {
  if (setting == kCameraControlObservableSettingWBGains) whiteBalanceGainsChanged();
}

void NewLandingViewController::compensationValueChanged() { whiteBalanceGainsChanged(); }

void NewLandingViewController::whiteBalanceGainsChanged() {
  auto self = std::static_pointer_cast<NewLandingViewController>(shared_from_this());
  auto controller = cameraController_;
  // The reading starts with the capture: until the session has an input (and
  // never, with the camera refused) the device's gains were set by no light.
  if (!controller || controller->session()->inputs().empty()) return;
  auto device = controller->currentCameraDevice();
  const bool adjusting = device && device->isAdjustingWhiteBalance();
  auto main = os::DispatchQueue::main();

  // Status colour, and back to yellow 2 s after the last pass. The timer
  // holds the screen weakly: a screen that is gone has no grid to recolour.
  main->async([self, adjusting] {
    const CGColor colour =
        adjusting ? UIColor::whiteColor().cgColor() : UIColor::systemYellowColor().cgColor();
    self->gridView_->updateArchColor(colour);
    std::weak_ptr<NewLandingViewController> weak = self;
    os::RunLoop::main().performAfterDelay(kGridSteadyDelaySeconds, [weak] {
      if (auto s = weak.lock()) s->gridView_->updateArchColor(UIColor::systemYellowColor().cgColor());
    });
  });
  if (!device) return;

  auto convert = [&]() -> std::optional<AVCaptureWhiteBalanceTemperatureAndTintValues> {
    auto gains = controller->normalizedGains();
    if (!gains) return std::nullopt;
    auto values = device->temperatureAndTintValuesForDeviceWhiteBalanceGains(*gains);
    if (!values) {
      os::Console::writef("white balance conversion failed: %s\n", values.error().localizedDescription().c_str());
      return std::nullopt;
    }
    return *values;
  };

  if (auto values = convert()) {
    const float tint = values->tint;
    main->async([self, tint] { self->showTint(tint); });
  }
  if (auto values = convert()) {
    const float temperature = values->temperature;
    const float compensation = static_cast<float>(storedCompensation());
    main->async([self, temperature, compensation] { self->showWhiteBalance(temperature, compensation); });
  }
}

void NewLandingViewController::showTint(float tint) { tintReading_->setText(os::format("%.2f", tint)); }

std::pair<std::shared_ptr<UIImage>, std::string> NewLandingViewController::lightType(float temperature) const {
  const LightSource& source = lightSourceForTemperature(temperature);
  return {UIImage::imageNamed(source.icon), os::Bundle::mainBundle()->localizedStringForKey(source.name)};
}

void NewLandingViewController::showWhiteBalance(float temperature, float compensation) {
  compensateBubbleView_->setHidden(storedCompensation() == 0);
  compensateBubbleLbl_->setText(os::format("%.fK", compensation));

  const float shown = compensation + temperature;
  const std::string text = os::format("%.0fK", shown);
  tempReading_->setText(text);

  auto [icon, name] = lightType(shown);
  lightTypeLbl_->setText(name);
  lightTypeImg_->setImage(icon);

  const float position = temperatureSliderIndex(shown);
  cctTempSlider_->slider()->setValue(position, true);
  watchCctTempSlider_->setValue(position, true);

  sendReadingToWatch(text);
}

// ---- The watch ----

std::shared_ptr<AppDelegate> NewLandingViewController::appDelegate() {
  return std::dynamic_pointer_cast<AppDelegate>(UIApplication::sharedApplication()->delegate());
}

os::Data NewLandingViewController::watchSliderPNG() {
  const auto& slider = watchCctTempSlider_;
  CGContext* before = UIGraphicsGetCurrentContext();
  UIGraphicsBeginImageContextWithOptions(slider->bounds().size, slider->isOpaque(), kWatchSliderImageScale);
  CGContext* ctx = UIGraphicsGetCurrentContext();
  if (!ctx || ctx == before) return {};
  slider->drawViewHierarchyInRect(slider->bounds(), true);
  std::shared_ptr<UIImage> image = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  if (!image) return {};
  return image->pngData().value_or(os::Data());
}

void NewLandingViewController::sendReadingToWatch(const std::string& text) {
  auto delegate = appDelegate();
  if (!delegate || !delegate->watchSession()->isReachable()) return;
  const CGFloat zoom = cameraController_ ? cameraController_->currentZoomValue() : 1.0;
  delegate->watchSession()->transferUserInfo(watchReadingPayload(text, watchSliderPNG(), zoom));
}
