// draw_assets: draws the app's images into the bundle at build time.
//
//   draw_assets <output folder>
//
// Writes "<name>@3x.png" for the light-source icons, the slider thumb
// ("fakeKnob"), the focus frame ("focus") and the main screen's buttons
// (zoom steps, create log, settings, flip, compensation). Exit status 1 when
// a file cannot be written.
#include <cairo.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <numbers>
#include <string>

namespace {

constexpr double kScale = 3;
constexpr double kPi = std::numbers::pi;

struct Colour {
  double r, g, b;
};
constexpr Colour kWhite{1, 1, 1};
constexpr Colour kYellow{1, 0.8, 0};
constexpr Colour kOrange{1, 0.55, 0.1};
constexpr Colour kSky{0.55, 0.75, 1};
constexpr Colour kGrey{0.8, 0.82, 0.86};
constexpr Colour kGreen{0.2, 0.78, 0.35};

void setColour(cairo_t* cr, Colour c, double alpha = 1) { cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha); }

void strokeFill(cairo_t* cr, Colour fill, Colour stroke, double width) {
  setColour(cr, fill);
  cairo_fill_preserve(cr);
  setColour(cr, stroke);
  cairo_set_line_width(cr, width);
  cairo_stroke(cr);
}

void sunRays(cairo_t* cr, double cx, double cy, double inner, double outer, int count, double from = 0,
             double to = 2 * kPi) {
  cairo_set_line_width(cr, 1.6);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  for (int i = 0; i < count; ++i) {
    // A full circle spreads the rays evenly; an arc puts one at each end.
    const bool full = to - from >= 2 * kPi - 1e-9;
    const double a = from + (to - from) * i / (full ? count : count - 1);
    cairo_move_to(cr, cx + inner * std::cos(a), cy + inner * std::sin(a));
    cairo_line_to(cr, cx + outer * std::cos(a), cy + outer * std::sin(a));
  }
  cairo_stroke(cr);
}

void cloud(cairo_t* cr, double x, double y, double w, Colour fill) {
  const double h = w * 0.45;
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + w * 0.3, y + h * 0.55, h * 0.45, kPi * 0.5, kPi * 1.5);
  cairo_arc(cr, x + w * 0.5, y + h * 0.35, h * 0.5, kPi * 1.05, kPi * 1.95);
  cairo_arc(cr, x + w * 0.72, y + h * 0.55, h * 0.45, kPi * 1.5, kPi * 0.5);
  cairo_close_path(cr);
  strokeFill(cr, fill, kWhite, 1.2);
}

// A zoom step: the factor in a ring.
void zoomStep(cairo_t* cr, const char* text) {
  setColour(cr, kWhite);
  cairo_set_line_width(cr, 2);
  cairo_arc(cr, 22, 22, 16, 0, 2 * kPi);
  cairo_stroke(cr);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr, 14);
  cairo_text_extents_t extents;
  cairo_text_extents(cr, text, &extents);
  cairo_move_to(cr, 22 - extents.width / 2 - extents.x_bearing, 22 - extents.height / 2 - extents.y_bearing);
  cairo_show_text(cr, text);
}

// The create-log (shutter) button: a ring around a filled disc.
void shutter(cairo_t* cr, Colour disc) {
  setColour(cr, kWhite);
  cairo_set_line_width(cr, 3);
  cairo_arc(cr, 22, 22, 19, 0, 2 * kPi);
  cairo_stroke(cr);
  setColour(cr, disc);
  cairo_arc(cr, 22, 22, 14.5, 0, 2 * kPi);
  cairo_fill(cr);
}

