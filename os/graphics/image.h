// CGImage: an immutable bitmap of premultiplied 32-bit ARGB pixels (the layout
// cairo draws into), with PNG and JPEG encoding and decoding.
//
// Decoding refuses damaged data, unknown formats and images larger than
// kMaxImagePixels with an error in kCGImageErrorDomain; it never crashes on
// bad input.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/graphics/color.h"

inline constexpr const char* kCGImageErrorDomain = "com.drosil.graphics.image";
enum class CGImageError : int64_t { UnknownFormat = 1, Corrupt = 2, TooLarge = 3, EncodeFailed = 4, IO = 5 };
// The largest bitmap this layer makes or decodes (width x height).
inline constexpr int64_t kMaxImagePixels = int64_t{1} << 26;

// One pixel with straight (not premultiplied) 8-bit components.
struct RGBA8 {
  uint8_t r = 0, g = 0, b = 0, a = 0;
  friend bool operator==(const RGBA8&, const RGBA8&) = default;
};

// A picture's colour samples at 16 bits per channel, straight (not
// premultiplied) RGB, 3 per pixel, rows top to bottom without padding.
struct CGImageSamples {
  int width = 0;
  int height = 0;
  std::vector<uint16_t> rgb;
};

class CGImage {
 public:
  // A bitmap of the given pixel size; pixels start transparent. Sizes must be
  // positive and within kMaxImagePixels (checked by callers that take input).
  CGImage(int width, int height, bool opaque = false);
  // Adopts premultiplied ARGB32 rows of `stride` bytes.
  CGImage(int width, int height, int stride, std::vector<uint8_t> pixels, bool opaque);

  static os::Result<std::shared_ptr<CGImage>> decode(const os::Data& data);
  static os::Result<std::shared_ptr<CGImage>> decodeFile(const std::string& path);
  // The samples of a PNG or JPEG at the file's full depth: 16-bit PNG samples
  // as stored, 8-bit samples (PNG or JPEG) widened (v * 257). Alpha is not
  // applied, except that a fully transparent pixel is black (as pixel()
  // gives it). Errors as decode().
  static os::Result<CGImageSamples> decodeSamples(const os::Data& data);
  os::Result<os::Data> pngData() const;
  // quality 0...1 (clamped), as the platform takes it.
  os::Result<os::Data> jpegData(double quality) const;

  int width() const { return width_; }
  int height() const { return height_; }
  int stride() const { return stride_; }
  bool isOpaque() const { return opaque_; }
  const uint8_t* pixels() const { return pixels_.data(); }
  uint8_t* mutablePixels() { return pixels_.data(); }
  // The pixel at x, y un-premultiplied; out of range gives transparent black.
  RGBA8 pixel(int x, int y) const;

 private:
  int width_, height_, stride_;
  bool opaque_;
  std::vector<uint8_t> pixels_;
};
