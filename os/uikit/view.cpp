#include "os/uikit/view.h"
#include "os/uikit/view_controller.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

#include "os/dispatch/notification.h"
#include "os/dispatch/queue.h"
#include "os/foundation/file_manager.h"
#include "os/runtime/runtime.h"
#include "os/uikit/application.h"
#include "os/uikit/gesture.h"

// --- Screen ----------------------------------------------------------------

CGRect UIScreen::bounds() const {
  auto p = UIDevice::currentDevice()->screenProfile();
  return {0, 0, p.width, p.height};
}

CGFloat UIScreen::scale() const { return UIDevice::currentDevice()->screenProfile().scale; }

UIScreen& UIScreen::mainScreen() {
  static UIScreen screen;
  return screen;
}

// --- Touch -----------------------------------------------------------------

CGPoint UITouch::locationInView(const UIView* view) const {
  return view ? view->convertPointFromView(location_, nullptr) : location_;
}

CGPoint UITouch::previousLocationInView(const UIView* view) const {
  return view ? view->convertPointFromView(previous_, nullptr) : previous_;
}

// --- Animation blocks ------------------------------------------------------

namespace {

struct AnimationBlock {
  double duration = 0, delay = 0;
  unsigned options = 0;
  std::optional<std::pair<double, double>> spring;  // damping ratio, velocity
  bool disabled = false;
  struct Record {
    std::weak_ptr<CALayer> layer;
    std::string keyPath;
    CAValue from;
  };
  std::vector<Record> records;
};

std::vector<AnimationBlock*>& animationBlocks() {
  thread_local std::vector<AnimationBlock*> blocks;
  return blocks;
}

struct CompletionGroup {
  int pending = 0;
  bool finished = true;
  std::function<void(bool)> completion;
};

void runCompletionSoon(std::function<void(bool)> completion) {
  if (!completion) return;
  os::DispatchQueue::main()->async([completion = std::move(completion)] { completion(true); });
}

void runAnimationBlock(AnimationBlock& block, const std::function<void()>& animations, std::function<void(bool)> completion) {
  animationBlocks().push_back(&block);
  if (animations) animations();
  animationBlocks().pop_back();
  auto group = std::make_shared<CompletionGroup>();
  group->completion = std::move(completion);
  double now = CACurrentMediaTime();
  unsigned curve = block.options & (3u << 16);
  std::string timing = curve == UIViewAnimationOptions::CurveLinear   ? kCAMediaTimingFunctionLinear
                       : curve == UIViewAnimationOptions::CurveEaseIn ? kCAMediaTimingFunctionEaseIn
                       : curve == UIViewAnimationOptions::CurveEaseOut ? kCAMediaTimingFunctionEaseOut
                                                                       : kCAMediaTimingFunctionEaseInEaseOut;
  struct Pending {
    std::shared_ptr<CALayer> layer;
    std::string key;
    std::shared_ptr<CABasicAnimation> animation;
  };
  std::vector<Pending> pending;
  for (auto& r : block.records) {
    auto layer = r.layer.lock();
    if (!layer) continue;
    auto to = layer->valueForKeyPath(r.keyPath);
    if (!to || *to == r.from) continue;
    std::shared_ptr<CABasicAnimation> anim;
    if (block.spring) {
      auto s = CASpringAnimation::animationWithKeyPath(r.keyPath);
      double zeta = std::clamp(block.spring->first, 0.01, 1.0);
      double w0 = -std::log(0.001) / (zeta * std::max(block.duration, 0.01));
      s->mass = 1;
      s->stiffness = w0 * w0;
      s->damping = 2 * zeta * w0;
      s->initialVelocity = block.spring->second;
      anim = s;
    } else {
      anim = CABasicAnimation::animationWithKeyPath(r.keyPath);
      anim->setTimingFunction(CAMediaTimingFunction::functionWithName(timing));
    }
    anim->setFromValue(r.from);
    anim->setToValue(*to);
    anim->setDuration(block.duration);
    if (block.delay > 0) {
      anim->setBeginTime(now + block.delay);
      anim->setFillMode(kCAFillModeBackwards);
    }
    if (block.options & UIViewAnimationOptions::Repeat) anim->setRepeatCount(INFINITY);
    if (block.options & UIViewAnimationOptions::Autoreverse) anim->setAutoreverses(true);
    ++group->pending;
    anim->setCompletion([group](bool finished) {
      if (!finished) group->finished = false;
      if (--group->pending == 0 && group->completion) {
        auto c = std::move(group->completion);
        c(group->finished);
      }
    });
    pending.push_back({layer, r.keyPath, anim});
  }
  if (pending.empty()) {
    runCompletionSoon(std::move(group->completion));
    return;
  }
  for (auto& p : pending) p.layer->addAnimation(p.animation, p.key);
}

}  // namespace

