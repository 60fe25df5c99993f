#include "widgets/LoopGif/gif_image.h"

#include <gif_lib.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <unordered_set>

namespace {

// Bounds on what a GIF may make us hold: pixels of the screen and of one
// frame, index bytes of all frames together, and display steps of one pass.
constexpr int64_t kMaxFrameBytesTotal = int64_t{1} << 28;
constexpr int64_t kMaxDisplaySteps = int64_t{1} << 22;

struct Reader {
  const uint8_t* bytes;
  size_t length;
  size_t offset = 0;
};

int readFromMemory(GifFileType* gif, GifByteType* out, int wanted) {
  auto* reader = static_cast<Reader*>(gif->UserData);
  size_t n = std::min(static_cast<size_t>(wanted < 0 ? 0 : wanted), reader->length - reader->offset);
  if (n > 0) std::memcpy(out, reader->bytes + reader->offset, n);  // empty data has no bytes at all
  reader->offset += n;
  return static_cast<int>(n);
}

std::vector<RGBA8> paletteOf(const ColorMapObject* map) {
  std::vector<RGBA8> palette;
  if (!map || !map->Colors) return palette;
  palette.reserve(static_cast<size_t>(map->ColorCount));
  for (int i = 0; i < map->ColorCount; ++i) {
    palette.push_back({map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue, 255});
  }
  return palette;
}

bool validSize(int64_t w, int64_t h) { return w > 0 && h > 0 && w * h <= kMaxImagePixels; }

std::mutex gRegistryMutex;
// Never destroyed: images held by other statics leave it at exit.
std::unordered_set<const UIImage*>& gLiveGifImages = *new std::unordered_set<const UIImage*>();  // guarded by gRegistryMutex

}  // namespace

os::Error makeGifParseError(GifParseError error) {
  const char* description = error == GifParseError::invalidFilename ? "Invalid file name" : "Invalid gif file ";
  return os::Error::withDescription(kGifParseErrorDomain, static_cast<int64_t>(error), description);
}

// ---- GifImageSource ----

