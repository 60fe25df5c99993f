// The photo overlay over a real photo of the simulated camera.
#include "app/screens/photo/overlay_view_controller.h"

#include <gtest/gtest.h>

#include "app/screens/photo/tests/photo_test_support.h"
#include "app/tests/app_test_support.h"
#include "os/foundation/date_format.h"

namespace {

using drosil::testing::AppTest;

class PhotoOverlayTest : public AppTest {
 protected:
  PhotoOverlayTest() { os::TimeZone::setDefaultTimeZone(os::TimeZone::UTC()); }
  ~PhotoOverlayTest() override { os::TimeZone::setDefaultTimeZone(std::nullopt); }

  PhotoOverlayContent content(std::string reading, std::string address) {
    if (!photo_) photo_ = UIImage::imageWithData(drosil::testing::takeCameraJPEG(clock(), 5400));
    PhotoOverlayContent c;
    c.photo = photo_;
    c.reading = std::move(reading);
    c.lightDescription = "Electronic Flash • Sun Overhead";
    c.tintCaption = "Tint";
    c.tintValue = "1.52";
    c.sliderImage = sliderImage();
    c.userAddress = std::move(address);
    c.date = os::Date::fromTimeIntervalSince1970(1'700'000'000);  // 22:13:20 UTC
    return c;
  }
  // A stand-in for the slider picture: 100 x 20, warm to cold.
  static std::shared_ptr<UIImage> sliderImage() {
    UIGraphicsImageRenderer renderer({100, 20}, {.scale = 1});
    return *renderer.image([](UIGraphicsImageRendererContext& r) {
      for (int x = 0; x < 100; ++x) {
        r.cgContext().setFillColor(CGColor::sRGB(1.0 - x / 100.0, 0.8, x / 100.0));
        r.fill({static_cast<CGFloat>(x), 0, 1, 20});
      }
    });
  }

  std::shared_ptr<UIImage> photo_;
};

TEST_F(PhotoOverlayTest, ShowsReadingDateAndAddressOverThePhoto) {
  const struct {
    std::string reading, address;
    std::string shownReading;
    bool rowShown;
  } cases[] = {
      {"5433K", "Baker Street, Greater London", "5433K", true},
      {"", "", "N/A", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shownReading);
    auto overlay = makePhotoOverlay(content(c.reading, c.address));
    ASSERT_NE(photo_->cgImage(), nullptr);
    auto image = snapshotImage(*overlay->view());

    EXPECT_EQ(overlay->readingLbl()->text(), c.shownReading);
    EXPECT_EQ(overlay->dateTimeLbl()->text(), "22:13 • Nov 14, 2023");
    EXPECT_EQ(overlay->capturedImg()->image(), photo_);
    EXPECT_EQ(overlay->descLbl()->text(), "Electronic Flash • Sun Overhead");
    EXPECT_EQ(overlay->tintReading()->text(), "1.52");
    EXPECT_EQ(overlay->userAddressLbl()->text(), c.address);
    EXPECT_EQ(overlay->locationView()->isHidden(), !c.rowShown);
    EXPECT_EQ(overlay->markerImg()->isHidden(), !c.rowShown);

    // The picture: the screen's size, with the white marker drawn only when
    // there is a place.
    const CGSize screen = UIScreen::mainScreen().bounds().size;
    ASSERT_NE(image->cgImage(), nullptr);
    EXPECT_EQ(image->size(), screen);
    const CGRect marker = overlay->markerImg()->convertRectToView(overlay->markerImg()->bounds(), overlay->view().get());
    const CGFloat scale = image->scale();
    const RGBA8 pin = image->cgImage()->pixel(static_cast<int>((marker.minX() + 7) * scale),
                                              static_cast<int>((marker.minY() + 2) * scale));
    if (c.rowShown) {
      EXPECT_GT(pin.r, 230);
    } else {
      EXPECT_LT(pin.r, 150);
    }
  }
}

TEST_F(PhotoOverlayTest, SliderPictureIsTurnedAQuarterAndDoubled) {
  auto overlay = makePhotoOverlay(content("6500K", ""));
  overlay->loadViewIfNeeded();
  auto turned = overlay->cctTempImg()->image();
  ASSERT_NE(turned, nullptr);
  EXPECT_EQ(turned->size(), (CGSize{20, 100}));
  EXPECT_EQ(overlay->cctTempImg()->transform(), CGAffineTransformMakeScale(2, 2));
  // Counter-clockwise: the warm left end of the slider ends at the bottom.
  const RGBA8 bottom = turned->cgImage()->pixel(10, 98), top = turned->cgImage()->pixel(10, 1);
  EXPECT_GT(bottom.r, top.r);

  EXPECT_EQ(rotateImage(nullptr, 1.0f), nullptr);
  EXPECT_EQ(rotateImage(std::make_shared<UIImage>(), 1.0f), nullptr);  // nothing to draw on
}

TEST_F(PhotoOverlayTest, GradientLayerIsMadeOnceAndFollowsTheBounds) {
  auto view = std::make_shared<BottomGradientView>(CGRect{0, 0, 200, 100});
  view->layer()->addSublayer(std::make_shared<CALayer>());
  view->layoutIfNeeded();
  auto gradient = view->gradientLayer();
  ASSERT_FALSE(view->layer()->sublayers().empty());
  EXPECT_EQ(view->layer()->sublayers().front(), gradient);
  EXPECT_EQ(gradient->colors(), (std::vector<CGColor>{CGColor::clear(), CGColor::black()}));
  EXPECT_EQ(gradient->startPoint(), (CGPoint{1, 0}));
  EXPECT_EQ(gradient->endPoint(), (CGPoint{1, 1}));

  view->setFrame({0, 0, 300, 40});
  view->layoutIfNeeded();
  EXPECT_EQ(view->gradientLayer(), gradient);
  EXPECT_EQ(gradient->frame(), (CGRect{0, 0, 300, 40}));
}

}  // namespace
