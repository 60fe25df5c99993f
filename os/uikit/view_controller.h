// View controllers: life cycle, containment, presentation, segues, the
// storyboard stand-in, and the navigation container with its bars.
//
// Life cycle. `view()` loads the view on first use (loadView, then
// viewDidLoad). Appearance follows the window: when a controller's view
// enters a visible window (as the root's view, a presented controller's view,
// or a child's view added to a parent that is on screen) the controller gets
// viewWillAppear then viewDidAppear; when it leaves, viewWillDisappear then
// viewDidDisappear. Each pair is delivered once per transition. A layout pass
// of the view is bracketed by viewWillLayoutSubviews/viewDidLayoutSubviews,
// and trait changes of the window reach traitCollectionDidChange.
//
// Presentation. presentViewController is carried out by the root of the
// presenter's containment (its presentation context) and is refused, with a
// warning on standard error and without calling the completion, when that
// controller's view is not in a window, when it already presents one, or for
// a popover without an anchor. The presented view is added to the window at
// once, above everything, filling it; a full-screen presentation removes the
// presenter's view from the window until dismissal (so the presenter
// disappears and reappears). The completion of present and dismiss runs on
// the next turn of the main queue, animated or not. Every presentation is
// logged for tests (TEST_presentationLog).
//
// The runtime. A view controller is an object of the runtime (os/runtime),
// so SDK code can ask for its class, attach associated objects to it (keyed
// by its address) and replace methods of the class "UIViewController":
//  - viewDidAppear: and viewDidDisappear: of the class "UIViewController"
//    (implementations of the signature UIViewControllerAppearanceImp) are
//    what the base functions UIViewController::viewDidAppear and
//    viewDidDisappear run. UIKit calls the virtual functions; an override in
//    a subclass runs first and reaches the table when it calls the base, as
//    a subclass calls super. So one replacement in the table wraps every
//    controller, overrides included (those that call the base).
//  - The runtime class (runtimeClass) is the class registered for the
//    controller's C++ type (UIViewControllerRegistration, which can name the
//    bundle the class comes from), else a class made on first use and named
//    after the C++ type (its name without namespaces), whose superclass is
//    the class of the nearest registered C++ base. It is resolved when the
//    view loads or the controller appears, whichever comes first (getClass()
//    answers "UIViewController" before that).
//
// Containers. UINavigationController, UITabBarController and
// UIPageViewController keep their controllers as children; only the one they
// show (the top, the selected tab, the current pages) has its view in the
// container's view, the others have none there.
//
// Main thread only.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <typeindex>
#include <vector>

#include "os/foundation/error.h"
#include "os/runtime/runtime.h"
#include "os/uikit/controls.h"
#include "os/uikit/view.h"

class UIViewController;
class UINavigationController;
class UITabBarController;
class UIPageViewController;
class UIStoryboard;
class UIStoryboardSegue;
class UIBarButtonItem;

enum class UIModalPresentationStyle {
  Automatic = -2, None = -1, FullScreen = 0, PageSheet = 1, FormSheet = 2, CurrentContext = 3, Custom = 4,
  OverFullScreen = 5, OverCurrentContext = 6, Popover = 7
};
enum class UIStatusBarStyle { Default = 0, LightContent = 1, DarkContent = 3 };

// Where a popover points (the platform requires a source view, a source
// rectangle's view or a bar item).
class UIPopoverPresentationController {
 public:
  std::shared_ptr<UIView> sourceView() const { return sourceView_.lock(); }
  void setSourceView(const std::shared_ptr<UIView>& view) { sourceView_ = view; }
  CGRect sourceRect() const { return sourceRect_; }
  void setSourceRect(const CGRect& rect) { sourceRect_ = rect; }
  std::shared_ptr<UIBarButtonItem> barButtonItem() const { return barButtonItem_.lock(); }
  void setBarButtonItem(const std::shared_ptr<UIBarButtonItem>& item) { barButtonItem_ = item; }
  bool hasAnchor() const { return sourceView() || barButtonItem(); }

 private:
  std::weak_ptr<UIView> sourceView_;
  CGRect sourceRect_;
  std::weak_ptr<UIBarButtonItem> barButtonItem_;
};

