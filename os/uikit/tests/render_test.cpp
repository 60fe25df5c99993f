#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "os/foundation/file_manager.h"
#include "os/foundation/file_system.h"
#include "os/uikit/uikit.h"

namespace {

// A small screen: a label over a gradient, a rounded button and a shape layer.
std::shared_ptr<UIView> makeSampleTree() {
  auto root = std::make_shared<UIView>(CGRect{0, 0, 200, 100});
  root->setBackgroundColor(UIColor::whiteColor());

  auto banner = std::make_shared<UIView>(CGRect{0, 0, 200, 40});
  auto gradient = CAGradientLayer::layer();
  gradient->setFrame({0, 0, 200, 40});
  gradient->setColors({CGColor::sRGB(1, 0, 0), CGColor::sRGB(0, 0, 1)});
  gradient->setStartPoint({0, 0.5});
  gradient->setEndPoint({1, 0.5});
  banner->layer()->addSublayer(gradient);
  root->addSubview(banner);

  auto label = std::make_shared<UILabel>(CGRect{60, 5, 80, 30});
  label->setText("5433K");
  label->setFont(UIFont::boldSystemFont(20));
  label->setTextColor(UIColor::whiteColor());
  label->setTextAlignment(NSTextAlignment::Center);
  banner->addSubview(label);

  auto button = std::make_shared<UIButton>(CGRect{10, 50, 80, 40});
  button->setBackgroundColor(UIColor::fromRGBA(0, 0.6, 0));
  button->layer()->setCornerRadius(12);
  button->setTitle("Go", UIControlState::Normal);
  root->addSubview(button);

  auto shape = CAShapeLayer::layer();
  CGPath circle;
  circle.addArc({150, 70}, 20, 0, 2 * M_PI, true);
  shape->setPath(circle);
  shape->setFillColor(CGColor::sRGB(1, 1, 0));
  shape->setStrokeColor(CGColor::black());
  shape->setLineWidth(2);
  root->layer()->addSublayer(shape);
  return root;
}

bool near(RGBA8 p, int r, int g, int b, int tolerance = 12) {
  return std::abs(p.r - r) <= tolerance && std::abs(p.g - g) <= tolerance && std::abs(p.b - b) <= tolerance;
}

}  // namespace

TEST(RenderTest, ViewTreeRendersAtScaleTwoWithExpectedColours) {
  auto root = makeSampleTree();
  auto image = root->renderImage(2);
  ASSERT_TRUE(image);
  auto cg = (*image)->cgImage();
  ASSERT_EQ(cg->width(), 400);
  ASSERT_EQ(cg->height(), 200);
  EXPECT_DOUBLE_EQ((*image)->size().width, 200);

  auto at = [&](double x, double y) { return cg->pixel(static_cast<int>(x * 2), static_cast<int>(y * 2)); };
  EXPECT_TRUE(near(at(2, 20), 250, 0, 5));     // gradient's red end
  EXPECT_TRUE(near(at(198, 20), 5, 0, 250));   // its blue end
  EXPECT_TRUE(near(at(50, 52), 0, 153, 0));    // button body
  EXPECT_TRUE(near(at(10.5, 50.5), 255, 255, 255));  // clipped corner shows the white root
  EXPECT_TRUE(near(at(150, 70), 255, 255, 0));  // shape fill
  EXPECT_TRUE(near(at(150, 50), 0, 0, 0, 40));  // its stroke, top of the circle
  // The label's white text is drawn over the gradient.
  int white = 0;
  for (int y = 10; y < 30; ++y)
    for (int x = 70; x < 130; ++x) white += near(at(x, y), 255, 255, 255, 30) ? 1 : 0;
  EXPECT_GT(white, 20);

  auto png = (*image)->pngData();
  ASSERT_TRUE(png);
  auto decoded = UIImage::imageWithData(*png, 2);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->cgImage()->width(), 400);
  EXPECT_EQ(decoded->size().height, 100);

  // Written for a person to look at.
  auto window = std::make_shared<UIWindow>(CGRect{0, 0, 200, 100});
  window->addSubview(root);
  EXPECT_TRUE(window->renderToPNGFile("/tmp/drosil-uikit-sample.png", 2));
}

// The PNG went to a fixed "<path>.tmp" written past the file-system seam and
// never synced: a crash after the rename could leave an empty screenshot.
TEST(RenderTest, PNGFileIsWrittenAtomicallyAndAFailedWriteKeepsThePreviousFile) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / ("drosil-render-" + std::to_string(getpid()));
  fs::create_directories(folder);
  const std::string path = (folder / "screen.png").string();
  auto window = std::make_shared<UIWindow>(CGRect{0, 0, 200, 100});
  window->addSubview(makeSampleTree());
  ASSERT_TRUE(window->renderToPNGFile(path, 1));
  const auto before = os::FileManager::defaultManager().contentsAtPath(path);
  ASSERT_TRUE(before);

  for (os::FileOp op : {os::FileOp::Write, os::FileOp::Sync, os::FileOp::Rename}) {
    SCOPED_TRACE(static_cast<int>(op));
    auto faulty = std::make_shared<os::FaultInjectingFileSystem>();
    os::ScopedFileSystem installed(faulty);
    faulty->inject(op, os::FaultInjectingFileSystem::Fault{ENOSPC, "screen.png", 0, -1});
    window->setBackgroundColor(UIColor::blackColor());
    EXPECT_FALSE(window->renderToPNGFile(path, 2));
    EXPECT_GT(faulty->failureCount(op), 0);
    EXPECT_EQ(os::FileManager::defaultManager().contentsAtPath(path), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
  }
  fs::remove_all(folder);
}