void UIView::animate(double duration, double delay, unsigned options, const std::function<void()>& animations,
                     std::function<void(bool)> completion) {
  AnimationBlock block;
  block.duration = std::isfinite(duration) && duration > 0 ? duration : 0;
  block.delay = std::isfinite(delay) && delay > 0 ? delay : 0;
  block.options = options;
  block.disabled = block.duration == 0;
  runAnimationBlock(block, animations, std::move(completion));
}

void UIView::animateWithSpring(double duration, double delay, double dampingRatio, double velocity, unsigned options,
                               const std::function<void()>& animations, std::function<void(bool)> completion) {
  AnimationBlock block;
  block.duration = std::isfinite(duration) && duration > 0 ? duration : 0;
  block.delay = std::isfinite(delay) && delay > 0 ? delay : 0;
  block.options = options;
  block.spring = std::make_pair(std::isfinite(dampingRatio) ? dampingRatio : 1.0, std::isfinite(velocity) ? velocity : 0.0);
  block.disabled = block.duration == 0;
  runAnimationBlock(block, animations, std::move(completion));
}

void UIView::performWithoutAnimation(const std::function<void()>& actions) {
  AnimationBlock block;
  block.disabled = true;
  animationBlocks().push_back(&block);
  if (actions) actions();
  animationBlocks().pop_back();
}

bool UIView::areAnimationsEnabled() {
  auto& blocks = animationBlocks();
  return blocks.empty() || !blocks.back()->disabled;
}

void UIView::recordAnimation(const char* keyPath) {
  auto& blocks = animationBlocks();
  if (blocks.empty() || blocks.back()->disabled) return;
  auto* block = blocks.back();
  for (auto& r : block->records)
    if (r.keyPath == keyPath && r.layer.lock() == layer_) return;
  auto from = layer_->presentationLayer()->valueForKeyPath(keyPath);
  if (from) block->records.push_back({layer_, keyPath, *from});
}

// --- Construction and geometry ---------------------------------------------

UIView::UIView(const CGRect& frame) : layer_(CALayer::layer()) {
  layer_->setFrame(frame);
}

// Associations made with a view (a window's, say) go with it, so a later view
// at the same address starts without them.
UIView::~UIView() { os::runtime::removeAssociatedObjects(this); }

void UIView::setFrame(const CGRect& frame) {
  if (!std::isfinite(frame.origin.x) || !std::isfinite(frame.origin.y) || !std::isfinite(frame.size.width) ||
      !std::isfinite(frame.size.height))
    return;  // a NaN frame would poison every conversion below this view
  CGSize old = bounds().size;
  recordAnimation("position");
  recordAnimation("bounds");
  if (layer_->delegate().expired()) layer_->setDelegate(weak_from_this());
  layer_->setFrame(frame);
  if (bounds().size != old) boundsSizeChanged(old);
}

void UIView::setBounds(const CGRect& b) {
  if (!std::isfinite(b.origin.x) || !std::isfinite(b.origin.y) || !std::isfinite(b.size.width) ||
      !std::isfinite(b.size.height))
    return;
  CGSize old = bounds().size;
  recordAnimation("bounds");
  layer_->setBounds(b);
  if (b.size != old) boundsSizeChanged(old);
}

void UIView::setCenter(CGPoint c) {
  if (!std::isfinite(c.x) || !std::isfinite(c.y)) return;
  recordAnimation("position");
  layer_->setPosition(c);
}

void UIView::setTransform(const CGAffineTransform& t) {
  recordAnimation("transform");
  layer_->setAffineTransform(t);
}

void UIView::setAlpha(CGFloat alpha) {
  recordAnimation("opacity");
  layer_->setOpacity(std::isfinite(alpha) ? std::clamp(alpha, 0.0, 1.0) : 1.0);
}

void UIView::setHidden(bool hidden) { layer_->setHidden(hidden); }

void UIView::setBackgroundColor(std::optional<UIColor> color) {
  recordAnimation("backgroundColor");
  backgroundColor_ = color;
  if (color) layer_->setBackgroundColor(color->resolved(traitCollection().userInterfaceStyle));
  else layer_->setBackgroundColor(std::nullopt);
}

UIColor UIView::tintColor() const {
  if (tintColor_) return *tintColor_;
  if (auto s = superview()) return s->tintColor();
  return UIColor::systemBlueColor();
}

void UIView::setTintColor(std::optional<UIColor> color) {
  tintColor_ = color;
  notifyTintChange();
}

void UIView::notifyTintChange() {
  tintColorDidChange();
  for (auto& s : subviews_)
    if (!s->tintColor_) s->notifyTintChange();
}

