#include "os/graphics/path.h"

#include <algorithm>
#include <cmath>

#include "os/graphics/color.h"

namespace {
uint8_t to8(CGFloat v) { return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255)); }
}  // namespace

uint8_t CGColor::red8() const { return to8(red); }
uint8_t CGColor::green8() const { return to8(green); }
uint8_t CGColor::blue8() const { return to8(blue); }
uint8_t CGColor::alpha8() const { return to8(alpha); }

CGColor CGColorInterpolate(const CGColor& a, const CGColor& b, CGFloat t) {
  return {a.red + (b.red - a.red) * t, a.green + (b.green - a.green) * t, a.blue + (b.blue - a.blue) * t,
          a.alpha + (b.alpha - a.alpha) * t};
}

bool operator==(const CGPathElement& a, const CGPathElement& b) {
  if (a.type != b.type) return false;
  int n = a.type == CGPathElement::Type::AddCurveToPoint ? 3
          : a.type == CGPathElement::Type::AddQuadCurveToPoint ? 2
          : a.type == CGPathElement::Type::CloseSubpath ? 0 : 1;
  for (int i = 0; i < n; ++i)
    if (a.points[i] != b.points[i]) return false;
  return true;
}

CGPath CGPath::rect(const CGRect& r) { CGPath p; p.addRect(r); return p; }
CGPath CGPath::ellipse(const CGRect& r) { CGPath p; p.addEllipse(r); return p; }
CGPath CGPath::roundedRect(const CGRect& r, CGFloat cw, CGFloat ch) { CGPath p; p.addRoundedRect(r, cw, ch); return p; }

void CGPath::moveTo(CGPoint p) {
  elements_.push_back({CGPathElement::Type::MoveToPoint, {p, {}, {}}});
  current_ = p;
  start_ = p;
}

void CGPath::ensureStart(CGPoint p) {
  if (!current_) moveTo(p);
}

void CGPath::addLineTo(CGPoint p) {
  ensureStart(p);
  elements_.push_back({CGPathElement::Type::AddLineToPoint, {p, {}, {}}});
  current_ = p;
}

void CGPath::addQuadCurveTo(CGPoint control, CGPoint end) {
  ensureStart(end);
  elements_.push_back({CGPathElement::Type::AddQuadCurveToPoint, {control, end, {}}});
  current_ = end;
}

void CGPath::addCurveTo(CGPoint c1, CGPoint c2, CGPoint end) {
  ensureStart(end);
  elements_.push_back({CGPathElement::Type::AddCurveToPoint, {c1, c2, end}});
  current_ = end;
}

void CGPath::addArc(CGPoint center, CGFloat radius, CGFloat startAngle, CGFloat endAngle, bool clockwise) {
  if (!std::isfinite(radius) || !std::isfinite(startAngle) || !std::isfinite(endAngle)) return;
  radius = std::fabs(radius);
  auto at = [&](CGFloat a) { return CGPoint{center.x + radius * std::cos(a), center.y + radius * std::sin(a)}; };
  CGPoint start = at(startAngle);
  if (current_) addLineTo(start); else moveTo(start);
  // Sweep: clockwise on screen means increasing angles with y down.
  CGFloat sweep = endAngle - startAngle;
  const CGFloat twoPi = 2 * M_PI;
  if (clockwise) {
    if (sweep >= twoPi) sweep = twoPi;
    else { sweep = std::fmod(sweep, twoPi); if (sweep < 0) sweep += twoPi; }
  } else {
    if (sweep <= -twoPi) sweep = -twoPi;
    else { sweep = std::fmod(sweep, twoPi); if (sweep > 0) sweep -= twoPi; }
  }
  if (sweep == 0) return;
  int segments = std::max(1, static_cast<int>(std::ceil(std::fabs(sweep) / (M_PI / 2) - 1e-9)));
  CGFloat step = sweep / segments;
  CGFloat k = 4.0 / 3.0 * std::tan(step / 4);
  CGFloat a0 = startAngle;
  for (int i = 0; i < segments; ++i) {
    CGFloat a1 = (i == segments - 1) ? startAngle + sweep : a0 + step;
    CGPoint p0 = at(a0), p3 = at(a1);
    CGPoint c1{p0.x - k * radius * std::sin(a0), p0.y + k * radius * std::cos(a0)};
    CGPoint c2{p3.x + k * radius * std::sin(a1), p3.y - k * radius * std::cos(a1)};
    addCurveTo(c1, c2, p3);
    a0 = a1;
  }
}