std::shared_ptr<GifImageSource> GifImageSource::create(const os::Data& data) {
  Reader reader{data.bytes(), data.length()};
  int error = 0;
  GifFileType* gif = DGifOpen(&reader, readFromMemory, &error);
  if (!gif) {
    // A GIF signature with a damaged screen block is still a GIF, one without frames.
    const bool signature = data.size() >= 6 && (data.view().substr(0, 6) == "GIF87a" || data.view().substr(0, 6) == "GIF89a");
    return signature ? std::shared_ptr<GifImageSource>(new GifImageSource()) : nullptr;
  }

  std::shared_ptr<GifImageSource> source(new GifImageSource());
  source->width_ = gif->SWidth;
  source->height_ = gif->SHeight;
  const std::vector<RGBA8> globalPalette = paletteOf(gif->SColorMap);
  GifFrameProperties pendingProperties;
  int pendingTransparent = -1, pendingDisposal = 0;
  int64_t bytesHeld = 0;

  // Reads records until the trailer or the first damage; frames completed
  // before a break are kept, a frame cut short is dropped.
  bool done = false;
  while (!done) {
    GifRecordType type;
    if (DGifGetRecordType(gif, &type) == GIF_ERROR) break;
    switch (type) {
      case IMAGE_DESC_RECORD_TYPE: {
        if (DGifGetImageDesc(gif) == GIF_ERROR) { done = true; break; }
        const GifImageDesc& desc = gif->Image;
        if (!validSize(desc.Width, desc.Height) || bytesHeld + int64_t{desc.Width} * desc.Height > kMaxFrameBytesTotal) {
          done = true;
          break;
        }
        Frame frame;
        frame.left = desc.Left;
        frame.top = desc.Top;
        frame.width = desc.Width;
        frame.height = desc.Height;
        frame.indices.resize(static_cast<size_t>(desc.Width) * static_cast<size_t>(desc.Height));
        auto readRow = [&](int row) {
          return DGifGetLine(gif, frame.indices.data() + static_cast<size_t>(row) * static_cast<size_t>(desc.Width),
                             desc.Width) != GIF_ERROR;
        };
        bool complete = true;
        if (desc.Interlace) {
          static constexpr int kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
          for (int pass = 0; pass < 4 && complete; ++pass) {
            for (int row = kStart[pass]; row < desc.Height && complete; row += kStep[pass]) complete = readRow(row);
          }
        } else {
          for (int row = 0; row < desc.Height && complete; ++row) complete = readRow(row);
        }
        if (!complete) { done = true; break; }
        frame.palette = desc.ColorMap ? paletteOf(desc.ColorMap) : globalPalette;
        frame.transparentIndex = pendingTransparent;
        frame.disposal = pendingDisposal;
        frame.properties = pendingProperties;
        bytesHeld += static_cast<int64_t>(frame.indices.size());
        source->frames_.push_back(std::move(frame));
        pendingProperties = {};
        pendingTransparent = -1;
        pendingDisposal = 0;
        break;
      }
      case EXTENSION_RECORD_TYPE: {
        int code = 0;
        GifByteType* block = nullptr;
        if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) { done = true; break; }
        if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4) {
          GraphicsControlBlock gcb;
          if (DGifExtensionToGCB(block[0], block + 1, &gcb) == GIF_OK) {
            const float delay = static_cast<float>(gcb.DelayTime) / 100.0f;
            pendingProperties.unclampedDelayTime = delay;
            pendingProperties.delayTime = gcb.DelayTime <= 1 ? 0.1f : delay;
            pendingTransparent = gcb.TransparentColor;
            pendingDisposal = gcb.DisposalMode;
          }
        }
        while (block) {
          if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) { done = true; break; }
        }
        break;
      }
      case TERMINATE_RECORD_TYPE:
      default:
        done = true;
        break;
    }
  }
  DGifCloseFile(gif, &error);

  // A screen that cannot hold an image takes the first frame's extent.
  if (!validSize(source->width_, source->height_) && !source->frames_.empty()) {
    const Frame& first = source->frames_.front();
    source->width_ = first.left + first.width;
    source->height_ = first.top + first.height;
  }
  if (!validSize(source->width_, source->height_)) source->frames_.clear();
  return source;
}

std::optional<GifFrameProperties> GifImageSource::propertiesAtIndex(size_t index) const {
  if (index >= frames_.size()) return std::nullopt;
  return frames_[index].properties;
}

void GifImageSource::drawFrame(std::vector<RGBA8>& canvas, const Frame& frame) const {
  for (int y = 0; y < frame.height; ++y) {
    const int cy = frame.top + y;
    if (cy < 0 || cy >= height_) continue;
    for (int x = 0; x < frame.width; ++x) {
      const int cx = frame.left + x;
      if (cx < 0 || cx >= width_) continue;
      const int index = frame.indices[static_cast<size_t>(y) * static_cast<size_t>(frame.width) + static_cast<size_t>(x)];
      if (index == frame.transparentIndex) continue;
      canvas[static_cast<size_t>(cy) * static_cast<size_t>(width_) + static_cast<size_t>(cx)] =
          static_cast<size_t>(index) < frame.palette.size() ? frame.palette[static_cast<size_t>(index)] : RGBA8{0, 0, 0, 255};
    }
  }
}

void GifImageSource::dispose(std::vector<RGBA8>& canvas, const Frame& frame, const std::vector<RGBA8>& before) const {
  if (frame.disposal == DISPOSE_BACKGROUND) {
    for (int y = std::max(0, frame.top); y < std::min(height_, frame.top + frame.height); ++y) {
      for (int x = std::max(0, frame.left); x < std::min(width_, frame.left + frame.width); ++x) {
        canvas[static_cast<size_t>(y) * static_cast<size_t>(width_) + static_cast<size_t>(x)] = RGBA8{};
      }
    }
  } else if (frame.disposal == DISPOSE_PREVIOUS && before.size() == canvas.size()) {
    canvas = before;
  }
}

