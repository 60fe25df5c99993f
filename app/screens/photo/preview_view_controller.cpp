#include "app/screens/photo/preview_view_controller.h"

#include <vector>

#include "app/preferences/preferences.h"
#include "os/foundation/bundle.h"
#include "os/foundation/console.h"
#include "os/foundation/process_info.h"
#include "os/graphics/path.h"

namespace {

std::string localized(const char* text) { return os::Bundle::mainBundle()->localizedStringForKey(text); }

void hapticTap() { HapticFeedbackManager().lightTapIfEnabled(); }

bool isLandscape(UIDeviceOrientation orientation) {
  return orientation == UIDeviceOrientation::LandscapeLeft || orientation == UIDeviceOrientation::LandscapeRight;
}

std::shared_ptr<UIButton> makeButton(const CGRect& frame, const char* title) {
  auto button = std::make_shared<UIButton>(frame);
  button->setTitle(localized(title), UIControlState::Normal);
  button->setTitleColor(UIColor::whiteColor(), UIControlState::Normal);
  button->setBackgroundColor(UIColor::fromWhite(0.0, 0.45));
  button->layer()->setCornerRadius(frame.height() / 2);
  button->setClipsToBounds(true);
  return button;
}

// The confirmation's check mark.
std::shared_ptr<UIImage> checkMarkImage() {
  UIGraphicsImageRenderer renderer({60, 60});
  auto image = renderer.image([](UIGraphicsImageRendererContext& renderer) {
    CGContext& ctx = renderer.cgContext();
    CGPath mark;
    mark.moveTo({12, 31});
    mark.addLineTo({25, 44});
    mark.addLineTo({49, 17});
    ctx.setStrokeColor(UIColor::whiteColor().cgColor());
    ctx.setLineWidth(6);
    ctx.setLineCap(CGLineCap::Round);
    ctx.setLineJoin(CGLineJoin::Round);
    ctx.beginPath();
    ctx.addPath(mark);
    ctx.strokePath();
  });
  return image.value_or(nullptr);
}

}  // namespace

void PreviewViewController::loadView() {
  const CGRect screen = UIScreen::mainScreen().bounds();
  const CGFloat W = screen.width(), H = screen.height();
  auto root = std::make_shared<UIView>(screen);
  root->setBackgroundColor(UIColor::blackColor());

  auto preview = std::make_shared<UIImageView>(screen);
  preview->setClipsToBounds(true);
  preview->setAutoresizingMask(UIViewAutoresizing::FlexibleWidth | UIViewAutoresizing::FlexibleHeight);
  root->addSubview(preview);
  previewImage_ = preview;

  std::weak_ptr<PreviewViewController> weak =
      std::static_pointer_cast<PreviewViewController>(shared_from_this());
  auto dismiss = makeButton({20, H - 88, 88, 44}, "Close");
  dismiss->addTarget([weak](UIControl&) {
    if (auto self = weak.lock()) self->dismissAction();
  }, UIControlEvents::TouchUpInside);
  root->addSubview(dismiss);

  auto save = makeButton({W / 2 - 60, H - 88, 120, 44}, "Save");
  save->addTarget([weak](UIControl&) {
    if (auto self = weak.lock()) self->saveAction();
  }, UIControlEvents::TouchUpInside);
  root->addSubview(save);
  saveBtn_ = save;

  auto share = makeButton({W - 108, H - 88, 88, 44}, "Share");
  share->addTarget([weak](UIControl&) {
    if (auto self = weak.lock()) self->shareAction();
  }, UIControlEvents::TouchUpInside);
  root->addSubview(share);
  shareBtn_ = share;

  auto blur = std::make_shared<UIVisualEffectView>(UIBlurEffect{UIBlurEffectStyle::Dark});
  blur->setFrame({W / 2 - 70, H / 2 - 70, 140, 140});
  blur->layer()->setCornerRadius(16);
  blur->setClipsToBounds(true);
  auto check = std::make_shared<UIImageView>(CGRect{40, 22, 60, 60});
  check->setImage(checkMarkImage());
  blur->contentView()->addSubview(check);
  alertImage_ = check;
  auto saved = std::make_shared<UILabel>(CGRect{0, 94, 140, 24});
  saved->setText(localized("Saved"));
  saved->setTextColor(UIColor::whiteColor());
  saved->setFont(UIFont::systemFont(17, UIFontWeight::Semibold));
  saved->setTextAlignment(NSTextAlignment::Center);
  blur->contentView()->addSubview(saved);
  root->addSubview(blur);
  alertBlurView_ = blur;

  setView(root);
}

