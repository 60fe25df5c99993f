// The preview screen: save to the photo library, share, dismiss, orientation.
#include "app/screens/photo/preview_view_controller.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "app/preferences/preferences.h"
#include "app/screens/photo/tests/photo_test_support.h"
#include "app/tests/app_test_support.h"
#include "os/foundation/device_profile.h"
#include "os/photos/photo_library.h"

namespace {

using drosil::testing::AppTest;

class PreviewViewControllerTest : public AppTest {
 protected:
  PreviewViewControllerTest() {
    UIViewController::TEST_clearPresentationLog();
    UIApplication::sharedApplication()->TEST_clearOpenedURLs();
  }
  ~PreviewViewControllerTest() override {
    os::PhotoLibrarySimulator::setAuthorizationStatus(PHAuthorizationStatus::Authorized);
    UIApplication::sharedApplication()->TEST_setStatusBarOrientation(UIInterfaceOrientation::Portrait);
    UIDevice::currentDevice()->setOrientation(UIDeviceOrientation::Portrait);
  }

  // The preview presented over a host screen, showing a camera photo.
  std::shared_ptr<PreviewViewController> show() {
    auto preview = std::make_shared<PreviewViewController>();
    preview->passedImage = UIImage::imageWithData(drosil::testing::takeCameraJPEG(clock(), 6500));
    host_ = std::make_shared<UIViewController>();
    window_ = std::make_shared<UIWindow>(UIScreen::mainScreen().bounds());
    window_->setRootViewController(host_);
    window_->makeKeyAndVisible();
    host_->presentViewController(preview, false);
    drain();
    return preview;
  }
  static std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  std::shared_ptr<UIWindow> window_;
  std::shared_ptr<UIViewController> host_;
};

TEST_F(PreviewViewControllerTest, SaveWritesAJPEGAndFlashesTheConfirmation) {
  auto preview = show();
  EXPECT_EQ(preview->previewImage()->image(), preview->passedImage);
  EXPECT_EQ(preview->alertBlurView()->alpha(), 0.0);
  EXPECT_TRUE(preview->saveBtn()->titleLabel()->adjustsFontSizeToFitWidth());

  TEST_clearFeedbackEvents();
  preview->saveAction();
  EXPECT_FALSE(preview->saveBtn()->isUserInteractionEnabled());  // no second save until the answer
  EXPECT_EQ(TEST_feedbackEvents().size(), 1u);
  drain();
  EXPECT_TRUE(preview->saveBtn()->isUserInteractionEnabled());

  const auto saved = os::PhotoLibrarySimulator::savedPhotoPaths();
  ASSERT_EQ(saved.size(), 1u);
  const std::string jpeg = fileBytes(saved[0]);
  ASSERT_GT(jpeg.size(), 2u);
  EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(UIImage::imageWithData(os::Data::fromString(jpeg))->size(), preview->passedImage->size());

  const auto layer = preview->alertBlurView()->layer();
  ASSERT_EQ(layer->animationKeys().size(), 1u);
  auto flash = std::dynamic_pointer_cast<CABasicAnimation>(layer->animationForKey(layer->animationKeys()[0]));
  ASSERT_NE(flash, nullptr);
  EXPECT_EQ(flash->keyPath(), "opacity");
  EXPECT_EQ(flash->fromValue(), CAValue(1.0));
  EXPECT_EQ(flash->toValue(), CAValue(0.0));
  EXPECT_EQ(flash->duration(), kSavedConfirmationSeconds);
  EXPECT_FALSE(flash->autoreverses());
  EXPECT_EQ(preview->presentedViewController(), nullptr);
}

TEST_F(PreviewViewControllerTest, RefusedLibraryShowsCouldNotSaveWithTheSettingsWayIn) {
  auto preview = show();
  os::PhotoLibrarySimulator::setAuthorizationStatus(PHAuthorizationStatus::Denied);
  preview->saveAction();
  drain();

  EXPECT_TRUE(os::PhotoLibrarySimulator::savedPhotoPaths().empty());
  EXPECT_TRUE(preview->saveBtn()->isUserInteractionEnabled());
  EXPECT_TRUE(preview->alertBlurView()->layer()->animationKeys().empty());
  auto alert = std::dynamic_pointer_cast<UIAlertController>(preview->presentedViewController());
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(alert->title(), "Couldn't Save");
  EXPECT_EQ(alert->message(), "Make sure Drosil has permission to add photos.");
  EXPECT_EQ(alert->preferredStyle(), UIAlertControllerStyle::Alert);
  EXPECT_EQ(alert->TEST_actionTitles(), (std::vector<std::string>{"App Settings", "OK"}));

  ASSERT_TRUE(alert->TEST_chooseAction("App Settings"));
  drain();
  const auto opened = UIApplication::sharedApplication()->TEST_openedURLs();
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].url.absoluteString(), UIApplicationOpenSettingsURLString);
}