std::shared_ptr<UIView> UIView::viewWithTag(int tag) {
  if (tag_ == tag) return shared_from_this();
  for (auto& s : subviews_)
    if (auto v = s->viewWithTag(tag)) return v;
  return nullptr;
}

void UIView::setOverrideUserInterfaceStyle(UIUserInterfaceStyle s) {
  auto previous = traitCollection();
  overrideStyle_ = s;
  if (traitCollection() != previous) notifyTraitChange(previous);
}

// --- Hierarchy -------------------------------------------------------------

std::shared_ptr<UIWindow> UIView::window() const {
  auto top = superview();
  if (!top) return nullptr;
  while (auto s = top->superview()) top = s;
  return top->window();
}

bool UIView::isDescendantOfView(const UIView* view) const {
  for (const UIView* v = this; v; ) {
    if (v == view) return true;
    auto s = v->superview();
    v = s.get();
  }
  return false;
}

void UIView::insertSubviewAt(const std::shared_ptr<UIView>& view, size_t index) {
  if (!view || view.get() == this || isDescendantOfView(view.get())) return;
  if (view->layer_->delegate().expired()) view->layer_->setDelegate(view);
  if (layer_->delegate().expired()) layer_->setDelegate(weak_from_this());
  auto oldWindow = view->window();
  auto previousTraits = view->traitCollection();
  auto self = shared_from_this();
  if (view->superview().get() == this) {
    auto it = std::find(subviews_.begin(), subviews_.end(), view);
    size_t at = static_cast<size_t>(it - subviews_.begin());
    subviews_.erase(it);
    if (index > at) --index;
  } else {
    view->willMoveToSuperview(self);
    view->removeFromSuperview();
  }
  index = std::min(index, subviews_.size());
  // The layer goes just below the layer of the view that will follow it.
  if (index < subviews_.size()) layer_->insertSublayerBelow(view->layer_, subviews_[index]->layer_);
  else layer_->addSublayer(view->layer_);
  subviews_.insert(subviews_.begin() + static_cast<std::ptrdiff_t>(index), view);
  view->superview_ = self;
  view->setNeedsLayout();
  setNeedsLayout();
  view->didMoveToSuperview();
  didAddSubview(view);
  if (view->window() != oldWindow) view->didMoveToWindowTree();
  if (view->traitCollection() != previousTraits) view->notifyTraitChange(previousTraits);
}

void UIView::addSubview(const std::shared_ptr<UIView>& view) { insertSubviewAt(view, subviews_.size()); }
void UIView::insertSubview(const std::shared_ptr<UIView>& view, size_t index) { insertSubviewAt(view, index); }

void UIView::insertSubviewBelow(const std::shared_ptr<UIView>& view, const std::shared_ptr<UIView>& sibling) {
  auto it = std::find(subviews_.begin(), subviews_.end(), sibling);
  insertSubviewAt(view, it == subviews_.end() ? 0 : static_cast<size_t>(it - subviews_.begin()));
}

void UIView::insertSubviewAbove(const std::shared_ptr<UIView>& view, const std::shared_ptr<UIView>& sibling) {
  auto it = std::find(subviews_.begin(), subviews_.end(), sibling);
  insertSubviewAt(view, it == subviews_.end() ? subviews_.size() : static_cast<size_t>(it - subviews_.begin()) + 1);
}

void UIView::removeFromSuperview() {
  auto parent = superview();
  if (!parent) return;
  auto self = shared_from_this();
  auto oldWindow = window();
  parent->willRemoveSubview(self);
  std::erase(parent->subviews_, self);
  layer_->removeFromSuperlayer();
  superview_.reset();
  parent->setNeedsLayout();
  didMoveToSuperview();
  if (oldWindow) didMoveToWindowTree();
}

void UIView::bringSubviewToFront(const std::shared_ptr<UIView>& view) {
  if (view && view->superview().get() == this) insertSubviewAt(view, subviews_.size());
}

void UIView::sendSubviewToBack(const std::shared_ptr<UIView>& view) {
  if (view && view->superview().get() == this) insertSubviewAt(view, 0);
}

void UIView::didMoveToWindowTree() {
  if (auto vc = viewController_.lock()) {
    auto w = window();
    if (w && w->isVisible()) {
      vc->viewDidEnterWindow(false);
    } else {
      vc->viewDidLeaveWindow(false);
    }
  }
  didMoveToWindow();
  auto subs = subviews_;
  for (auto& s : subs) s->didMoveToWindowTree();
}

// --- Layout ----------------------------------------------------------------

void UIView::setNeedsLayout() {
  if (needsLayout_) return;
  needsLayout_ = true;
  // A layout pass runs in a later turn of the main queue, once for all windows.
  static bool scheduled = false;
  if (!scheduled && window()) {
    scheduled = true;
    os::DispatchQueue::main()->async([] {
      scheduled = false;
      for (auto& w : UIApplication::sharedApplication()->windows()) w->layoutIfNeeded();
    });
  }
}

