#include <algorithm>
#include <cmath>

#include "os/dispatch/run_loop.h"
#include "os/foundation/clock.h"
#include "os/uikit/layer.h"

double CACurrentMediaTime() { return static_cast<double>(os::Clock::current().uptimeNanos()) / 1e9; }

// --- Timing functions ------------------------------------------------------

std::shared_ptr<CAMediaTimingFunction> CAMediaTimingFunction::functionWithName(const std::string& name) {
  if (name == kCAMediaTimingFunctionEaseIn) return std::make_shared<CAMediaTimingFunction>(0.42, 0, 1, 1);
  if (name == kCAMediaTimingFunctionEaseOut) return std::make_shared<CAMediaTimingFunction>(0, 0, 0.58, 1);
  if (name == kCAMediaTimingFunctionEaseInEaseOut) return std::make_shared<CAMediaTimingFunction>(0.42, 0, 0.58, 1);
  if (name == kCAMediaTimingFunctionDefault) return std::make_shared<CAMediaTimingFunction>(0.25, 0.1, 0.25, 1);
  return std::make_shared<CAMediaTimingFunction>(0, 0, 1, 1);
}

double CAMediaTimingFunction::evaluate(double x) const {
  if (!(x > 0)) return 0;
  if (x >= 1) return 1;
  auto bez = [](double a, double b, double t) {
    double u = 1 - t;
    return 3 * u * u * t * a + 3 * u * t * t * b + t * t * t;
  };
  // Solve x(t) = x by bisection: monotonic for control x in 0...1.
  double lo = 0, hi = 1, t = x;
  for (int i = 0; i < 60; ++i) {
    t = (lo + hi) / 2;
    if (bez(c1x_, c2x_, t) < x) lo = t; else hi = t;
  }
  return bez(c1y_, c2y_, t);
}

// --- Animation time --------------------------------------------------------

double CAAnimation::activeDuration(double inherited) const {
  double reps = repeatCount_ > 0 ? repeatCount_ : 1;
  if (std::isinf(reps)) return INFINITY;
  return effectiveDuration(inherited) * reps * (autoreverses_ ? 2 : 1);
}

std::optional<double> CAAnimation::progress(double parentTime, double inherited) const {
  double d = effectiveDuration(inherited);
  double speed = speed_ == 0 || !std::isfinite(speed_) ? 1 : speed_;
  double local = (parentTime - beginTime_) * speed + timeOffset_;
  double active = activeDuration(inherited);
  bool backwards = fillMode_ == kCAFillModeBackwards || fillMode_ == kCAFillModeBoth;
  bool forwards = fillMode_ == kCAFillModeForwards || fillMode_ == kCAFillModeBoth;
  double p;
  if (local < 0) {
    if (!backwards) return std::nullopt;
    p = 0;
  } else if (local >= active) {
    if (!forwards) return std::nullopt;
    double reps = repeatCount_ > 0 ? repeatCount_ : 1;
    double frac = reps - std::floor(reps);
    p = frac == 0 ? 1 : frac;
    if (autoreverses_) p = 0;
  } else {
    double it = std::floor(local / d);
    p = (local - it * d) / d;
    if (autoreverses_ && static_cast<int64_t>(it) % 2 == 1) p = 1 - p;
  }
  return timingFunction_ ? timingFunction_->evaluate(p) : p;
}

// --- Values ----------------------------------------------------------------

