#include <algorithm>

#include "os/uikit/view_controller.h"

namespace {
constexpr CGFloat kBarHeight = 44;
constexpr CGFloat kBarMargin = 16;
constexpr CGFloat kItemSpacing = 8;

CGFloat itemWidth(UIBarButtonItem& item) {
  if (item.isFlexibleSpace()) return 0;
  if (item.systemItem() == UIBarButtonSystemItem::FixedSpace) return item.width();
  auto view = item.barView();
  if (!view) return item.width();
  if (item.width() > 0) return item.width();
  CGFloat w = view->frame().width();
  if (w <= 0) w = view->sizeThatFits({0, kBarHeight}).width;
  return std::max<CGFloat>(w, 0);
}
}  // namespace

// --- Bar items -------------------------------------------------------------------

UIBarButtonItem::UIBarButtonItem(UIBarButtonSystemItem systemItem, Action action)
    : systemItem_(systemItem), action_(std::move(action)) {}

UIBarButtonItem::UIBarButtonItem(std::string title, Action action) : title_(std::move(title)), action_(std::move(action)) {}

UIBarButtonItem::UIBarButtonItem(std::shared_ptr<UIImage> image, Action action)
    : image_(std::move(image)), action_(std::move(action)) {}

UIBarButtonItem::UIBarButtonItem(std::shared_ptr<UIView> customView) : customView_(std::move(customView)) {}

void UIBarButtonItem::TEST_tap() {
  if (enabled_ && action_) action_(*this);
}

std::shared_ptr<UIView> UIBarButtonItem::barView() {
  if (customView_) return customView_;
  if (isFlexibleSpace() || systemItem_ == UIBarButtonSystemItem::FixedSpace) return nullptr;
  if (!button_) {
    button_ = std::make_shared<UIButton>(UIButtonType::System);
    if (title_) {
      button_->setTitle(title_, UIControlState::Normal);
    } else if (image_) {
      button_->setImage(image_, UIControlState::Normal);
    } else if (systemItem_ == UIBarButtonSystemItem::Done) {
      button_->setTitle(std::string("Done"), UIControlState::Normal);
    } else if (systemItem_ == UIBarButtonSystemItem::Cancel) {
      button_->setTitle(std::string("Cancel"), UIControlState::Normal);
    }
    std::weak_ptr<UIBarButtonItem> weak = weak_from_this();
    button_->addTarget(
        [weak](UIControl&) {
          if (auto self = weak.lock()) self->TEST_tap();
        },
        UIControlEvents::TouchUpInside);
    CGSize size = button_->sizeThatFits({0, kBarHeight});
    button_->setFrame({0, 0, std::max<CGFloat>(size.width, 30), kBarHeight});
  }
  return button_;
}

// --- Toolbar ---------------------------------------------------------------------

UIToolbar::UIToolbar(const CGRect& frame) : UIView(frame) {
  setBackgroundColor(UIColor::fromWhite(0.97, 0.94));
}

void UIToolbar::setItems(std::vector<std::shared_ptr<UIBarButtonItem>> items, bool animated) {
  (void)animated;
  for (auto& item : items_)
    if (auto v = item->barView(); v && v->superview().get() == this) v->removeFromSuperview();
  items_ = std::move(items);
  for (auto& item : items_)
    if (auto v = item->barView()) addSubview(v);
  setNeedsLayout();
}

void UIToolbar::layoutSubviews() {
  UIView::layoutSubviews();
  CGFloat width = bounds().width();
  CGFloat fixed = 0;
  int flexible = 0, placed = 0;
  for (auto& item : items_) {
    if (item->isFlexibleSpace()) {
      ++flexible;
    } else {
      fixed += itemWidth(*item);
      ++placed;
    }
  }
  CGFloat spacing = placed > 1 ? kItemSpacing * (placed - 1) : 0;
  CGFloat free = std::max<CGFloat>(0, width - 2 * kBarMargin - fixed - spacing);
  CGFloat share = flexible > 0 ? free / flexible : 0;
  CGFloat x = kBarMargin;
  CGFloat barHeight = std::min(bounds().height(), kBarHeight);
  for (auto& item : items_) {
    if (item->isFlexibleSpace()) {
      x += share;
      continue;
    }
    CGFloat w = itemWidth(*item);
    if (auto v = item->barView()) {
      CGFloat h = std::min(v->frame().height() > 0 ? v->frame().height() : barHeight, barHeight);
      v->setFrame({x, (barHeight - h) / 2, w, h});
    }
    x += w + kItemSpacing;
  }
}

// --- Navigation bar ----------------------------------------------------------------

UINavigationBar::UINavigationBar(const CGRect& frame) : UIView(frame) {
  setBackgroundColor(UIColor::fromWhite(0.97, 0.94));
  titleLabel_ = std::make_shared<UILabel>(CGRect{0, 0, 0, kBarHeight});
  titleLabel_->setFont(UIFont::systemFont(17, UIFontWeight::Semibold));
  titleLabel_->setTextAlignment(NSTextAlignment::Center);
}

void UINavigationBar::showItem(const UINavigationItem& item) {
  for (auto& v : left_) v->removeFromSuperview();
  for (auto& v : right_) v->removeFromSuperview();
  left_.clear();
  right_.clear();
  if (titleLabel_->superview().get() != this) addSubview(titleLabel_);
  titleLabel_->setText(item.title.value_or(""));
  for (auto& i : item.leftBarButtonItems)
    if (auto v = i->barView()) left_.push_back(v);
  for (auto& i : item.rightBarButtonItems)
    if (auto v = i->barView()) right_.push_back(v);
  for (auto& v : left_) addSubview(v);
  for (auto& v : right_) addSubview(v);
  setNeedsLayout();
}