// Handed to viewWillTransitionToSize; the headless transition has no
// animation, so alongside-blocks run at once.
class UIViewControllerTransitionCoordinator {
 public:
  bool animateAlongsideTransition(const std::function<void()>& animation, const std::function<void()>& completion) {
    if (animation) animation();
    if (completion) completion();
    return true;
  }
  bool isAnimated() const { return false; }
  double transitionDuration() const { return 0; }
};

// A bar item: a flexible or fixed space, a custom view, or a titled/imaged
// button with an action.
enum class UIBarButtonSystemItem { Done = 0, Cancel = 1, Edit = 2, FlexibleSpace = 5, FixedSpace = 6, Close = 24 };

class UIBarButtonItem : public std::enable_shared_from_this<UIBarButtonItem> {
 public:
  using Action = std::function<void(UIBarButtonItem&)>;
  explicit UIBarButtonItem(UIBarButtonSystemItem systemItem, Action action = {});
  UIBarButtonItem(std::string title, Action action);
  UIBarButtonItem(std::shared_ptr<UIImage> image, Action action);
  explicit UIBarButtonItem(std::shared_ptr<UIView> customView);
  static std::shared_ptr<UIBarButtonItem> flexibleSpaceItem() {
    return std::make_shared<UIBarButtonItem>(UIBarButtonSystemItem::FlexibleSpace);
  }

  std::optional<UIBarButtonSystemItem> systemItem() const { return systemItem_; }
  const std::optional<std::string>& title() const { return title_; }
  const std::shared_ptr<UIImage>& image() const { return image_; }
  const std::shared_ptr<UIView>& customView() const { return customView_; }
  CGFloat width() const { return width_; }
  void setWidth(CGFloat w) { width_ = w; }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool on) { enabled_ = on; }
  bool isFlexibleSpace() const { return systemItem_ == UIBarButtonSystemItem::FlexibleSpace; }
  // What a tap on the item does (nothing for spaces and custom views).
  void TEST_tap();
  // The view that shows the item in its bar (the custom view, or a button).
  std::shared_ptr<UIView> barView();

 private:
  std::optional<UIBarButtonSystemItem> systemItem_;
  std::optional<std::string> title_;
  std::shared_ptr<UIImage> image_;
  std::shared_ptr<UIView> customView_;
  std::shared_ptr<UIButton> button_;
  Action action_;
  CGFloat width_ = 0;
  bool enabled_ = true;
};

// A bar of items laid out left to right; flexible spaces share what is left.
class UIToolbar : public UIView {
 public:
  explicit UIToolbar(const CGRect& frame = {});
  const std::vector<std::shared_ptr<UIBarButtonItem>>& items() const { return items_; }
  void setItems(std::vector<std::shared_ptr<UIBarButtonItem>> items, bool animated = false);
  void layoutSubviews() override;
  CGSize sizeThatFits(CGSize size) const override { return {size.width, 44}; }

 private:
  std::vector<std::shared_ptr<UIBarButtonItem>> items_;
};

struct UINavigationItem {
  std::optional<std::string> title;
  std::vector<std::shared_ptr<UIBarButtonItem>> leftBarButtonItems;
  std::vector<std::shared_ptr<UIBarButtonItem>> rightBarButtonItems;
};

// Shows the top controller's title and its bar items.
class UINavigationBar : public UIView {
 public:
  explicit UINavigationBar(const CGRect& frame = {});
  void showItem(const UINavigationItem& item);
  const std::shared_ptr<UILabel>& titleLabel() const { return titleLabel_; }
  void layoutSubviews() override;

 private:
  std::shared_ptr<UILabel> titleLabel_;
  std::vector<std::shared_ptr<UIView>> left_, right_;
};

inline constexpr const char* kUIViewControllerClassName = "UIViewController";
namespace UIViewControllerSelector {
inline constexpr const char* viewDidAppear = "viewDidAppear:";
inline constexpr const char* viewDidDisappear = "viewDidDisappear:";
}  // namespace UIViewControllerSelector
// The signature of both appearance methods in the runtime's method table.
using UIViewControllerAppearanceImp = void(os::runtime::Object&, bool);

