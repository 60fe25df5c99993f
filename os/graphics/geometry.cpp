#include "os/graphics/geometry.h"

#include <algorithm>

bool CGRect::contains(const CGRect& r) const {
  if (isNull() || r.isNull()) return false;
  return r.minX() >= minX() && r.maxX() <= maxX() && r.minY() >= minY() && r.maxY() <= maxY();
}

CGRect CGRect::intersection(const CGRect& r) const {
  if (isNull() || r.isNull()) return CGRectNull;
  CGFloat x0 = std::max(minX(), r.minX()), x1 = std::min(maxX(), r.maxX());
  CGFloat y0 = std::max(minY(), r.minY()), y1 = std::min(maxY(), r.maxY());
  if (x1 < x0 || y1 < y0) return CGRectNull;
  return {x0, y0, x1 - x0, y1 - y0};
}

CGRect CGRect::unionWith(const CGRect& r) const {
  if (isNull()) return r.standardized();
  if (r.isNull()) return standardized();
  CGFloat x0 = std::min(minX(), r.minX()), x1 = std::max(maxX(), r.maxX());
  CGFloat y0 = std::min(minY(), r.minY()), y1 = std::max(maxY(), r.maxY());
  return {x0, y0, x1 - x0, y1 - y0};
}

CGRect CGRect::insetBy(CGFloat dx, CGFloat dy) const {
  if (isNull()) return *this;
  CGRect s = standardized();
  CGRect out{s.origin.x + dx, s.origin.y + dy, s.size.width - 2 * dx, s.size.height - 2 * dy};
  if (out.size.width < 0 || out.size.height < 0) return CGRectNull;
  return out;
}

CGRect CGRect::integral() const {
  if (isNull()) return *this;
  CGFloat x0 = std::floor(minX()), y0 = std::floor(minY());
  CGFloat x1 = std::ceil(maxX()), y1 = std::ceil(maxY());
  return {x0, y0, x1 - x0, y1 - y0};
}

CGAffineTransform CGAffineTransform::makeRotation(CGFloat angle) {
  CGFloat s = std::sin(angle), c = std::cos(angle);
  return {c, s, -s, c, 0, 0};
}

CGAffineTransform CGAffineTransform::concatenating(const CGAffineTransform& t) const {
  return {a * t.a + b * t.c,           a * t.b + b * t.d,
          c * t.a + d * t.c,           c * t.b + d * t.d,
          tx * t.a + ty * t.c + t.tx,  tx * t.b + ty * t.d + t.ty};
}

CGAffineTransform CGAffineTransform::inverted() const {
  CGFloat det = a * d - b * c;
  if (det == 0 || !std::isfinite(det)) return *this;
  return {d / det, -b / det, -c / det, a / det, (c * ty - d * tx) / det, (b * tx - a * ty) / det};
}

CGPoint CGPointApplyAffineTransform(CGPoint p, const CGAffineTransform& t) {
  return {t.a * p.x + t.c * p.y + t.tx, t.b * p.x + t.d * p.y + t.ty};
}

CGSize CGSizeApplyAffineTransform(CGSize s, const CGAffineTransform& t) {
  return {t.a * s.width + t.c * s.height, t.b * s.width + t.d * s.height};
}

CGRect CGRectApplyAffineTransform(const CGRect& r, const CGAffineTransform& t) {
  if (r.isNull()) return r;
  CGPoint pts[4] = {{r.minX(), r.minY()}, {r.maxX(), r.minY()}, {r.minX(), r.maxY()}, {r.maxX(), r.maxY()}};
  CGFloat x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
  for (auto p : pts) {
    CGPoint q = CGPointApplyAffineTransform(p, t);
    x0 = std::min(x0, q.x);
    y0 = std::min(y0, q.y);
    x1 = std::max(x1, q.x);
    y1 = std::max(y1, q.y);
  }
  return {x0, y0, x1 - x0, y1 - y0};
}

bool CGFloatNearlyEqual(CGFloat a, CGFloat b, CGFloat epsilon) {
  return std::fabs(a - b) <= epsilon * std::max({1.0, std::fabs(a), std::fabs(b)});
}
