// CGContext: a drawing context over a cairo bitmap. Coordinates are points
// with y down; the context's base transform maps points to pixels by its
// scale. Paths added with addPath are taken through the current transform at
// the time they are added, as the platform does. Not thread-safe: one context
// is used by one thread at a time.
#pragma once

#include <memory>
#include <vector>

#include "os/foundation/error.h"
#include "os/graphics/color.h"
#include "os/graphics/geometry.h"
#include "os/graphics/image.h"
#include "os/graphics/path.h"

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

enum class CGGradientDrawingOptions : unsigned { None = 0, DrawsBeforeStartLocation = 1, DrawsAfterEndLocation = 2 };

// A linear colour ramp: colours with their locations in 0...1 (evenly spread
// when no locations are given).
struct CGGradient {
  std::vector<CGColor> colors;
  std::vector<CGFloat> locations;
};

enum class CGBlendMode { Normal, Copy, Clear, Multiply };

class CGContext {
 public:
  // A bitmap of ceil(size x scale) pixels. Fails with kCGImageErrorDomain for an
  // empty, non-finite or too large size or a non-positive scale.
  static os::Result<std::unique_ptr<CGContext>> makeBitmap(CGSize size, CGFloat scale, bool opaque);
  ~CGContext();
  CGContext(const CGContext&) = delete;
  CGContext& operator=(const CGContext&) = delete;

  CGSize size() const { return size_; }
  CGFloat scale() const { return scale_; }
  int pixelWidth() const { return pixelWidth_; }
  int pixelHeight() const { return pixelHeight_; }

  void saveGState();
  void restoreGState();
  void translateBy(CGFloat tx, CGFloat ty);
  void scaleBy(CGFloat sx, CGFloat sy);
  void rotateBy(CGFloat angle);
  void concatCTM(const CGAffineTransform& t);
  // The transform from user space to points (the base scale left out).
  CGAffineTransform userSpaceToPoints() const;

  void setFillColor(const CGColor& c);
  void setStrokeColor(const CGColor& c);
  void setLineWidth(CGFloat w);
  void setLineCap(CGLineCap cap);
  void setLineJoin(CGLineJoin join);
  void setMiterLimit(CGFloat limit);
  void setLineDash(CGFloat phase, const std::vector<CGFloat>& lengths);
  void setAlpha(CGFloat alpha);
  void setBlendMode(CGBlendMode mode);
  // A hard-edged shadow behind later fills (blur is not modelled).
  void setShadow(CGSize offset, CGFloat blur, const CGColor& color);
  void clearShadow();

  void beginPath();
  void addPath(const CGPath& path);
  void fillPath(CGPathFillRule rule = CGPathFillRule::Winding);
  void strokePath();
  void fill(const CGRect& r);
  void stroke(const CGRect& r);
  void clear(const CGRect& r);
  void clip(const CGPath& path, CGPathFillRule rule = CGPathFillRule::Winding);
  void clip(const CGRect& r);
  void drawLinearGradient(const CGGradient& g, CGPoint start, CGPoint end, unsigned options);
  // Draws the image scaled into rect, upright.
  void drawImage(const CGImage& image, const CGRect& rect);

  // Transparency layers: everything drawn until the matching end is composed
  // as one group with the given alpha. A masked pair takes two begins: the
  // content, then the mask, whose alpha then masks the content.
  void beginTransparencyLayer();
  void endTransparencyLayer(CGFloat alpha = 1);
  void endMaskedTransparencyLayers();

  std::shared_ptr<CGImage> makeImage();
  cairo_t* cairo() { return cr_; }

 private:
  CGContext() = default;
  void applyPathToCairo(const CGPath& path);
  void fillWithShadow(bool stroke, CGPathFillRule rule);
  cairo_surface_t* surface_ = nullptr;
  cairo_t* cr_ = nullptr;
  CGSize size_;
  CGFloat scale_ = 1;
  int pixelWidth_ = 0, pixelHeight_ = 0;
  bool opaque_ = false;
  struct State {
    CGColor fill = CGColor::black();
    CGColor stroke = CGColor::black();
    CGFloat alpha = 1;
    bool shadow = false;
    CGSize shadowOffset;
    CGColor shadowColor;
  };
  State state_;
  std::vector<State> saved_;
};
