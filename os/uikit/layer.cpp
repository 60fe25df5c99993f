#include "os/uikit/layer.h"

#include <algorithm>
#include <cmath>

CALayer::CALayer(const CALayer& o)
    : std::enable_shared_from_this<CALayer>(),
      bounds_(o.bounds_), position_(o.position_), anchorPoint_(o.anchorPoint_), transform_(o.transform_),
      zPosition_(o.zPosition_), opacity_(o.opacity_), hidden_(o.hidden_), masksToBounds_(o.masksToBounds_),
      cornerRadius_(o.cornerRadius_), borderWidth_(o.borderWidth_), borderColor_(o.borderColor_),
      backgroundColor_(o.backgroundColor_), shadowColor_(o.shadowColor_), shadowOpacity_(o.shadowOpacity_),
      shadowOffset_(o.shadowOffset_), shadowRadius_(o.shadowRadius_), shadowPath_(o.shadowPath_),
      contents_(o.contents_), contentsGravity_(o.contentsGravity_), contentsScale_(o.contentsScale_), name_(o.name_),
      mask_(o.mask_), sublayers_(o.sublayers_), superlayer_(o.superlayer_), delegate_(o.delegate_),
      needsDisplay_(o.needsDisplay_), animations_(o.animations_) {}

CGRect CALayer::frame() const {
  CGRect local{-anchorPoint_.x * bounds_.size.width, -anchorPoint_.y * bounds_.size.height, bounds_.size.width,
               bounds_.size.height};
  CGRect r = transform_.isIdentity() ? local : CGRectApplyAffineTransform(local, transform_);
  return r.offsetBy(position_.x, position_.y);
}

void CALayer::setFrame(const CGRect& r0) {
  CGRect r = r0.standardized();
  if (transform_.isIdentity()) {
    bounds_.size = r.size;
    position_ = {r.origin.x + anchorPoint_.x * r.size.width, r.origin.y + anchorPoint_.y * r.size.height};
  } else {
    // With a transform the platform leaves the result undefined: keep the
    // size and move the layer so its frame's centre is the given one.
    CGRect current = frame();
    position_ = {position_.x + r.midX() - current.midX(), position_.y + r.midY() - current.midY()};
  }
}

bool CALayer::isDescendantOf(const CALayer& other) const {
  for (auto p = superlayer(); p; p = p->superlayer())
    if (p.get() == &other) return true;
  return false;
}

bool CALayer::insertSublayer(const std::shared_ptr<CALayer>& layer, size_t index) {
  if (!layer || layer.get() == this || isDescendantOf(*layer)) return false;
  if (layer->superlayer().get() == this) {
    auto it = std::find(sublayers_.begin(), sublayers_.end(), layer);
    size_t at = static_cast<size_t>(it - sublayers_.begin());
    sublayers_.erase(it);
    if (index > at) --index;
  } else {
    layer->removeFromSuperlayer();
  }
  index = std::min(index, sublayers_.size());
  sublayers_.insert(sublayers_.begin() + static_cast<std::ptrdiff_t>(index), layer);
  layer->superlayer_ = weak_from_this();
  return true;
}

bool CALayer::addSublayer(const std::shared_ptr<CALayer>& layer) {
  size_t end = sublayers_.size();
  if (layer && layer->superlayer().get() == this) end = sublayers_.size();
  return insertSublayer(layer, end);
}

bool CALayer::insertSublayerBelow(const std::shared_ptr<CALayer>& layer, const std::shared_ptr<CALayer>& sibling) {
  auto it = std::find(sublayers_.begin(), sublayers_.end(), sibling);
  if (it == sublayers_.end()) return insertSublayer(layer, 0);
  return insertSublayer(layer, static_cast<size_t>(it - sublayers_.begin()));
}

bool CALayer::insertSublayerAbove(const std::shared_ptr<CALayer>& layer, const std::shared_ptr<CALayer>& sibling) {
  auto it = std::find(sublayers_.begin(), sublayers_.end(), sibling);
  if (it == sublayers_.end()) return addSublayer(layer);
  return insertSublayer(layer, static_cast<size_t>(it - sublayers_.begin()) + 1);
}

