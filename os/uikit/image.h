// UIImage and image contexts.
//
// Images are immutable references (std::shared_ptr<UIImage>); `size` is in
// points (pixels / scale). imageNamed looks in the asset directory for
// "<name>@<scale>x.png", "<name>.png", "<name>.jpg" (the main screen's scale
// preferred) and caches what it loads, so one name gives one object.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/graphics/context.h"
#include "os/graphics/image.h"
#include "os/uikit/types.h"

enum class UIImageRenderingMode { Automatic = 0, AlwaysOriginal = 1, AlwaysTemplate = 2 };

class UIImage {
 public:
  UIImage() = default;  // an empty image: no bitmap, size zero
  UIImage(std::shared_ptr<CGImage> image, CGFloat scale);

  static std::shared_ptr<UIImage> imageNamed(const std::string& name);
  static std::shared_ptr<UIImage> imageWithContentsOfFile(const std::string& path);
  static std::shared_ptr<UIImage> imageWithData(const os::Data& data, CGFloat scale = 1);
  // The folder imageNamed reads (default: the main bundle's folder); setting
  // it clears the cache.
  static void setAssetDirectory(const std::string& path);
  static std::string assetDirectory();

  CGSize size() const;
  CGFloat scale() const { return scale_; }
  const std::shared_ptr<CGImage>& cgImage() const { return image_; }
  UIImageRenderingMode renderingMode() const { return renderingMode_; }
  std::shared_ptr<UIImage> withRenderingMode(UIImageRenderingMode mode) const;

  // UIImagePNGRepresentation / UIImageJPEGRepresentation: none for an empty image.
  std::optional<os::Data> pngData() const;
  std::optional<os::Data> jpegData(CGFloat quality) const;

  // Draws the image into the current image context (no-op without one).
  void drawInRect(const CGRect& rect) const;
  void drawAtPoint(CGPoint p) const { drawInRect({p, size()}); }

 private:
  std::shared_ptr<CGImage> image_;
  CGFloat scale_ = 1;
  UIImageRenderingMode renderingMode_ = UIImageRenderingMode::Automatic;
};

// The image-context stack of UIGraphicsBeginImageContextWithOptions. Scale 0
// means the main screen's. A size that cannot be drawn (empty, non-finite,
// too large) pushes no context: UIGraphicsGetCurrentContext() then answers
// what it did before and UIGraphicsGetImageFromCurrentImageContext() none.
void UIGraphicsBeginImageContextWithOptions(CGSize size, bool opaque, CGFloat scale);
std::shared_ptr<UIImage> UIGraphicsGetImageFromCurrentImageContext();
void UIGraphicsEndImageContext();
CGContext* UIGraphicsGetCurrentContext();
// Makes ctx current for drawing (a view's draw pass); pop with UIGraphicsPopContext.
void UIGraphicsPushContext(CGContext* ctx);
void UIGraphicsPopContext();

struct UIGraphicsImageRendererFormat {
  CGFloat scale = 0;  // 0: the main screen's
  bool opaque = false;
};

class UIGraphicsImageRendererContext {
 public:
  explicit UIGraphicsImageRendererContext(CGContext& ctx) : ctx_(ctx) {}
  CGContext& cgContext() { return ctx_; }
  void fill(const CGRect& r) { ctx_.fill(r); }
  void stroke(const CGRect& r) { ctx_.stroke(r); }

 private:
  CGContext& ctx_;
};

class UIGraphicsImageRenderer {
 public:
  using Actions = std::function<void(UIGraphicsImageRendererContext&)>;
  explicit UIGraphicsImageRenderer(CGSize size, UIGraphicsImageRendererFormat format = {});
  // The drawn image; an unusable size gives an error (kCGImageErrorDomain).
  os::Result<std::shared_ptr<UIImage>> image(const Actions& actions) const;
  os::Result<os::Data> pngData(const Actions& actions) const;

 private:
  CGSize size_;
  UIGraphicsImageRendererFormat format_;
};
