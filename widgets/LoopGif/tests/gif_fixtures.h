// GIF fixtures written with giflib's encoder.
#pragma once

#include <gif_lib.h>

#include <optional>
#include <vector>

#include "os/foundation/data.h"

namespace gif_fixtures {

// One frame: a palette index filling the whole screen and its delay in
// hundredths of a second (none: no graphic control block).
struct Frame {
  int colorIndex;
  std::optional<int> delayCentiseconds;
};

inline int writeToVector(GifFileType* gif, const GifByteType* bytes, int length) {
  auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
  out->insert(out->end(), bytes, bytes + length);
  return length;
}

inline os::Data makeGif(const std::vector<Frame>& frames, int width = 4, int height = 3) {
  std::vector<uint8_t> bytes;
  int error = 0;
  GifFileType* gif = EGifOpen(&bytes, writeToVector, &error);
  const GifColorType colors[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
  ColorMapObject* map = GifMakeMapObject(4, colors);
  EGifSetGifVersion(gif, true);
  EGifPutScreenDesc(gif, width, height, 8, 0, map);
  std::vector<GifPixelType> row(static_cast<size_t>(width));
  for (const auto& f : frames) {
    if (f.delayCentiseconds) {
      GraphicsControlBlock gcb{};
      gcb.DisposalMode = DISPOSE_DO_NOT;
      gcb.DelayTime = *f.delayCentiseconds;
      gcb.TransparentColor = NO_TRANSPARENT_COLOR;
      GifByteType ext[4];
      EGifGCBToExtension(&gcb, ext);
      EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext);
    }
    EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr);
    std::fill(row.begin(), row.end(), static_cast<GifPixelType>(f.colorIndex));
    for (int y = 0; y < height; ++y) EGifPutLine(gif, row.data(), width);
  }
  EGifCloseFile(gif, &error);
  GifFreeMapObject(map);
  return os::Data(std::move(bytes));
}

}  // namespace gif_fixtures