void CALayer::removeFromSuperlayer() {
  auto parent = superlayer();
  if (!parent) return;
  std::erase(parent->sublayers_, shared_from_this());
  superlayer_.reset();
}

void CALayer::setSublayers(const std::vector<std::shared_ptr<CALayer>>& layers) {
  auto old = sublayers_;
  for (auto& l : old) l->removeFromSuperlayer();
  for (auto& l : layers) addSublayer(l);
}

// --- Key paths -------------------------------------------------------------

namespace {
double decomposedRotation(const CGAffineTransform& t) { return std::atan2(t.b, t.a); }
double scaleX(const CGAffineTransform& t) { return std::hypot(t.a, t.b); }
double scaleY(const CGAffineTransform& t) {
  double sx = scaleX(t);
  return sx == 0 ? std::hypot(t.c, t.d) : (t.a * t.d - t.b * t.c) / sx;
}
CGAffineTransform recompose(double sx, double sy, double angle, double tx, double ty) {
  CGAffineTransform r = CGAffineTransform::makeScale(sx, sy).concatenating(CGAffineTransform::makeRotation(angle));
  r.tx = tx;
  r.ty = ty;
  return r;
}
const double* asDouble(const CAValue& v) { return std::get_if<double>(&v); }
}  // namespace

std::optional<CAValue> CALayer::valueForKeyPath(const std::string& k) const {
  const auto& t = transform_;
  if (k == "position") return position_;
  if (k == "position.x") return position_.x;
  if (k == "position.y") return position_.y;
  if (k == "bounds") return bounds_;
  if (k == "bounds.origin") return bounds_.origin;
  if (k == "bounds.size") return bounds_.size;
  if (k == "bounds.size.width") return bounds_.size.width;
  if (k == "bounds.size.height") return bounds_.size.height;
  if (k == "anchorPoint") return anchorPoint_;
  if (k == "opacity") return opacity_;
  if (k == "transform") return transform_;
  if (k == "transform.rotation" || k == "transform.rotation.z") return decomposedRotation(t);
  if (k == "transform.scale") return (scaleX(t) + scaleY(t)) / 2;
  if (k == "transform.scale.x") return scaleX(t);
  if (k == "transform.scale.y") return scaleY(t);
  if (k == "transform.translation.x") return t.tx;
  if (k == "transform.translation.y") return t.ty;
  if (k == "cornerRadius") return cornerRadius_;
  if (k == "borderWidth") return borderWidth_;
  if (k == "borderColor") return borderColor_.value_or(CGColor::clear());
  if (k == "backgroundColor") return backgroundColor_.value_or(CGColor::clear());
  if (k == "shadowOpacity") return shadowOpacity_;
  if (k == "shadowRadius") return shadowRadius_;
  if (k == "shadowOffset") return shadowOffset_;
  if (k == "zPosition") return zPosition_;
  return std::nullopt;
}