void PreviewViewController::viewDidLoad() {
  UIViewController::viewDidLoad();
  alertBlurView()->setAlpha(0.0);
  saveBtn()->titleLabel()->setAdjustsFontSizeToFitWidth(true);
  previewImage()->setImage(passedImage);
  if (UIInterfaceOrientationIsLandscape(UIApplication::sharedApplication()->statusBarOrientation())) {
    os::Console::writef("activate landscape changes\n");
    previewImage()->setContentMode(UIViewContentMode::ScaleAspectFit);
  } else {
    os::Console::writef("activate portrait changes\n");
    previewImage()->setContentMode(UIViewContentMode::ScaleAspectFill);
  }
}

void PreviewViewController::viewWillTransitionToSize(CGSize size, UIViewControllerTransitionCoordinator& coordinator) {
  UIViewController::viewWillTransitionToSize(size, coordinator);
  const bool landscape = isLandscape(UIDevice::currentDevice()->orientation());
  os::Console::writef(landscape ? "Landscape\n" : "Portrait\n");
  if (auto preview = previewImage())
    preview->setContentMode(landscape ? UIViewContentMode::ScaleAspectFit : UIViewContentMode::ScaleAspectFill);
}

void PreviewViewController::saveAction() {
  hapticTap();
  if (!passedImage) return;
  if (auto button = saveBtn()) button->setUserInteractionEnabled(false);
  // The library holds its target until it answers.
  auto self = std::static_pointer_cast<PreviewViewController>(shared_from_this());
  UIImageWriteToSavedPhotosAlbum(passedImage, [self](const std::shared_ptr<UIImage>& image,
                                                     const std::optional<os::Error>& error) {
    self->image(image, error, nullptr);
  });
}

void PreviewViewController::image(const std::shared_ptr<UIImage>&, const std::optional<os::Error>& error, void*) {
  if (error) {
    auto alert = UIAlertController::alertControllerWithTitle(localized(kCouldNotSaveTitle),
                                                             localized(kCouldNotSaveMessage),
                                                             UIAlertControllerStyle::Alert);
    alert->addAction(UIAlertAction::actionWithTitle(localized(kAppSettingsActionTitle),
                                                    UIAlertActionStyle::Default, [](UIAlertAction&) {
      auto app = UIApplication::sharedApplication();
      auto url = os::URL::URLWithString(UIApplicationOpenSettingsURLString);
      if (url && app->canOpenURL(*url)) app->openURL(*url);
    }));
    alert->addAction(UIAlertAction::actionWithTitle(localized(kOKActionTitle), UIAlertActionStyle::Default));
    presentViewController(alert, true);
  } else if (auto blur = alertBlurView()) {
    auto flash = CABasicAnimation::animationWithKeyPath("opacity");
    flash->setFromValue(1.0);
    flash->setToValue(0.0);
    flash->setDuration(kSavedConfirmationSeconds);
    flash->setTimingFunction(CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionEaseInEaseOut));
    flash->setAutoreverses(false);
    flash->setRepeatCount(1);
    blur->layer()->addAnimation(flash, "");
  }
  if (auto button = saveBtn()) button->setUserInteractionEnabled(true);
}

void PreviewViewController::shareAction() {
  hapticTap();
  if (!passedImage) return;
  auto sheet = std::make_shared<UIActivityViewController>(std::vector{UIActivityItem::withImage(passedImage)});
  sheet->setExcludedActivityTypes({UIActivityTypePrint, UIActivityTypeAddToReadingList});
  if (auto popover = sheet->popoverPresentationController()) popover->setSourceView(shareBtn());
  if (os::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({13, 0, 0})) sheet->setModalInPresentation(true);
  presentViewController(sheet, true);
}

void PreviewViewController::dismissAction() {
  hapticTap();
  dismissViewControllerAnimated(true);
}

void ImageSaver::saveCompleted(const std::shared_ptr<UIImage>&, const std::optional<os::Error>&, void*) {
  os::Console::writef("Save finished!\n");
}
