#include "os/uikit/types.h"

#include <algorithm>
#include <map>

#include "os/graphics/text.h"

UIColor UIColor::systemYellowColor() { return UIColor(CGColor{1, 204 / 255.0, 0, 1}, CGColor{1, 214 / 255.0, 10 / 255.0, 1}); }
UIColor UIColor::systemGreenColor() { return UIColor(CGColor{52 / 255.0, 199 / 255.0, 89 / 255.0, 1}, CGColor{48 / 255.0, 209 / 255.0, 88 / 255.0, 1}); }
UIColor UIColor::systemRedColor() { return UIColor(CGColor{1, 59 / 255.0, 48 / 255.0, 1}, CGColor{1, 69 / 255.0, 58 / 255.0, 1}); }
UIColor UIColor::systemBlueColor() { return UIColor(CGColor{0, 122 / 255.0, 1, 1}, CGColor{10 / 255.0, 132 / 255.0, 1, 1}); }
UIColor UIColor::systemOrangeColor() { return UIColor(CGColor{1, 149 / 255.0, 0, 1}, CGColor{1, 159 / 255.0, 10 / 255.0, 1}); }
UIColor UIColor::systemGrayColor() { return UIColor(CGColor{142 / 255.0, 142 / 255.0, 147 / 255.0, 1}); }
UIColor UIColor::labelColor() { return UIColor(CGColor::black(), CGColor::white()); }
UIColor UIColor::systemBackgroundColor() { return UIColor(CGColor::white(), CGColor::black()); }

void UIColor::getRGBA(CGFloat* r, CGFloat* g, CGFloat* b, CGFloat* a) const {
  if (r) *r = color_.red;
  if (g) *g = color_.green;
  if (b) *b = color_.blue;
  if (a) *a = color_.alpha;
}

UIFont UIFont::systemFont(CGFloat size, CGFloat weight) {
  os::graphics::FontSpec spec;
  spec.size = size;
  spec.weight = weight;
  return UIFont(spec);
}

UIFont UIFont::italicSystemFont(CGFloat size) {
  os::graphics::FontSpec spec;
  spec.size = size;
  spec.italic = true;
  return UIFont(spec);
}

UIFont UIFont::monospacedDigitSystemFont(CGFloat size, CGFloat weight) {
  // DejaVu Sans has tabular digits already.
  return systemFont(size, weight);
}

namespace {
struct StyleSize {
  CGFloat size;
  CGFloat weight;
};
const std::map<std::string, StyleSize>& textStyles() {
  static const std::map<std::string, StyleSize> styles = {
      {UIFontTextStyleLargeTitle, {34, 0}}, {UIFontTextStyleTitle1, {28, 0}},   {UIFontTextStyleTitle2, {22, 0}},
      {UIFontTextStyleTitle3, {20, 0}},     {UIFontTextStyleHeadline, {17, UIFontWeight::Semibold}},
      {UIFontTextStyleBody, {17, 0}},       {UIFontTextStyleCallout, {16, 0}},  {UIFontTextStyleSubheadline, {15, 0}},
      {UIFontTextStyleFootnote, {13, 0}},   {UIFontTextStyleCaption1, {12, 0}}, {UIFontTextStyleCaption2, {11, 0}},
  };
  return styles;
}
StyleSize styleSize(const std::string& style) {
  auto it = textStyles().find(style);
  return it == textStyles().end() ? StyleSize{17, 0} : it->second;
}
}  // namespace

UIFont UIFont::preferredFont(const std::string& textStyle) {
  StyleSize s = styleSize(textStyle);
  return systemFont(s.size, s.weight);
}

CGFloat UIFont::preferredPointSize(const std::string& textStyle) { return styleSize(textStyle).size; }

std::optional<UIFont> UIFont::named(const std::string& family, CGFloat size) {
  if (family.rfind("DejaVu", 0) != 0) return std::nullopt;
  os::graphics::FontSpec spec;
  spec.family = family;
  spec.size = size;
  return UIFont(spec);
}

UIFont UIFont::withSize(CGFloat size) const {
  os::graphics::FontSpec s = spec_;
  s.size = size;
  return UIFont(s);
}

CGFloat UIFont::ascender() const { return os::graphics::fontMetrics(spec_).ascender; }
CGFloat UIFont::descender() const { return os::graphics::fontMetrics(spec_).descender; }
CGFloat UIFont::lineHeight() const { return os::graphics::fontMetrics(spec_).lineHeight; }

namespace {
// Byte offset of the UTF-16 offset `units` in a UTF-8 string (clamped to its end).
size_t byteOffset(const std::string& s, size_t units) {
  size_t i = 0, u = 0;
  while (i < s.size() && u < units) {
    unsigned char c = s[i];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    u += len == 4 ? 2 : 1;
    i = std::min(s.size(), i + len);
  }
  return i;
}
}  // namespace

NSAttributedString::NSAttributedString(std::string string, NSAttributes attributes) : string_(std::move(string)) {
  runs_.push_back({0, string_.size(), std::move(attributes)});
}

size_t NSAttributedString::length() const {
  size_t units = 0;
  for (size_t i = 0; i < string_.size();) {
    unsigned char c = string_[i];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    units += len == 4 ? 2 : 1;
    i += len;
  }
  return units;
}

void NSAttributedString::addAttributes(const NSAttributes& a, NSRange range) {
  size_t start = byteOffset(string_, range.location);
  size_t end = byteOffset(string_, range.location + std::min(range.length, SIZE_MAX - range.location));
  if (end <= start) return;
  runs_.push_back({start, end - start, a});
}

std::optional<NSParagraphStyle> NSAttributedString::paragraphStyle() const {
  std::optional<NSParagraphStyle> out;
  for (const auto& r : runs_)
    if (r.start == 0 && r.attributes.paragraphStyle) out = r.attributes.paragraphStyle;
  return out;
}

NSAttributes NSAttributedString::attributesAtStart() const {
  NSAttributes out;
  for (const auto& r : runs_) {
    if (r.start != 0) continue;
    if (r.attributes.font) out.font = r.attributes.font;
    if (r.attributes.foregroundColor) out.foregroundColor = r.attributes.foregroundColor;
    if (r.attributes.paragraphStyle) out.paragraphStyle = r.attributes.paragraphStyle;
    if (r.attributes.kern) out.kern = r.attributes.kern;
  }
  return out;
}
