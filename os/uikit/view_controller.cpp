#include "os/uikit/view_controller.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <typeinfo>

#include "os/dispatch/queue.h"
#include "os/foundation/bundle.h"
#include "os/foundation/format.h"
#include "os/uikit/alert.h"
#include "os/uikit/application.h"
#include "os/uikit/table_view.h"

namespace {

constexpr size_t kPresentationLogLimit = 100;

std::vector<std::shared_ptr<UIViewController>>& presentationLog() {
  static auto& log = *new std::vector<std::shared_ptr<UIViewController>>();  // never destroyed
  return log;
}

void warn(const std::string& message) { std::fprintf(stderr, "Warning: %s\n", message.c_str()); }

std::string describe(const UIViewController* vc) {
  return os::format("<%@: %p>", typeid(*vc).name(), static_cast<const void*>(vc));
}

void runLater(std::function<void()> completion) {
  if (completion) os::DispatchQueue::main()->async(std::move(completion));
}

bool coversPresenter(UIModalPresentationStyle style) {
  return style == UIModalPresentationStyle::FullScreen || style == UIModalPresentationStyle::CurrentContext;
}

// --- Runtime classes -----------------------------------------------------------------

struct ClassBinding {
  std::type_index type;
  os::runtime::Class* cls;
  bool (*isInstance)(const UIViewController&);
};

struct ClassBindings {
  std::mutex mutex;
  std::vector<ClassBinding> all;  // guarded by mutex
};

ClassBindings& classBindings() {
  static auto& bindings = *new ClassBindings();  // never destroyed: registrations outlive static destructors
  return bindings;
}

template <class T>
void bindBuiltin(const char* name, const char* superclassName) {
  UIViewController::bindRuntimeClass(typeid(T), os::runtime::registerClass(name, superclassName),
                                     [](const UIViewController& vc) { return dynamic_cast<const T*>(&vc) != nullptr; });
}

// The C++ type's name without namespaces ("Screen" of "app::(anonymous
// namespace)::Screen"); template arguments are kept.
std::string unqualifiedTypeName(const std::type_info& type) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : type.name();
  std::free(demangled);
  size_t start = 0;
  int depth = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c == '<' || c == '(') ++depth;
    if (c == '>' || c == ')') --depth;
    if (depth == 0 && c == ':' && i + 1 < name.size() && name[i + 1] == ':') start = i + 2;
  }
  return name.substr(start);
}

}  // namespace

os::runtime::Class* UIViewController::baseRuntimeClass() {
  static os::runtime::Class* const cls = [] {
    os::runtime::registerClass("UIResponder", "NSObject");
    os::runtime::Class* c = os::runtime::registerClass(kUIViewControllerClassName, "UIResponder");
    // The base implementations do nothing.
    auto nothing = [](os::runtime::Object&, bool) {};
    c->addMethod(UIViewControllerSelector::viewDidAppear, os::runtime::makeInstanceImp<void, bool>(nothing));
    c->addMethod(UIViewControllerSelector::viewDidDisappear, os::runtime::makeInstanceImp<void, bool>(nothing));
    bindRuntimeClass(typeid(UIViewController), c, [](const UIViewController&) { return true; });
    bindBuiltin<UINavigationController>("UINavigationController", kUIViewControllerClassName);
    bindBuiltin<UITabBarController>("UITabBarController", kUIViewControllerClassName);
    bindBuiltin<UIPageViewController>("UIPageViewController", kUIViewControllerClassName);
    bindBuiltin<UITableViewController>("UITableViewController", kUIViewControllerClassName);
    bindBuiltin<UIAlertController>("UIAlertController", kUIViewControllerClassName);
    bindBuiltin<UIActivityViewController>("UIActivityViewController", kUIViewControllerClassName);
    return c;
  }();
  return cls;
}

namespace {
// Findable by name from the start; code that itself runs at static
// initialisation calls baseRuntimeClass() instead.
[[maybe_unused]] os::runtime::Class* const kBaseClassRegistered = UIViewController::baseRuntimeClass();
}  // namespace

