#include "os/graphics/image.h"

#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <cairo.h>
#include <jpeglib.h>
#include <jerror.h>
#include <png.h>

#include "os/foundation/file_manager.h"

namespace {

os::Error imageError(CGImageError code, const std::string& what) {
  return os::Error::withDescription(kCGImageErrorDomain, static_cast<int64_t>(code), what);
}

uint32_t premultiply(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
  auto pm = [a](uint8_t c) { return static_cast<uint32_t>((c * a + 127) / 255); };
  return (uint32_t{a} << 24) | (pm(r) << 16) | (pm(g) << 8) | pm(b);
}

bool sizeAllowed(int64_t w, int64_t h) { return w > 0 && h > 0 && w * h <= kMaxImagePixels; }

// --- PNG -------------------------------------------------------------------

struct PngReader {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

void pngRead(png_structp png, png_bytep out, png_size_t n) {
  auto* r = static_cast<PngReader*>(png_get_io_ptr(png));
  if (r->size - r->pos < n) png_error(png, "truncated");
  std::memcpy(out, r->data + r->pos, n);
  r->pos += n;
}

void pngWarning(png_structp, png_const_charp) {}
void pngFail(png_structp png, png_const_charp) { png_longjmp(png, 1); }

// A PNG's pixels as RGBA rows of Sample, top to bottom, after `transform`
// has set the expansions that give four Samples a pixel. Refuses damaged data
// and pictures over kMaxImagePixels.
template <class Sample>
os::Result<std::vector<Sample>> readPNG(const os::Data& data, void (*transform)(png_structp), png_uint_32& w,
                                        png_uint_32& h) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFail, pngWarning);
  if (!png) return os::fail(imageError(CGImageError::Corrupt, "cannot read PNG"));
  // The library's own width and height limits would fail a big picture as
  // damaged; kMaxImagePixels decides instead.
  png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_infop info = png_create_info_struct(png);
  PngReader reader{data.bytes(), data.size(), 0};
  std::vector<Sample> rgba;
  std::vector<png_bytep> rows;
  bool tooLarge = false;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return os::fail(imageError(CGImageError::Corrupt, "damaged PNG data"));
  }
  png_set_read_fn(png, &reader, pngRead);
  png_read_info(png, info);
  w = png_get_image_width(png, info);
  h = png_get_image_height(png, info);
  if (!sizeAllowed(w, h)) {
    tooLarge = true;
  } else {
    transform(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    rgba.resize(size_t{w} * h * 4);
    rows.resize(h);
    for (png_uint_32 y = 0; y < h; ++y) rows[y] = reinterpret_cast<png_bytep>(rgba.data() + size_t{y} * w * 4);
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
  }
  png_destroy_read_struct(&png, &info, nullptr);
  if (tooLarge) return os::fail(imageError(CGImageError::TooLarge, "PNG too large"));
  return rgba;
}

os::Result<std::shared_ptr<CGImage>> decodePNG(const os::Data& data) {
  png_uint_32 w = 0, h = 0;
  auto rgba = readPNG<uint8_t>(
      data,
      [](png_structp png) {
        png_set_expand(png);
        png_set_strip_16(png);
        png_set_gray_to_rgb(png);
        png_set_add_alpha(png, 0xff, PNG_FILLER_AFTER);
      },
      w, h);
  if (!rgba) return os::fail(rgba.error());
  auto image = std::make_shared<CGImage>(static_cast<int>(w), static_cast<int>(h), false);
  bool opaque = true;
  for (png_uint_32 y = 0; y < h; ++y) {
    auto* dst = reinterpret_cast<uint32_t*>(image->mutablePixels() + size_t{y} * static_cast<size_t>(image->stride()));
    const uint8_t* src = rgba->data() + size_t{y} * w * 4;
    for (png_uint_32 x = 0; x < w; ++x, src += 4) {
      dst[x] = premultiply(src[0], src[1], src[2], src[3]);
      opaque = opaque && src[3] == 255;
    }
  }
  if (opaque) {
    std::vector<uint8_t> px(image->pixels(), image->pixels() + static_cast<size_t>(image->stride()) * h);
    return std::make_shared<CGImage>(image->width(), image->height(), image->stride(), std::move(px), true);
  }
  return image;
}

