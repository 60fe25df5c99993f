#include "os/graphics/text.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace os::graphics {
namespace {

cairo_font_options_t* fontOptions() {
  static cairo_font_options_t* options = [] {
    cairo_font_options_t* o = cairo_font_options_create();
    cairo_font_options_set_hint_style(o, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(o, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_antialias(o, CAIRO_ANTIALIAS_GRAY);
    return o;
  }();
  return options;
}

void configure(PangoContext* ctx) {
  pango_cairo_context_set_resolution(ctx, 72);
  pango_cairo_context_set_font_options(ctx, fontOptions());
  pango_context_set_round_glyph_positions(ctx, FALSE);
}

// One measuring context per thread: pango contexts are not thread-safe.
PangoContext* measuringContext() {
  thread_local std::unique_ptr<PangoContext, void (*)(gpointer)> ctx = [] {
    PangoFontMap* map = pango_cairo_font_map_get_default();
    PangoContext* c = pango_font_map_create_context(map);
    configure(c);
    return std::unique_ptr<PangoContext, void (*)(gpointer)>(c, g_object_unref);
  }();
  return ctx.get();
}

PangoWeight pangoWeight(CGFloat w) {
  if (w <= -0.7) return PANGO_WEIGHT_THIN;
  if (w <= -0.5) return PANGO_WEIGHT_ULTRALIGHT;
  if (w <= -0.3) return PANGO_WEIGHT_LIGHT;
  if (w < 0.1) return PANGO_WEIGHT_NORMAL;
  if (w < 0.25) return PANGO_WEIGHT_MEDIUM;
  if (w < 0.35) return PANGO_WEIGHT_SEMIBOLD;
  if (w < 0.5) return PANGO_WEIGHT_BOLD;
  if (w < 0.6) return PANGO_WEIGHT_ULTRABOLD;
  return PANGO_WEIGHT_HEAVY;
}

PangoFontDescription* describe(const FontSpec& f) {
  PangoFontDescription* d = pango_font_description_new();
  pango_font_description_set_family(d, f.family.c_str());
  double size = std::isfinite(f.size) && f.size > 0 ? std::min(f.size, 4096.0) : 1.0;
  pango_font_description_set_absolute_size(d, size * PANGO_SCALE);
  pango_font_description_set_weight(d, pangoWeight(f.weight));
  pango_font_description_set_style(d, f.italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
  return d;
}

guint16 channel(CGFloat v) { return static_cast<guint16>(std::lround(std::clamp(v, 0.0, 1.0) * 65535)); }

PangoLayout* makeLayout(PangoContext* ctx, const std::string& text0, const TextStyle& style, CGFloat maxWidth) {
  PangoLayout* layout = pango_layout_new(ctx);
  // Pango refuses invalid UTF-8; replace bad bytes so a label never loses its text.
  gchar* valid = g_utf8_make_valid(text0.data(), static_cast<gssize>(text0.size()));
  std::string text(valid);
  g_free(valid);
  pango_layout_set_text(layout, text.c_str(), static_cast<int>(text.size()));
  PangoFontDescription* d = describe(style.font);
  pango_layout_set_font_description(layout, d);
  pango_font_description_free(d);
  if (std::isfinite(style.lineSpacing) && style.lineSpacing > 0)
    pango_layout_set_spacing(layout, static_cast<int>(style.lineSpacing * PANGO_SCALE));
  switch (style.alignment) {
    case NSTextAlignment::Center: pango_layout_set_alignment(layout, PANGO_ALIGN_CENTER); break;
    case NSTextAlignment::Right: pango_layout_set_alignment(layout, PANGO_ALIGN_RIGHT); break;
    case NSTextAlignment::Justified: pango_layout_set_justify(layout, TRUE); break;
    default: pango_layout_set_alignment(layout, PANGO_ALIGN_LEFT); break;
  }
  bool bounded = std::isfinite(maxWidth) && maxWidth > 0;
  if (bounded) {
    pango_layout_set_width(layout, static_cast<int>(std::min(maxWidth, 1e6) * PANGO_SCALE));
    pango_layout_set_wrap(layout, style.lineBreakMode == NSLineBreakMode::ByCharWrapping ? PANGO_WRAP_CHAR
                                                                                          : PANGO_WRAP_WORD_CHAR);
    PangoEllipsizeMode ell = style.lineBreakMode == NSLineBreakMode::ByTruncatingTail     ? PANGO_ELLIPSIZE_END
                             : style.lineBreakMode == NSLineBreakMode::ByTruncatingHead   ? PANGO_ELLIPSIZE_START
                             : style.lineBreakMode == NSLineBreakMode::ByTruncatingMiddle ? PANGO_ELLIPSIZE_MIDDLE
                                                                                        : PANGO_ELLIPSIZE_NONE;
    if (style.numberOfLines > 0 && ell != PANGO_ELLIPSIZE_NONE) {
      pango_layout_set_height(layout, -style.numberOfLines);
      pango_layout_set_ellipsize(layout, ell);
    }
  }
  PangoAttrList* attrs = pango_attr_list_new();
  PangoAttribute* fg = pango_attr_foreground_new(channel(style.color.red), channel(style.color.green), channel(style.color.blue));
  pango_attr_list_insert(attrs, fg);
  pango_attr_list_insert(attrs, pango_attr_foreground_alpha_new(channel(style.color.alpha)));
  for (const auto& run : style.runs) {
    if (run.start >= text.size()) continue;
    guint start = static_cast<guint>(run.start);
    guint end = static_cast<guint>(std::min(text.size(), run.start + run.length));
    if (run.font) {
      PangoFontDescription* rd = describe(*run.font);
      PangoAttribute* a = pango_attr_font_desc_new(rd);
      pango_font_description_free(rd);
      a->start_index = start;
      a->end_index = end;
      pango_attr_list_insert(attrs, a);
    }
    if (run.color) {
      PangoAttribute* a = pango_attr_foreground_new(channel(run.color->red), channel(run.color->green), channel(run.color->blue));
      a->start_index = start;
      a->end_index = end;
      pango_attr_list_insert(attrs, a);
      PangoAttribute* al = pango_attr_foreground_alpha_new(channel(run.color->alpha));
      al->start_index = start;
      al->end_index = end;
      pango_attr_list_insert(attrs, al);
    }
    if (run.kern && std::isfinite(*run.kern)) {
      PangoAttribute* a = pango_attr_letter_spacing_new(static_cast<int>(*run.kern * PANGO_SCALE));
      a->start_index = start;
      a->end_index = end;
      pango_attr_list_insert(attrs, a);
    }
  }
  pango_layout_set_attributes(layout, attrs);
  pango_attr_list_unref(attrs);
  return layout;
}

// The logical height of the first `lines` lines (all when 0 or more than there are).
CGFloat limitedHeight(PangoLayout* layout, int lines, CGFloat fullHeight) {
  if (lines <= 0 || pango_layout_get_line_count(layout) <= lines) return fullHeight;
  PangoLayoutIter* it = pango_layout_get_iter(layout);
  for (int i = 0; i < lines; ++i) pango_layout_iter_next_line(it);
  int y0 = 0, y1 = 0;
  pango_layout_iter_get_line_yrange(it, &y0, &y1);
  pango_layout_iter_free(it);
  int spacing = pango_layout_get_spacing(layout);
  return (y0 - spacing) / double(PANGO_SCALE);
}

}  // namespace

FontMetrics fontMetrics(const FontSpec& font) {
  PangoFontDescription* d = describe(font);
  PangoFontMetrics* m = pango_context_get_metrics(measuringContext(), d, nullptr);
  FontMetrics out;
  out.ascender = pango_font_metrics_get_ascent(m) / double(PANGO_SCALE);
  out.descender = -pango_font_metrics_get_descent(m) / double(PANGO_SCALE);
  out.lineHeight = out.ascender - out.descender;
  out.capHeight = out.ascender * 0.73;  // DejaVu's cap height over its ascent
  pango_font_metrics_unref(m);
  pango_font_description_free(d);
  return out;
}

CGSize measureText(const std::string& text, const TextStyle& style, CGFloat maxWidth) {
  PangoLayout* layout = makeLayout(measuringContext(), text, style, maxWidth);
  PangoRectangle logical;
  pango_layout_get_extents(layout, nullptr, &logical);
  CGFloat height = limitedHeight(layout, style.numberOfLines, logical.height / double(PANGO_SCALE));
  g_object_unref(layout);
  return {logical.width / double(PANGO_SCALE), height};
}

int lineCount(const std::string& text, const TextStyle& style, CGFloat maxWidth) {
  TextStyle unlimited = style;
  unlimited.numberOfLines = 0;
  PangoLayout* layout = makeLayout(measuringContext(), text, unlimited, maxWidth);
  int n = pango_layout_get_line_count(layout);
  g_object_unref(layout);
  return n;
}

void drawText(CGContext& ctx, const std::string& text, const TextStyle& style, const CGRect& rect) {
  cairo_t* cr = ctx.cairo();
  PangoContext* pctx = pango_cairo_create_context(cr);
  configure(pctx);
  PangoLayout* layout = makeLayout(pctx, text, style, rect.width());
  cairo_save(cr);
  PangoRectangle logical;
  pango_layout_get_extents(layout, nullptr, &logical);
  CGFloat height = limitedHeight(layout, style.numberOfLines, logical.height / double(PANGO_SCALE));
  if (height < logical.height / double(PANGO_SCALE)) {
    cairo_rectangle(cr, rect.minX() - 1e4, rect.minY(), 2e4 + rect.width(), height);
    cairo_clip(cr);
  }
  cairo_move_to(cr, rect.minX(), rect.minY());
  cairo_set_source_rgba(cr, style.color.red, style.color.green, style.color.blue, style.color.alpha);
  pango_cairo_show_layout(cr, layout);
  cairo_restore(cr);
  g_object_unref(layout);
  g_object_unref(pctx);
}

}  // namespace os::graphics
