// CGColor: an sRGB colour with alpha, as an immutable value. Components are
// kept as given (0...1 expected); equality compares components exactly, as the
// platform's colour equality does for colours of one colour space.
#pragma once

#include <cstdint>

#include "os/graphics/geometry.h"

struct CGColor {
  CGFloat red = 0, green = 0, blue = 0, alpha = 0;

  static CGColor sRGB(CGFloat r, CGFloat g, CGFloat b, CGFloat a = 1) { return {r, g, b, a}; }
  static CGColor gray(CGFloat white, CGFloat a = 1) { return {white, white, white, a}; }
  static CGColor clear() { return {0, 0, 0, 0}; }
  static CGColor black() { return {0, 0, 0, 1}; }
  static CGColor white() { return {1, 1, 1, 1}; }

  CGColor withAlpha(CGFloat a) const { return {red, green, blue, a}; }
  bool isClear() const { return alpha <= 0; }
  // Components as 8-bit values, rounded; out-of-range components are clamped.
  uint8_t red8() const;
  uint8_t green8() const;
  uint8_t blue8() const;
  uint8_t alpha8() const;

  friend bool operator==(const CGColor&, const CGColor&) = default;
};

inline bool CGColorEqualToColor(const CGColor& a, const CGColor& b) { return a == b; }
// Linear interpolation of each component (t = 0 gives a, 1 gives b).
CGColor CGColorInterpolate(const CGColor& a, const CGColor& b, CGFloat t);