namespace {

struct Decomposed {
  double sx, sy, angle, tx, ty;
};

Decomposed decompose(const CGAffineTransform& t) {
  double sx = std::hypot(t.a, t.b);
  double angle = std::atan2(t.b, t.a);
  double det = t.a * t.d - t.b * t.c;
  double sy = sx == 0 ? std::hypot(t.c, t.d) : det / sx;
  return {sx, sy, angle, t.tx, t.ty};
}

CGAffineTransform compose(const Decomposed& d) {
  CGAffineTransform r = CGAffineTransform::makeScale(d.sx, d.sy).concatenating(CGAffineTransform::makeRotation(d.angle));
  r.tx = d.tx;
  r.ty = d.ty;
  return r;
}

double lerp(double a, double b, double t) { return a + (b - a) * t; }

std::optional<CAValue> interpolate(const CAValue& a, const CAValue& b, double t) {
  if (a.index() != b.index()) return std::nullopt;
  if (auto* x = std::get_if<double>(&a)) return lerp(*x, std::get<double>(b), t);
  if (auto* x = std::get_if<CGPoint>(&a)) {
    auto y = std::get<CGPoint>(b);
    return CGPoint{lerp(x->x, y.x, t), lerp(x->y, y.y, t)};
  }
  if (auto* x = std::get_if<CGSize>(&a)) {
    auto y = std::get<CGSize>(b);
    return CGSize{lerp(x->width, y.width, t), lerp(x->height, y.height, t)};
  }
  if (auto* x = std::get_if<CGRect>(&a)) {
    auto y = std::get<CGRect>(b);
    return CGRect{lerp(x->origin.x, y.origin.x, t), lerp(x->origin.y, y.origin.y, t),
                  lerp(x->size.width, y.size.width, t), lerp(x->size.height, y.size.height, t)};
  }
  if (auto* x = std::get_if<CGColor>(&a)) return CGColorInterpolate(*x, std::get<CGColor>(b), t);
  if (auto* x = std::get_if<CGAffineTransform>(&a)) {
    if (t == 0) return *x;
    if (t == 1) return std::get<CGAffineTransform>(b);
    Decomposed p = decompose(*x), q = decompose(std::get<CGAffineTransform>(b));
    return compose({lerp(p.sx, q.sx, t), lerp(p.sy, q.sy, t), lerp(p.angle, q.angle, t), lerp(p.tx, q.tx, t),
                    lerp(p.ty, q.ty, t)});
  }
  return std::nullopt;
}

std::optional<CAValue> combine(const CAValue& a, const CAValue& b, double sign) {
  if (a.index() != b.index()) return std::nullopt;
  if (auto* x = std::get_if<double>(&a)) return *x + sign * std::get<double>(b);
  if (auto* x = std::get_if<CGPoint>(&a)) {
    auto y = std::get<CGPoint>(b);
    return CGPoint{x->x + sign * y.x, x->y + sign * y.y};
  }
  if (auto* x = std::get_if<CGSize>(&a)) {
    auto y = std::get<CGSize>(b);
    return CGSize{x->width + sign * y.width, x->height + sign * y.height};
  }
  if (auto* x = std::get_if<CGAffineTransform>(&a)) {
    auto y = std::get<CGAffineTransform>(b);
    return sign > 0 ? y.concatenating(*x) : y.inverted().concatenating(*x);
  }
  return std::nullopt;
}

}  // namespace

std::shared_ptr<CABasicAnimation> CABasicAnimation::animationWithKeyPath(std::string keyPath) {
  auto a = std::make_shared<CABasicAnimation>();
  a->setKeyPath(std::move(keyPath));
  return a;
}

void CABasicAnimation::apply(CALayer& target, double parentTime, double inherited) const {
  auto p = progress(parentTime, inherited);
  if (!p) return;
  auto current = target.valueForKeyPath(keyPath());
  if (!current) return;
  std::optional<CAValue> from = from_, to = to_;
  if (!from) from = (to_ && by_) ? combine(*to_, *by_, -1) : current;
  if (!to) to = by_ ? combine(*from, *by_, 1) : current;
  if (!from || !to) return;
  // Springs need real time: pass the progress through the shape at iteration time.
  auto value = interpolate(*from, *to, shape(*p));
  if (!value) return;
  if (isAdditive()) {
    auto sum = combine(*current, *value, 1);
    if (!sum) return;
    value = sum;
  }
  target.setValueForKeyPath(keyPath(), *value);
}