std::shared_ptr<CGImage> GifImageSource::createImageAtIndex(size_t index) const {
  if (index >= frames_.size()) return nullptr;
  std::lock_guard lock(mutex_);
  if (!composedIndex_ || *composedIndex_ > index) {
    canvas_.assign(static_cast<size_t>(width_) * static_cast<size_t>(height_), RGBA8{});
    beforeComposed_ = frames_[0].disposal == DISPOSE_PREVIOUS ? canvas_ : std::vector<RGBA8>();
    drawFrame(canvas_, frames_[0]);
    composedIndex_ = 0;
  }
  while (*composedIndex_ < index) {
    dispose(canvas_, frames_[*composedIndex_], beforeComposed_);
    const size_t next = *composedIndex_ + 1;
    beforeComposed_ = frames_[next].disposal == DISPOSE_PREVIOUS ? canvas_ : std::vector<RGBA8>();
    drawFrame(canvas_, frames_[next]);
    composedIndex_ = next;
  }

  const int stride = width_ * 4;
  std::vector<uint8_t> pixels(static_cast<size_t>(stride) * static_cast<size_t>(height_));
  for (size_t i = 0; i < canvas_.size(); ++i) {
    const RGBA8 p = canvas_[i];
    const uint32_t a = p.a;
    const uint32_t argb = (a << 24) | ((p.r * a / 255) << 16) | ((p.g * a / 255) << 8) | (p.b * a / 255);
    std::memcpy(pixels.data() + i * 4, &argb, 4);
  }
  return std::make_shared<CGImage>(width_, height_, stride, std::move(pixels), false);
}

// ---- Display timing ----

GifDisplayTiming gifDisplayTiming(const std::vector<float>& delays, float levelOfIntegrity, int maximumFramesPerSecond) {
  GifDisplayTiming timing;
  const size_t n = delays.size();
  if (n == 0) return timing;
  float tolerance = 1;
  if (levelOfIntegrity >= 1) tolerance = 0;
  else if (levelOfIntegrity >= 0) tolerance = 1 - levelOfIntegrity;

  std::vector<int> candidates{60, 30, 20, 15, 12, 10, 6, 5, 4, 3, 2, 1};
  int base = 60, scale = 1;
  if (maximumFramesPerSecond == 120) {
    candidates.insert(candidates.begin(), 120);
    base = 120;
    scale = 2;
  }

  std::vector<float> ends(n);
  float sum = 0;
  for (size_t i = 0; i < n; ++i) ends[i] = sum += delays[i];

  std::vector<int64_t> ticks(n);
  for (size_t c = 0; c < candidates.size(); ++c) {
    const int factor = candidates[c];
    const float step = static_cast<float>(scale) / static_cast<float>(base / factor);
    size_t skipped = 0;
    for (size_t i = 0; i < n; ++i) {
      const float t = ends[i] / step;
      ticks[i] = std::isfinite(t) && t < 9e18f ? static_cast<int64_t>(t) : INT64_MAX;
      if (i == 0 ? ticks[0] == 0 : ticks[i] == ticks[i - 1]) ++skipped;
    }
    if (static_cast<float>(skipped) <= tolerance * static_cast<float>(n) || c + 1 == candidates.size()) {
      timing.displayRefreshFactor = factor;
      break;
    }
  }

  const int64_t count = ticks[n - 1];
  if (count < 0 || count > kMaxDisplaySteps) return GifDisplayTiming{};
  timing.imageCount = static_cast<int>(count);
  timing.displayOrder.reserve(static_cast<size_t>(count));
  size_t i = 0;
  for (int64_t j = 1; j <= count && i < n;) {
    if (ticks[i] >= j) {
      timing.displayOrder.push_back(static_cast<int>(i));
      ++j;
    } else {
      ++i;
    }
  }
  return timing;
}

// ---- GifImage ----

GifImage::GifImage() {
  std::lock_guard lock(gRegistryMutex);
  gLiveGifImages.insert(this);
}

GifImage::~GifImage() {
  std::lock_guard lock(gRegistryMutex);
  gLiveGifImages.erase(this);
}

std::shared_ptr<GifImage> GifImage::fromImage(const std::shared_ptr<UIImage>& image) {
  if (!image) return nullptr;
  std::lock_guard lock(gRegistryMutex);
  if (!gLiveGifImages.contains(image.get())) return nullptr;
  return std::static_pointer_cast<GifImage>(image);
}

