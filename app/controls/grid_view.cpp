#include "app/controls/grid_view.h"

#include <numbers>

namespace {

constexpr CGFloat kPi = std::numbers::pi;

void removeAllSublayers(CALayer& layer) {
  for (const auto& sub : layer.sublayers()) sub->removeFromSuperlayer();
}

}  // namespace

std::shared_ptr<UIBezierPath> UIBezierPathWithRectCornerRadii(const CGRect& rect, CGFloat topLeftRadius,
                                                              CGFloat topRightRadius, CGFloat bottomRightRadius,
                                                              CGFloat bottomLeftRadius) {
  auto path = UIBezierPath::bezierPath();
  path->addArcWithCenter({rect.minX() + topLeftRadius, rect.minY() + topLeftRadius}, topLeftRadius, kPi,
                         3 * kPi / 2, true);
  path->addArcWithCenter({rect.maxX() - topRightRadius, rect.minY() + topRightRadius}, topRightRadius, 3 * kPi / 2,
                         0, true);
  path->addArcWithCenter({rect.maxX() - bottomRightRadius, rect.maxY() - bottomRightRadius}, bottomRightRadius, 0,
                         kPi / 2, true);
  path->addArcWithCenter({rect.minX() + bottomLeftRadius, rect.maxY() - bottomLeftRadius}, bottomLeftRadius,
                         kPi / 2, kPi, true);
  path->closePath();
  return path;
}

GridView::GridView(const CGRect& frame) : UIView(frame) {}

void GridView::updateArchColor(const CGColor& color) {
  if (color == UIColor::systemGreenColor().cgColor()) redrawWithColor(color);
  if (isUpdateBlocked_) return;
  redrawWithColor(color);
}

void GridView::redrawWithColor(const CGColor& color) {
  removeAllSublayers(*layer());
  archColor_ = color;
  layoutSubviews();
}

std::shared_ptr<CAShapeLayer> GridView::makeGridLineLayer(CGFloat lineWidth, CGFloat alpha) const {
  auto shape = CAShapeLayer::layer();
  shape->setStrokeColor(CGColor{1, 1, 1, alpha});
  shape->setFillColor(std::nullopt);
  shape->setFrame(bounds());
  shape->setLineWidth(lineWidth);
  return shape;
}

void GridView::layoutSubviews() {
  UIView::layoutSubviews();
  removeAllSublayers(*layer());

  const CGFloat W = bounds().width();
  const CGFloat H = bounds().height();
  const CGFloat L = curveLineWidth;
  const CGFloat r = kCornerRadius;

  auto addBracket = [&](CGPoint start, CGPoint center, CGFloat from, CGFloat to, CGPoint end) {
    auto path = UIBezierPath::bezierPath();
    path->moveToPoint(start);
    path->addArcWithCenter(center, r, from, to, true);
    path->addLineToPoint(end);
    auto shape = CAShapeLayer::layer();
    shape->setPath(path->cgPath());
    shape->setStrokeColor(archColor_);
    shape->setFrame(bounds());
    shape->setFillColor(std::nullopt);
    shape->setLineWidth(curveStrokeWidth);
    layer()->addSublayer(shape);
  };
  addBracket({0, L}, {r, r}, kPi, 3 * kPi / 2, {L, 0});
  addBracket({W - L, 0}, {W - r, r}, 3 * kPi / 2, 0, {W, L});
  addBracket({L, H}, {r, H - r}, kPi / 2, kPi, {0, H - L});
  addBracket({W, H - L}, {W - r, H - r}, 0, kPi / 2, {W - L, H});

  auto outline = makeGridLineLayer(kGridLineWidth, kGridLineAlpha);
  outline->setPath(UIBezierPathWithRectCornerRadii(bounds(), r, r, r, r)->cgPath());
  layer()->addSublayer(outline);

  const std::pair<CGPoint, CGPoint> thirds[] = {
      {{W / 3, 0}, {W / 3, H}},
      {{2 * W / 3, 0}, {2 * W / 3, H}},
      {{0, H / 3}, {W, H / 3}},
      {{0, 2 * H / 3}, {W, 2 * H / 3}},
  };
  for (const auto& [from, to] : thirds) {
    auto path = UIBezierPath::bezierPath();
    path->moveToPoint(from);
    path->addLineToPoint(to);
    auto line = makeGridLineLayer(kGridLineWidth, kGridLineAlpha);
    line->setPath(path->cgPath());
    layer()->addSublayer(line);
  }

  setBackgroundColor(UIColor::clearColor());
}