std::shared_ptr<CASpringAnimation> CASpringAnimation::animationWithKeyPath(std::string keyPath) {
  auto a = std::make_shared<CASpringAnimation>();
  a->setKeyPath(std::move(keyPath));
  return a;
}

double CASpringAnimation::settlingDuration() const {
  double m = mass > 0 ? mass : 1, k = stiffness > 0 ? stiffness : 100;
  double w0 = std::sqrt(k / m);
  double zeta = std::max(damping, 0.0) / (2 * std::sqrt(k * m));
  double rate = zeta < 1 ? zeta * w0 : w0;
  if (rate <= 0) return 10;
  return std::min(10.0, -std::log(0.001) / rate);
}

double CASpringAnimation::shape(double p) const {
  if (p >= 1) return 1;
  if (p <= 0) return 0;
  double t = p * effectiveDuration(settlingDuration());
  double m = mass > 0 ? mass : 1, k = stiffness > 0 ? stiffness : 100;
  double w0 = std::sqrt(k / m);
  double zeta = std::max(damping, 0.0) / (2 * std::sqrt(k * m));
  double v0 = -initialVelocity;
  if (zeta < 1) {
    double wd = w0 * std::sqrt(1 - zeta * zeta);
    double e = std::exp(-zeta * w0 * t);
    return 1 - e * (std::cos(wd * t) + (zeta * w0 + v0) / wd * std::sin(wd * t));
  }
  double e = std::exp(-w0 * t);
  return 1 - e * (1 + (w0 + v0) * t);
}

std::shared_ptr<CAAnimation> CAAnimationGroup::copy() const {
  auto g = std::make_shared<CAAnimationGroup>(*this);
  std::vector<std::shared_ptr<CAAnimation>> children;
  for (const auto& a : animations_)
    if (a) children.push_back(a->copy());
  g->animations_ = std::move(children);
  return g;
}

void CAAnimationGroup::apply(CALayer& target, double parentTime, double inherited) const {
  auto p = progress(parentTime, inherited);
  if (!p) return;
  double d = effectiveDuration(inherited);
  double local = *p * d;
  for (const auto& child : animations_) {
    // Children are clipped to the group's duration.
    if (child) child->apply(target, std::min(local, d), d);
  }
}

// --- Engine ----------------------------------------------------------------

struct CAAnimationEngine {
  static CAAnimationEngine& shared() {
    static auto& engine = *new CAAnimationEngine();  // never destroyed
    return engine;
  }

  std::vector<std::weak_ptr<CALayer>> layers;

  void track(const std::shared_ptr<CALayer>& layer, const CAAnimation& anim) {
    bool known = false;
    for (auto& w : layers) known = known || w.lock() == layer;
    if (!known) layers.push_back(layer);
    double speed = anim.speed_ == 0 || !std::isfinite(anim.speed_) ? 1 : anim.speed_;
    double end = anim.beginTime_ + (anim.activeDuration() - anim.timeOffset_) / std::fabs(speed);
    if (std::isfinite(end)) os::uikit::scheduleAt(end, [] { shared().checkFinished(); });
  }

  static double endTime(const CAAnimation& anim) {
    double speed = anim.speed_ == 0 || !std::isfinite(anim.speed_) ? 1 : anim.speed_;
    return anim.beginTime_ + (anim.activeDuration() - anim.timeOffset_) / std::fabs(speed);
  }

  void checkFinished() {
    double now = CACurrentMediaTime();
    std::vector<std::pair<std::shared_ptr<CALayer>, std::string>> done;
    std::vector<std::weak_ptr<CALayer>> alive;
    for (auto& w : layers) {
      auto layer = w.lock();
      if (!layer) continue;
      bool keep = false;
      for (auto& [key, anim] : layer->animations_) {
        if (anim->stopped_) continue;
        double end = endTime(*anim);
        if (std::isfinite(end) && end <= now + 1e-6) {
          anim->finished_ = true;
          done.emplace_back(layer, key);
        } else {
          keep = true;
        }
      }
      if (keep) alive.push_back(w);
    }
    layers = std::move(alive);
    for (auto& [layer, key] : done) layer->finishAnimation(key, true);
  }
};