TEST_F(PreviewViewControllerTest, WithoutAnImageSaveAndShareOnlyTap) {
  auto preview = show();
  preview->passedImage = nullptr;
  TEST_clearFeedbackEvents();
  preview->saveAction();
  preview->shareAction();
  drain();
  EXPECT_EQ(TEST_feedbackEvents().size(), 2u);
  EXPECT_TRUE(preview->saveBtn()->isUserInteractionEnabled());
  EXPECT_TRUE(os::PhotoLibrarySimulator::savedPhotoPaths().empty());
  EXPECT_EQ(preview->presentedViewController(), nullptr);
}

TEST_F(PreviewViewControllerTest, ShareOffersTheImageAndCannotBeSwipedAway) {
  for (auto idiom : {UIUserInterfaceIdiom::Phone, UIUserInterfaceIdiom::Pad}) {
    SCOPED_TRACE(static_cast<int>(idiom));
    os::DeviceProfile profile;
    profile.idiom = idiom;
    os::ScopedDeviceProfile device(profile);
    auto preview = show();
    preview->shareAction();
    drain();
    auto sheet = std::dynamic_pointer_cast<UIActivityViewController>(preview->presentedViewController());
    ASSERT_NE(sheet, nullptr);  // on a tablet only when anchored
    ASSERT_EQ(sheet->activityItems().size(), 1u);
    EXPECT_EQ(sheet->activityItems()[0].image, preview->passedImage);
    EXPECT_EQ(sheet->excludedActivityTypes(),
              (std::vector<UIActivityType>{UIActivityTypePrint, UIActivityTypeAddToReadingList}));
    if (auto popover = sheet->popoverPresentationController()) {
      EXPECT_EQ(popover->sourceView(), preview->shareBtn());
    }
    EXPECT_FALSE(sheet->TEST_swipeDown());
    ASSERT_TRUE(sheet->TEST_complete(std::nullopt, false));
    drain();
  }
}

TEST_F(PreviewViewControllerTest, DismissTapsAndCloses) {
  auto preview = show();
  TEST_clearFeedbackEvents();
  preview->dismissAction();
  drain();
  EXPECT_EQ(TEST_feedbackEvents().size(), 1u);
  EXPECT_EQ(host_->presentedViewController(), nullptr);
}

TEST_F(PreviewViewControllerTest, LandscapeFitsTheWholePhotoPortraitFillsTheScreen) {
  auto app = UIApplication::sharedApplication();
  app->TEST_setStatusBarOrientation(UIInterfaceOrientation::LandscapeLeft);
  auto preview = show();
  EXPECT_EQ(preview->previewImage()->contentMode(), UIViewContentMode::ScaleAspectFit);

  const struct {
    UIDeviceOrientation device;
    UIViewContentMode mode;
  } turns[] = {
      {UIDeviceOrientation::Portrait, UIViewContentMode::ScaleAspectFill},
      {UIDeviceOrientation::LandscapeRight, UIViewContentMode::ScaleAspectFit},
      {UIDeviceOrientation::FaceUp, UIViewContentMode::ScaleAspectFill},
      {UIDeviceOrientation::LandscapeLeft, UIViewContentMode::ScaleAspectFit},
  };
  for (const auto& turn : turns) {
    UIDevice::currentDevice()->setOrientation(turn.device);
    UIViewControllerTransitionCoordinator coordinator;
    preview->viewWillTransitionToSize({844, 390}, coordinator);
    EXPECT_EQ(preview->previewImage()->contentMode(), turn.mode) << static_cast<int>(turn.device);
  }

  app->TEST_setStatusBarOrientation(UIInterfaceOrientation::Portrait);
  EXPECT_EQ(show()->previewImage()->contentMode(), UIViewContentMode::ScaleAspectFill);
}

}  // namespace
