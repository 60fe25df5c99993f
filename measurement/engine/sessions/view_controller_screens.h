// What screen reporting keeps on view controllers and windows, and how it
// follows the app's view-controller transitions.
//
//  - The screen a controller stands for (its associated "apmScreen"), the
//    class name screens are named after, and the key window's screen stack
//    (its associated "apmStack"): the controllers that appeared in it, held
//    weakly, bottom first.
//  - At load, viewDidAppear: and viewDidDisappear: of the runtime class
//    "UIViewController" are replaced once (APMSwizzleViewControllerTransitions):
//    every controller's appearance then reaches the screen-view reporter,
//    which updates the stack and hands the controller the user looks at
//    (APMCurrentViewControllerFromStack) to setCurrentViewController.
//
// Main thread only, like UIKit; the screen-view reporter also reads the key
// window's stack from its own queue while the main thread waits for it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class APMScreen;
class UIViewController;
class UIWindow;

// The associated-object keys.
inline constexpr const char* kAPMScreenAssociationKey = "apmScreen";
inline constexpr const char* kAPMStackAssociationKey = "apmStack";

// A class of this name is an older copy of the library linked beside this
// one; it keeps the controllers to itself.
inline constexpr const char* kAPMOlderLibraryClassName = "RURIDatabase";

// Monitor codes (level in the comment).
inline constexpr int64_t kAPMViewControllerCodeUnknownScreen = 36000;  // 4
inline constexpr int64_t kAPMWindowCodeUnknownStack = 38000;           // 4
inline constexpr int64_t kAPMScreenCodeRootNotFound = 31011;           // 5
// SDK-logger codes of the replacement at load.
inline constexpr int64_t kAPMViewControllerCodeReportingDisabled = 36001;  // info
inline constexpr int64_t kAPMViewControllerCodeNoAppearImp = 36003;       // warning
inline constexpr int64_t kAPMViewControllerCodeNoDisappearImp = 36004;    // warning
inline constexpr int64_t kAPMViewControllerCodeOlderLibrary = 36005;      // warning

// The name after the last "." when the name holds one that is not its last
// character (a module prefix is dropped); else the name.
std::string APMShortClassName(std::string_view className);
// The name of the controller's runtime class.
std::string APMViewControllerClassName(UIViewController& viewController);

// The screen attached to the controller, or null. A value of another type
// under the key is logged (36000), removed and read as null.
std::shared_ptr<APMScreen> apmScreen(const UIViewController& viewController);
// Attaches the screen (held strongly; null detaches).
void setApmScreen(const UIViewController& viewController, std::shared_ptr<APMScreen> screen);

// A stack of controllers held weakly, bottom first. Entries whose controller
// has gone read as null until compact() drops them.
class APMScreenStack {
 public:
  size_t count() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  // Null for an index out of range or a controller that has gone.
  std::shared_ptr<UIViewController> at(size_t index) const;
  // The last entry, or null.
  std::shared_ptr<UIViewController> top() const;
  void append(const std::shared_ptr<UIViewController>& viewController);
  void removeAt(size_t index);
  // The index of the first entry that is that very controller, or npos.
  size_t indexOf(const UIViewController& viewController) const;
  void compact();

  static constexpr size_t npos = static_cast<size_t>(-1);

 private:
  std::vector<std::weak_ptr<UIViewController>> entries_;
};

// The window's stack, or null. A value of another type under the key is
// logged (38000), removed and read as null.
std::shared_ptr<APMScreenStack> apmStack(const UIWindow& window);
void setApmStack(const UIWindow& window, std::shared_ptr<APMScreenStack> stack);
// The stack of the shared application's key window, made and attached when
// the window has none; null without a key window.
std::shared_ptr<APMScreenStack> APMKeyWindowScreenStack();

// Whether screens follow the controller: not for a class from a bundle other
// than the main one whose short name, or its superclass's, begins with "_"
// (the system's private controllers); otherwise when its view is loaded and
// is the key window or lies inside it.
bool APMIsTrackableViewController(UIViewController& viewController);
// The controller the user looks at, chosen from the stack: a manually named
// screen that is in a window, top first; else, top first, an entry in a
// window that has a screen, or what the entry (or its container, when a
// sibling is off screen) shows through navigation, tab bar, page and
// presented controllers; else the bottom entry. Null for an empty stack
// (31011).
std::shared_ptr<UIViewController> APMCurrentViewControllerFromStack(const APMScreenStack& stack);
// The index of the first entry that is that very controller, or
// APMScreenStack::npos.
size_t APMIndexOfViewControllerInStack(const UIViewController& viewController, const APMScreenStack& stack);

// Replaces viewDidAppear: and viewDidDisappear: of "UIViewController" with
// blocks that run the implementations in force, then tell the shared
// screen-view reporter. Nothing is replaced with the screen switch off
// (36001), beside an older copy of the library (36005), or when an
// implementation is missing (36003, 36004). Returns whether it replaced
// them. Runs once at load; a second call would wrap the first replacement.
bool APMSwizzleViewControllerTransitions();