void GifImage::clear() {
  imageSource_.reset();
  imageData_.reset();
  displayRefreshFactor_.reset();
  imageCount_.reset();
  displayOrder_.reset();
  imageSize_.reset();
}

os::Status GifImage::setGifFromData(const os::Data& data, float levelOfIntegrity) {
  auto source = GifImageSource::create(data);
  if (!source) {
    // Another image format is an image source whose frames lack the GIF
    // properties; anything else is no image source at all.
    if (!CGImage::decode(data)) return {};
    imageData_ = data;
    return os::fail(makeGifParseError(GifParseError::noGifDictionary));
  }
  imageSource_ = source;
  imageData_ = data;

  const size_t n = source->count();
  if (n < 1) return os::fail(makeGifParseError(GifParseError::noImages));
  std::vector<GifFrameProperties> properties;
  properties.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    auto p = source->propertiesAtIndex(i);
    if (!p) return os::fail(makeGifParseError(GifParseError::noProperties));
    properties.push_back(*p);
  }
  std::vector<float> delays;
  delays.reserve(n);
  for (const auto& p : properties) {
    if (p.unclampedDelayTime && *p.unclampedDelayTime >= 1e-6f) delays.push_back(*p.unclampedDelayTime);
    else if (p.delayTime) delays.push_back(*p.delayTime);
    else return os::fail(makeGifParseError(GifParseError::noTimingInfo));
  }

  GifDisplayTiming timing = gifDisplayTiming(delays, levelOfIntegrity);
  if (timing.displayRefreshFactor == 0) return os::fail(makeGifParseError(GifParseError::noTimingInfo));
  displayRefreshFactor_ = timing.displayRefreshFactor;
  imageCount_ = timing.imageCount;
  displayOrder_ = std::move(timing.displayOrder);

  if (auto first = source->createImageAtIndex(0)) {
    const int64_t bytes = int64_t{first->width()} * first->height() * 4;
    imageSize_ = bytes * *imageCount_ / 1'000'000;
  }
  return {};
}

os::Status GifImage::setGif(const std::string& name, const os::Bundle& bundle, float levelOfIntegrity) {
  const bool hasGifExtension = name.size() > 4 && name.compare(name.size() - 4, 4, ".gif") == 0;
  auto path = bundle.pathForResource(name, hasGifExtension ? "" : "gif");
  if (!path) return os::fail(makeGifParseError(GifParseError::invalidFilename));
  std::ifstream in(*path, std::ios::binary);
  if (!in) return {};
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return {};
  return setGifFromData(os::Data(std::move(bytes)), levelOfIntegrity);
}

os::Result<std::shared_ptr<GifImage>> GifImage::imageWithGifData(const os::Data& data, float levelOfIntegrity) {
  auto image = std::make_shared<GifImage>();
  if (auto status = image->setGifFromData(data, levelOfIntegrity); !status) return os::fail(status.error());
  return image;
}

os::Result<std::shared_ptr<GifImage>> GifImage::imageWithGifName(const std::string& name, const os::Bundle& bundle,
                                                                 float levelOfIntegrity) {
  auto image = std::make_shared<GifImage>();
  if (auto status = image->setGif(name, bundle, levelOfIntegrity); !status) return os::fail(status.error());
  return image;
}

std::shared_ptr<UIImage> GifImage::stillImageWithData(const os::Data& data) {
  if (auto still = UIImage::imageWithData(data)) return still;
  if (auto source = GifImageSource::create(data)) {
    if (auto first = source->createImageAtIndex(0)) return std::make_shared<UIImage>(first, 1);
  }
  return nullptr;
}

std::shared_ptr<UIImage> GifImage::imageWithData(const os::Data& data, float levelOfIntegrity) {
  if (auto gif = imageWithGifData(data, levelOfIntegrity)) return *gif;
  return stillImageWithData(data);
}

std::shared_ptr<UIImage> GifImage::imageNamed(const std::string& name, const os::Bundle& bundle, float levelOfIntegrity) {
  if (auto gif = imageWithGifName(name, bundle, levelOfIntegrity)) return *gif;
  return UIImage::imageNamed(name);
}