void UIViewController::bindRuntimeClass(std::type_index type, os::runtime::Class* cls,
                                        bool (*isInstance)(const UIViewController&)) {
  auto& bindings = classBindings();
  std::lock_guard lock(bindings.mutex);
  for (auto& b : bindings.all)
    if (b.type == type) {
      b.cls = cls;
      b.isInstance = isInstance;
      return;
    }
  bindings.all.push_back({type, cls, isInstance});
}

os::runtime::Class* UIViewController::runtimeClass() {
  if (classResolved_) return getClass();
  classResolved_ = true;
  os::runtime::Class* base = baseRuntimeClass();
  if (getClass() != base) return getClass();  // switched by someone else: kept
  const std::type_index type(typeid(*this));
  os::runtime::Class* nearest = base;
  {
    auto& bindings = classBindings();
    std::lock_guard lock(bindings.mutex);
    for (auto& b : bindings.all) {
      if (b.type == type) {
        setClass(b.cls);
        return b.cls;
      }
      if (b.cls != nearest && b.cls->isSubclassOf(nearest) && b.isInstance(*this)) nearest = b.cls;
    }
  }
  os::runtime::Class* cls = os::runtime::registerClass(unqualifiedTypeName(typeid(*this)), nearest->name());
  setClass(cls);
  return cls;
}

UIViewController::UIViewController() : Object(baseRuntimeClass()) {}

UIViewController::~UIViewController() = default;

std::shared_ptr<UIViewController> UIViewController::shared_from_this() {
  return std::static_pointer_cast<UIViewController>(Object::shared_from_this());
}

std::shared_ptr<const UIViewController> UIViewController::shared_from_this() const {
  return std::static_pointer_cast<const UIViewController>(Object::shared_from_this());
}

std::weak_ptr<UIViewController> UIViewController::weak_from_this() {
  return std::static_pointer_cast<UIViewController>(Object::weak_from_this().lock());
}

std::weak_ptr<const UIViewController> UIViewController::weak_from_this() const {
  return std::static_pointer_cast<const UIViewController>(Object::weak_from_this().lock());
}

void UIViewController::callBaseImplementation(const char* selector, bool animated) {
  os::runtime::Imp imp = baseRuntimeClass()->instanceMethod(selector);
  if (auto fn = imp.as<UIViewControllerAppearanceImp>()) {
    (*fn)(*this, animated);
  } else if (imp) {
    warn(os::format("-[UIViewController %@] has an implementation of another signature; not called", selector));
  }
}

void UIViewController::viewDidAppear(bool animated) {
  callBaseImplementation(UIViewControllerSelector::viewDidAppear, animated);
}

void UIViewController::viewDidDisappear(bool animated) {
  callBaseImplementation(UIViewControllerSelector::viewDidDisappear, animated);
}

// --- View ------------------------------------------------------------------------

std::shared_ptr<UIView> UIViewController::view() {
  if (!view_ && !loadingView_) {
    loadingView_ = true;
    loadView();
    if (!view_) setView(std::make_shared<UIView>(UIScreen::mainScreen().bounds()));
    loadingView_ = false;
    runtimeClass();
    viewDidLoad();
  }
  return view_;
}

void UIViewController::setView(std::shared_ptr<UIView> view) {
  if (view_ && view_->viewController_.lock().get() == this) view_->viewController_.reset();
  view_ = std::move(view);
  if (view_) view_->viewController_ = weak_from_this();
}

void UIViewController::loadView() {
  auto v = std::make_shared<UIView>(UIScreen::mainScreen().bounds());
  v->setBackgroundColor(UIColor::systemBackgroundColor());
  setView(v);
}

void UIViewController::viewWillTransitionToSize(CGSize size, UIViewControllerTransitionCoordinator& coordinator) {
  auto children = children_;
  for (auto& child : children) child->viewWillTransitionToSize(size, coordinator);
}

UITraitCollection UIViewController::traitCollection() const {
  if (view_) return view_->traitCollection();
  if (auto key = UIApplication::sharedApplication()->keyWindow()) return key->windowTraitCollection();
  return {};
}