void UIView::layoutIfNeeded() {
  auto self = shared_from_this();
  if (needsLayout_) {
    needsLayout_ = false;
    auto vc = viewController_.lock();
    if (vc) vc->viewWillLayoutSubviews();
    layoutSubviews();
    if (vc) vc->viewDidLayoutSubviews();
  }
  auto subs = subviews_;
  for (auto& s : subs) s->layoutIfNeeded();
}

void UIView::layoutSubviews() { applyConstraints(); }

CGSize UIView::sizeThatFits(CGSize) const { return bounds().size; }

void UIView::sizeToFit() {
  CGSize s = sizeThatFits(bounds().size);
  CGRect f = frame();
  setFrame({f.origin, s});
}

void UIView::boundsSizeChanged(CGSize old) {
  setNeedsLayout();
  if (!autoresizesSubviews_) return;
  CGSize now = bounds().size;
  auto resize = [](CGFloat lead, CGFloat size, CGFloat trail, bool fl, bool fs, bool ft, CGFloat delta) {
    CGFloat total = (fl ? lead : 0) + (fs ? size : 0) + (ft ? trail : 0);
    int count = int(fl) + int(fs) + int(ft);
    if (count == 0) return std::make_pair(lead, size);
    auto share = [&](bool flex, CGFloat part) {
      if (!flex) return 0.0;
      return total > 0 ? delta * part / total : delta / count;
    };
    return std::make_pair(lead + share(fl, lead), std::max(0.0, size + share(fs, size)));
  };
  for (auto& s : subviews_) {
    unsigned m = s->autoresizingMask_;
    if (m == UIViewAutoresizing::None || !s->translatesMask_) continue;
    CGRect f = s->frame();
    auto [x, w] = resize(f.minX(), f.width(), old.width - f.maxX(), m & UIViewAutoresizing::FlexibleLeftMargin,
                         m & UIViewAutoresizing::FlexibleWidth, m & UIViewAutoresizing::FlexibleRightMargin,
                         now.width - old.width);
    auto [y, h] = resize(f.minY(), f.height(), old.height - f.maxY(), m & UIViewAutoresizing::FlexibleTopMargin,
                         m & UIViewAutoresizing::FlexibleHeight, m & UIViewAutoresizing::FlexibleBottomMargin,
                         now.height - old.height);
    s->setFrame({x, y, w, h});
  }
}

UIEdgeInsets UIView::layoutMargins() const {
  UIEdgeInsets m = layoutMargins_;
  if (insetsFromSafeArea_) {
    UIEdgeInsets s = safeAreaInsets();
    m = {m.top + s.top, m.left + s.left, m.bottom + s.bottom, m.right + s.right};
  }
  if (preservesSuperviewMargins_) {
    if (auto parent = superview()) {
      UIEdgeInsets pm = parent->layoutMargins();
      CGRect f = frame();
      CGRect pb = parent->bounds();
      m.left = std::max(m.left, pm.left - (f.minX() - pb.minX()));
      m.top = std::max(m.top, pm.top - (f.minY() - pb.minY()));
      m.right = std::max(m.right, pm.right - (pb.maxX() - f.maxX()));
      m.bottom = std::max(m.bottom, pm.bottom - (pb.maxY() - f.maxY()));
    }
  }
  return m;
}

void UIView::setLayoutMargins(const UIEdgeInsets& m) {
  layoutMargins_ = m;
  setNeedsLayout();
  layoutMarginsDidChange();
}

UIEdgeInsets UIView::safeAreaInsets() const {
  auto w = window();
  if (!w) return {};
  UIEdgeInsets s = w->safeAreaInsets();
  CGRect r = convertRectToView(bounds(), nullptr);
  CGRect wb = w->bounds();
  return {std::max(0.0, s.top - (r.minY() - wb.minY())), std::max(0.0, s.left - (r.minX() - wb.minX())),
          std::max(0.0, s.bottom - (wb.maxY() - r.maxY())), std::max(0.0, s.right - (wb.maxX() - r.maxX()))};
}

// --- Constraints -----------------------------------------------------------

std::shared_ptr<NSLayoutConstraint> NSLayoutConstraint::constraintWithItem(
    const std::shared_ptr<UIView>& item, NSLayoutAttribute attribute, const std::shared_ptr<UIView>& toItem,
    NSLayoutAttribute toAttribute, CGFloat multiplier, CGFloat constant) {
  auto c = std::make_shared<NSLayoutConstraint>();
  c->item_ = item;
  c->toItem_ = toItem;
  c->attribute_ = attribute;
  c->toAttribute_ = toItem ? toAttribute : NSLayoutAttribute::NotAnAttribute;
  c->multiplier_ = std::isfinite(multiplier) ? multiplier : 1;
  c->constant_ = std::isfinite(constant) ? constant : 0;
  return c;
}

