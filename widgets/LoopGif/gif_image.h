// GIF decoding: GIF data becomes a GifImage that carries its decoder, its
// data and a display order (which GIF frame to show at each display step)
// for a display that refreshes 60 (or 120) times a second.
//
// The display step is the coarsest whose frame collisions stay within the
// tolerance that a level of integrity (0...1) allows: 1 shows every frame,
// lower levels let frames that end within one step of each other go unseen.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/bundle.h"
#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/uikit/image.h"

inline constexpr float levelOfIntegrityHighest = 1.0f;
inline constexpr float levelOfIntegrityDefault = 0.8f;
inline constexpr float levelOfIntegrityMedium = 0.5f;
inline constexpr float levelOfIntegrityLow = 0.2f;
inline constexpr float levelOfIntegrityLowest = 0.1f;

// Errors of GIF parsing: os::Error in this domain, the code being the case.
inline constexpr const char* kGifParseErrorDomain = "LoopGif.GifParseError";
enum class GifParseError : int64_t { invalidFilename = 0, noImages = 1, noProperties = 2, noGifDictionary = 3, noTimingInfo = 4 };
// The error with its description ("Invalid file name", "Invalid gif file ").
os::Error makeGifParseError(GifParseError error);

// The GIF-specific properties of one frame, in seconds.
struct GifFrameProperties {
  // The delay as stored (absent when the frame has no graphic control block).
  std::optional<float> unclampedDelayTime;
  // As stored, but 0.1 s for delays of 0.01 s or less, as browsers show them.
  std::optional<float> delayTime;
};

// A decoder over GIF data (the image source). Frames are read whole when the
// source is made; a stream that breaks off keeps the frames completed before
// the break. Frame images are composed on the logical screen with each
// earlier frame's disposal, as a viewer shows them. Thread-safe.
class GifImageSource {
 public:
  // None when the data is not a GIF; a GIF whose header is damaged has no frames.
  static std::shared_ptr<GifImageSource> create(const os::Data& data);

  size_t count() const { return frames_.size(); }
  // The properties of a frame (none past the end).
  std::optional<GifFrameProperties> propertiesAtIndex(size_t index) const;
  // The composed frame, or null past the end.
  std::shared_ptr<CGImage> createImageAtIndex(size_t index) const;
  int width() const { return width_; }
  int height() const { return height_; }

  struct Frame {
    int left = 0, top = 0, width = 0, height = 0;
    std::vector<uint8_t> indices;  // width x height, rows top to bottom
    std::vector<RGBA8> palette;
    int transparentIndex = -1;
    int disposal = 0;  // 0, 1: keep; 2: clear to transparent; 3: restore previous
    GifFrameProperties properties;
  };

 private:
  GifImageSource() = default;
  void drawFrame(std::vector<RGBA8>& canvas, const Frame& frame) const;
  void dispose(std::vector<RGBA8>& canvas, const Frame& frame, const std::vector<RGBA8>& before) const;

  int width_ = 0, height_ = 0;
  std::vector<Frame> frames_;
  // The last composed frame, so that playing in order composes one frame per step.
  mutable std::mutex mutex_;
  mutable std::optional<size_t> composedIndex_;  // guarded by mutex_
  mutable std::vector<RGBA8> canvas_;            // guarded by mutex_: frame composedIndex_ drawn
  mutable std::vector<RGBA8> beforeComposed_;    // guarded by mutex_: canvas before it was drawn
};

// The display timing chosen for a list of frame delays.
struct GifDisplayTiming {
  int displayRefreshFactor = 0;
  int imageCount = 0;
  std::vector<int> displayOrder;
};
// Chooses the coarsest refresh factor (60, 30, 20, 15, 12, 10, 6, 5, 4, 3, 2,
// 1; 120 first on a 120-per-second screen) whose skipped frames are at most
// (1 - level) x frames, and the frame shown at each display step.
GifDisplayTiming gifDisplayTiming(const std::vector<float>& delays, float levelOfIntegrity,
                                  int maximumFramesPerSecond = 60);

// A platform image extended with the decoded-GIF properties (all absent on a
// plain image). As an image it is empty; its frames come from imageSource.
class GifImage : public UIImage {
 public:
  GifImage();
  ~GifImage();
  GifImage(const GifImage&) = delete;
  GifImage& operator=(const GifImage&) = delete;

  // The initialiser from GIF data. Data that is no image source gives an
  // empty image without properties and without error.
  static os::Result<std::shared_ptr<GifImage>> imageWithGifData(const os::Data& data,
                                                                float levelOfIntegrity = levelOfIntegrityDefault);
  // The initialiser from a resource "<name>.gif" (or "<name>" when it ends in
  // ".gif") of the bundle; a missing resource is invalidFilename.
  static os::Result<std::shared_ptr<GifImage>> imageWithGifName(const std::string& name, const os::Bundle& bundle,
                                                                float levelOfIntegrity = levelOfIntegrityDefault);
  // Failable: the GIF image, else the still image of the data (its first
  // frame for a GIF without timing), else null.
  static std::shared_ptr<UIImage> imageWithData(const os::Data& data, float levelOfIntegrity = levelOfIntegrityDefault);
  // Failable: the GIF image, else the named still image, else null.
  static std::shared_ptr<UIImage> imageNamed(const std::string& name, const os::Bundle& bundle,
                                             float levelOfIntegrity = levelOfIntegrityDefault);
  // The still image of image data: PNG or JPEG, or a GIF's first frame; null for other data.
  static std::shared_ptr<UIImage> stillImageWithData(const os::Data& data);
  // The GifImage behind a UIImage reference, or null for any other image.
  static std::shared_ptr<GifImage> fromImage(const std::shared_ptr<UIImage>& image);

  // Fill this image from data / a named resource. A failure leaves what was
  // attached before it (imageSource, imageData).
  os::Status setGifFromData(const os::Data& data, float levelOfIntegrity = levelOfIntegrityDefault);
  os::Status setGif(const std::string& name, const os::Bundle& bundle, float levelOfIntegrity = levelOfIntegrityDefault);

  // Entries of displayOrder, 0 when absent.
  size_t framesCount() const { return displayOrder_ ? displayOrder_->size() : 0; }
  // Removes the six properties.
  void clear();

  const std::shared_ptr<GifImageSource>& imageSource() const { return imageSource_; }
  void setImageSource(std::shared_ptr<GifImageSource> s) { imageSource_ = std::move(s); }
  const std::optional<os::Data>& imageData() const { return imageData_; }
  void setImageData(std::optional<os::Data> d) { imageData_ = std::move(d); }
  std::optional<int> displayRefreshFactor() const { return displayRefreshFactor_; }
  void setDisplayRefreshFactor(std::optional<int> v) { displayRefreshFactor_ = v; }
  std::optional<int> imageCount() const { return imageCount_; }
  void setImageCount(std::optional<int> v) { imageCount_ = v; }
  const std::optional<std::vector<int>>& displayOrder() const { return displayOrder_; }
  void setDisplayOrder(std::optional<std::vector<int>> v) { displayOrder_ = std::move(v); }
  // Decimal megabytes for one decoded frame per display step.
  std::optional<int64_t> imageSize() const { return imageSize_; }
  void setImageSize(std::optional<int64_t> v) { imageSize_ = v; }

 private:
  std::shared_ptr<GifImageSource> imageSource_;
  std::optional<os::Data> imageData_;
  std::optional<int> displayRefreshFactor_;
  std::optional<int> imageCount_;
  std::optional<std::vector<int>> displayOrder_;
  std::optional<int64_t> imageSize_;
};