void UIViewController::viewDidEnterWindow(bool animated) {
  if (appearance_ == Appearance::Appeared) return;
  runtimeClass();
  viewWillAppear(animated);
  appearance_ = Appearance::Appeared;
  viewDidAppear(animated);
}

void UIViewController::viewDidLeaveWindow(bool animated) {
  if (appearance_ == Appearance::Disappeared) return;
  viewWillDisappear(animated);
  appearance_ = Appearance::Disappeared;
  viewDidDisappear(animated);
}

void UIViewController::setTitle(std::optional<std::string> title) {
  title_ = title;
  navigationItem_.title = std::move(title);
  if (auto nav = navigationController(); nav && nav.get() != this) nav->updateBars();
}

// --- Containment -------------------------------------------------------------------

void UIViewController::addChildViewController(const std::shared_ptr<UIViewController>& child) {
  if (!child || child.get() == this) return;
  for (auto p = parentViewController(); p; p = p->parentViewController())
    if (p == child) {
      warn("refused to add an ancestor as a child view controller");
      return;
    }
  if (child->parentViewController().get() == this) return;
  auto self = shared_from_this();
  if (child->parentViewController()) child->removeFromParentViewController();
  child->willMoveToParentViewController(self);
  children_.push_back(child);
  child->parent_ = self;
}

void UIViewController::removeFromParentViewController() {
  auto parent = parentViewController();
  if (!parent) return;
  auto self = shared_from_this();
  std::erase(parent->children_, self);
  parent_.reset();
  didMoveToParentViewController(nullptr);
}

// --- Presentation ------------------------------------------------------------------

std::shared_ptr<UIViewController> UIViewController::presentationContext() {
  auto vc = shared_from_this();
  while (auto p = vc->parentViewController()) vc = p;
  return vc;
}

std::shared_ptr<UIPopoverPresentationController> UIViewController::popoverPresentationController() {
  if (presentationStyle_ != UIModalPresentationStyle::Popover) return nullptr;
  if (!popover_) popover_ = std::make_shared<UIPopoverPresentationController>();
  return popover_;
}

void UIViewController::presentViewController(const std::shared_ptr<UIViewController>& controller, bool animated,
                                             std::function<void()> completion) {
  (void)animated;
  if (!controller) return;
  if (weak_from_this().expired()) {
    warn("a view controller not held by a shared_ptr cannot present");
    return;
  }
  auto context = presentationContext();
  if (context->presented_) {
    warn(os::format("Attempt to present %@ on %@ which is already presenting %@", describe(controller.get()),
                    describe(context.get()), describe(context->presented_.get())));
    return;
  }
  if (controller == context || controller->presentingViewController() || controller->parentViewController()) {
    warn(os::format("Attempt to present %@ which is already presented or a child", describe(controller.get())));
    return;
  }
  auto window = context->view_ ? context->view_->window() : nullptr;
  if (!window) {
    warn(os::format("Attempt to present %@ on %@ whose view is not in the window hierarchy",
                    describe(controller.get()), describe(context.get())));
    return;
  }
  if (controller->presentationStyle_ == UIModalPresentationStyle::Popover &&
      UIDevice::currentDevice()->userInterfaceIdiom() == UIUserInterfaceIdiom::Pad) {
    auto popover = controller->popoverPresentationController();
    if (!popover->hasAnchor()) {
      warn(os::format("%@ is a popover without a sourceView or barButtonItem; not presented",
                      describe(controller.get())));
      return;
    }
  }

  context->presented_ = controller;
  controller->presenting_ = context;
  auto& log = presentationLog();
  log.push_back(controller);
  if (log.size() > kPresentationLogLimit) log.erase(log.begin());

  if (coversPresenter(controller->presentationStyle_)) context->view_->removeFromSuperview();
  controller->beingPresented_ = true;
  auto v = controller->view();
  v->setFrame(window->bounds());
  v->setAutoresizingMask(UIViewAutoresizing::FlexibleWidth | UIViewAutoresizing::FlexibleHeight);
  window->addSubview(v);
  window->layoutIfNeeded();
  controller->beingPresented_ = false;
  runLater(std::move(completion));
}