void UINavigationBar::layoutSubviews() {
  UIView::layoutSubviews();
  CGFloat top = bounds().height() - kBarHeight;
  CGFloat x = kBarMargin;
  for (auto& v : left_) {
    CGFloat w = v->frame().width();
    v->setFrame({x, top, w, kBarHeight});
    x += w + kItemSpacing;
  }
  CGFloat right = bounds().width() - kBarMargin;
  for (auto& v : right_) {
    CGFloat w = v->frame().width();
    right -= w;
    v->setFrame({right, top, w, kBarHeight});
    right -= kItemSpacing;
  }
  CGFloat inset = std::max(x, bounds().width() - right);
  titleLabel_->setFrame({inset, top, std::max<CGFloat>(0, bounds().width() - 2 * inset), kBarHeight});
}

// --- Navigation controller -----------------------------------------------------------

UINavigationController::UINavigationController() {
  navigationBar_ = std::make_shared<UINavigationBar>();
  toolbar_ = std::make_shared<UIToolbar>();
  toolbar_->setHidden(true);
}

UINavigationController::UINavigationController(std::shared_ptr<UIViewController> rootViewController)
    : UINavigationController() {
  pendingRoot_ = std::move(rootViewController);
}

void UINavigationController::adoptPendingRoot() {
  if (!pendingRoot_ || weak_from_this().expired()) return;
  auto root = std::move(pendingRoot_);
  pendingRoot_.reset();
  addChildViewController(root);
  root->didMoveToParentViewController(shared_from_this());
}

const std::vector<std::shared_ptr<UIViewController>>& UINavigationController::viewControllers() {
  adoptPendingRoot();
  return childViewControllers();
}

std::shared_ptr<UIViewController> UINavigationController::topViewController() {
  auto& all = viewControllers();
  return all.empty() ? nullptr : all.back();
}

std::shared_ptr<UIViewController> UINavigationController::visibleViewController() {
  for (std::shared_ptr<UIViewController> vc = shared_from_this(); vc; vc = vc->parentViewController())
    if (auto presented = vc->presentedViewController()) return presented;
  return topViewController();
}

void UINavigationController::loadView() {
  adoptPendingRoot();
  auto v = std::make_shared<UIView>(UIScreen::mainScreen().bounds());
  v->setBackgroundColor(UIColor::systemBackgroundColor());
  setView(v);
  v->addSubview(navigationBar_);
  v->addSubview(toolbar_);
  if (auto top = topViewController()) v->insertSubview(top->view(), 0);
  updateBars();
}

void UINavigationController::viewDidLayoutSubviews() {
  auto v = viewIfLoaded();
  if (!v) return;
  CGRect b = v->bounds();
  UIEdgeInsets safe = v->safeAreaInsets();
  CGFloat top = 0, bottom = b.height();
  navigationBar_->setHidden(navigationBarHidden_);
  if (!navigationBarHidden_) {
    navigationBar_->setFrame({0, 0, b.width(), safe.top + kBarHeight});
    top = safe.top + kBarHeight;
  }
  toolbar_->setHidden(toolbarHidden_);
  if (!toolbarHidden_) {
    toolbar_->setFrame({0, b.height() - safe.bottom - kBarHeight, b.width(), safe.bottom + kBarHeight});
    bottom = b.height() - safe.bottom - kBarHeight;
  }
  if (auto topVC = topViewController(); topVC && topVC->isViewLoaded())
    topVC->viewIfLoaded()->setFrame({0, top, b.width(), std::max<CGFloat>(0, bottom - top)});
}

void UINavigationController::updateBars() {
  auto top = topViewController();
  navigationBar_->showItem(top ? top->navigationItem() : UINavigationItem{});
  toolbar_->setItems(top ? top->toolbarItems() : std::vector<std::shared_ptr<UIBarButtonItem>>{});
  if (auto v = viewIfLoaded()) v->setNeedsLayout();
}

void UINavigationController::showTop(const std::shared_ptr<UIViewController>& previous) {
  auto v = viewIfLoaded();
  if (v) {
    if (previous) {
      if (auto pv = previous->viewIfLoaded(); pv && pv->superview() == v) pv->removeFromSuperview();
    }
    if (auto top = topViewController()) v->insertSubviewBelow(top->view(), navigationBar_);
    v->setNeedsLayout();
    v->layoutIfNeeded();
  }
  updateBars();
}

void UINavigationController::pushViewController(const std::shared_ptr<UIViewController>& controller, bool animated) {
  (void)animated;
  adoptPendingRoot();
  if (!controller || controller->parentViewController()) return;
  auto previous = topViewController();
  addChildViewController(controller);
  controller->didMoveToParentViewController(shared_from_this());
  showTop(previous);
}

std::shared_ptr<UIViewController> UINavigationController::popViewControllerAnimated(bool animated) {
  (void)animated;
  if (viewControllers().size() <= 1) return nullptr;
  auto top = topViewController();
  top->willMoveToParentViewController(nullptr);
  if (auto tv = top->viewIfLoaded()) tv->removeFromSuperview();
  top->removeFromParentViewController();
  showTop(nullptr);
  return top;
}

void UINavigationController::setToolbarHidden(bool hidden, bool animated) {
  (void)animated;
  toolbarHidden_ = hidden;
  toolbar_->setHidden(hidden);
  if (auto v = viewIfLoaded()) v->setNeedsLayout();
}

void UINavigationController::setNavigationBarHidden(bool hidden, bool animated) {
  (void)animated;
  navigationBarHidden_ = hidden;
  if (auto v = viewIfLoaded()) v->setNeedsLayout();
}