class UIViewController : public os::runtime::Object {
 public:
  UIViewController();
  ~UIViewController() override;
  template <class T = UIViewController, class... Args>
  static std::shared_ptr<T> make(Args&&... args) {
    return std::make_shared<T>(std::forward<Args>(args)...);
  }
  // The runtime object's ownership, typed for controllers.
  std::shared_ptr<UIViewController> shared_from_this();
  std::shared_ptr<const UIViewController> shared_from_this() const;
  std::weak_ptr<UIViewController> weak_from_this();
  std::weak_ptr<const UIViewController> weak_from_this() const;

  // ---- Runtime ----
  // The registered class "UIViewController", whose method table holds the
  // base implementations of the appearance methods. Registered at static
  // initialisation; code that runs at static initialisation itself (a class
  // load hook) calls this rather than finding the class by name.
  static os::runtime::Class* baseRuntimeClass();
  // This controller's class, resolved now if it was not yet (see the top of
  // this file). A class switched with setClass before that is kept.
  os::runtime::Class* runtimeClass();
  // Internal (UIViewControllerRegistration): the class of a C++ type.
  static void bindRuntimeClass(std::type_index type, os::runtime::Class* cls,
                               bool (*isInstance)(const UIViewController&));

  // ---- View ----
  // Loads the view when needed.
  std::shared_ptr<UIView> view();
  std::shared_ptr<UIView> viewIfLoaded() const { return view_; }
  bool isViewLoaded() const { return view_ != nullptr; }
  void loadViewIfNeeded() { (void)view(); }
  // Before loading: the view to use instead of loadView's.
  void setView(std::shared_ptr<UIView> view);
  // The default makes a plain view the size of the screen.
  virtual void loadView();
  virtual void viewDidLoad() {}
  virtual void viewWillAppear(bool animated) { (void)animated; }
  // These two run the implementation in the method table of the class
  // "UIViewController" (see the top of this file).
  virtual void viewDidAppear(bool animated);
  virtual void viewWillDisappear(bool animated) { (void)animated; }
  virtual void viewDidDisappear(bool animated);
  virtual void viewWillLayoutSubviews() {}
  virtual void viewDidLayoutSubviews() {}
  virtual void traitCollectionDidChange(const UITraitCollection& previous) { (void)previous; }
  // Called before the window changes size; the default passes it on to the
  // children.
  virtual void viewWillTransitionToSize(CGSize size, UIViewControllerTransitionCoordinator& coordinator);
  UITraitCollection traitCollection() const;
  virtual UIStatusBarStyle preferredStatusBarStyle() const { return UIStatusBarStyle::Default; }
  // Whether the controller is between viewDidAppear and viewWillDisappear.
  bool isOnScreen() const { return appearance_ == Appearance::Appeared; }

  const std::optional<std::string>& title() const { return title_; }
  void setTitle(std::optional<std::string> title);
  UINavigationItem& navigationItem() { return navigationItem_; }

  // ---- Containment ----
  const std::vector<std::shared_ptr<UIViewController>>& childViewControllers() const { return children_; }
  std::shared_ptr<UIViewController> parentViewController() const { return parent_.lock(); }
  // Adds a child (calls willMoveToParentViewController with this); adding
  // this controller or an ancestor of it is refused.
  void addChildViewController(const std::shared_ptr<UIViewController>& child);
  // Removes this from its parent (calls didMoveToParentViewController(null)).
  void removeFromParentViewController();
  virtual void willMoveToParentViewController(const std::shared_ptr<UIViewController>& parent) { (void)parent; }
  virtual void didMoveToParentViewController(const std::shared_ptr<UIViewController>& parent) { (void)parent; }