void UIViewController::finishDismissal(bool animated) {
  auto first = presented_;
  if (!first) return;
  std::vector<std::shared_ptr<UIViewController>> chain;
  for (auto c = first; c; c = c->presented_) chain.push_back(c);
  auto window = first->view_ ? first->view_->window() : nullptr;
  size_t index = 0;
  if (window) {
    auto& subs = window->subviews();
    index = static_cast<size_t>(std::find(subs.begin(), subs.end(), first->view_) - subs.begin());
  }
  // Top down: each sheet leaves, then the presenter comes back in its place.
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    auto& c = *it;
    if (c->view_) {
      if (c->view_->superview()) {
        c->view_->removeFromSuperview();
      } else {
        c->viewDidLeaveWindow(animated);
      }
    }
    c->presented_.reset();
    c->presenting_.reset();
  }
  presented_.reset();
  if (window && view_ && !view_->superview()) {
    view_->setFrame(window->bounds());
    window->insertSubview(view_, std::min(index, window->subviews().size()));
    window->layoutIfNeeded();
  }
}

void UIViewController::dismissViewControllerAnimated(bool animated, std::function<void()> completion) {
  if (weak_from_this().expired()) return runLater(std::move(completion));
  auto context = presentationContext();
  if (context->presented_) {
    context->finishDismissal(animated);
  } else if (auto presenter = context->presentingViewController()) {
    presenter->finishDismissal(animated);
  }
  runLater(std::move(completion));
}

bool UIViewController::TEST_swipeDown() {
  auto presenter = presentingViewController();
  if (!presenter || modalInPresentation_ || coversPresenter(presentationStyle_) ||
      presentationStyle_ == UIModalPresentationStyle::OverFullScreen)
    return false;
  presenter->dismissViewControllerAnimated(true);
  return true;
}

// --- Navigation, toolbar -----------------------------------------------------------

std::shared_ptr<UINavigationController> UIViewController::navigationController() {
  for (auto vc = weak_from_this().lock(); vc; vc = vc->parentViewController())
    if (auto nav = std::dynamic_pointer_cast<UINavigationController>(vc)) return nav;
  return nullptr;
}

void UIViewController::setToolbarItems(std::vector<std::shared_ptr<UIBarButtonItem>> items, bool animated) {
  (void)animated;
  toolbarItems_ = std::move(items);
  if (weak_from_this().expired()) return;
  if (auto nav = navigationController(); nav && nav.get() != this) nav->updateBars();
}

// --- Segues ------------------------------------------------------------------------

os::Status UIViewController::performSegueWithIdentifier(const std::string& identifier, const void* sender) {
  auto self = weak_from_this().lock();
  auto board = storyboard();
  if (!board) board = UIStoryboard::mainStoryboard();
  if (!self)
    return os::fail(os::Error::withDescription(os::kInvalidArgumentException, 0,
                                               "A view controller not held by a shared_ptr cannot perform segues."));
  auto segue = board->makeSegue(identifier, self);
  if (!segue) return os::fail(segue.error());
  prepareForSegue(**segue, sender);
  (*segue)->perform();
  return {};
}

os::Status UIViewController::TEST_triggerSegue(const std::string& identifier, const void* sender) {
  if (!shouldPerformSegueWithIdentifier(identifier, sender)) return {};
  return performSegueWithIdentifier(identifier, sender);
}

// --- Tests -------------------------------------------------------------------------

std::vector<std::shared_ptr<UIViewController>> UIViewController::TEST_presentationLog() { return presentationLog(); }

void UIViewController::TEST_clearPresentationLog() { presentationLog().clear(); }

std::shared_ptr<UIViewController> UIViewController::TEST_topPresentedViewController() {
  auto key = UIApplication::sharedApplication()->keyWindow();
  auto vc = key ? key->rootViewController() : nullptr;
  while (vc && vc->presentedViewController()) vc = vc->presentedViewController();
  return vc;
}

// --- Segue, storyboard -------------------------------------------------------------

