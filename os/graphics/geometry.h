// Core geometry: points, sizes, rectangles and affine transforms as plain
// value types, with the helpers callers know from the platform. Rectangles may
// have negative sizes; the min/max helpers and the set operations standardise
// them first. The coordinate system has y growing downwards.
#pragma once

#include <cmath>
#include <limits>

using CGFloat = double;

struct CGPoint {
  CGFloat x = 0;
  CGFloat y = 0;
  friend bool operator==(const CGPoint&, const CGPoint&) = default;
};

struct CGSize {
  CGFloat width = 0;
  CGFloat height = 0;
  friend bool operator==(const CGSize&, const CGSize&) = default;
};

struct CGVector {
  CGFloat dx = 0;
  CGFloat dy = 0;
  friend bool operator==(const CGVector&, const CGVector&) = default;
};

struct CGRect {
  CGPoint origin;
  CGSize size;

  CGRect() = default;
  CGRect(CGPoint o, CGSize s) : origin(o), size(s) {}
  CGRect(CGFloat x, CGFloat y, CGFloat w, CGFloat h) : origin{x, y}, size{w, h} {}

  CGFloat minX() const { return std::fmin(origin.x, origin.x + size.width); }
  CGFloat maxX() const { return std::fmax(origin.x, origin.x + size.width); }
  CGFloat midX() const { return origin.x + size.width / 2; }
  CGFloat minY() const { return std::fmin(origin.y, origin.y + size.height); }
  CGFloat maxY() const { return std::fmax(origin.y, origin.y + size.height); }
  CGFloat midY() const { return origin.y + size.height / 2; }
  CGFloat width() const { return std::fabs(size.width); }
  CGFloat height() const { return std::fabs(size.height); }
  CGPoint mid() const { return {midX(), midY()}; }

  // The same rectangle with a non-negative size.
  CGRect standardized() const { return {minX(), minY(), width(), height()}; }
  bool isNull() const { return std::isinf(origin.x) || std::isinf(origin.y); }
  bool isEmpty() const { return isNull() || size.width == 0 || size.height == 0; }
  bool isZero() const { return *this == CGRect(); }
  // Half-open containment, as the platform tests hits.
  bool contains(CGPoint p) const {
    return !isNull() && p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY();
  }
  bool contains(const CGRect& r) const;
  bool intersects(const CGRect& r) const { return !intersection(r).isNull(); }
  CGRect intersection(const CGRect& r) const;
  CGRect unionWith(const CGRect& r) const;
  CGRect insetBy(CGFloat dx, CGFloat dy) const;
  CGRect offsetBy(CGFloat dx, CGFloat dy) const { return {origin.x + dx, origin.y + dy, size.width, size.height}; }
  CGRect integral() const;

  friend bool operator==(const CGRect&, const CGRect&) = default;
};

inline constexpr CGPoint CGPointZero{};
inline constexpr CGSize CGSizeZero{};
inline const CGRect CGRectZero{};
// The null rectangle: the result of intersecting rectangles that do not meet.
inline const CGRect CGRectNull{std::numeric_limits<CGFloat>::infinity(), std::numeric_limits<CGFloat>::infinity(), 0, 0};

inline CGPoint CGPointMake(CGFloat x, CGFloat y) { return {x, y}; }
inline CGSize CGSizeMake(CGFloat w, CGFloat h) { return {w, h}; }
inline CGRect CGRectMake(CGFloat x, CGFloat y, CGFloat w, CGFloat h) { return {x, y, w, h}; }
inline CGFloat CGRectGetMinX(const CGRect& r) { return r.minX(); }
inline CGFloat CGRectGetMidX(const CGRect& r) { return r.midX(); }
inline CGFloat CGRectGetMaxX(const CGRect& r) { return r.maxX(); }
inline CGFloat CGRectGetMinY(const CGRect& r) { return r.minY(); }
inline CGFloat CGRectGetMidY(const CGRect& r) { return r.midY(); }
inline CGFloat CGRectGetMaxY(const CGRect& r) { return r.maxY(); }
inline CGFloat CGRectGetWidth(const CGRect& r) { return r.width(); }
inline CGFloat CGRectGetHeight(const CGRect& r) { return r.height(); }
inline bool CGRectContainsPoint(const CGRect& r, CGPoint p) { return r.contains(p); }
inline CGRect CGRectInset(const CGRect& r, CGFloat dx, CGFloat dy) { return r.insetBy(dx, dy); }
inline CGRect CGRectIntersection(const CGRect& a, const CGRect& b) { return a.intersection(b); }
inline CGRect CGRectUnion(const CGRect& a, const CGRect& b) { return a.unionWith(b); }
inline bool CGRectEqualToRect(const CGRect& a, const CGRect& b) { return a == b; }

