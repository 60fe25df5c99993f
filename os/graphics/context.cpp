#include "os/graphics/context.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {
os::Error contextError(const std::string& what) {
  return os::Error::withDescription(kCGImageErrorDomain, static_cast<int64_t>(CGImageError::TooLarge), what);
}
}  // namespace

os::Result<std::unique_ptr<CGContext>> CGContext::makeBitmap(CGSize size, CGFloat scale, bool opaque) {
  if (!std::isfinite(size.width) || !std::isfinite(size.height) || !std::isfinite(scale) || size.width <= 0 ||
      size.height <= 0 || scale <= 0)
    return os::fail(contextError("cannot make a bitmap context of this size"));
  double pw = std::ceil(size.width * scale - 1e-9), ph = std::ceil(size.height * scale - 1e-9);
  if (pw < 1 || ph < 1 || pw > 32767 || ph > 32767 || pw * ph > static_cast<double>(kMaxImagePixels))
    return os::fail(contextError("bitmap context too large"));
  std::unique_ptr<CGContext> ctx(new CGContext());
  ctx->pixelWidth_ = static_cast<int>(pw);
  ctx->pixelHeight_ = static_cast<int>(ph);
  ctx->size_ = size;
  ctx->scale_ = scale;
  ctx->opaque_ = opaque;
  ctx->surface_ = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, ctx->pixelWidth_, ctx->pixelHeight_);
  if (cairo_surface_status(ctx->surface_) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(ctx->surface_);
    ctx->surface_ = nullptr;
    return os::fail(contextError("cannot allocate the bitmap"));
  }
  ctx->cr_ = cairo_create(ctx->surface_);
  if (opaque) {
    cairo_set_source_rgb(ctx->cr_, 0, 0, 0);
    cairo_paint(ctx->cr_);
  }
  cairo_scale(ctx->cr_, scale, scale);
  cairo_set_line_width(ctx->cr_, 1);
  return ctx;
}

CGContext::~CGContext() {
  if (cr_) cairo_destroy(cr_);
  if (surface_) cairo_surface_destroy(surface_);
}

void CGContext::saveGState() {
  cairo_save(cr_);
  saved_.push_back(state_);
}

void CGContext::restoreGState() {
  if (saved_.empty()) return;  // unbalanced restore: ignored, as the platform does
  cairo_restore(cr_);
  state_ = saved_.back();
  saved_.pop_back();
}

void CGContext::translateBy(CGFloat tx, CGFloat ty) { cairo_translate(cr_, tx, ty); }
void CGContext::scaleBy(CGFloat sx, CGFloat sy) {
  if (sx == 0 || sy == 0 || !std::isfinite(sx) || !std::isfinite(sy)) {
    // A singular transform makes everything invisible; cairo would latch an error.
    cairo_new_path(cr_);
    cairo_rectangle(cr_, 0, 0, 0, 0);
    cairo_clip(cr_);
    return;
  }
  cairo_scale(cr_, sx, sy);
}
void CGContext::rotateBy(CGFloat angle) { cairo_rotate(cr_, angle); }

void CGContext::concatCTM(const CGAffineTransform& t) {
  CGFloat det = t.a * t.d - t.b * t.c;
  if (det == 0 || !std::isfinite(det) || !std::isfinite(t.tx) || !std::isfinite(t.ty)) {
    cairo_new_path(cr_);
    cairo_rectangle(cr_, 0, 0, 0, 0);
    cairo_clip(cr_);
    return;
  }
  cairo_matrix_t m;
  cairo_matrix_init(&m, t.a, t.b, t.c, t.d, t.tx, t.ty);
  cairo_transform(cr_, &m);
}

CGAffineTransform CGContext::userSpaceToPoints() const {
  cairo_matrix_t m;
  cairo_get_matrix(cr_, &m);
  return CGAffineTransform{m.xx, m.yx, m.xy, m.yy, m.x0, m.y0}.concatenating(
      CGAffineTransform::makeScale(1 / scale_, 1 / scale_));
}