std::shared_ptr<NSLayoutConstraint> NSLayoutAnchor::constraintEqualToAnchor(const NSLayoutAnchor& other, CGFloat constant) const {
  return NSLayoutConstraint::constraintWithItem(view.lock(), attribute, other.view.lock(), other.attribute, 1, constant);
}

std::shared_ptr<NSLayoutConstraint> NSLayoutAnchor::constraintEqualToConstant(CGFloat constant) const {
  return NSLayoutConstraint::constraintWithItem(view.lock(), attribute, nullptr, NSLayoutAttribute::NotAnAttribute, 1, constant);
}

void NSLayoutConstraint::activateConstraints(const std::vector<std::shared_ptr<NSLayoutConstraint>>& cs) {
  for (auto& c : cs)
    if (c) c->setActive(true);
}

void NSLayoutConstraint::deactivateConstraints(const std::vector<std::shared_ptr<NSLayoutConstraint>>& cs) {
  for (auto& c : cs)
    if (c) c->setActive(false);
}

void NSLayoutConstraint::setActive(bool active) {
  auto item = item_.lock();
  auto to = toItem_.lock();
  if (!item || active == active_) return;
  if (active) {
    // "superview.edge == subview.edge + c" is kept as "subview.edge == superview.edge - c".
    if (to && to->superview() == item && multiplier_ == 1) {
      std::swap(item_, toItem_);
      std::swap(attribute_, toAttribute_);
      constant_ = -constant_;
      std::swap(item, to);
    }
    item->constraints_.push_back(shared_from_this());
  } else {
    std::erase(item->constraints_, shared_from_this());
  }
  active_ = active;
  if (auto s = item->superview()) s->setNeedsLayout();
}

void NSLayoutConstraint::setConstant(CGFloat c) {
  constant_ = std::isfinite(c) ? c : 0;
  if (auto item = item_.lock())
    if (auto s = item->superview()) s->setNeedsLayout();
}

void UIView::applyConstraints() {
  auto attributeValue = [this](const std::shared_ptr<UIView>& v, NSLayoutAttribute a) -> std::optional<CGFloat> {
    CGRect r;
    if (v.get() == this) r = bounds();
    else if (v->superview().get() == this) r = v->frame();
    else if (v->window() && v->window() == window()) r = convertRectFromView(v->bounds(), v.get());
    else return std::nullopt;
    switch (a) {
      case NSLayoutAttribute::Left: case NSLayoutAttribute::Leading: return r.minX();
      case NSLayoutAttribute::Right: case NSLayoutAttribute::Trailing: return r.maxX();
      case NSLayoutAttribute::Top: return r.minY();
      case NSLayoutAttribute::Bottom: return r.maxY();
      case NSLayoutAttribute::Width: return r.width();
      case NSLayoutAttribute::Height: return r.height();
      case NSLayoutAttribute::CenterX: return r.midX();
      case NSLayoutAttribute::CenterY: return r.midY();
      default: return std::nullopt;
    }
  };
  for (auto& s : subviews_) {
    if (s->translatesMask_ || s->constraints_.empty()) continue;
    std::map<NSLayoutAttribute, CGFloat> target;
    for (auto& c : s->constraints_) {
      auto to = c->toItem_.lock();
      CGFloat value = c->constant_;
      if (to) {
        if (to == s) continue;  // a view tied to itself fixes nothing
        auto v = attributeValue(to, c->toAttribute_);
        if (!v) continue;
        value = c->multiplier_ * *v + c->constant_;
      }
      NSLayoutAttribute a = c->attribute_;
      if (a == NSLayoutAttribute::Leading) a = NSLayoutAttribute::Left;
      if (a == NSLayoutAttribute::Trailing) a = NSLayoutAttribute::Right;
      target[a] = value;
    }
    CGRect f = s->frame();
    CGSize intrinsic = s->intrinsicContentSize();
    auto axis = [&](NSLayoutAttribute lo, NSLayoutAttribute hi, NSLayoutAttribute mid, NSLayoutAttribute size,
                    CGFloat curPos, CGFloat curSize, CGFloat intrinsicSize) {
      CGFloat len = curSize;
      if (target.count(size)) len = target[size];
      else if (target.count(lo) && target.count(hi)) len = target[hi] - target[lo];
      else if (intrinsicSize != UIViewNoIntrinsicMetric) len = intrinsicSize;
      len = std::max(0.0, len);
      CGFloat pos = curPos;
      if (target.count(lo)) pos = target[lo];
      else if (target.count(hi)) pos = target[hi] - len;
      else if (target.count(mid)) pos = target[mid] - len / 2;
      return std::make_pair(pos, len);
    };
    auto [x, w] = axis(NSLayoutAttribute::Left, NSLayoutAttribute::Right, NSLayoutAttribute::CenterX,
                       NSLayoutAttribute::Width, f.minX(), f.width(), intrinsic.width);
    auto [y, h] = axis(NSLayoutAttribute::Top, NSLayoutAttribute::Bottom, NSLayoutAttribute::CenterY,
                       NSLayoutAttribute::Height, f.minY(), f.height(), intrinsic.height);
    CGRect nf{x, y, w, h};
    if (nf != f) s->setFrame(nf);
  }
}