// The PNG's samples expanded to 16-bit RGBA in host order, then reduced to
// RGB (a fully transparent pixel black).
os::Result<CGImageSamples> decodePNGSamples(const os::Data& data) {
  png_uint_32 w = 0, h = 0;
  auto rgba = readPNG<uint16_t>(
      data,
      [](png_structp png) {
        png_set_expand_16(png);
        png_set_gray_to_rgb(png);
        png_set_add_alpha(png, 0xffff, PNG_FILLER_AFTER);
        if (std::endian::native == std::endian::little) png_set_swap(png);
      },
      w, h);
  if (!rgba) return os::fail(rgba.error());
  CGImageSamples samples{static_cast<int>(w), static_cast<int>(h), {}};
  samples.rgb.resize(size_t{w} * h * 3);
  for (size_t i = 0, o = 0; i < rgba->size(); i += 4, o += 3) {
    const bool transparent = (*rgba)[i + 3] == 0;
    for (size_t c = 0; c < 3; ++c) samples.rgb[o + c] = transparent ? 0 : (*rgba)[i + c];
  }
  return samples;
}

void pngWrite(png_structp png, png_bytep bytes, png_size_t n) {
  static_cast<os::Data*>(png_get_io_ptr(png))->append(bytes, n);
}
void pngFlush(png_structp) {}

// --- JPEG ------------------------------------------------------------------

struct JpegError {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};

void jpegFail(j_common_ptr cinfo) { longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1); }
void jpegSilence(j_common_ptr, int) {}

os::Result<std::shared_ptr<CGImage>> decodeJPEG(const os::Data& data) {
  jpeg_decompress_struct cinfo;
  JpegError err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = jpegFail;
  err.mgr.emit_message = jpegSilence;
  std::shared_ptr<CGImage> image;
  std::vector<uint8_t> row;
  if (setjmp(err.jump)) {
    // The library refuses sides over its maximum while reading the header.
    const bool tooBig = err.mgr.msg_code == JERR_IMAGE_TOO_BIG;
    jpeg_destroy_decompress(&cinfo);
    if (tooBig) return os::fail(imageError(CGImageError::TooLarge, "JPEG too large"));
    return os::fail(imageError(CGImageError::Corrupt, "damaged JPEG data"));
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data.bytes(), static_cast<unsigned long>(data.size()));
  jpeg_read_header(&cinfo, TRUE);
  if (!sizeAllowed(cinfo.image_width, cinfo.image_height)) {
    jpeg_destroy_decompress(&cinfo);
    return os::fail(imageError(CGImageError::TooLarge, "JPEG too large"));
  }
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  image = std::make_shared<CGImage>(static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height), true);
  row.resize(size_t{cinfo.output_width} * cinfo.output_components);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW rowp = row.data();
    unsigned y = cinfo.output_scanline;
    jpeg_read_scanlines(&cinfo, &rowp, 1);
    auto* dst = reinterpret_cast<uint32_t*>(image->mutablePixels() + size_t{y} * static_cast<size_t>(image->stride()));
    for (unsigned x = 0; x < cinfo.output_width; ++x)
      dst[x] = premultiply(row[x * 3], row[x * 3 + 1], row[x * 3 + 2], 255);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return image;
}

}  // namespace

CGImage::CGImage(int width, int height, bool opaque)
    : width_(width), height_(height), stride_(cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, width)),
      opaque_(opaque), pixels_(size_t(stride_) * height, 0) {}

CGImage::CGImage(int width, int height, int stride, std::vector<uint8_t> pixels, bool opaque)
    : width_(width), height_(height), stride_(stride), opaque_(opaque), pixels_(std::move(pixels)) {}

RGBA8 CGImage::pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return {};
  uint32_t p = *reinterpret_cast<const uint32_t*>(pixels_.data() + size_t(y) * stride_ + size_t(x) * 4);
  uint8_t a = p >> 24;
  if (a == 0) return {};
  auto un = [a](uint32_t c) { return static_cast<uint8_t>(std::min<uint32_t>(255, (c * 255 + a / 2) / a)); };
  return {un((p >> 16) & 0xff), un((p >> 8) & 0xff), un(p & 0xff), a};
}