void CGPath::addRect(const CGRect& r0) {
  CGRect r = r0.standardized();
  moveTo({r.minX(), r.minY()});
  addLineTo({r.maxX(), r.minY()});
  addLineTo({r.maxX(), r.maxY()});
  addLineTo({r.minX(), r.maxY()});
  closeSubpath();
}

void CGPath::addEllipse(const CGRect& r0) {
  CGRect r = r0.standardized();
  const CGFloat k = 0.5522847498307936;
  CGFloat rx = r.width() / 2, ry = r.height() / 2, cx = r.midX(), cy = r.midY();
  moveTo({cx + rx, cy});
  addCurveTo({cx + rx, cy + k * ry}, {cx + k * rx, cy + ry}, {cx, cy + ry});
  addCurveTo({cx - k * rx, cy + ry}, {cx - rx, cy + k * ry}, {cx - rx, cy});
  addCurveTo({cx - rx, cy - k * ry}, {cx - k * rx, cy - ry}, {cx, cy - ry});
  addCurveTo({cx + k * rx, cy - ry}, {cx + rx, cy - k * ry}, {cx + rx, cy});
  closeSubpath();
}

void CGPath::addRoundedRect(const CGRect& r0, CGFloat cw, CGFloat ch) {
  CGRect r = r0.standardized();
  cw = std::clamp(cw, 0.0, r.width() / 2);
  ch = std::clamp(ch, 0.0, r.height() / 2);
  if (cw == 0 || ch == 0) return addRect(r);
  const CGFloat k = 0.5522847498307936;
  CGFloat x0 = r.minX(), x1 = r.maxX(), y0 = r.minY(), y1 = r.maxY();
  moveTo({x0 + cw, y0});
  addLineTo({x1 - cw, y0});
  addCurveTo({x1 - cw + k * cw, y0}, {x1, y0 + ch - k * ch}, {x1, y0 + ch});
  addLineTo({x1, y1 - ch});
  addCurveTo({x1, y1 - ch + k * ch}, {x1 - cw + k * cw, y1}, {x1 - cw, y1});
  addLineTo({x0 + cw, y1});
  addCurveTo({x0 + cw - k * cw, y1}, {x0, y1 - ch + k * ch}, {x0, y1 - ch});
  addLineTo({x0, y0 + ch});
  addCurveTo({x0, y0 + ch - k * ch}, {x0 + cw - k * cw, y0}, {x0 + cw, y0});
  closeSubpath();
}

void CGPath::addPath(const CGPath& other, const CGAffineTransform& t) {
  for (const auto& e : other.applying(t).elements_) {
    switch (e.type) {
      case CGPathElement::Type::MoveToPoint: moveTo(e.points[0]); break;
      case CGPathElement::Type::AddLineToPoint: addLineTo(e.points[0]); break;
      case CGPathElement::Type::AddQuadCurveToPoint: addQuadCurveTo(e.points[0], e.points[1]); break;
      case CGPathElement::Type::AddCurveToPoint: addCurveTo(e.points[0], e.points[1], e.points[2]); break;
      case CGPathElement::Type::CloseSubpath: closeSubpath(); break;
    }
  }
}

void CGPath::closeSubpath() {
  if (!current_) return;
  elements_.push_back({CGPathElement::Type::CloseSubpath, {}});
  current_ = start_;
}

CGRect CGPath::boundingBox() const {
  CGRect box = CGRectNull;
  for (const auto& e : elements_) {
    int n = e.type == CGPathElement::Type::AddCurveToPoint ? 3
            : e.type == CGPathElement::Type::AddQuadCurveToPoint ? 2
            : e.type == CGPathElement::Type::CloseSubpath ? 0 : 1;
    for (int i = 0; i < n; ++i) box = box.unionWith({e.points[i], {0, 0}});
  }
  return box;
}