// --- Coordinates and traits ------------------------------------------------

CGPoint UIView::convertPointToView(CGPoint p, const UIView* view) const {
  CGPoint root = CGPointApplyAffineTransform(p, layer_->transformToRoot());
  return view ? CGPointApplyAffineTransform(root, view->layer_->transformToRoot().inverted()) : root;
}

CGPoint UIView::convertPointFromView(CGPoint p, const UIView* view) const {
  CGPoint root = view ? CGPointApplyAffineTransform(p, view->layer_->transformToRoot()) : p;
  return CGPointApplyAffineTransform(root, layer_->transformToRoot().inverted());
}

CGRect UIView::convertRectToView(const CGRect& r, const UIView* view) const {
  CGAffineTransform t = layer_->transformToRoot();
  if (view) t = t.concatenating(view->layer_->transformToRoot().inverted());
  return CGRectApplyAffineTransform(r, t);
}

CGRect UIView::convertRectFromView(const CGRect& r, const UIView* view) const {
  CGAffineTransform t = view ? view->layer_->transformToRoot() : CGAffineTransform();
  t = t.concatenating(layer_->transformToRoot().inverted());
  return CGRectApplyAffineTransform(r, t);
}

UITraitCollection UIView::traitCollection() const {
  UITraitCollection t;
  if (auto w = window()) t = w->windowTraitCollection();
  else t.userInterfaceIdiom = UIDevice::currentDevice()->userInterfaceIdiom();
  for (const UIView* v = this; v;) {
    if (v->overrideStyle_ != UIUserInterfaceStyle::Unspecified) {
      t.userInterfaceStyle = v->overrideStyle_;
      break;
    }
    auto s = v->superview();
    v = s.get();
  }
  return t;
}

void UIView::notifyTraitChange(const UITraitCollection& previous) {
  if (backgroundColor_) layer_->setBackgroundColor(backgroundColor_->resolved(traitCollection().userInterfaceStyle));
  traitCollectionDidChange(previous);
  if (auto vc = viewController_.lock()) vc->traitCollectionDidChange(previous);
  auto subs = subviews_;
  for (auto& s : subs) s->notifyTraitChange(previous);
}

// --- Drawing ---------------------------------------------------------------

void UIView::draw(const CGRect&) {}

void UIView::drawLayer(CALayer&, CGContext& ctx) {
  UIGraphicsPushContext(&ctx);
  draw(bounds());
  UIGraphicsPopContext();
}

namespace {
// A view's layer draws through the view; views made but never added to a
// tree get their link here, as weak_from_this() is not usable in a constructor.
void linkLayers(UIView& view) {
  if (view.layer()->delegate().expired()) view.layer()->setDelegate(view.weak_from_this());
  for (auto& s : view.subviews()) linkLayers(*s);
}
}  // namespace

bool UIView::drawViewHierarchyInRect(const CGRect& rect, bool) {
  CGContext* ctx = UIGraphicsGetCurrentContext();
  if (!ctx) return false;
  layoutIfNeeded();
  linkLayers(*this);
  CGRect b = bounds();
  if (b.width() <= 0 || b.height() <= 0) return true;
  ctx->saveGState();
  ctx->translateBy(rect.minX(), rect.minY());
  ctx->scaleBy(rect.width() / b.width(), rect.height() / b.height());
  ctx->translateBy(-b.minX(), -b.minY());
  layer_->renderInContext(*ctx);
  ctx->restoreGState();
  return true;
}

os::Result<std::shared_ptr<UIImage>> UIView::renderImage(CGFloat scale) {
  UIGraphicsImageRendererFormat format;
  format.scale = scale;
  format.opaque = false;
  UIGraphicsImageRenderer renderer(bounds().size, format);
  return renderer.image([this](UIGraphicsImageRendererContext&) {
    drawViewHierarchyInRect({{0, 0}, bounds().size}, true);
  });
}

// --- Touches ---------------------------------------------------------------

bool UIView::pointInside(CGPoint point, const UIEvent*) const { return bounds().contains(point); }