// A tutorial tile's thumbnail: a scene of a lamp over a grey card under a
// sky of `top` fading to `bottom`.
void tutorialThumbnail(cairo_t* cr, Colour top, Colour bottom) {
  cairo_pattern_t* sky = cairo_pattern_create_linear(0, 0, 0, 128);
  cairo_pattern_add_color_stop_rgb(sky, 0, top.r, top.g, top.b);
  cairo_pattern_add_color_stop_rgb(sky, 1, bottom.r, bottom.g, bottom.b);
  cairo_set_source(cr, sky);
  cairo_rectangle(cr, 0, 0, 187, 128);
  cairo_fill(cr);
  cairo_pattern_destroy(sky);
  setColour(cr, kGrey);
  cairo_rectangle(cr, 104, 58, 54, 46);
  cairo_fill(cr);
  setColour(cr, kYellow);
  cairo_arc(cr, 52, 44, 16, 0, 2 * kPi);
  cairo_fill(cr);
  setColour(cr, kYellow, 0.5);
  sunRays(cr, 52, 44, 20, 28, 10);
}

// A play button: a ring around a triangle.
void playButton(cairo_t* cr, Colour fill) {
  setColour(cr, fill, 0.35);
  cairo_arc(cr, 22, 22, 20, 0, 2 * kPi);
  cairo_fill(cr);
  setColour(cr, kWhite);
  cairo_set_line_width(cr, 2);
  cairo_arc(cr, 22, 22, 20, 0, 2 * kPi);
  cairo_stroke(cr);
  cairo_move_to(cr, 17, 13);
  cairo_line_to(cr, 31, 22);
  cairo_line_to(cr, 17, 31);
  cairo_close_path(cr);
  cairo_fill(cr);
}

// Icons are drawn in a 30 x 30 point space.
using Painter = std::function<void(cairo_t*)>;

struct Asset {
  const char* name;
  double width, height;  // points
  Painter paint;
};