  // ---- Presentation ----
  void presentViewController(const std::shared_ptr<UIViewController>& controller, bool animated,
                             std::function<void()> completion = {});
  // Dismisses what this controller presents (with everything above it), or,
  // when it presents nothing, this controller from its presenter. The
  // completion also runs when there is nothing to dismiss.
  void dismissViewControllerAnimated(bool animated, std::function<void()> completion = {});
  std::shared_ptr<UIViewController> presentedViewController() const { return presented_; }
  std::shared_ptr<UIViewController> presentingViewController() const { return presenting_.lock(); }
  // True while this controller is being presented: from the presentation's
  // start until its viewDidAppear has returned.
  bool isBeingPresented() const { return beingPresented_; }
  UIModalPresentationStyle modalPresentationStyle() const { return presentationStyle_; }
  void setModalPresentationStyle(UIModalPresentationStyle style) { presentationStyle_ = style; }
  bool isModalInPresentation() const { return modalInPresentation_; }
  void setModalInPresentation(bool on) { modalInPresentation_ = on; }
  // Present only when the style is popover.
  std::shared_ptr<UIPopoverPresentationController> popoverPresentationController();
  // The user swipes the presented sheet down: dismissed unless it is full
  // screen or modal in presentation. Returns whether it went.
  bool TEST_swipeDown();

  // ---- Navigation and toolbar ----
  // The nearest navigation controller among the ancestors (or this).
  std::shared_ptr<UINavigationController> navigationController();
  const std::vector<std::shared_ptr<UIBarButtonItem>>& toolbarItems() const { return toolbarItems_; }
  void setToolbarItems(std::vector<std::shared_ptr<UIBarButtonItem>> items, bool animated = false);

  // ---- Segues ----
  // Looks the segue up in this controller's storyboard (else the main one),
  // makes it, calls prepareForSegue and performs it. An unknown identifier
  // is an error (NSInvalidArgumentException's text in the description).
  // `sender` is identity only.
  os::Status performSegueWithIdentifier(const std::string& identifier, const void* sender);
  virtual void prepareForSegue(UIStoryboardSegue& segue, const void* sender) { (void)segue, (void)sender; }
  // Asked only for segues a control triggers (TEST_triggerSegue), as on the
  // platform: programmatic performSegue does not ask.
  virtual bool shouldPerformSegueWithIdentifier(const std::string& identifier, const void* sender) {
    (void)identifier, (void)sender;
    return true;
  }
  // Fires the segue as a control wired to it would (tests and the program
  // press it in place of a user).
  os::Status TEST_triggerSegue(const std::string& identifier, const void* sender);
  std::shared_ptr<UIStoryboard> storyboard() const { return storyboard_.lock(); }
  void setStoryboard(const std::shared_ptr<UIStoryboard>& storyboard) { storyboard_ = storyboard; }

  // ---- Tests ----
  // Every controller presented since the last clear, oldest first (at most
  // the last 100).
  static std::vector<std::shared_ptr<UIViewController>> TEST_presentationLog();
  static void TEST_clearPresentationLog();
  // The controller on top of the key window: its root's presented chain.
  static std::shared_ptr<UIViewController> TEST_topPresentedViewController();

  // Internal to os/uikit: the view entered or left a visible window.
  void viewDidEnterWindow(bool animated);
  void viewDidLeaveWindow(bool animated);

 private:
  enum class Appearance { Disappeared, Appeared };
  std::shared_ptr<UIViewController> presentationContext();
  void finishDismissal(bool animated);
  void callBaseImplementation(const char* selector, bool animated);

  std::shared_ptr<UIView> view_;
  std::optional<std::string> title_;
  UINavigationItem navigationItem_;
  std::vector<std::shared_ptr<UIViewController>> children_;
  std::weak_ptr<UIViewController> parent_;
  std::shared_ptr<UIViewController> presented_;
  std::weak_ptr<UIViewController> presenting_;
  UIModalPresentationStyle presentationStyle_ = UIModalPresentationStyle::Automatic;
  std::shared_ptr<UIPopoverPresentationController> popover_;
  bool modalInPresentation_ = false;
  std::vector<std::shared_ptr<UIBarButtonItem>> toolbarItems_;
  std::weak_ptr<UIStoryboard> storyboard_;
  Appearance appearance_ = Appearance::Disappeared;
  bool loadingView_ = false;
  bool beingPresented_ = false;
  bool classResolved_ = false;
};