TEST(RenderTest, SliderSnapshotAtScaleFiveHasPixelSize) {
  auto slider = std::make_shared<UISlider>(CGRect{0, 0, 180, 23});
  slider->setMaximumValue(37);
  slider->setValue(19);
  UIGraphicsBeginImageContextWithOptions(slider->bounds().size, slider->isOpaque(), 5);
  ASSERT_TRUE(slider->drawViewHierarchyInRect(slider->bounds(), true));
  auto image = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  ASSERT_TRUE(image);
  auto png = image->pngData();
  ASSERT_TRUE(png);
  auto decoded = CGImage::decode(*png);
  ASSERT_TRUE(decoded);
  EXPECT_EQ((*decoded)->width(), 900);
  EXPECT_EQ((*decoded)->height(), 115);
}

TEST(RenderTest, UnusableImageContextGivesNoImageAndLeavesNoContext) {
  // A zero-width slider: no context opens, nothing is taken, nothing crashes.
  for (CGSize size : {CGSize{0, 5}, CGSize{100, 0}, CGSize{NAN, 5}, CGSize{1e7, 1e7}}) {
    UIGraphicsBeginImageContextWithOptions(size, false, 0);
    EXPECT_EQ(UIGraphicsGetCurrentContext(), nullptr);
    EXPECT_EQ(UIGraphicsGetImageFromCurrentImageContext(), nullptr);
    UIGraphicsEndImageContext();
  }
  auto empty = std::make_shared<UIView>();
  EXPECT_FALSE(empty->renderImage(2));
  UIImage nothing;
  EXPECT_FALSE(nothing.pngData());
}

TEST(RenderTest, StrokeEndMaskAndOpacity) {
  auto root = std::make_shared<UIView>(CGRect{0, 0, 100, 40});
  auto line = CAShapeLayer::layer();
  CGPath p;
  p.moveTo({0, 10});
  p.addLineTo({100, 10});
  line->setPath(p);
  line->setStrokeColor(CGColor::black());
  line->setLineWidth(4);
  line->setStrokeEnd(0.5);
  root->layer()->addSublayer(line);

  auto masked = std::make_shared<UIView>(CGRect{0, 20, 40, 20});
  masked->setBackgroundColor(UIColor::redColor());
  auto mask = CAShapeLayer::layer();
  mask->setPath(CGPath::rect({0, 0, 20, 20}));  // only the left half shows
  masked->layer()->setMask(mask);
  root->addSubview(masked);

  auto faded = std::make_shared<UIView>(CGRect{60, 20, 40, 20});
  faded->setBackgroundColor(UIColor::blueColor());
  faded->setAlpha(0.5);
  root->addSubview(faded);

  auto cg = root->renderImage(1).value()->cgImage();
  EXPECT_EQ(cg->pixel(25, 10).a, 255);
  EXPECT_EQ(cg->pixel(75, 10).a, 0);
  EXPECT_EQ(cg->pixel(10, 30), (RGBA8{255, 0, 0, 255}));
  EXPECT_EQ(cg->pixel(30, 30).a, 0);
  EXPECT_NEAR(cg->pixel(80, 30).a, 128, 1);
}

TEST(ImageTest, ImageNamedPrefersScreenScaleAndRejectsPaths) {
  std::string dir = testing::TempDir() + "uikit-assets";
  std::filesystem::create_directories(dir);
  auto write = [&](const std::string& name, int px) {
    auto ctx = CGContext::makeBitmap({double(px), double(px)}, 1, false).value();
    ctx->setFillColor(CGColor::white());
    ctx->fill({0, 0, double(px), double(px)});
    auto data = ctx->makeImage()->pngData().value();
    std::ofstream(dir + "/" + name, std::ios::binary).write(reinterpret_cast<const char*>(data.bytes()), data.size());
  };
  write("knob.png", 8);
  write("knob@3x.png", 24);
  UIImage::setAssetDirectory(dir);
  auto knob = UIImage::imageNamed("knob");
  ASSERT_TRUE(knob);
  EXPECT_EQ(knob->scale(), UIScreen::mainScreen().scale());
  EXPECT_EQ(knob->size(), (CGSize{8, 8}));
  EXPECT_EQ(UIImage::imageNamed("knob"), knob);  // cached: one object per name
  for (const char* bad : {"", "missing", "../knob", "sub/knob", ".."}) EXPECT_EQ(UIImage::imageNamed(bad), nullptr) << bad;
  UIImage::setAssetDirectory("");
}