UIStoryboardSegue::UIStoryboardSegue(std::string identifier, std::shared_ptr<UIViewController> source,
                                     std::shared_ptr<UIViewController> destination)
    : identifier_(std::move(identifier)), source_(std::move(source)), destination_(std::move(destination)) {}

void UIStoryboardSegue::perform() {
  if (!source_ || !destination_) return;
  if (auto nav = source_->navigationController()) {
    nav->pushViewController(destination_, true);
  } else {
    source_->presentViewController(destination_, true);
  }
}

void UIStoryboardModalSegue::perform() {
  if (sourceViewController() && destinationViewController())
    sourceViewController()->presentViewController(destinationViewController(), true);
}

namespace {
std::map<std::string, std::shared_ptr<UIStoryboard>>& storyboards() {
  static auto& boards = *new std::map<std::string, std::shared_ptr<UIStoryboard>>();  // never destroyed
  return boards;
}
}  // namespace

std::shared_ptr<UIStoryboard> UIStoryboard::storyboardWithName(const std::string& name) {
  auto& slot = storyboards()[name];
  if (!slot) slot = std::make_shared<UIStoryboard>(name);
  return slot;
}

std::shared_ptr<UIStoryboard> UIStoryboard::mainStoryboard() {
  std::string name = "Main";
  if (auto bundle = os::Bundle::mainBundle()) {
    auto value = bundle->objectForInfoDictionaryKey("UIMainStoryboardFile");
    if (auto* s = value.string(); s && !s->empty()) name = *s;
  }
  return storyboardWithName(name);
}

void UIStoryboard::TEST_reset() { storyboards().clear(); }

void UIStoryboard::registerViewController(const std::string& identifier, ControllerFactory factory) {
  controllers_[identifier] = std::move(factory);
}

void UIStoryboard::registerSegue(const std::string& identifier, SegueFactory factory) {
  segues_[identifier] = std::move(factory);
}

void UIStoryboard::registerShowSegue(const std::string& identifier, ControllerFactory destination) {
  registerSegue(identifier, [this, destination](const std::string& id, const std::shared_ptr<UIViewController>& src) {
    return std::make_shared<UIStoryboardSegue>(id, src, adopt(destination()));
  });
}

void UIStoryboard::registerModalSegue(const std::string& identifier, ControllerFactory destination) {
  registerSegue(identifier, [this, destination](const std::string& id, const std::shared_ptr<UIViewController>& src) {
    return std::make_shared<UIStoryboardModalSegue>(id, src, adopt(destination()));
  });
}

std::shared_ptr<UIViewController> UIStoryboard::adopt(std::shared_ptr<UIViewController> vc) {
  if (vc) vc->setStoryboard(shared_from_this());
  return vc;
}

std::shared_ptr<UIViewController> UIStoryboard::instantiateInitialViewController() {
  return initial_ ? adopt(initial_()) : nullptr;
}

os::Result<std::shared_ptr<UIViewController>> UIStoryboard::instantiateViewControllerWithIdentifier(
    const std::string& identifier) {
  auto it = controllers_.find(identifier);
  std::shared_ptr<UIViewController> vc = it != controllers_.end() && it->second ? it->second() : nullptr;
  if (!vc)
    return os::fail(os::Error::withDescription(
        os::kInvalidArgumentException, 0,
        os::format("Storyboard (%@) doesn't contain a view controller with identifier '%@'", name_, identifier)));
  return adopt(vc);
}

os::Result<std::shared_ptr<UIStoryboardSegue>> UIStoryboard::makeSegue(const std::string& identifier,
                                                                        const std::shared_ptr<UIViewController>& source) {
  auto it = segues_.find(identifier);
  std::shared_ptr<UIStoryboardSegue> segue = it != segues_.end() && it->second ? it->second(identifier, source) : nullptr;
  if (!segue)
    return os::fail(os::Error::withDescription(
        os::kInvalidArgumentException, 0,
        os::format("Receiver (%@) has no segue with identifier '%@'", describe(source.get()), identifier)));
  return segue;
}
