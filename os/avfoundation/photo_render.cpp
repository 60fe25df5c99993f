#include "os/avfoundation/photo_render.h"

#include <jpeglib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include "os/avfoundation/colour_science.h"

namespace os::avfoundation::detail {
namespace {

// Linear light -> 8-bit sRGB, through a table of 4096 steps.
uint8_t encodeChannel(double linear) {
  static const std::array<uint8_t, 4097> table = [] {
    std::array<uint8_t, 4097> t{};
    for (int i = 0; i <= 4096; ++i) t[i] = static_cast<uint8_t>(std::lround(255.0 * srgbEncode(i / 4096.0)));
    return t;
  }();
  if (!(linear > 0)) return 0;
  if (linear >= 1) return 255;
  return table[static_cast<size_t>(std::lround(linear * 4096))];
}

// The white balance as a map of scene XYZ to output XYZ: into camera RGB,
// scaled by the gains relative to the gains that render D65 neutral, back to
// XYZ, and scaled so the scene's white keeps its luminance.
struct Balance {
  double ratio[3];
  double normalisation = 1;

  XYZ apply(const XYZ& xyz) const {
    CameraRGB c = cameraRGBFromXYZ(xyz);
    c = {c.r * ratio[0], c.g * ratio[1], c.b * ratio[2]};
    XYZ out = xyzFromCameraRGB(c);
    return {out.X / normalisation, out.Y / normalisation, out.Z / normalisation};
  }
};

Balance makeBalance(const os::CaptureScene& scene, const AVCaptureWhiteBalanceGains& gains) {
  static const AVCaptureWhiteBalanceGains d65 =
      *gainsForCameraRGB(cameraRGBFromXYZ(xyzFromUV(uvFromXY(0.31271, 0.32902))));
  Balance b;
  b.ratio[0] = gains.redGain / d65.redGain;
  b.ratio[1] = gains.greenGain / d65.greenGain;
  b.ratio[2] = gains.blueGain / d65.blueGain;
  const XYZ white{scene.whiteX(), scene.whiteY(), scene.whiteZ()};
  if (white.Y > 0) {
    const double n = b.apply(white).Y / white.Y;
    if (std::isfinite(n) && n > 0) b.normalisation = n;
  }
  return b;
}

void writePixel(const XYZ& xyz, uint8_t* out) {
  double r, g, b;
  linearSRGBFromXYZ(xyz, r, g, b);
  out[0] = encodeChannel(r);
  out[1] = encodeChannel(g);
  out[2] = encodeChannel(b);
}

struct JPEGErrorManager {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

[[noreturn]] void jpegErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<JPEGErrorManager*>(cinfo->err)->jump, 1);
}

void jpegSilence(j_common_ptr) {}

struct JPEGBuffer {
  unsigned char* bytes = nullptr;
  unsigned long size = 0;
};

// Kept apart from encodeJPEG so that no object with a destructor lives in
// the frame that longjmp returns to, and the buffer outlives it.
bool compress(const RGBImage& image, int quality, JPEGBuffer* buffer) {
  jpeg_compress_struct cinfo;
  JPEGErrorManager errors;
  cinfo.err = jpeg_std_error(&errors.pub);
  errors.pub.error_exit = jpegErrorExit;
  errors.pub.output_message = jpegSilence;
  if (setjmp(errors.jump)) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &buffer->bytes, &buffer->size);
  cinfo.image_width = static_cast<JDIMENSION>(image.width);
  cinfo.image_height = static_cast<JDIMENSION>(image.height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  const size_t stride = static_cast<size_t>(image.width) * 3;
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(image.rgb.data() + cinfo.next_scanline * stride);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

}  // namespace

RGBImage renderScene(const os::CaptureScene& scene, const AVCaptureWhiteBalanceGains& gains) {
  const Balance balance = makeBalance(scene, gains);
  RGBImage image;
  if (scene.kind() == os::CaptureScene::Kind::LightSource) {
    image.width = kPhotoWidth;
    image.height = kPhotoHeight;
    // A white card at 85% of full scale.
    const XYZ card{0.85 * scene.whiteX(), 0.85 * scene.whiteY(), 0.85 * scene.whiteZ()};
    uint8_t pixel[3];
    writePixel(balance.apply(card), pixel);
    image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
    for (size_t i = 0; i < image.rgb.size(); i += 3) std::copy(pixel, pixel + 3, image.rgb.begin() + i);
    return image;
  }
  image.width = scene.width();
  image.height = scene.height();
  const auto& in = scene.pixels();
  image.rgb.resize(in.size());
  std::array<double, 256> decode;
  for (int i = 0; i < 256; ++i) decode[i] = srgbDecode(i / 255.0);
  for (size_t i = 0; i < in.size(); i += 3) {
    const XYZ xyz = xyzFromLinearSRGB(decode[in[i]], decode[in[i + 1]], decode[in[i + 2]]);
    writePixel(balance.apply(xyz), image.rgb.data() + i);
  }
  return image;
}

os::Data encodeJPEG(const RGBImage& image, int quality) {
  if (image.width <= 0 || image.height <= 0 ||
      image.rgb.size() != static_cast<size_t>(image.width) * static_cast<size_t>(image.height) * 3) {
    return {};
  }
  JPEGBuffer buffer;
  const bool ok = compress(image, std::clamp(quality, 1, 100), &buffer);
  os::Data data;
  if (ok && buffer.bytes) data = os::Data(buffer.bytes, buffer.size);
  std::free(buffer.bytes);
  return data;
}

}  // namespace os::avfoundation::detail