void CGContext::setFillColor(const CGColor& c) { state_.fill = c; }
void CGContext::setStrokeColor(const CGColor& c) { state_.stroke = c; }
void CGContext::setLineWidth(CGFloat w) { cairo_set_line_width(cr_, std::isfinite(w) && w >= 0 ? w : 1); }
void CGContext::setLineCap(CGLineCap cap) {
  cairo_set_line_cap(cr_, cap == CGLineCap::Round ? CAIRO_LINE_CAP_ROUND
                          : cap == CGLineCap::Square ? CAIRO_LINE_CAP_SQUARE : CAIRO_LINE_CAP_BUTT);
}
void CGContext::setLineJoin(CGLineJoin join) {
  cairo_set_line_join(cr_, join == CGLineJoin::Round ? CAIRO_LINE_JOIN_ROUND
                           : join == CGLineJoin::Bevel ? CAIRO_LINE_JOIN_BEVEL : CAIRO_LINE_JOIN_MITER);
}
void CGContext::setMiterLimit(CGFloat limit) { cairo_set_miter_limit(cr_, limit); }
void CGContext::setLineDash(CGFloat phase, const std::vector<CGFloat>& lengths) {
  bool valid = !lengths.empty();
  bool anyPositive = false;
  for (auto l : lengths) {
    valid = valid && l >= 0 && std::isfinite(l);
    anyPositive = anyPositive || l > 0;
  }
  if (valid && anyPositive) cairo_set_dash(cr_, lengths.data(), static_cast<int>(lengths.size()), phase);
  else cairo_set_dash(cr_, nullptr, 0, 0);
}
void CGContext::setAlpha(CGFloat alpha) { state_.alpha = std::clamp(alpha, 0.0, 1.0); }
void CGContext::setBlendMode(CGBlendMode mode) {
  cairo_set_operator(cr_, mode == CGBlendMode::Copy ? CAIRO_OPERATOR_SOURCE
                          : mode == CGBlendMode::Clear ? CAIRO_OPERATOR_CLEAR
                          : mode == CGBlendMode::Multiply ? CAIRO_OPERATOR_MULTIPLY : CAIRO_OPERATOR_OVER);
}
void CGContext::setShadow(CGSize offset, CGFloat, const CGColor& color) {
  state_.shadow = !color.isClear();
  state_.shadowOffset = offset;
  state_.shadowColor = color;
}
void CGContext::clearShadow() { state_.shadow = false; }

void CGContext::beginPath() { cairo_new_path(cr_); }

void CGContext::applyPathToCairo(const CGPath& path) {
  for (const auto& e : path.elements()) {
    switch (e.type) {
      case CGPathElement::Type::MoveToPoint: cairo_move_to(cr_, e.points[0].x, e.points[0].y); break;
      case CGPathElement::Type::AddLineToPoint: cairo_line_to(cr_, e.points[0].x, e.points[0].y); break;
      case CGPathElement::Type::AddQuadCurveToPoint: {
        double x0, y0;
        cairo_get_current_point(cr_, &x0, &y0);
        CGPoint c = e.points[0], p = e.points[1];
        cairo_curve_to(cr_, x0 + 2.0 / 3 * (c.x - x0), y0 + 2.0 / 3 * (c.y - y0), p.x + 2.0 / 3 * (c.x - p.x),
                       p.y + 2.0 / 3 * (c.y - p.y), p.x, p.y);
        break;
      }
      case CGPathElement::Type::AddCurveToPoint:
        cairo_curve_to(cr_, e.points[0].x, e.points[0].y, e.points[1].x, e.points[1].y, e.points[2].x, e.points[2].y);
        break;
      case CGPathElement::Type::CloseSubpath: cairo_close_path(cr_); break;
    }
  }
}

void CGContext::addPath(const CGPath& path) { applyPathToCairo(path); }

void CGContext::fillWithShadow(bool stroke, CGPathFillRule rule) {
  cairo_set_fill_rule(cr_, rule == CGPathFillRule::EvenOdd ? CAIRO_FILL_RULE_EVEN_ODD : CAIRO_FILL_RULE_WINDING);
  const CGColor& c = stroke ? state_.stroke : state_.fill;
  if (state_.shadow) {
    cairo_path_t* p = cairo_copy_path(cr_);
    cairo_save(cr_);
    cairo_matrix_t m;
    cairo_get_matrix(cr_, &m);
    cairo_identity_matrix(cr_);
    cairo_translate(cr_, state_.shadowOffset.width * scale_, state_.shadowOffset.height * scale_);
    cairo_transform(cr_, &m);
    cairo_new_path(cr_);
    cairo_append_path(cr_, p);
    const CGColor& s = state_.shadowColor;
    cairo_set_source_rgba(cr_, s.red, s.green, s.blue, s.alpha * state_.alpha * c.alpha);
    if (stroke) cairo_stroke(cr_); else cairo_fill(cr_);
    cairo_restore(cr_);
    cairo_new_path(cr_);
    cairo_append_path(cr_, p);
    cairo_path_destroy(p);
  }
  cairo_set_source_rgba(cr_, c.red, c.green, c.blue, c.alpha * state_.alpha);
  if (stroke) cairo_stroke(cr_); else cairo_fill(cr_);
}

void CGContext::fillPath(CGPathFillRule rule) { fillWithShadow(false, rule); }
void CGContext::strokePath() { fillWithShadow(true, CGPathFillRule::Winding); }

void CGContext::fill(const CGRect& r) {
  cairo_new_path(cr_);
  applyPathToCairo(CGPath::rect(r));
  fillPath();
}

void CGContext::stroke(const CGRect& r) {
  cairo_new_path(cr_);
  applyPathToCairo(CGPath::rect(r));
  strokePath();
}

void CGContext::clear(const CGRect& r) {
  cairo_save(cr_);
  cairo_new_path(cr_);
  applyPathToCairo(CGPath::rect(r));
  cairo_set_operator(cr_, CAIRO_OPERATOR_CLEAR);
  cairo_fill(cr_);
  cairo_restore(cr_);
}

