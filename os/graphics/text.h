// Text layout and drawing with pango, for labels and drawn strings.
// Fonts are the DejaVu families; one point is one user unit, hinting is off,
// so measured sizes do not depend on the scale a context draws at.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "os/graphics/color.h"
#include "os/graphics/context.h"
#include "os/graphics/geometry.h"

// The text attributes UIKit labels and attributed strings carry, with the
// platform's raw values.
enum class NSTextAlignment { Left = 0, Center = 1, Right = 2, Justified = 3, Natural = 4 };
enum class NSLineBreakMode {
  ByWordWrapping = 0, ByCharWrapping = 1, ByClipping = 2, ByTruncatingHead = 3, ByTruncatingTail = 4, ByTruncatingMiddle = 5
};

namespace os::graphics {

inline constexpr const char* kSystemFontFamily = "DejaVu Sans";
inline constexpr const char* kMonospacedFontFamily = "DejaVu Sans Mono";

struct FontSpec {
  std::string family = kSystemFontFamily;
  CGFloat size = 17;
  // On the platform's scale: -0.8 ultra light ... 0 regular ... 0.4 bold ... 0.62 black.
  CGFloat weight = 0;
  bool italic = false;
  friend bool operator==(const FontSpec&, const FontSpec&) = default;
};

struct FontMetrics {
  CGFloat ascender = 0;   // above the baseline, positive
  CGFloat descender = 0;  // below the baseline, negative
  CGFloat lineHeight = 0;
  CGFloat capHeight = 0;
};
FontMetrics fontMetrics(const FontSpec& font);

// Attributes over a range of the text, in UTF-8 bytes.
struct TextRun {
  size_t start = 0;
  size_t length = 0;
  std::optional<FontSpec> font;
  std::optional<CGColor> color;
  std::optional<CGFloat> kern;
};

struct TextStyle {
  FontSpec font;
  CGColor color = CGColor::black();
  NSTextAlignment alignment = NSTextAlignment::Natural;
  NSLineBreakMode lineBreakMode = NSLineBreakMode::ByWordWrapping;
  CGFloat lineSpacing = 0;
  int numberOfLines = 0;  // 0: as many as needed
  std::vector<TextRun> runs;
};

// The size the text takes when laid out within maxWidth (<= 0 or infinite:
// unbounded), not rounded. Invalid UTF-8 is replaced, never rejected.
CGSize measureText(const std::string& text, const TextStyle& style, CGFloat maxWidth);
// The number of lines the text takes within maxWidth.
int lineCount(const std::string& text, const TextStyle& style, CGFloat maxWidth);
// Draws the text with its first line's top at rect's top, laid out in rect's width.
void drawText(CGContext& ctx, const std::string& text, const TextStyle& style, const CGRect& rect);

}  // namespace os::graphics
