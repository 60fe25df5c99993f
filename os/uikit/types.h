// UIKit value types: colours, fonts, edge insets, traits and attributed text.
//
// UIColor and UIFont are immutable values here (optional where the platform
// allows none); image and view types are references (std::shared_ptr).
// UIKit and Core Graphics/Animation types live in the global namespace, as
// the app code names them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/device_profile.h"
#include "os/graphics/color.h"
#include "os/graphics/geometry.h"
#include "os/graphics/text.h"

struct UIEdgeInsets {
  CGFloat top = 0, left = 0, bottom = 0, right = 0;
  friend bool operator==(const UIEdgeInsets&, const UIEdgeInsets&) = default;
};
inline constexpr UIEdgeInsets UIEdgeInsetsZero{};
inline UIEdgeInsets UIEdgeInsetsMake(CGFloat t, CGFloat l, CGFloat b, CGFloat r) { return {t, l, b, r}; }
inline CGRect UIEdgeInsetsInsetRect(const CGRect& r, const UIEdgeInsets& i) {
  return {r.origin.x + i.left, r.origin.y + i.top, r.size.width - i.left - i.right, r.size.height - i.top - i.bottom};
}

enum class UIUserInterfaceStyle { Unspecified = 0, Light = 1, Dark = 2 };
enum class UIUserInterfaceSizeClass { Unspecified = 0, Compact = 1, Regular = 2 };

struct UITraitCollection {
  UIUserInterfaceStyle userInterfaceStyle = UIUserInterfaceStyle::Light;
  UIUserInterfaceIdiom userInterfaceIdiom = UIUserInterfaceIdiom::Phone;
  UIUserInterfaceSizeClass horizontalSizeClass = UIUserInterfaceSizeClass::Compact;
  UIUserInterfaceSizeClass verticalSizeClass = UIUserInterfaceSizeClass::Regular;
  CGFloat displayScale = 3;
  friend bool operator==(const UITraitCollection&, const UITraitCollection&) = default;
};

// A colour. The system colours have their light appearance; `resolved` gives
// the dark one where the platform has a different shade.
class UIColor {
 public:
  UIColor() = default;
  explicit UIColor(CGColor c) : color_(c), dark_(c) {}
  UIColor(CGColor light, CGColor dark) : color_(light), dark_(dark) {}
  static UIColor fromRGBA(CGFloat r, CGFloat g, CGFloat b, CGFloat a = 1) { return UIColor(CGColor{r, g, b, a}); }
  static UIColor fromWhite(CGFloat white, CGFloat a = 1) { return UIColor(CGColor::gray(white, a)); }

  static UIColor clearColor() { return UIColor(CGColor::clear()); }
  static UIColor blackColor() { return UIColor(CGColor::black()); }
  static UIColor whiteColor() { return UIColor(CGColor::white()); }
  static UIColor grayColor() { return fromWhite(0.5); }
  static UIColor lightGrayColor() { return fromWhite(2.0 / 3); }
  static UIColor darkGrayColor() { return fromWhite(1.0 / 3); }
  static UIColor redColor() { return fromRGBA(1, 0, 0); }
  static UIColor greenColor() { return fromRGBA(0, 1, 0); }
  static UIColor blueColor() { return fromRGBA(0, 0, 1); }
  static UIColor yellowColor() { return fromRGBA(1, 1, 0); }
  static UIColor orangeColor() { return fromRGBA(1, 0.5, 0); }
  static UIColor systemYellowColor();
  static UIColor systemGreenColor();
  static UIColor systemRedColor();
  static UIColor systemBlueColor();
  static UIColor systemOrangeColor();
  static UIColor systemGrayColor();
  static UIColor labelColor();
  static UIColor systemBackgroundColor();

  const CGColor& cgColor() const { return color_; }
  CGColor resolved(UIUserInterfaceStyle style) const { return style == UIUserInterfaceStyle::Dark ? dark_ : color_; }
  UIColor withAlphaComponent(CGFloat a) const { return UIColor(color_.withAlpha(a), dark_.withAlpha(a)); }
  // getRed:green:blue:alpha:
  void getRGBA(CGFloat* r, CGFloat* g, CGFloat* b, CGFloat* a) const;

  friend bool operator==(const UIColor& a, const UIColor& b) { return a.color_ == b.color_; }

 private:
  CGColor color_ = CGColor::clear();
  CGColor dark_ = CGColor::clear();
};

namespace UIFontWeight {
inline constexpr CGFloat UltraLight = -0.8, Thin = -0.6, Light = -0.4, Regular = 0, Medium = 0.23, Semibold = 0.3,
                         Bold = 0.4, Heavy = 0.56, Black = 0.62;
}

