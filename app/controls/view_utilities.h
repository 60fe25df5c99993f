// Small pieces shared by the app's screens: colours from hexadecimal text and
// from a 24-bit integer, a tap recogniser carrying a closure, the segue that
// swaps the controls shown inside a host view, the launch screen, and the
// protocols through which the main screen hands its camera controller to
// embedded controllers. Main thread only (the colour constructors: any).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "os/uikit/uikit.h"
#include "os/uikit/view_controller.h"

class CameraController;

// UIColor(hex:alpha:): "#" (one, optional) then a signed hexadecimal integer
// of 3 (RGB), 4 (RGBA), 6 (RRGGBB) or 8 (RRGGBBAA) characters, the sign
// counted. A given alpha replaces the text's. None for anything else.
std::optional<UIColor> UIColorFromHex(const std::string& hex, std::optional<float> alpha = std::nullopt);
// UIColor(rgb:alpha:): 0 ... 0xFFFFFF as RRGGBB; none outside.
std::optional<UIColor> UIColorFromRGB(long long rgb, float alpha);

// A tap recogniser that carries a closure, run by handleTap.
class MyTapGestureRecognizer : public UITapGestureRecognizer {
 public:
  // initWithTarget:action: -- `action` starts empty.
  explicit MyTapGestureRecognizer(UIGestureRecognizer::Action targetAction = {})
      : UITapGestureRecognizer(std::move(targetAction)) {}
  std::function<void()> action;
};

// handleTap: (the action meant for a MyTapGestureRecognizer): runs the
// recogniser's closure once; nothing without one.
void handleTap(const MyTapGestureRecognizer& sender);

// A controller that shows the camera's controls and needs the controller.
class CameraControlsViewControllerProtocol {
 public:
  virtual ~CameraControlsViewControllerProtocol() = default;
  virtual void setCameraController(std::shared_ptr<CameraController> controller) = 0;
};

// Swaps the child controller shown inside hostView of the source: the
// current child (if any) leaves, the destination joins with its view filling
// hostView. Without a host view the segue does nothing at all (the current
// child stays), since there is nowhere to show the destination.
class ControlsSegue : public UIStoryboardSegue {
 public:
  ControlsSegue(std::string identifier, std::shared_ptr<UIViewController> source,
                std::shared_ptr<UIViewController> destination)
      : UIStoryboardSegue(std::move(identifier), std::move(source), std::move(destination)) {}

  std::shared_ptr<UIView> hostView;
  std::shared_ptr<UIViewController> currentViewController;

  void perform() override;
};

// The launch scene's controller.
class LaunchViewController : public UIViewController {
 public:
  std::shared_ptr<UILabel> logo() const { return logo_.lock(); }
  void setLogo(const std::shared_ptr<UILabel>& label) { logo_ = label; }
  void viewDidLoad() override { UIViewController::viewDidLoad(); }

 private:
  std::weak_ptr<UILabel> logo_;
};
