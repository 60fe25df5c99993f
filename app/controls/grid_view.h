// GridView: the framing overlay over the camera preview. Four corner brackets
// in a status colour (white while the camera adjusts its white balance,
// yellow when the reading is steady, green while a photo is taken), a faint
// outline with curved corners and a faint rule-of-thirds grid. Everything is
// redrawn from scratch, as shape layers, on every layout pass and on every
// colour change.
//
// Main thread only.
#pragma once

#include <memory>

#include "os/uikit/uikit.h"

// A closed path around `rect` with its own radius at each corner: four
// clockwise quarter arcs joined by straight lines.
std::shared_ptr<UIBezierPath> UIBezierPathWithRectCornerRadii(const CGRect& rect, CGFloat topLeftRadius,
                                                              CGFloat topRightRadius, CGFloat bottomRightRadius,
                                                              CGFloat bottomLeftRadius);

class GridView : public UIView {
 public:
  static constexpr CGFloat kCornerRadius = 20;
  static constexpr CGFloat kGridLineWidth = 1;
  static constexpr CGFloat kGridLineAlpha = 0.2;

  explicit GridView(const CGRect& frame = {});

  CGColor archColor() const { return archColor_; }
  // Length of each bracket's legs from the corner, and their line width.
  const CGFloat curveLineWidth = 45;
  const CGFloat curveStrokeWidth = 3;

  // While blocked, colours other than the system green are ignored (and not
  // remembered).
  bool isUpdateBlocked() const { return isUpdateBlocked_; }
  void setIsUpdateBlocked(bool blocked) { isUpdateBlocked_ = blocked; }

  // Sets the bracket colour and redraws at once.
  void updateArchColor(const CGColor& color);

  // A shape layer stroked white at `alpha`, no fill, frame = bounds.
  std::shared_ptr<CAShapeLayer> makeGridLineLayer(CGFloat lineWidth, CGFloat alpha) const;

  // The drawing pass: 4 brackets, the outline, 4 third lines (9 layers).
  void layoutSubviews() override;

 private:
  void redrawWithColor(const CGColor& color);
  CGColor archColor_ = CGColor::clear();
  bool isUpdateBlocked_ = false;
};