std::shared_ptr<UIView> UIView::hitTest(CGPoint point, const UIEvent* event) {
  if (isHidden() || !userInteractionEnabled_ || alpha() < 0.01 || !pointInside(point, event)) return nullptr;
  for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
    CGPoint p = (*it)->convertPointFromView(point, this);
    if (auto hit = (*it)->hitTest(p, event)) return hit;
  }
  return shared_from_this();
}

void UIView::touchesBegan(const std::vector<std::shared_ptr<UITouch>>& t, const UIEvent& e) {
  if (auto s = superview()) s->touchesBegan(t, e);
}
void UIView::touchesMoved(const std::vector<std::shared_ptr<UITouch>>& t, const UIEvent& e) {
  if (auto s = superview()) s->touchesMoved(t, e);
}
void UIView::touchesEnded(const std::vector<std::shared_ptr<UITouch>>& t, const UIEvent& e) {
  if (auto s = superview()) s->touchesEnded(t, e);
}
void UIView::touchesCancelled(const std::vector<std::shared_ptr<UITouch>>& t, const UIEvent& e) {
  if (auto s = superview()) s->touchesCancelled(t, e);
}

bool UIView::gestureRecognizerShouldBegin(UIGestureRecognizer&) { return true; }

void UIView::addGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& r) {
  if (!r) return;
  if (auto old = r->view()) old->removeGestureRecognizer(r);
  r->view_ = weak_from_this();
  recognizers_.push_back(r);
}

void UIView::removeGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& r) {
  if (!r || r->view().get() != this) return;
  std::erase(recognizers_, r);
  r->view_.reset();
}

// --- Window ----------------------------------------------------------------

UIWindow::UIWindow() : UIWindow(UIScreen::mainScreen().bounds()) {}

UIWindow::UIWindow(const CGRect& frame) : UIView(frame) {
  traits_.userInterfaceIdiom = UIDevice::currentDevice()->userInterfaceIdiom();
  traits_.displayScale = UIScreen::mainScreen().scale();
  bool pad = traits_.userInterfaceIdiom == UIUserInterfaceIdiom::Pad;
  bool portrait = frame.height() >= frame.width();
  traits_.horizontalSizeClass = pad ? UIUserInterfaceSizeClass::Regular : UIUserInterfaceSizeClass::Compact;
  traits_.verticalSizeClass = pad || portrait ? UIUserInterfaceSizeClass::Regular : UIUserInterfaceSizeClass::Compact;
  setInsetsLayoutMarginsFromSafeArea(false);
}

UIWindow::~UIWindow() = default;

std::shared_ptr<UIWindow> UIWindow::window() const {
  return std::const_pointer_cast<UIWindow>(std::static_pointer_cast<const UIWindow>(shared_from_this()));
}

// The controllers whose views are in the tree come on or go off screen.
void UIWindow::notifyAppearance(UIView& view, bool visible) {
  if (auto vc = view.viewController_.lock()) {
    if (visible) {
      vc->viewDidEnterWindow(false);
    } else {
      vc->viewDidLeaveWindow(false);
    }
  }
  auto subs = view.subviews();
  for (auto& s : subs) notifyAppearance(*s, visible);
}

void UIWindow::makeKeyAndVisible() {
  setHidden(false);
  makeKeyWindow();
  if (!visible_) {
    visible_ = true;
    layoutIfNeeded();
    notifyAppearance(*this, true);
  }
}

void UIWindow::setHidden(bool hidden) {
  bool wasVisible = isVisible();
  UIView::setHidden(hidden);
  if (wasVisible != isVisible()) notifyAppearance(*this, isVisible());
}

void UIWindow::setRootViewController(std::shared_ptr<UIViewController> vc) {
  if (vc == rootViewController_) return;
  auto old = std::exchange(rootViewController_, vc);
  if (old) {
    // The old root's presentations go with it.
    if (old->presentedViewController()) old->dismissViewControllerAnimated(false);
    if (auto v = old->viewIfLoaded(); v && v->superview().get() == this) v->removeFromSuperview();
  }
  if (vc) {
    auto v = vc->view();
    v->setFrame(bounds());
    v->setAutoresizingMask(UIViewAutoresizing::FlexibleWidth | UIViewAutoresizing::FlexibleHeight);
    insertSubview(v, 0);
  }
}

void UIWindow::makeKeyWindow() {
  if (layer()->delegate().expired()) layer()->setDelegate(weak_from_this());
  auto app = UIApplication::sharedApplication();
  auto previous = app->keyWindow();
  app->TEST_setKeyWindow(window());
  if (previous && previous.get() != this)
    os::NotificationCenter::defaultCenter()->postNotificationName(kUIWindowDidResignKeyNotification, previous.get());
}

bool UIWindow::isKeyWindow() const { return UIApplication::sharedApplication()->keyWindow().get() == this; }

