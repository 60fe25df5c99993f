#include "app/screens/new_landing_view_controller.h"

#include <cstdio>

#include "app/controls/grid_view.h"
#include "app/controls/sliders.h"
#include "app/screens/app_delegate.h"
#include "app/screens/white_balance_reading.h"
#include "os/dispatch/notification.h"
#include "os/dispatch/run_loop.h"
#include "os/foundation/bundle.h"
#include "os/foundation/format.h"
#include "os/foundation/user_defaults.h"
#include "os/uikit/uikit.h"

namespace {

constexpr const char* kObservedSettings[] = {
    kCameraControlObservableSettingAdjustingFocus,     kCameraControlObservableSettingAdjustingWhiteBalance,
    kCameraControlObservableSettingAdjustingExposure,  kCameraControlObservableSettingLensPosition,
    kCameraControlObservableSettingISO,                kCameraControlObservableSettingExposureDuration,
    kCameraControlObservableSettingExposureTargetOffset, kCameraControlObservableSettingWBGains,
};

double storedCompensation() { return os::UserDefaults::standardUserDefaults()->doubleForKey(kCompensateKey); }

std::shared_ptr<UILabel> makeLabel(const CGRect& frame, CGFloat size, CGFloat weight = UIFontWeight::regular) {
  auto label = std::make_shared<UILabel>(frame);
  label->setFont(UIFont::systemFont(size, weight));
  label->setTextColor(UIColor::whiteColor());
  return label;
}

}  // namespace

NewLandingViewController::NewLandingViewController() : watchCctTempSlider_(std::make_shared<CustomThicknessSlider>()) {}

NewLandingViewController::~NewLandingViewController() {
  os::NotificationCenter::defaultCenter()->removeObserver(this);
}

void NewLandingViewController::loadView() {
  const CGRect screen = UIScreen::mainScreen().bounds();
  const CGFloat W = screen.width(), H = screen.height();
  auto root = std::make_shared<UIView>(screen);
  root->setBackgroundColor(UIColor::blackColor());

  cameraView_ = std::make_shared<UIView>(screen);
  root->addSubview(cameraView_);

  gridView_ = std::make_shared<GridView>(CGRect{24, 96, W - 48, H - 320});
  root->addSubview(gridView_);

  cctTempSlider_ = VerticalSlider::create({W - 44, 120, 40, H - 380});
  root->addSubview(cctTempSlider_);

  compensateBubbleView_ = std::make_shared<UIView>(CGRect{W - 112, 56, 96, 28});
  compensateBubbleView_->setBackgroundColor(UIColor::systemYellowColor());
  compensateBubbleView_->layer()->setCornerRadius(14);
  compensateBubbleLbl_ = makeLabel({0, 0, 96, 28}, 15, UIFontWeight::semibold);
  compensateBubbleLbl_->setTextColor(UIColor::blackColor());
  compensateBubbleLbl_->setTextAlignment(NSTextAlignment::center);
  compensateBubbleView_->addSubview(compensateBubbleLbl_);
  root->addSubview(compensateBubbleView_);

  readingWBLbl_ = makeLabel({24, H - 212, 200, 20}, 13);
  readingWBLbl_->setText(os::Bundle::mainBundle()->localizedStringForKey("White Balance"));
  root->addSubview(readingWBLbl_);
  tempReading_ = makeLabel({24, H - 192, 220, 44}, 38, UIFontWeight::bold);
  root->addSubview(tempReading_);

  tintLbl_ = makeLabel({W - 124, H - 212, 100, 20}, 13);
  tintLbl_->setText(os::Bundle::mainBundle()->localizedStringForKey("Tint"));
  tintLbl_->setTextAlignment(NSTextAlignment::right);
  root->addSubview(tintLbl_);
  tintReading_ = makeLabel({W - 124, H - 192, 100, 44}, 28, UIFontWeight::semibold);
  tintReading_->setTextAlignment(NSTextAlignment::right);
  root->addSubview(tintReading_);

  lightTypeImg_ = std::make_shared<UIImageView>(CGRect{24, H - 140, 30, 30});
  lightTypeImg_->setContentMode(UIViewContentMode::scaleAspectFit);
  root->addSubview(lightTypeImg_);
  lightTypeLbl_ = makeLabel({62, H - 140, W - 86, 30}, 15);
  lightTypeLbl_->setAdjustsFontSizeToFitWidth(true);
  lightTypeLbl_->setMinimumScaleFactor(0.5);
  root->addSubview(lightTypeLbl_);

  // The compensation panel; the ruler and its controls join it later.
  compensationView_ = std::make_shared<UIView>(CGRect{0, H - 96, W, 96});
  compensationView_->setAlpha(0);
  compensationReading_ = makeLabel({0, 8, W, 24}, 17, UIFontWeight::semibold);
  compensationReading_->setTextAlignment(NSTextAlignment::center);
  compensationView_->addSubview(compensationReading_);
  root->addSubview(compensationView_);

  setView(root);
}