// The dynamic text styles, at the platform's default ("large") sizes.
inline constexpr const char* UIFontTextStyleLargeTitle = "UICTFontTextStyleTitle0";
inline constexpr const char* UIFontTextStyleTitle1 = "UICTFontTextStyleTitle1";
inline constexpr const char* UIFontTextStyleTitle2 = "UICTFontTextStyleTitle2";
inline constexpr const char* UIFontTextStyleTitle3 = "UICTFontTextStyleTitle3";
inline constexpr const char* UIFontTextStyleHeadline = "UICTFontTextStyleHeadline";
inline constexpr const char* UIFontTextStyleBody = "UICTFontTextStyleBody";
inline constexpr const char* UIFontTextStyleCallout = "UICTFontTextStyleCallout";
inline constexpr const char* UIFontTextStyleSubheadline = "UICTFontTextStyleSubhead";
inline constexpr const char* UIFontTextStyleFootnote = "UICTFontTextStyleFootnote";
inline constexpr const char* UIFontTextStyleCaption1 = "UICTFontTextStyleCaption1";
inline constexpr const char* UIFontTextStyleCaption2 = "UICTFontTextStyleCaption2";

class UIFont {
 public:
  UIFont() = default;
  explicit UIFont(os::graphics::FontSpec spec) : spec_(std::move(spec)) {}
  static UIFont systemFont(CGFloat size, CGFloat weight = UIFontWeight::Regular);
  static UIFont boldSystemFont(CGFloat size) { return systemFont(size, UIFontWeight::Bold); }
  static UIFont italicSystemFont(CGFloat size);
  static UIFont monospacedDigitSystemFont(CGFloat size, CGFloat weight);
  // A style name that is not one of the constants above gives the Body font.
  static UIFont preferredFont(const std::string& textStyle);
  // UIFontDescriptor preferredFontDescriptorWithTextStyle: pointSize.
  static CGFloat preferredPointSize(const std::string& textStyle);
  // The family by name; an unknown family falls back to the system family.
  static std::optional<UIFont> named(const std::string& family, CGFloat size);

  CGFloat pointSize() const { return spec_.size; }
  CGFloat weight() const { return spec_.weight; }
  const std::string& familyName() const { return spec_.family; }
  UIFont withSize(CGFloat size) const;
  CGFloat ascender() const;
  CGFloat descender() const;
  CGFloat lineHeight() const;
  const os::graphics::FontSpec& spec() const { return spec_; }
  friend bool operator==(const UIFont&, const UIFont&) = default;

 private:
  os::graphics::FontSpec spec_;
};

// UIFontMetrics: scales fonts for the user's text size. The user's size is
// the default one here, so scaling answers the font unchanged.
class UIFontMetrics {
 public:
  explicit UIFontMetrics(std::string textStyle) : style_(std::move(textStyle)) {}
  static UIFontMetrics defaultMetrics() { return UIFontMetrics(UIFontTextStyleBody); }
  UIFont scaledFont(const UIFont& font) const { return font; }
  CGFloat scaledValue(CGFloat value) const { return value; }

 private:
  std::string style_;
};

struct NSParagraphStyle {
  CGFloat lineSpacing = 0;
  NSTextAlignment alignment = NSTextAlignment::Natural;
  NSLineBreakMode lineBreakMode = NSLineBreakMode::ByWordWrapping;
  friend bool operator==(const NSParagraphStyle&, const NSParagraphStyle&) = default;
};

// The attributes of a stretch of attributed text (NSFont, NSColor,
// NSParagraphStyle, NSKern).
struct NSAttributes {
  std::optional<UIFont> font;
  std::optional<UIColor> foregroundColor;
  std::optional<NSParagraphStyle> paragraphStyle;
  std::optional<CGFloat> kern;
};

// A range in UTF-16 code units, as the platform counts.
struct NSRange {
  size_t location = 0;
  size_t length = 0;
};

class NSAttributedString {
 public:
  NSAttributedString() = default;
  explicit NSAttributedString(std::string string, NSAttributes attributes = {});
  const std::string& string() const { return string_; }
  // Length in UTF-16 code units.
  size_t length() const;
  // Applies attributes over a UTF-16 range; a range beyond the end is clipped
  // (the platform raises; a bad range must not corrupt the text).
  void addAttributes(const NSAttributes& attributes, NSRange range);
  // The paragraph style of the first character, the one a label lays out with.
  std::optional<NSParagraphStyle> paragraphStyle() const;
  // The attributes in force at the first character.
  NSAttributes attributesAtStart() const;

  struct Run {
    size_t start, length;  // UTF-8 bytes
    NSAttributes attributes;
  };
  const std::vector<Run>& runs() const { return runs_; }

 private:
  std::string string_;
  std::vector<Run> runs_;
};
using NSMutableAttributedString = NSAttributedString;
