// CGPath: a sequence of subpaths of lines and cubic curves, as a value type.
// Arcs and rounded rectangles are flattened into cubic segments when added.
#pragma once

#include <optional>
#include <vector>

#include "os/graphics/geometry.h"

struct CGPathElement {
  enum class Type { MoveToPoint, AddLineToPoint, AddQuadCurveToPoint, AddCurveToPoint, CloseSubpath };
  Type type;
  // moveTo/lineTo: points[0]; quad: control, end; curve: control1, control2, end.
  CGPoint points[3];
  friend bool operator==(const CGPathElement& a, const CGPathElement& b);
};

enum class CGLineCap { Butt, Round, Square };
enum class CGLineJoin { Miter, Round, Bevel };
enum class CGPathFillRule { Winding, EvenOdd };

class CGPath {
 public:
  CGPath() = default;
  static CGPath rect(const CGRect& r);
  static CGPath ellipse(const CGRect& r);
  static CGPath roundedRect(const CGRect& r, CGFloat cornerWidth, CGFloat cornerHeight);

  void moveTo(CGPoint p);
  // Adding a segment without a current point starts a subpath at its end.
  void addLineTo(CGPoint p);
  void addQuadCurveTo(CGPoint control, CGPoint end);
  void addCurveTo(CGPoint control1, CGPoint control2, CGPoint end);
  // An arc about centre from startAngle to endAngle (radians; angles grow
  // clockwise on screen, y down). `clockwise` as on screen, as the UIKit path
  // call takes it. A line joins the current point to the arc's start.
  void addArc(CGPoint center, CGFloat radius, CGFloat startAngle, CGFloat endAngle, bool clockwise);
  void addRect(const CGRect& r);
  void addEllipse(const CGRect& r);
  void addRoundedRect(const CGRect& r, CGFloat cornerWidth, CGFloat cornerHeight);
  void addPath(const CGPath& other, const CGAffineTransform& t = {});
  void closeSubpath();
  void removeAllPoints() { elements_.clear(); current_.reset(); start_.reset(); }

  bool isEmpty() const { return elements_.empty(); }
  const std::vector<CGPathElement>& elements() const { return elements_; }
  std::optional<CGPoint> currentPoint() const { return current_; }
  // Bounds of all points, control points included, and of the curves only.
  CGRect boundingBox() const;
  CGRect pathBoundingBox() const;
  CGPath applying(const CGAffineTransform& t) const;
  bool contains(CGPoint p, CGPathFillRule rule = CGPathFillRule::Winding) const;
  // The path as polylines (one per subpath) with curves flattened.
  std::vector<std::vector<CGPoint>> flattened(CGFloat tolerance = 0.1) const;

  friend bool operator==(const CGPath&, const CGPath&) = default;

 private:
  void ensureStart(CGPoint p);
  std::vector<CGPathElement> elements_;
  std::optional<CGPoint> current_;
  std::optional<CGPoint> start_;
};