// [ a  b  0 ]
// [ c  d  0 ]   with points as row vectors: x' = a x + c y + tx, y' = b x + d y + ty
// [ tx ty 1 ]
struct CGAffineTransform {
  CGFloat a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

  static CGAffineTransform identity() { return {}; }
  static CGAffineTransform makeTranslation(CGFloat tx, CGFloat ty) { return {1, 0, 0, 1, tx, ty}; }
  static CGAffineTransform makeScale(CGFloat sx, CGFloat sy) { return {sx, 0, 0, sy, 0, 0}; }
  static CGAffineTransform makeRotation(CGFloat angle);

  bool isIdentity() const { return *this == CGAffineTransform(); }
  // this followed by t.
  CGAffineTransform concatenating(const CGAffineTransform& t) const;
  // A translation, scale or rotation applied before this transform.
  CGAffineTransform translatedBy(CGFloat x, CGFloat y) const { return makeTranslation(x, y).concatenating(*this); }
  CGAffineTransform scaledBy(CGFloat sx, CGFloat sy) const { return makeScale(sx, sy).concatenating(*this); }
  CGAffineTransform rotated(CGFloat angle) const { return makeRotation(angle).concatenating(*this); }
  // The inverse; a singular transform is returned unchanged, as the platform does.
  CGAffineTransform inverted() const;

  friend bool operator==(const CGAffineTransform&, const CGAffineTransform&) = default;
};

inline const CGAffineTransform CGAffineTransformIdentity{};
inline CGAffineTransform CGAffineTransformMakeTranslation(CGFloat tx, CGFloat ty) { return CGAffineTransform::makeTranslation(tx, ty); }
inline CGAffineTransform CGAffineTransformMakeScale(CGFloat sx, CGFloat sy) { return CGAffineTransform::makeScale(sx, sy); }
inline CGAffineTransform CGAffineTransformMakeRotation(CGFloat angle) { return CGAffineTransform::makeRotation(angle); }
inline CGAffineTransform CGAffineTransformScale(const CGAffineTransform& t, CGFloat sx, CGFloat sy) { return t.scaledBy(sx, sy); }
inline CGAffineTransform CGAffineTransformRotate(const CGAffineTransform& t, CGFloat angle) { return t.rotated(angle); }
inline CGAffineTransform CGAffineTransformTranslate(const CGAffineTransform& t, CGFloat x, CGFloat y) { return t.translatedBy(x, y); }
inline CGAffineTransform CGAffineTransformConcat(const CGAffineTransform& t1, const CGAffineTransform& t2) { return t1.concatenating(t2); }
inline CGAffineTransform CGAffineTransformInvert(const CGAffineTransform& t) { return t.inverted(); }
inline bool CGAffineTransformIsIdentity(const CGAffineTransform& t) { return t.isIdentity(); }

CGPoint CGPointApplyAffineTransform(CGPoint p, const CGAffineTransform& t);
CGSize CGSizeApplyAffineTransform(CGSize s, const CGAffineTransform& t);
// The bounding box of the transformed rectangle.
CGRect CGRectApplyAffineTransform(const CGRect& r, const CGAffineTransform& t);

// Approximate equality for tests and for snapping results of float arithmetic.
bool CGFloatNearlyEqual(CGFloat a, CGFloat b, CGFloat epsilon = 1e-9);
