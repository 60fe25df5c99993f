#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include "os/foundation/sandbox.h"

#include "os/graphics/context.h"
#include "os/graphics/image.h"
#include "os/graphics/text.h"

namespace {

std::shared_ptr<CGImage> drawSample(CGFloat scale) {
  auto ctx = CGContext::makeBitmap({40, 20}, scale, false).value();
  ctx->setFillColor(CGColor::sRGB(1, 0, 0));
  ctx->fill({0, 0, 20, 20});
  ctx->saveGState();
  ctx->translateBy(20, 0);
  ctx->setFillColor(CGColor::sRGB(0, 0, 1, 0.5));
  ctx->fill({0, 0, 20, 20});
  ctx->restoreGState();
  return ctx->makeImage();
}

}  // namespace

TEST(ContextTest, FillsAtScaleWithStatesRestored) {
  auto img = drawSample(2);
  ASSERT_EQ(img->width(), 80);
  ASSERT_EQ(img->height(), 40);
  EXPECT_EQ(img->pixel(10, 10), (RGBA8{255, 0, 0, 255}));
  EXPECT_EQ(img->pixel(70, 30), (RGBA8{0, 0, 255, 128}));
}

TEST(ContextTest, RefusesUnusableSizes) {
  for (CGSize s : {CGSize{0, 10}, CGSize{10, 0}, CGSize{-1, 5}, CGSize{NAN, 5}, CGSize{1e9, 1e9}}) {
    auto ctx = CGContext::makeBitmap(s, 1, false);
    ASSERT_FALSE(ctx) << s.width << "x" << s.height;
    EXPECT_EQ(ctx.error().domain(), kCGImageErrorDomain);
  }
  EXPECT_FALSE(CGContext::makeBitmap({10, 10}, 0, false));
}

TEST(ContextTest, GradientRunsBetweenItsPoints) {
  auto ctx = CGContext::makeBitmap({100, 10}, 1, false).value();
  CGGradient g{{CGColor::sRGB(1, 0, 0), CGColor::sRGB(0, 0, 1)}, {}};
  ctx->drawLinearGradient(g, {0, 0}, {100, 0}, 3);
  auto img = ctx->makeImage();
  EXPECT_GT(img->pixel(1, 5).r, 240);
  EXPECT_GT(img->pixel(98, 5).b, 240);
  EXPECT_NEAR(img->pixel(50, 5).r, 127, 4);
}

TEST(ImageCodecTest, PngRoundTripKeepsPixelsAndAlpha) {
  auto img = drawSample(1);
  auto png = img->pngData();
  ASSERT_TRUE(png);
  auto back = CGImage::decode(*png);
  ASSERT_TRUE(back);
  EXPECT_EQ((*back)->width(), 40);
  EXPECT_EQ((*back)->pixel(5, 5), img->pixel(5, 5));
  EXPECT_EQ((*back)->pixel(30, 5), img->pixel(30, 5));
}

TEST(ImageCodecTest, JpegRoundTripIsCloseAndOpaque) {
  auto ctx = CGContext::makeBitmap({16, 16}, 1, true).value();
  ctx->setFillColor(CGColor::sRGB(0, 1, 0));
  ctx->fill({0, 0, 16, 16});
  auto jpeg = ctx->makeImage()->jpegData(0.9);
  ASSERT_TRUE(jpeg);
  auto back = CGImage::decode(*jpeg).value();
  EXPECT_TRUE(back->isOpaque());
  RGBA8 p = back->pixel(8, 8);
  EXPECT_LT(p.r, 10);
  EXPECT_GT(p.g, 245);
}

TEST(ImageCodecTest, DamagedDataIsAnErrorNotACrash) {
  auto good = drawSample(1)->pngData().value();
  std::vector<os::Data> cases = {
      os::Data(),
      os::Data::fromString("GIF89a"),
      good.subdata(0, good.size() / 2),                      // truncated PNG
      os::Data(std::vector<uint8_t>{0xff, 0xd8, 0xff, 0x00}),  // JPEG header only
  };
  os::Data flipped = good;
  flipped.mutableBytes()[40] ^= 0xff;  // damaged IDAT/IHDR content
  cases.push_back(flipped);
  for (const auto& d : cases) EXPECT_FALSE(CGImage::decode(d)) << d.size();
}

