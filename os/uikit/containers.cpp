#include <algorithm>

#include "os/dispatch/queue.h"
#include "os/uikit/view_controller.h"

namespace {

// Children that already belong to another container are left out.
std::vector<std::shared_ptr<UIViewController>> adoptable(std::vector<std::shared_ptr<UIViewController>> controllers,
                                                         const UIViewController& container) {
  std::vector<std::shared_ptr<UIViewController>> out;
  for (auto& c : controllers) {
    if (!c || std::find(out.begin(), out.end(), c) != out.end()) continue;
    auto parent = c->parentViewController();
    if (parent && parent.get() != &container) continue;
    out.push_back(std::move(c));
  }
  return out;
}

void detach(const std::shared_ptr<UIViewController>& child) {
  child->willMoveToParentViewController(nullptr);
  if (auto v = child->viewIfLoaded(); v && v->superview()) v->removeFromSuperview();
  child->removeFromParentViewController();
}

}  // namespace

// --- Tab bar controller -----------------------------------------------------------

void UITabBarController::setViewControllers(std::vector<std::shared_ptr<UIViewController>> controllers, bool animated) {
  (void)animated;
  auto self = shared_from_this();
  auto next = adoptable(std::move(controllers), *this);
  auto current = childViewControllers();
  for (auto& child : current)
    if (std::find(next.begin(), next.end(), child) == next.end()) detach(child);
  for (auto& child : next)
    if (child->parentViewController() != self) {
      addChildViewController(child);
      child->didMoveToParentViewController(self);
    }
  auto previous = selected_ < current.size() ? current[selected_] : nullptr;
  selected_ = next.empty() ? kNotFound : 0;
  show(previous);
}

std::shared_ptr<UIViewController> UITabBarController::selectedViewController() const {
  auto& tabs = childViewControllers();
  return selected_ < tabs.size() ? tabs[selected_] : nullptr;
}

void UITabBarController::setSelectedViewController(const std::shared_ptr<UIViewController>& controller) {
  auto& tabs = childViewControllers();
  auto it = std::find(tabs.begin(), tabs.end(), controller);
  if (it != tabs.end()) setSelectedIndex(static_cast<size_t>(it - tabs.begin()));
}

void UITabBarController::setSelectedIndex(size_t index) {
  if (index >= childViewControllers().size() || index == selected_) return;
  auto previous = selectedViewController();
  selected_ = index;
  show(previous);
}

void UITabBarController::show(const std::shared_ptr<UIViewController>& previous) {
  auto v = viewIfLoaded();
  if (!v) return;
  auto selected = selectedViewController();
  if (previous && previous != selected)
    if (auto pv = previous->viewIfLoaded(); pv && pv->superview() == v) pv->removeFromSuperview();
  if (selected && selected->view()->superview() != v) v->addSubview(selected->view());
  v->setNeedsLayout();
  v->layoutIfNeeded();
}

void UITabBarController::loadView() {
  auto v = std::make_shared<UIView>(UIScreen::mainScreen().bounds());
  v->setBackgroundColor(UIColor::systemBackgroundColor());
  setView(v);
  if (auto selected = selectedViewController()) v->addSubview(selected->view());
}

void UITabBarController::viewDidLayoutSubviews() {
  auto v = viewIfLoaded();
  auto selected = selectedViewController();
  if (v && selected && selected->isViewLoaded()) selected->viewIfLoaded()->setFrame(v->bounds());
}

// --- Page view controller -----------------------------------------------------------

UIPageViewController::UIPageViewController(UIPageViewControllerTransitionStyle style,
                                           UIPageViewControllerNavigationOrientation orientation)
    : style_(style), orientation_(orientation) {}

void UIPageViewController::setViewControllers(std::vector<std::shared_ptr<UIViewController>> controllers,
                                              UIPageViewControllerNavigationDirection direction, bool animated,
                                              std::function<void(bool finished)> completion) {
  (void)direction, (void)animated;
  auto self = shared_from_this();
  auto next = adoptable(std::move(controllers), *this);
  for (auto& page : std::vector(pages_))
    if (std::find(next.begin(), next.end(), page) == next.end()) detach(page);
  pages_ = next;
  for (auto& page : pages_)
    if (page->parentViewController() != self) {
      addChildViewController(page);
      page->didMoveToParentViewController(self);
    }
  if (auto v = viewIfLoaded()) {
    for (auto& page : pages_)
      if (page->view()->superview() != v) v->addSubview(page->view());
    v->setNeedsLayout();
    v->layoutIfNeeded();
  }
  if (completion) os::DispatchQueue::main()->async([completion = std::move(completion)] { completion(true); });
}

void UIPageViewController::loadView() {
  auto v = std::make_shared<UIView>(UIScreen::mainScreen().bounds());
  v->setBackgroundColor(UIColor::systemBackgroundColor());
  setView(v);
  for (auto& page : pages_) v->addSubview(page->view());
}

void UIPageViewController::viewDidLayoutSubviews() {
  auto v = viewIfLoaded();
  if (!v) return;
  for (auto& page : pages_)
    if (page->isViewLoaded()) page->viewIfLoaded()->setFrame(v->bounds());
}