bool CALayer::setValueForKeyPath(const std::string& k, const CAValue& v) {
  auto& t = transform_;
  if (auto* p = std::get_if<CGPoint>(&v)) {
    if (k == "position") position_ = *p;
    else if (k == "bounds.origin") bounds_.origin = *p;
    else if (k == "anchorPoint") anchorPoint_ = *p;
    else return false;
    return true;
  }
  if (auto* s = std::get_if<CGSize>(&v)) {
    if (k == "bounds.size") bounds_.size = *s;
    else if (k == "shadowOffset") shadowOffset_ = *s;
    else return false;
    return true;
  }
  if (auto* r = std::get_if<CGRect>(&v)) {
    if (k != "bounds") return false;
    bounds_ = *r;
    return true;
  }
  if (auto* m = std::get_if<CGAffineTransform>(&v)) {
    if (k != "transform") return false;
    transform_ = *m;
    return true;
  }
  if (auto* c = std::get_if<CGColor>(&v)) {
    if (k == "borderColor") borderColor_ = *c;
    else if (k == "backgroundColor") backgroundColor_ = *c;
    else return false;
    return true;
  }
  const double* d = asDouble(v);
  if (!d) return false;
  if (k == "position.x") position_.x = *d;
  else if (k == "position.y") position_.y = *d;
  else if (k == "bounds.size.width") bounds_.size.width = *d;
  else if (k == "bounds.size.height") bounds_.size.height = *d;
  else if (k == "opacity") opacity_ = *d;
  else if (k == "transform.rotation" || k == "transform.rotation.z") t = recompose(scaleX(t), scaleY(t), *d, t.tx, t.ty);
  else if (k == "transform.scale") t = recompose(*d, *d, decomposedRotation(t), t.tx, t.ty);
  else if (k == "transform.scale.x") t = recompose(*d, scaleY(t), decomposedRotation(t), t.tx, t.ty);
  else if (k == "transform.scale.y") t = recompose(scaleX(t), *d, decomposedRotation(t), t.tx, t.ty);
  else if (k == "transform.translation.x") t.tx = *d;
  else if (k == "transform.translation.y") t.ty = *d;
  else if (k == "cornerRadius") cornerRadius_ = *d;
  else if (k == "borderWidth") borderWidth_ = *d;
  else if (k == "shadowOpacity") shadowOpacity_ = *d;
  else if (k == "shadowRadius") shadowRadius_ = *d;
  else if (k == "zPosition") zPosition_ = *d;
  else return false;
  return true;
}

std::optional<CAValue> CAShapeLayer::valueForKeyPath(const std::string& k) const {
  if (k == "strokeStart") return strokeStart_;
  if (k == "strokeEnd") return strokeEnd_;
  if (k == "lineWidth") return lineWidth_;
  if (k == "fillColor") return fillColor_.value_or(CGColor::clear());
  if (k == "strokeColor") return strokeColor_.value_or(CGColor::clear());
  return CALayer::valueForKeyPath(k);
}

bool CAShapeLayer::setValueForKeyPath(const std::string& k, const CAValue& v) {
  if (auto* d = std::get_if<double>(&v)) {
    if (k == "strokeStart") { strokeStart_ = *d; return true; }
    if (k == "strokeEnd") { strokeEnd_ = *d; return true; }
    if (k == "lineWidth") { lineWidth_ = *d; return true; }
  }
  if (auto* c = std::get_if<CGColor>(&v)) {
    if (k == "fillColor") { fillColor_ = *c; return true; }
    if (k == "strokeColor") { strokeColor_ = *c; return true; }
  }
  return CALayer::setValueForKeyPath(k, v);
}

std::optional<CAValue> CAGradientLayer::valueForKeyPath(const std::string& k) const {
  if (k == "startPoint") return startPoint_;
  if (k == "endPoint") return endPoint_;
  return CALayer::valueForKeyPath(k);
}

bool CAGradientLayer::setValueForKeyPath(const std::string& k, const CAValue& v) {
  if (auto* p = std::get_if<CGPoint>(&v)) {
    if (k == "startPoint") { startPoint_ = *p; return true; }
    if (k == "endPoint") { endPoint_ = *p; return true; }
  }
  return CALayer::setValueForKeyPath(k, v);
}

// --- Geometry between layers -----------------------------------------------

CGAffineTransform CALayer::transformToSuperlayer() const {
  CGPoint origin{bounds_.origin.x + anchorPoint_.x * bounds_.size.width,
                 bounds_.origin.y + anchorPoint_.y * bounds_.size.height};
  return CGAffineTransform::makeTranslation(-origin.x, -origin.y)
      .concatenating(transform_)
      .concatenating(CGAffineTransform::makeTranslation(position_.x, position_.y));
}

CGAffineTransform CALayer::transformToRoot() const {
  CGAffineTransform t;
  const CALayer* layer = this;
  for (auto parent = superlayer(); parent; parent = parent->superlayer()) {
    t = t.concatenating(layer->transformToSuperlayer());
    layer = parent.get();
  }
  return t;
}

CGPoint CALayer::convertPoint(CGPoint p, const CALayer* to) const {
  CGPoint root = CGPointApplyAffineTransform(p, transformToRoot());
  if (!to) return root;
  return CGPointApplyAffineTransform(root, to->transformToRoot().inverted());
}