// Registers the runtime class of the view-controller type T at static
// initialisation: `name` under `superclassName`, coming from the bundle
// `bundleName` ("" for the main bundle, the app's own classes; a system
// framework's name for the platform's private classes), with a factory when
// T is default-constructible. Controllers of type T then have that class.
template <class T>
class UIViewControllerRegistration {
 public:
  explicit UIViewControllerRegistration(const std::string& name,
                                        const std::string& superclassName = kUIViewControllerClassName,
                                        const std::string& bundleName = {})
      : registration_(name, superclassName, [bundleName](os::runtime::Class& c) {
          if (!bundleName.empty()) c.setBundleName(bundleName);
          if constexpr (std::is_default_constructible_v<T>) {
            c.setFactory([]() -> std::shared_ptr<os::runtime::Object> {
              auto controller = std::make_shared<T>();
              controller->runtimeClass();
              return controller;
            });
          }
        }) {
    UIViewController::bindRuntimeClass(typeid(T), registration_.cls(), [](const UIViewController& vc) {
      return dynamic_cast<const T*>(&vc) != nullptr;
    });
  }
  os::runtime::Class* cls() const { return registration_.cls(); }

 private:
  os::runtime::ClassRegistration registration_;
};

// A navigation stack with its bar on top and an optional toolbar at the
// bottom showing the top controller's toolbarItems.
class UINavigationController : public UIViewController {
 public:
  UINavigationController();
  // The root becomes the first child on first use of the container (a
  // constructor cannot hand out references to the object it builds).
  explicit UINavigationController(std::shared_ptr<UIViewController> rootViewController);

  const std::vector<std::shared_ptr<UIViewController>>& viewControllers();
  std::shared_ptr<UIViewController> topViewController();
  // What the user sees of the stack: the controller presented over it (by
  // this controller or one of its ancestors), else the top controller.
  std::shared_ptr<UIViewController> visibleViewController();
  void pushViewController(const std::shared_ptr<UIViewController>& controller, bool animated);
  // Refused (null) for the root.
  std::shared_ptr<UIViewController> popViewControllerAnimated(bool animated);

  const std::shared_ptr<UINavigationBar>& navigationBar() const { return navigationBar_; }
  const std::shared_ptr<UIToolbar>& toolbar() const { return toolbar_; }
  bool isToolbarHidden() const { return toolbarHidden_; }
  void setToolbarHidden(bool hidden, bool animated = false);
  bool isNavigationBarHidden() const { return navigationBarHidden_; }
  void setNavigationBarHidden(bool hidden, bool animated = false);

  void loadView() override;
  void viewDidLayoutSubviews() override;
  // Internal: refreshes the bars from the top controller.
  void updateBars();

 private:
  void adoptPendingRoot();
  void showTop(const std::shared_ptr<UIViewController>& previous);
  std::shared_ptr<UIViewController> pendingRoot_;
  std::shared_ptr<UINavigationBar> navigationBar_;
  std::shared_ptr<UIToolbar> toolbar_;
  bool toolbarHidden_ = true;
  bool navigationBarHidden_ = false;
};

// A row of tabs: every controller is a child; the selected one's view fills
// the container's view (no bar is drawn).
class UITabBarController : public UIViewController {
 public:
  static constexpr size_t kNotFound = static_cast<size_t>(-1);

  const std::vector<std::shared_ptr<UIViewController>>& viewControllers() const { return childViewControllers(); }
  // Replaces the tabs (controllers already in another container are
  // skipped) and selects the first.
  void setViewControllers(std::vector<std::shared_ptr<UIViewController>> controllers, bool animated = false);
  std::shared_ptr<UIViewController> selectedViewController() const;
  // Ignored for a controller that is not one of the tabs.
  void setSelectedViewController(const std::shared_ptr<UIViewController>& controller);
  // kNotFound without tabs.
  size_t selectedIndex() const { return selected_; }
  // Ignored for an index past the tabs.
  void setSelectedIndex(size_t index);

  void loadView() override;
  void viewDidLayoutSubviews() override;

 private:
  void show(const std::shared_ptr<UIViewController>& previous);
  size_t selected_ = kNotFound;
};

enum class UIPageViewControllerTransitionStyle { PageCurl = 0, Scroll = 1 };
enum class UIPageViewControllerNavigationOrientation { Horizontal = 0, Vertical = 1 };
enum class UIPageViewControllerNavigationDirection { Forward = 0, Reverse = 1 };