void CGContext::clip(const CGPath& path, CGPathFillRule rule) {
  cairo_new_path(cr_);
  applyPathToCairo(path);
  cairo_set_fill_rule(cr_, rule == CGPathFillRule::EvenOdd ? CAIRO_FILL_RULE_EVEN_ODD : CAIRO_FILL_RULE_WINDING);
  cairo_clip(cr_);
}

void CGContext::clip(const CGRect& r) { clip(CGPath::rect(r)); }

void CGContext::drawLinearGradient(const CGGradient& g, CGPoint start, CGPoint end, unsigned options) {
  if (g.colors.empty()) return;
  cairo_pattern_t* pat = cairo_pattern_create_linear(start.x, start.y, end.x, end.y);
  size_t n = g.colors.size();
  for (size_t i = 0; i < n; ++i) {
    CGFloat loc = i < g.locations.size() ? g.locations[i] : (n == 1 ? 0.0 : static_cast<CGFloat>(i) / (n - 1));
    const CGColor& c = g.colors[i];
    cairo_pattern_add_color_stop_rgba(pat, std::clamp(loc, 0.0, 1.0), c.red, c.green, c.blue, c.alpha * state_.alpha);
  }
  cairo_pattern_set_extend(pat, CAIRO_EXTEND_PAD);
  cairo_save(cr_);
  bool before = options & static_cast<unsigned>(CGGradientDrawingOptions::DrawsBeforeStartLocation);
  bool after = options & static_cast<unsigned>(CGGradientDrawingOptions::DrawsAfterEndLocation);
  if (!before || !after) {
    // Clip to the band between the start and end lines on the sides not extended.
    CGFloat dx = end.x - start.x, dy = end.y - start.y;
    CGFloat len2 = dx * dx + dy * dy;
    if (len2 > 0) {
      const CGFloat far = 1e5;
      CGFloat nx = -dy / std::sqrt(len2) * far, ny = dx / std::sqrt(len2) * far;
      CGPoint a = before ? CGPoint{start.x - dx * far, start.y - dy * far} : start;
      CGPoint b = after ? CGPoint{end.x + dx * far, end.y + dy * far} : end;
      cairo_new_path(cr_);
      cairo_move_to(cr_, a.x + nx, a.y + ny);
      cairo_line_to(cr_, b.x + nx, b.y + ny);
      cairo_line_to(cr_, b.x - nx, b.y - ny);
      cairo_line_to(cr_, a.x - nx, a.y - ny);
      cairo_close_path(cr_);
      cairo_clip(cr_);
    }
  }
  cairo_set_source(cr_, pat);
  cairo_paint(cr_);
  cairo_restore(cr_);
  cairo_pattern_destroy(pat);
}

void CGContext::drawImage(const CGImage& image, const CGRect& rect0) {
  CGRect rect = rect0.standardized();
  if (rect.isEmpty() || image.width() <= 0 || image.height() <= 0) return;
  cairo_surface_t* src = cairo_image_surface_create_for_data(const_cast<uint8_t*>(image.pixels()), CAIRO_FORMAT_ARGB32,
                                                             image.width(), image.height(), image.stride());
  cairo_save(cr_);
  cairo_translate(cr_, rect.minX(), rect.minY());
  cairo_scale(cr_, rect.width() / image.width(), rect.height() / image.height());
  cairo_set_source_surface(cr_, src, 0, 0);
  cairo_pattern_set_extend(cairo_get_source(cr_), CAIRO_EXTEND_PAD);
  cairo_new_path(cr_);
  cairo_rectangle(cr_, 0, 0, image.width(), image.height());
  cairo_clip(cr_);
  cairo_paint_with_alpha(cr_, state_.alpha);
  cairo_restore(cr_);
  cairo_surface_destroy(src);
}

void CGContext::beginTransparencyLayer() {
  saveGState();
  cairo_push_group(cr_);
}

void CGContext::endTransparencyLayer(CGFloat alpha) {
  cairo_pop_group_to_source(cr_);
  cairo_paint_with_alpha(cr_, std::clamp(alpha, 0.0, 1.0));
  restoreGState();
}

void CGContext::endMaskedTransparencyLayers() {
  cairo_pattern_t* mask = cairo_pop_group(cr_);
  restoreGState();
  cairo_pattern_t* content = cairo_pop_group(cr_);
  cairo_set_source(cr_, content);
  cairo_mask(cr_, mask);
  cairo_pattern_destroy(content);
  cairo_pattern_destroy(mask);
  restoreGState();
}

std::shared_ptr<CGImage> CGContext::makeImage() {
  cairo_surface_flush(surface_);
  const uint8_t* data = cairo_image_surface_get_data(surface_);
  int stride = cairo_image_surface_get_stride(surface_);
  std::vector<uint8_t> px(data, data + size_t(stride) * pixelHeight_);
  return std::make_shared<CGImage>(pixelWidth_, pixelHeight_, stride, std::move(px), opaque_);
}