// --- Rendering -------------------------------------------------------------

CGPath CALayer::roundedBoundsPath() const {
  CGFloat r = std::max<CGFloat>(0, cornerRadius_);
  return r > 0 ? CGPath::roundedRect(bounds_, r, r) : CGPath::rect(bounds_);
}

void CALayer::drawInContext(CGContext& ctx) {
  if (auto d = delegate_.lock()) d->drawLayer(*this, ctx);
}

namespace {

CGRect gravityRect(const std::string& gravity, const CGRect& bounds, CGSize content) {
  if (gravity == kCAGravityResize || content.width <= 0 || content.height <= 0) return bounds;
  if (gravity == kCAGravityCenter)
    return {bounds.midX() - content.width / 2, bounds.midY() - content.height / 2, content.width, content.height};
  double sx = bounds.width() / content.width, sy = bounds.height() / content.height;
  double s = gravity == kCAGravityResizeAspectFill ? std::max(sx, sy) : std::min(sx, sy);
  CGSize size{content.width * s, content.height * s};
  return {bounds.midX() - size.width / 2, bounds.midY() - size.height / 2, size.width, size.height};
}

// The part of a path between two fractions of its length.
CGPath trimmedPath(const CGPath& path, double from, double to) {
  auto polys = path.flattened(0.05);
  double total = 0;
  for (auto& poly : polys)
    for (size_t i = 1; i < poly.size(); ++i) total += std::hypot(poly[i].x - poly[i - 1].x, poly[i].y - poly[i - 1].y);
  CGPath out;
  if (total <= 0) return out;
  double a = from * total, b = to * total, run = 0;
  for (auto& poly : polys) {
    bool open = false;
    for (size_t i = 1; i < poly.size(); ++i) {
      CGPoint p = poly[i - 1], q = poly[i];
      double len = std::hypot(q.x - p.x, q.y - p.y);
      double s0 = run, s1 = run + len;
      run = s1;
      if (s1 < a || s0 > b || len == 0) continue;
      double t0 = std::clamp((a - s0) / len, 0.0, 1.0), t1 = std::clamp((b - s0) / len, 0.0, 1.0);
      CGPoint p0{p.x + (q.x - p.x) * t0, p.y + (q.y - p.y) * t0};
      CGPoint p1{p.x + (q.x - p.x) * t1, p.y + (q.y - p.y) * t1};
      if (!open) {
        out.moveTo(p0);
        open = true;
      }
      out.addLineTo(p1);
    }
  }
  return out;
}

}  // namespace

void CAShapeLayer::drawInContext(CGContext& ctx) {
  CALayer::drawInContext(ctx);
  if (!path_ || path_->isEmpty()) return;
  bool evenOdd = fillRule_ == kCAFillRuleEvenOdd;
  if (fillColor_ && !fillColor_->isClear()) {
    ctx.beginPath();
    ctx.addPath(*path_);
    ctx.setFillColor(*fillColor_);
    ctx.fillPath(evenOdd ? CGPathFillRule::EvenOdd : CGPathFillRule::Winding);
  }
  double s = std::clamp(strokeStart_, 0.0, 1.0), e = std::clamp(strokeEnd_, 0.0, 1.0);
  if (!strokeColor_ || strokeColor_->isClear() || !(lineWidth_ > 0) || e <= s) return;
  ctx.saveGState();
  ctx.setStrokeColor(*strokeColor_);
  ctx.setLineWidth(lineWidth_);
  ctx.setLineCap(lineCap_ == kCALineCapRound ? CGLineCap::Round : lineCap_ == kCALineCapSquare ? CGLineCap::Square : CGLineCap::Butt);
  ctx.setLineJoin(lineJoin_ == kCALineJoinRound ? CGLineJoin::Round : lineJoin_ == kCALineJoinBevel ? CGLineJoin::Bevel : CGLineJoin::Miter);
  if (!lineDashPattern_.empty()) ctx.setLineDash(0, lineDashPattern_);
  ctx.beginPath();
  ctx.addPath(s <= 0 && e >= 1 ? *path_ : trimmedPath(*path_, s, e));
  ctx.strokePath();
  ctx.restoreGState();
}