void UIWindow::setTraitCollection(const UITraitCollection& traits) {
  if (traits == traits_) return;
  UITraitCollection previous = traits_;
  traits_ = traits;
  notifyTraitChange(previous);
}

void UIWindow::setSafeAreaInsets(const UIEdgeInsets& insets) {
  safeArea_ = insets;
  setNeedsLayout();
}

void UIWindow::tap(CGPoint point) {
  sendTouch(point, UITouchPhase::Began);
  sendTouch(point, UITouchPhase::Ended);
}

void UIWindow::sendTouch(CGPoint point, UITouchPhase phase) {
  if (!std::isfinite(point.x) || !std::isfinite(point.y)) return;
  auto self = window();
  layoutIfNeeded();
  if (phase == UITouchPhase::Began) {
    if (touch_) sendTouch(touch_->location_, UITouchPhase::Cancelled);
    touch_ = std::make_shared<UITouch>();
    touch_->window_ = self;
    touch_->location_ = touch_->previous_ = point;
    touch_->timestamp_ = CACurrentMediaTime();
    auto hit = hitTest(point, nullptr);
    touch_->view_ = hit;
    viewTouchCancelled_ = false;
    touchRecognizers_.clear();
    for (auto v = hit; v; v = v->superview()) {
      for (auto& r : v->gestureRecognizers()) {
        if (!r->isEnabled()) continue;
        if (auto d = r->delegate().lock(); d && !d->gestureRecognizerShouldReceiveTouch(*r, *touch_)) continue;
        if (!hit->gestureRecognizerShouldBegin(*r)) continue;
        touchRecognizers_.push_back(r);
      }
    }
  } else {
    if (!touch_) return;  // a move or an end without a touch down is dropped
    touch_->previous_ = touch_->location_;
    touch_->location_ = point;
    touch_->timestamp_ = CACurrentMediaTime();
  }
  touch_->phase_ = phase;
  deliver(phase);
  if (phase == UITouchPhase::Ended || phase == UITouchPhase::Cancelled) {
    for (auto& r : touchRecognizers_)
      if (!r->isWaitingForMore() || phase == UITouchPhase::Cancelled) r->reset();
      else r->UIGestureRecognizer::reset();
    touchRecognizers_.clear();
    touch_.reset();
  }
}

void UIWindow::deliver(UITouchPhase phase) {
  auto touch = touch_;
  auto recognizers = touchRecognizers_;
  for (auto& r : recognizers) {
    auto s = r->state();
    if (s == UIGestureRecognizerState::Failed || s == UIGestureRecognizerState::Cancelled) continue;
    if (s == UIGestureRecognizerState::Ended) continue;
    switch (phase) {
      case UITouchPhase::Began: r->touchesBegan(touch); break;
      case UITouchPhase::Moved: case UITouchPhase::Stationary: r->touchesMoved(touch); break;
      case UITouchPhase::Ended: r->touchesEnded(touch); break;
      case UITouchPhase::Cancelled: r->touchesCancelled(touch); break;
    }
  }
  auto view = touch->view();
  if (!view) return;
  bool recognized = std::any_of(recognizers.begin(), recognizers.end(), [](auto& r) {
    auto s = r->state();
    return r->cancelsTouchesInView() && (s == UIGestureRecognizerState::Began || s == UIGestureRecognizerState::Changed ||
                                         s == UIGestureRecognizerState::Ended);
  });
  std::vector<std::shared_ptr<UITouch>> touches{touch};
  UIEvent event{touch->timestamp()};
  if (viewTouchCancelled_) return;
  if (recognized && phase != UITouchPhase::Began) {
    viewTouchCancelled_ = true;
    view->touchesCancelled(touches, event);
    return;
  }
  switch (phase) {
    case UITouchPhase::Began: view->touchesBegan(touches, event); break;
    case UITouchPhase::Moved: case UITouchPhase::Stationary: view->touchesMoved(touches, event); break;
    case UITouchPhase::Ended: view->touchesEnded(touches, event); break;
    case UITouchPhase::Cancelled: view->touchesCancelled(touches, event); break;
  }
}

void UIWindow::TEST_recognizerDidRecognize(UIGestureRecognizer& recognizer) {
  if (!touch_ || viewTouchCancelled_ || !recognizer.cancelsTouchesInView()) return;
  auto view = touch_->view();
  if (!view) return;
  viewTouchCancelled_ = true;
  view->touchesCancelled({touch_}, UIEvent{touch_->timestamp()});
}

os::Status UIWindow::renderToPNGFile(const std::string& path, CGFloat scale) {
  layoutIfNeeded();
  auto image = renderImage(scale);
  if (!image) return os::fail(image.error());
  auto png = (*image)->cgImage()->pngData();
  if (!png) return os::fail(png.error());
  return os::FileManager::defaultManager().createFileAtPath(path, *png);
}