namespace {
void appendBigEndian(std::vector<uint8_t>& out, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
// A PNG that stops where its image data begins, after a sound header.
os::Data pngHeader(uint32_t width, uint32_t height) {
  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  std::vector<uint8_t> chunk = {'I', 'H', 'D', 'R'};
  appendBigEndian(chunk, width, 4);
  appendBigEndian(chunk, height, 4);
  chunk.insert(chunk.end(), {8, 2, 0, 0, 0});  // 8-bit RGB
  appendBigEndian(out, 13, 4);
  out.insert(out.end(), chunk.begin(), chunk.end());
  appendBigEndian(out, static_cast<uint32_t>(crc32(0, chunk.data(), static_cast<uInt>(chunk.size()))), 4);
  out.insert(out.end(), {0, 0, 1, 0, 'I', 'D', 'A', 'T'});
  return os::Data(std::move(out));
}
// A JPEG that stops after its frame and scan headers.
os::Data jpegHeader(uint16_t width, uint16_t height) {
  std::vector<uint8_t> out = {0xff, 0xd8, 0xff, 0xc0, 0, 11, 8};
  appendBigEndian(out, height, 2);
  appendBigEndian(out, width, 2);
  out.insert(out.end(), {1, 1, 0x11, 0, 0xff, 0xda, 0, 8, 1, 1, 0, 0, 63, 0});
  return os::Data(std::move(out));
}
}  // namespace

// Pictures over the size limits were called damaged: the libraries' own
// limits (a side over 1,000,000 in PNG, over 65,500 in JPEG) failed them
// before the pixel limit was asked.
TEST(ImageCodecTest, PicturesOverTheSizeLimitsAreTooLarge) {
  const os::Data cases[] = {pngHeader(10000, 10000), pngHeader(2'000'000, 1000), jpegHeader(20000, 20000),
                            jpegHeader(65535, 65535)};
  for (const auto& data : cases) {
    auto image = CGImage::decode(data);
    ASSERT_FALSE(image);
    EXPECT_EQ(image.error().code(), static_cast<int64_t>(CGImageError::TooLarge)) << image.error().description();
    // The samples' PNG reader lacked the raised limits and called the wide picture damaged.
    auto samples = CGImage::decodeSamples(data);
    ASSERT_FALSE(samples);
    EXPECT_EQ(samples.error().code(), static_cast<int64_t>(CGImageError::TooLarge)) << samples.error().description();
  }
}

// A folder given as a picture file threw an uncaught std::ios_failure.
TEST(ImageCodecTest, FileThatCannotBeReadIsAnError) {
  os::TemporarySandbox sandbox;
  const std::string folder = sandbox.sandbox()->documentsDirectory();
  for (const auto& path : {folder, folder + "/missing.png"}) {
    auto image = CGImage::decodeFile(path);
    ASSERT_FALSE(image);
    EXPECT_EQ(image.error().code(), static_cast<int64_t>(CGImageError::IO));
  }
}

// A 16-bit RGBA PNG, two pixels wide, of the given samples.
os::Data png16(const std::vector<uint16_t>& rgba) {
  os::Data out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(
      png, &out, [](png_structp p, png_bytep bytes, png_size_t n) {
        static_cast<os::Data*>(png_get_io_ptr(p))->append(bytes, n);
      },
      nullptr);
  png_set_IHDR(png, info, 2, 1, 16, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<png_byte> row;
  for (uint16_t v : rgba) row.insert(row.end(), {static_cast<png_byte>(v >> 8), static_cast<png_byte>(v & 0xff)});
  png_write_row(png, row.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

TEST(ImageCodecTest, SamplesKeepTheFilesDepth) {
  // 16-bit samples as stored; a fully transparent pixel is black.
  auto deep = CGImage::decodeSamples(png16({0x1234, 0xABCD, 0x0001, 0xFFFF, 0x8000, 0x4000, 0x2000, 0}));
  ASSERT_TRUE(deep) << deep.error().description();
  EXPECT_EQ(deep->width, 2);
  EXPECT_EQ(deep->height, 1);
  EXPECT_EQ(deep->rgb, (std::vector<uint16_t>{0x1234, 0xABCD, 0x0001, 0, 0, 0}));

  // 8-bit pictures are widened.
  auto shallow = CGImage::decodeSamples(drawSample(1)->pngData().value());
  ASSERT_TRUE(shallow);
  EXPECT_EQ(std::vector<uint16_t>(shallow->rgb.begin(), shallow->rgb.begin() + 3),
            (std::vector<uint16_t>{0xFFFF, 0, 0}));

  auto damaged = png16({1, 2, 3, 4, 5, 6, 7, 8});
  damaged = damaged.subdata(0, damaged.size() - 20);
  EXPECT_FALSE(CGImage::decodeSamples(damaged));
  EXPECT_FALSE(CGImage::decodeSamples(os::Data::fromString("GIF89a")));
}

TEST(TextTest, MeasurementIsDeterministicAndWraps) {
  os::graphics::TextStyle style;
  style.font.size = 17;
  CGSize one = os::graphics::measureText("Image Saved", style, 0);
  EXPECT_GT(one.width, 80);
  EXPECT_LT(one.width, 120);
  EXPECT_NEAR(one.height, os::graphics::fontMetrics(style.font).lineHeight, 1.0);
  // Wrapping to a narrow width gives more lines; line spacing adds between lines only.
  CGSize wrapped = os::graphics::measureText("Image Saved", style, 60);
  EXPECT_EQ(os::graphics::lineCount("Image Saved", style, 60), 2);
  style.lineSpacing = 3;
  CGSize spaced = os::graphics::measureText("Image Saved", style, 60);
  EXPECT_NEAR(spaced.height - wrapped.height, 3, 0.01);
  // A line limit cuts the height.
  style.lineSpacing = 0;
  style.numberOfLines = 1;
  EXPECT_NEAR(os::graphics::measureText("Image Saved", style, 60).height, one.height, 0.01);
  // Bad UTF-8 is still measured.
  EXPECT_GT(os::graphics::measureText(std::string("a\xff\xfe" "b"), style, 0).width, 0);
}