void CALayer::finishAnimation(const std::string& key, bool finished) {
  auto it = std::find_if(animations_.begin(), animations_.end(), [&](auto& e) { return e.first == key; });
  if (it == animations_.end()) return;
  auto anim = it->second;
  if (anim->stopped_) {
    if (!finished) animations_.erase(it);
    return;
  }
  anim->stopped_ = true;
  if (!finished || anim->removedOnCompletion_) animations_.erase(it);
  auto completion = std::move(anim->completion_);
  anim->completion_ = nullptr;
  if (completion) completion(finished);
  if (anim->delegate_) anim->delegate_->animationDidStop(*anim, finished);
}

void CALayer::addAnimation(const std::shared_ptr<CAAnimation>& animation, const std::string& key0) {
  if (!animation) return;
  static uint64_t counter = 0;
  std::string key = key0.empty() ? "anim." + std::to_string(++counter) : key0;
  removeAnimationForKey(key);
  auto copy = animation->copy();
  if (copy->beginTime_ == 0) copy->beginTime_ = CACurrentMediaTime();
  animations_.emplace_back(key, copy);
  if (copy->delegate_) copy->delegate_->animationDidStart(*copy);
  CAAnimationEngine::shared().track(shared_from_this(), *copy);
}

std::shared_ptr<CAAnimation> CALayer::animationForKey(const std::string& key) const {
  for (const auto& [k, a] : animations_)
    if (k == key) return a;
  return nullptr;
}

void CALayer::removeAnimationForKey(const std::string& key) { finishAnimation(key, false); }

void CALayer::removeAllAnimations() {
  for (const auto& key : animationKeys()) removeAnimationForKey(key);
}

std::vector<std::string> CALayer::animationKeys() const {
  std::vector<std::string> keys;
  for (const auto& [k, a] : animations_) keys.push_back(k);
  return keys;
}

std::shared_ptr<CALayer> CALayer::presentationLayer() const {
  auto copy = clone();
  copy->animations_.clear();
  double now = CACurrentMediaTime();
  for (const auto& [key, anim] : animations_) anim->apply(*copy, now, 0.25);
  return copy;
}

// --- Main-loop hooks -------------------------------------------------------

namespace os::uikit {
namespace {
struct FrameCallbacks {
  uint64_t next = 0;
  std::vector<std::pair<uint64_t, std::function<void(double)>>> callbacks;
  std::shared_ptr<os::DisplayLink> link;
};
FrameCallbacks& frames() {
  static auto& f = *new FrameCallbacks();  // never destroyed
  return f;
}
}  // namespace

uint64_t addFrameCallback(std::function<void(double)> callback) {
  auto& f = frames();
  uint64_t id = ++f.next;
  f.callbacks.emplace_back(id, std::move(callback));
  if (!f.link) {
    f.link = os::DisplayLink::create([](os::DisplayLink&) {
      auto& fr = frames();
      auto snapshot = fr.callbacks;
      double now = CACurrentMediaTime();
      for (auto& [cid, cb] : snapshot) {
        bool present = std::any_of(fr.callbacks.begin(), fr.callbacks.end(), [&](auto& e) { return e.first == cid; });
        if (present) cb(now);
      }
      if (fr.callbacks.empty() && fr.link) {
        fr.link->invalidate();
        fr.link.reset();
      }
    });
    f.link->addToRunLoop(os::RunLoop::main());
  }
  return id;
}

void removeFrameCallback(uint64_t id) {
  auto& f = frames();
  std::erase_if(f.callbacks, [id](auto& e) { return e.first == id; });
}

void scheduleAt(double time, std::function<void()> block) {
  double delay = std::max(0.0, time - CACurrentMediaTime());
  os::RunLoop::main().performAfterDelay(delay, std::move(block));
}

}  // namespace os::uikit