void CAGradientLayer::drawInContext(CGContext& ctx) {
  CALayer::drawInContext(ctx);
  if (colors_.empty()) return;
  CGRect b = bounds();
  ctx.saveGState();
  ctx.clip(b);
  if (colors_.size() == 1) {
    ctx.setFillColor(colors_[0]);
    ctx.fill(b);
  } else {
    CGPoint s{b.origin.x + startPoint_.x * b.size.width, b.origin.y + startPoint_.y * b.size.height};
    CGPoint e{b.origin.x + endPoint_.x * b.size.width, b.origin.y + endPoint_.y * b.size.height};
    std::vector<CGFloat> locs = locations_.size() == colors_.size() ? locations_ : std::vector<CGFloat>{};
    ctx.drawLinearGradient({colors_, locs}, s, e, 3);
  }
  ctx.restoreGState();
}

void CALayer::renderInContext(CGContext& ctx) { renderTree(ctx, false); }

void CALayer::renderTree(CGContext& ctx, bool applyOwnGeometry) {
  auto p = presentationLayer();
  if (p->hidden_ || !(p->opacity_ > 0)) return;
  ctx.saveGState();
  if (applyOwnGeometry) ctx.concatCTM(p->transformToSuperlayer());
  double opacity = std::min(1.0, p->opacity_);
  bool faded = opacity < 1;
  if (faded) ctx.beginTransparencyLayer();
  if (p->mask_) ctx.beginTransparencyLayer();

  CGPath rounded = p->roundedBoundsPath();
  if (p->shadowOpacity_ > 0 && p->shadowColor_ && (p->shadowPath_ || p->backgroundColor_)) {
    ctx.saveGState();
    ctx.translateBy(p->shadowOffset_.width, p->shadowOffset_.height);
    ctx.setFillColor(p->shadowColor_->withAlpha(p->shadowColor_->alpha * std::min(1.0, p->shadowOpacity_)));
    ctx.beginPath();
    ctx.addPath(p->shadowPath_ ? *p->shadowPath_ : rounded);
    ctx.fillPath();
    ctx.restoreGState();
  }
  if (p->backgroundColor_ && !p->backgroundColor_->isClear()) {
    ctx.setFillColor(*p->backgroundColor_);
    ctx.beginPath();
    ctx.addPath(rounded);
    ctx.fillPath();
  }
  ctx.saveGState();
  if (p->masksToBounds_) ctx.clip(rounded);
  if (p->contents_) {
    CGSize content{p->contents_->width() / std::max(0.01, p->contentsScale_),
                   p->contents_->height() / std::max(0.01, p->contentsScale_)};
    ctx.drawImage(*p->contents_, gravityRect(p->contentsGravity_, p->bounds_, content));
  }
  ctx.saveGState();
  p->drawInContext(ctx);
  ctx.restoreGState();
  auto subs = p->sublayers_;
  std::stable_sort(subs.begin(), subs.end(), [](auto& a, auto& b) { return a->zPosition_ < b->zPosition_; });
  for (auto& sub : subs) sub->renderTree(ctx, true);
  ctx.restoreGState();
  if (p->borderWidth_ > 0 && p->borderColor_ && !p->borderColor_->isClear()) {
    CGFloat w = p->borderWidth_;
    CGRect inner = p->bounds_.insetBy(w / 2, w / 2);
    if (!inner.isNull()) {
      CGFloat r = std::max<CGFloat>(0, p->cornerRadius_ - w / 2);
      ctx.saveGState();
      ctx.setStrokeColor(*p->borderColor_);
      ctx.setLineWidth(w);
      ctx.beginPath();
      ctx.addPath(r > 0 ? CGPath::roundedRect(inner, r, r) : CGPath::rect(inner));
      ctx.strokePath();
      ctx.restoreGState();
    }
  }
  if (p->mask_) {
    ctx.beginTransparencyLayer();
    p->mask_->renderTree(ctx, true);
    ctx.endMaskedTransparencyLayers();
  }
  if (faded) ctx.endTransparencyLayer(opacity);
  ctx.restoreGState();
}