// Pages shown one at a time (no data source: the app sets the pages). The
// pages shown are children whose views fill the container's view.
class UIPageViewController : public UIViewController {
 public:
  explicit UIPageViewController(
      UIPageViewControllerTransitionStyle style = UIPageViewControllerTransitionStyle::Scroll,
      UIPageViewControllerNavigationOrientation orientation = UIPageViewControllerNavigationOrientation::Horizontal);

  UIPageViewControllerTransitionStyle transitionStyle() const { return style_; }
  UIPageViewControllerNavigationOrientation navigationOrientation() const { return orientation_; }
  // The pages shown, first the current one.
  const std::vector<std::shared_ptr<UIViewController>>& viewControllers() const { return pages_; }
  // Shows the pages instead of the current ones (controllers already in
  // another container are skipped); the completion runs on the next turn of
  // the main queue with finished = true.
  void setViewControllers(std::vector<std::shared_ptr<UIViewController>> controllers,
                          UIPageViewControllerNavigationDirection direction, bool animated,
                          std::function<void(bool finished)> completion = {});

  void loadView() override;
  void viewDidLayoutSubviews() override;

 private:
  UIPageViewControllerTransitionStyle style_;
  UIPageViewControllerNavigationOrientation orientation_;
  std::vector<std::shared_ptr<UIViewController>> pages_;
};

// ---- Segues and storyboards ----

class UIStoryboardSegue {
 public:
  UIStoryboardSegue(std::string identifier, std::shared_ptr<UIViewController> source,
                    std::shared_ptr<UIViewController> destination);
  virtual ~UIStoryboardSegue() = default;
  const std::string& identifier() const { return identifier_; }
  std::shared_ptr<UIViewController> sourceViewController() const { return source_; }
  std::shared_ptr<UIViewController> destinationViewController() const { return destination_; }
  // The default "show": pushed when the source is in a navigation stack,
  // else presented (animated).
  virtual void perform();

 private:
  std::string identifier_;
  std::shared_ptr<UIViewController> source_, destination_;
};

// Presents the destination modally, animated.
class UIStoryboardModalSegue : public UIStoryboardSegue {
 public:
  using UIStoryboardSegue::UIStoryboardSegue;
  void perform() override;
};

class UIStoryboard : public std::enable_shared_from_this<UIStoryboard> {
 public:
  using ControllerFactory = std::function<std::shared_ptr<UIViewController>()>;
  using SegueFactory = std::function<std::shared_ptr<UIStoryboardSegue>(
      const std::string& identifier, const std::shared_ptr<UIViewController>& source)>;

  // The registered storyboard of that name, made on first use (empty).
  static std::shared_ptr<UIStoryboard> storyboardWithName(const std::string& name);
  // The one the host loads: Info.plist "UIMainStoryboardFile", else "Main".
  static std::shared_ptr<UIStoryboard> mainStoryboard();
  // Forgets every storyboard (tests).
  static void TEST_reset();

  const std::string& name() const { return name_; }
  void setInitialViewController(ControllerFactory factory) { initial_ = std::move(factory); }
  void registerViewController(const std::string& identifier, ControllerFactory factory);
  // A segue under its identifier: the factory makes the segue with its
  // destination.
  void registerSegue(const std::string& identifier, SegueFactory factory);
  // A "show" or modal segue to a controller made by the factory.
  void registerShowSegue(const std::string& identifier, ControllerFactory destination);
  void registerModalSegue(const std::string& identifier, ControllerFactory destination);

  // Null when none is registered.
  std::shared_ptr<UIViewController> instantiateInitialViewController();
  os::Result<std::shared_ptr<UIViewController>> instantiateViewControllerWithIdentifier(const std::string& identifier);
  os::Result<std::shared_ptr<UIStoryboardSegue>> makeSegue(const std::string& identifier,
                                                           const std::shared_ptr<UIViewController>& source);

  explicit UIStoryboard(std::string name) : name_(std::move(name)) {}

 private:
  std::shared_ptr<UIViewController> adopt(std::shared_ptr<UIViewController> vc);
  std::string name_;
  ControllerFactory initial_;
  std::map<std::string, ControllerFactory> controllers_;
  std::map<std::string, SegueFactory> segues_;
};
