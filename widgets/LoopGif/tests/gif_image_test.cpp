#include <gtest/gtest.h>

#include <vector>

#include "widgets/LoopGif/gif_image.h"
#include "widgets/LoopGif/tests/gif_fixtures.h"

using gif_fixtures::makeGif;

TEST(GifDisplayTimingTest, ChoosesTheCoarsestStepWithinTolerance) {
  struct Case {
    std::vector<float> delays;
    float level;
    int fps;
    int factor;
    std::vector<int> order;
  };
  const std::vector<Case> cases{
      {std::vector<float>(10, 0.1f), 0.8f, 60, 6, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {{0.05f, 0.05f, 0.2f}, 1.0f, 60, 3, {0, 1, 2, 2, 2, 2}},
      {{0.5f}, 0.8f, 60, 30, {0}},
      {{0.5f}, 0.8f, 120, 30, {0}},  // 120 first, but the step stays r / 60 s
      // Nearly every frame collides at 1 s, which a low level accepts.
      {{0.1f, 0.1f, 0.1f, 0.9f}, 0.1f, 60, 60, {3}},
      // Frames that no step separates: the finest step is taken anyway.
      {{0.001f, 0.001f}, 1.0f, 60, 1, {}},
  };
  for (const auto& c : cases) {
    GifDisplayTiming t = gifDisplayTiming(c.delays, c.level, c.fps);
    EXPECT_EQ(t.displayRefreshFactor, c.factor) << c.delays.size() << " frames, level " << c.level;
    EXPECT_EQ(t.displayOrder, c.order);
    EXPECT_EQ(t.imageCount, static_cast<int>(c.order.size()));
  }
}

TEST(GifImageTest, DecodesFramesDelaysAndSize) {
  // The middle frame's delay of 0 falls back to the clamped 0.1 s.
  auto image = GifImage::imageWithGifData(makeGif({{0, 5}, {1, 0}, {2, 20}}, 500, 400), levelOfIntegrityHighest);
  ASSERT_TRUE(image) << image.error().description();
  auto& gif = **image;
  // Ends at 0.05, 0.15, 0.35: a 0.05 s step separates them all.
  EXPECT_EQ(gif.displayRefreshFactor(), 3);
  EXPECT_EQ(gif.displayOrder(), (std::vector<int>{0, 1, 1, 2, 2, 2, 2}));
  EXPECT_EQ(gif.framesCount(), 7u);
  EXPECT_EQ(gif.imageSize(), 500 * 400 * 4 * 7 / 1'000'000);
  ASSERT_NE(gif.imageSource(), nullptr);
  EXPECT_EQ(gif.imageSource()->createImageAtIndex(0)->pixel(3, 2), (RGBA8{255, 0, 0, 255}));
  EXPECT_EQ(gif.imageSource()->createImageAtIndex(2)->pixel(3, 2), (RGBA8{0, 0, 255, 255}));
  EXPECT_EQ(gif.imageSource()->createImageAtIndex(1)->pixel(0, 0), (RGBA8{0, 255, 0, 255}));  // composed again from the start
  EXPECT_EQ(gif.imageSource()->createImageAtIndex(3), nullptr);
  EXPECT_EQ(GifImage::fromImage(*image), *image);
  EXPECT_EQ(GifImage::fromImage(std::make_shared<UIImage>()), nullptr);

  gif.clear();
  EXPECT_EQ(gif.framesCount(), 0u);
  EXPECT_FALSE(gif.imageData().has_value());
}

TEST(GifImageTest, DamagedAndForeignDataFailCleanly) {
  const os::Data good = makeGif({{0, 10}, {1, 10}});
  struct Case {
    const char* name;
    os::Data data;
    std::optional<GifParseError> error;  // none: an empty image without error
  };
  const std::vector<Case> cases{
      {"header only", good.subdata(0, 13), GifParseError::noImages},
      {"cut in the first frame", good.subdata(0, 45), GifParseError::noImages},
      {"no timing", makeGif({{0, std::nullopt}}), GifParseError::noTimingInfo},
      {"not an image", os::Data::fromString("definitely not a picture"), std::nullopt},
      // Mended: empty data was copied from its null bytes (undefined behaviour).
      {"empty", os::Data(), std::nullopt},
  };
  for (const auto& c : cases) {
    auto image = GifImage::imageWithGifData(c.data);
    if (c.error) {
      ASSERT_FALSE(image) << c.name;
      EXPECT_EQ(image.error().domain(), kGifParseErrorDomain);
      EXPECT_EQ(image.error().code(), static_cast<int64_t>(*c.error)) << c.name;
      EXPECT_EQ(image.error().localizedDescription(), "Invalid gif file ");
    } else {
      ASSERT_TRUE(image) << c.name;
      EXPECT_EQ((*image)->imageSource(), nullptr);
      EXPECT_EQ((*image)->framesCount(), 0u);
    }
  }
  // A stream cut after its first frame keeps that frame.
  auto cut = GifImage::imageWithGifData(good.subdata(0, good.size() - 10));
  ASSERT_TRUE(cut);
  EXPECT_EQ((*cut)->imageSource()->count(), 1u);

  // The failable form falls back to the still image, or to nothing.
  auto still = GifImage::imageWithData(makeGif({{2, std::nullopt}}));
  ASSERT_NE(still, nullptr);
  EXPECT_EQ(GifImage::fromImage(still), nullptr);
  EXPECT_EQ(still->cgImage()->pixel(0, 0), (RGBA8{0, 0, 255, 255}));
  // Data that is no image source at all gives the empty image, without frames.
  auto nothing = GifImage::fromImage(GifImage::imageWithData(os::Data::fromString("nothing")));
  ASSERT_NE(nothing, nullptr);
  EXPECT_EQ(nothing->framesCount(), 0u);
  EXPECT_EQ(makeGifParseError(GifParseError::invalidFilename).localizedDescription(), "Invalid file name");
}