const Asset kAssets[] = {
    {"candle", 30, 30,
     [](cairo_t* cr) {
       cairo_rectangle(cr, 11, 13, 8, 14);
       strokeFill(cr, kWhite, kWhite, 1);
       cairo_move_to(cr, 15, 3);
       cairo_curve_to(cr, 19, 8, 18, 11, 15, 11.5);
       cairo_curve_to(cr, 12, 11, 11, 8, 15, 3);
       strokeFill(cr, kOrange, kYellow, 1);
     }},
    {"sunset", 30, 30,
     [](cairo_t* cr) {
       cairo_arc(cr, 15, 20, 7, kPi, 2 * kPi);
       cairo_close_path(cr);
       strokeFill(cr, kOrange, kOrange, 1);
       setColour(cr, kOrange);
       sunRays(cr, 15, 20, 9, 13, 5, kPi * 1.1, kPi * 1.9);
       setColour(cr, kWhite);
       cairo_set_line_width(cr, 1.6);
       cairo_move_to(cr, 3, 22);
       cairo_line_to(cr, 27, 22);
       cairo_stroke(cr);
     }},
    {"light", 30, 30,
     [](cairo_t* cr) {
       cairo_arc(cr, 15, 12, 8, kPi * 0.8, kPi * 2.2);
       cairo_line_to(cr, 18, 22);
       cairo_line_to(cr, 12, 22);
       cairo_close_path(cr);
       strokeFill(cr, kYellow, kWhite, 1.2);
       cairo_rectangle(cr, 12, 23, 6, 4);
       strokeFill(cr, kGrey, kGrey, 1);
     }},
    {"luminaria", 30, 30,
     [](cairo_t* cr) {
       cairo_move_to(cr, 9, 4);
       cairo_line_to(cr, 21, 4);
       cairo_line_to(cr, 25, 13);
       cairo_line_to(cr, 5, 13);
       cairo_close_path(cr);
       strokeFill(cr, kYellow, kWhite, 1.2);
       setColour(cr, kWhite);
       cairo_set_line_width(cr, 2);
       cairo_move_to(cr, 15, 13);
       cairo_line_to(cr, 15, 25);
       cairo_stroke(cr);
       cairo_rectangle(cr, 9, 25, 12, 2.5);
       cairo_fill(cr);
     }},
    {"fluorescent", 30, 30,
     [](cairo_t* cr) {
       for (double y : {9.0, 18.0}) {
         cairo_rectangle(cr, 6, y, 18, 4);
         strokeFill(cr, kWhite, kSky, 1);
         setColour(cr, kGrey);
         cairo_rectangle(cr, 3, y - 0.5, 3, 5);
         cairo_rectangle(cr, 24, y - 0.5, 3, 5);
         cairo_fill(cr);
       }
     }},
    {"cameraFlash", 30, 30,
     [](cairo_t* cr) {
       cairo_move_to(cr, 17, 2);
       cairo_line_to(cr, 7, 17);
       cairo_line_to(cr, 14, 17);
       cairo_line_to(cr, 12, 28);
       cairo_line_to(cr, 23, 12);
       cairo_line_to(cr, 16, 12);
       cairo_close_path(cr);
       strokeFill(cr, kYellow, kWhite, 1);
     }},
    {"sun", 30, 30,
     [](cairo_t* cr) {
       cairo_arc(cr, 15, 15, 6, 0, 2 * kPi);
       strokeFill(cr, kYellow, kYellow, 1);
       setColour(cr, kYellow);
       sunRays(cr, 15, 15, 9, 13, 8);
     }},
    {"partlyCloudyDay", 30, 30,
     [](cairo_t* cr) {
       cairo_arc(cr, 11, 11, 5, 0, 2 * kPi);
       strokeFill(cr, kYellow, kYellow, 1);
       setColour(cr, kYellow);
       sunRays(cr, 11, 11, 7, 10, 8);
       cloud(cr, 6, 13, 22, kWhite);
     }},
    {"umbrella", 30, 30,
     [](cairo_t* cr) {
       cairo_arc(cr, 15, 15, 11, kPi, 2 * kPi);
       cairo_close_path(cr);
       strokeFill(cr, kSky, kWhite, 1.2);
       setColour(cr, kWhite);
       cairo_set_line_width(cr, 1.6);
       cairo_move_to(cr, 15, 15);
       cairo_line_to(cr, 15, 24);
       cairo_arc_negative(cr, 12.5, 24, 2.5, 0, kPi);
       cairo_stroke(cr);
     }},
    {"clouds", 30, 30,
     [](cairo_t* cr) {
       cloud(cr, 8, 5, 20, kGrey);
       cloud(cr, 2, 13, 24, kWhite);
     }},
    {"smilingSun", 30, 30,
     [](cairo_t* cr) {
       cairo_arc(cr, 15, 15, 8, 0, 2 * kPi);
       strokeFill(cr, kYellow, kYellow, 1);
       setColour(cr, kYellow);
       sunRays(cr, 15, 15, 10, 14, 8);
       cairo_set_source_rgb(cr, 0.35, 0.2, 0);
       cairo_arc(cr, 12, 13, 1, 0, 2 * kPi);
       cairo_fill(cr);
       cairo_arc(cr, 18, 13, 1, 0, 2 * kPi);
       cairo_fill(cr);
       cairo_set_line_width(cr, 1.2);
       cairo_arc(cr, 15, 15.5, 4, kPi * 0.2, kPi * 0.8);
       cairo_stroke(cr);
     }},
    {"fakeKnob", 8, 8,
     [](cairo_t* cr) {
       cairo_rectangle(cr, 0.5, 0.5, 7, 7);
       strokeFill(cr, kWhite, Colour{0.2, 0.2, 0.2}, 1);
     }},
    {"focus", 77.76, 77.76,
     [](cairo_t* cr) {
       setColour(cr, kYellow);
       cairo_set_line_width(cr, 1.5);
       cairo_rectangle(cr, 1, 1, 75.76, 75.76);
       cairo_stroke(cr);
       const double m = 77.76 / 2;
       for (auto [x0, y0, x1, y1] : {std::array<double, 4>{m, 1, m, 8}, {m, 69.76, m, 76.76}, {1, m, 8, m},
                                    {69.76, m, 76.76, m}}) {
         cairo_move_to(cr, x0, y0);
         cairo_line_to(cr, x1, y1);
       }
       cairo_stroke(cr);
     }},
    // Buttons of the main screen, 44 x 44 points.
    {"zoom-1x", 44, 44, [](cairo_t* cr) { zoomStep(cr, "1x"); }},
    {"zoom-2x", 44, 44, [](cairo_t* cr) { zoomStep(cr, "2x"); }},
    {"zoom-3x", 44, 44, [](cairo_t* cr) { zoomStep(cr, "3x"); }},
    {"createLog", 44, 44, [](cairo_t* cr) { shutter(cr, kWhite); }},
    {"createLogSelected", 44, 44, [](cairo_t* cr) { shutter(cr, kGreen); }},
    {"settings", 44, 44,
     [](cairo_t* cr) {
       setColour(cr, kWhite);
       cairo_set_line_width(cr, 4);
       for (int i = 0; i < 8; ++i) {
         const double a = i * kPi / 4;
         cairo_move_to(cr, 22 + 8 * std::cos(a), 22 + 8 * std::sin(a));
         cairo_line_to(cr, 22 + 13 * std::cos(a), 22 + 13 * std::sin(a));
       }
       cairo_stroke(cr);
       cairo_set_line_width(cr, 3);
       cairo_arc(cr, 22, 22, 8, 0, 2 * kPi);
       cairo_stroke(cr);
       cairo_arc(cr, 22, 22, 3, 0, 2 * kPi);
       cairo_fill(cr);
     }},
    {"flipCamera", 44, 44,
     [](cairo_t* cr) {
       setColour(cr, kWhite);
       cairo_set_line_width(cr, 2);
       cairo_rectangle(cr, 9, 15, 26, 18);
       cairo_rectangle(cr, 17, 11, 10, 4);
       cairo_stroke(cr);
       cairo_arc(cr, 22, 24, 5, kPi * 1.15, kPi * 2.6);
       cairo_stroke(cr);
       cairo_move_to(cr, 15.5, 20);
       cairo_line_to(cr, 17.8, 22.6);
       cairo_line_to(cr, 14, 23.4);
       cairo_close_path(cr);
       cairo_fill(cr);
     }},
    {"compensate", 44, 44,
     [](cairo_t* cr) {
       setColour(cr, kWhite);
       cairo_set_line_width(cr, 2);
       cairo_arc(cr, 22, 22, 15, 0, 2 * kPi);
       cairo_stroke(cr);
       cairo_set_line_width(cr, 2.5);
       cairo_move_to(cr, 13, 18);
       cairo_line_to(cr, 21, 18);
       cairo_move_to(cr, 17, 14);
       cairo_line_to(cr, 17, 22);
       cairo_move_to(cr, 23, 27);
       cairo_line_to(cr, 31, 27);
       cairo_stroke(cr);
       cairo_set_line_width(cr, 1.5);
       cairo_move_to(cr, 30, 13);
       cairo_line_to(cr, 14, 31);
       cairo_stroke(cr);
     }},
    {"youtubeThumbnail", 187, 128, [](cairo_t* cr) { tutorialThumbnail(cr, kSky, kOrange); }},
    {"vimeoThumbnail", 187, 128, [](cairo_t* cr) { tutorialThumbnail(cr, {0.2, 0.25, 0.45}, kSky); }},
    {"playOne", 44, 44, [](cairo_t* cr) { playButton(cr, kOrange); }},
    {"playTwo", 44, 44, [](cairo_t* cr) { playButton(cr, kGreen); }},
};

bool write(const Asset& asset, const std::string& folder) {
  const int w = static_cast<int>(std::lround(asset.width * kScale));
  const int h = static_cast<int>(std::lround(asset.height * kScale));
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
  cairo_t* cr = cairo_create(surface);
  cairo_scale(cr, kScale, kScale);
  asset.paint(cr);
  cairo_destroy(cr);
  const std::string path = folder + "/" + asset.name + "@3x.png";
  const bool ok = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  if (!ok) std::fprintf(stderr, "draw_assets: cannot write %s\n", path.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: draw_assets <output folder>\n");
    return 1;
  }
  bool ok = true;
  for (const auto& asset : kAssets) ok = write(asset, argv[1]) && ok;
  return ok ? 0 : 1;
}