os::Result<std::shared_ptr<CGImage>> CGImage::decode(const os::Data& data) {
  static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (data.size() >= 8 && std::memcmp(data.bytes(), kPng, 8) == 0) return decodePNG(data);
  if (data.size() >= 3 && data[0] == 0xff && data[1] == 0xd8 && data[2] == 0xff) return decodeJPEG(data);
  return os::fail(imageError(CGImageError::UnknownFormat, "not a PNG or JPEG image"));
}

os::Result<CGImageSamples> CGImage::decodeSamples(const os::Data& data) {
  static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (data.size() >= 8 && std::memcmp(data.bytes(), kPng, 8) == 0) return decodePNGSamples(data);
  auto image = decode(data);
  if (!image) return os::fail(image.error());
  const CGImage& img = **image;
  CGImageSamples samples{img.width(), img.height(), {}};
  samples.rgb.reserve(static_cast<size_t>(img.width()) * img.height() * 3);
  for (int y = 0; y < img.height(); ++y) {
    for (int x = 0; x < img.width(); ++x) {
      const RGBA8 p = img.pixel(x, y);
      samples.rgb.insert(samples.rgb.end(), {static_cast<uint16_t>(p.r * 257), static_cast<uint16_t>(p.g * 257),
                                             static_cast<uint16_t>(p.b * 257)});
    }
  }
  return samples;
}

os::Result<std::shared_ptr<CGImage>> CGImage::decodeFile(const std::string& path) {
  // Through the file manager: a folder or a FIFO at the path is an error,
  // never a read that throws or blocks.
  auto bytes = os::FileManager::defaultManager().contentsAtPath(path);
  if (!bytes) {
    const os::Error& error = bytes.error();
    std::string why = error.code() == os::kFileReadCorruptFileError ? "not a regular file"
                      : error.underlyingError()                     ? error.underlyingError()->localizedDescription()
                                                                    : "unreadable";
    return os::fail(imageError(CGImageError::IO, "cannot read " + path + ": " + why));
  }
  return decode(*bytes);
}

os::Result<os::Data> CGImage::pngData() const {
  os::Data out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFail, pngWarning);
  if (!png) return os::fail(imageError(CGImageError::EncodeFailed, "cannot write PNG"));
  png_infop info = png_create_info_struct(png);
  std::vector<uint8_t> row(size_t(width_) * 4);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return os::fail(imageError(CGImageError::EncodeFailed, "PNG encoding failed"));
  }
  png_set_write_fn(png, &out, pngWrite, pngFlush);
  png_set_IHDR(png, info, width_, height_, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height_; ++y) {
    for (int x = 0; x < width_; ++x) {
      RGBA8 p = pixel(x, y);
      std::memcpy(&row[size_t(x) * 4], &p, 4);
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

os::Result<os::Data> CGImage::jpegData(double quality) const {
  jpeg_compress_struct cinfo;
  JpegError err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = jpegFail;
  err.mgr.emit_message = jpegSilence;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  std::vector<uint8_t> row(size_t(width_) * 3);
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&cinfo);
    free(buffer);
    return os::fail(imageError(CGImageError::EncodeFailed, "JPEG encoding failed"));
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = width_;
  cinfo.image_height = height_;
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  if (!(quality >= 0)) quality = 0;  // NaN too
  int q = static_cast<int>(std::lround(std::min(quality, 1.0) * 100));
  jpeg_set_quality(&cinfo, std::max(q, 1), TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    int y = static_cast<int>(cinfo.next_scanline);
    for (int x = 0; x < width_; ++x) {
      // Transparent pixels are flattened onto black, as the platform does.
      uint32_t p = *reinterpret_cast<const uint32_t*>(pixels_.data() + size_t(y) * stride_ + size_t(x) * 4);
      row[size_t(x) * 3] = (p >> 16) & 0xff;
      row[size_t(x) * 3 + 1] = (p >> 8) & 0xff;
      row[size_t(x) * 3 + 2] = p & 0xff;
    }
    JSAMPROW rowp = row.data();
    jpeg_write_scanlines(&cinfo, &rowp, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  os::Data out(buffer, size);
  free(buffer);
  return out;
}