CGRect CGPath::pathBoundingBox() const {
  CGRect box = CGRectNull;
  for (const auto& poly : flattened(0.01))
    for (auto p : poly) box = box.unionWith({p, {0, 0}});
  return box;
}

CGPath CGPath::applying(const CGAffineTransform& t) const {
  CGPath out = *this;
  for (auto& e : out.elements_)
    for (auto& p : e.points) p = CGPointApplyAffineTransform(p, t);
  if (out.current_) out.current_ = CGPointApplyAffineTransform(*out.current_, t);
  if (out.start_) out.start_ = CGPointApplyAffineTransform(*out.start_, t);
  return out;
}

std::vector<std::vector<CGPoint>> CGPath::flattened(CGFloat tolerance) const {
  std::vector<std::vector<CGPoint>> out;
  CGPoint cur{}, start{};
  auto addCubic = [&](CGPoint p0, CGPoint c1, CGPoint c2, CGPoint p3) {
    CGFloat len = std::hypot(c1.x - p0.x, c1.y - p0.y) + std::hypot(c2.x - c1.x, c2.y - c1.y) +
                  std::hypot(p3.x - c2.x, p3.y - c2.y);
    int n = std::clamp(static_cast<int>(std::ceil(std::sqrt(len / std::max(tolerance, 1e-3)))), 1, 256);
    for (int i = 1; i <= n; ++i) {
      CGFloat t = static_cast<CGFloat>(i) / n, u = 1 - t;
      out.back().push_back({u * u * u * p0.x + 3 * u * u * t * c1.x + 3 * u * t * t * c2.x + t * t * t * p3.x,
                            u * u * u * p0.y + 3 * u * u * t * c1.y + 3 * u * t * t * c2.y + t * t * t * p3.y});
    }
  };
  for (const auto& e : elements_) {
    switch (e.type) {
      case CGPathElement::Type::MoveToPoint:
        out.push_back({e.points[0]});
        cur = start = e.points[0];
        break;
      case CGPathElement::Type::AddLineToPoint:
        if (out.empty()) out.push_back({cur});
        out.back().push_back(e.points[0]);
        cur = e.points[0];
        break;
      case CGPathElement::Type::AddQuadCurveToPoint: {
        if (out.empty()) out.push_back({cur});
        CGPoint c1{cur.x + 2.0 / 3 * (e.points[0].x - cur.x), cur.y + 2.0 / 3 * (e.points[0].y - cur.y)};
        CGPoint c2{e.points[1].x + 2.0 / 3 * (e.points[0].x - e.points[1].x),
                   e.points[1].y + 2.0 / 3 * (e.points[0].y - e.points[1].y)};
        addCubic(cur, c1, c2, e.points[1]);
        cur = e.points[1];
        break;
      }
      case CGPathElement::Type::AddCurveToPoint:
        if (out.empty()) out.push_back({cur});
        addCubic(cur, e.points[0], e.points[1], e.points[2]);
        cur = e.points[2];
        break;
      case CGPathElement::Type::CloseSubpath:
        if (!out.empty()) out.back().push_back(start);
        cur = start;
        break;
    }
  }
  return out;
}

bool CGPath::contains(CGPoint p, CGPathFillRule rule) const {
  int winding = 0, crossings = 0;
  for (const auto& poly : flattened()) {
    for (size_t i = 0; i + 1 <= poly.size(); ++i) {
      CGPoint a = poly[i], b = poly[(i + 1) % poly.size()];
      if ((a.y <= p.y) != (b.y <= p.y)) {
        CGFloat x = a.x + (p.y - a.y) / (b.y - a.y) * (b.x - a.x);
        if (x > p.x) {
          ++crossings;
          winding += (b.y > a.y) ? 1 : -1;
        }
      }
    }
  }
  return rule == CGPathFillRule::EvenOdd ? (crossings % 2) != 0 : winding != 0;
}