void NewLandingViewController::viewDidLoad() {
  UIViewController::viewDidLoad();
  auto self = std::static_pointer_cast<NewLandingViewController>(shared_from_this());
  std::weak_ptr<NewLandingViewController> weak = self;
  auto center = os::NotificationCenter::defaultCenter();

  compensateManager_->setDelegate(std::weak_ptr<CompensateManagerDelegate>(self));
  gridView_->setUserInteractionEnabled(false);

  const double compensation = storedCompensation();
  compensateBubbleView_->setHidden(true);
  compensateBubbleView_->setHidden(compensation == 0);
  compensateBubbleLbl_->setText(os::format("%.fK", compensation));

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

  center->addObserver(
      this,
      [weak](const os::Notification&) {
        if (auto s = weak.lock()) s->compensationValueChanged();
      },
      kCompensateManagerDidChangeNotification, nullptr);

  cameraController_ = CameraController::create(CameraControllePreviewType::PreviewLayer,
                                               std::weak_ptr<CameraControllerDelegate>(self));
  for (const char* setting : kObservedSettings) {
    cameraController_->registerObserver(std::static_pointer_cast<CameraSettingValueObserver>(self), setting);
  }

  auto knob = UIImage::imageNamed(kSliderThumbImageName);
  for (unsigned state : {UIControlState::normal, UIControlState::selected, UIControlState::application,
                         UIControlState::reserved}) {
    inner->setThumbImage(knob, state);
    watchCctTempSlider_->setThumbImage(knob, state);
  }
}

void NewLandingViewController::viewWillAppear(bool animated) {
  UIViewController::viewWillAppear(animated);
  std::weak_ptr<CameraController> controller = cameraController_;
  cameraController_->performOnSessionQueue([controller] {
    if (auto c = controller.lock()) c->startSession();
  });
}

// ---- The reading ----

void NewLandingViewController::cameraSettingWithSetting(const std::string& setting, const CameraSettingValue&) {
  if (setting == kCameraControlObservableSettingWBGains) whiteBalanceGainsChanged();
}

void NewLandingViewController::compensationValueChanged() { whiteBalanceGainsChanged(); }

void NewLandingViewController::whiteBalanceGainsChanged() {
  auto self = std::static_pointer_cast<NewLandingViewController>(shared_from_this());
  auto controller = cameraController_;
  auto device = controller ? controller->currentCameraDevice() : nullptr;
  const bool adjusting = device && device->isAdjustingWhiteBalance();
  auto main = os::DispatchQueue::main();

  // Status colour, and back to yellow 2 s after the last pass. The timer
  // holds the screen until it fires.
  main->async([self, adjusting] {
    const CGColor colour =
        adjusting ? UIColor::whiteColor().cgColor() : UIColor::systemYellowColor().cgColor();
    self->gridView_->updateArchColor(colour);
    os::RunLoop::main().performAfterDelay(kGridSteadyDelaySeconds, [self] {
      self->gridView_->updateArchColor(UIColor::systemYellowColor().cgColor());
    });
  });
  if (!device) return;

  auto convert = [&]() -> std::optional<AVCaptureWhiteBalanceTemperatureAndTintValues> {
    auto gains = controller->normalizedGains();
    if (!gains) return std::nullopt;
    auto values = device->temperatureAndTintValuesForDeviceWhiteBalanceGains(*gains);
    if (!values) {
      std::printf("white balance conversion failed: %s\n", values.error().localizedDescription().c_str());
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
  delegate->watchSession()->transferUserInfo({
      {kWatchWBValueKey, os::Value(text)},
      {kWatchSliderKey, os::Value(watchSliderPNG())},
      {kWatchZoomValueKey, os::Value(static_cast<double>(zoom))},
  });
}
