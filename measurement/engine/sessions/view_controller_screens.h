// What screen reporting keeps on view controllers and windows: the screen a
// controller stands for (its associated "apmScreen"), the class name screens
// are named after, and the key window's screen stack (its associated
// "apmStack"), the controllers that appeared in it, bottom first.
//
// Main thread only, like UIKit; the screen-view reporter also reads the key
// window's stack from its own queue while the main thread waits for it.
#pragma once

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

// The name after the last "." when the name holds one that is not its last
// character (a module prefix is dropped); else the name.
std::string APMShortClassName(std::string_view className);
// The name of the controller's runtime class.
std::string APMViewControllerClassName(UIViewController& viewController);

// The screen attached to the controller, or null.
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

// The window's stack, or null.
std::shared_ptr<APMScreenStack> apmStack(const UIWindow& window);
void setApmStack(const UIWindow& window, std::shared_ptr<APMScreenStack> stack);
// The stack of the shared application's key window, made and attached when
// the window has none; null without a key window.
std::shared_ptr<APMScreenStack> APMKeyWindowScreenStack();
