// What a screen presents for the user to answer: alerts and the share sheet.
// Both are view controllers, presented like any other; tests (and the
// program) read them from UIViewController::TEST_presentationLog or the
// presenter's presentedViewController and answer them here.
//
// Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/error.h"
#include "os/foundation/value.h"
#include "os/foundation/url.h"
#include "os/uikit/view_controller.h"

enum class UIAlertActionStyle { Default = 0, Cancel = 1, Destructive = 2 };
enum class UIAlertControllerStyle { ActionSheet = 0, Alert = 1 };

class UIAlertAction : public std::enable_shared_from_this<UIAlertAction> {
 public:
  using Handler = std::function<void(UIAlertAction&)>;
  static std::shared_ptr<UIAlertAction> actionWithTitle(std::optional<std::string> title, UIAlertActionStyle style,
                                                        Handler handler = {});
  UIAlertAction(std::optional<std::string> title, UIAlertActionStyle style, Handler handler);

  const std::optional<std::string>& title() const { return title_; }
  UIAlertActionStyle style() const { return style_; }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool on) { enabled_ = on; }
  bool hasHandler() const { return static_cast<bool>(handler_); }

 private:
  friend class UIAlertController;
  std::optional<std::string> title_;
  UIAlertActionStyle style_;
  Handler handler_;
  bool enabled_ = true;
};

// Its view (once presented) is a dimmed full-screen layer with a box holding
// the title, the message and one button per action: a tap on a button
// answers like TEST_chooseAction.
class UIAlertController : public UIViewController {
 public:
  static std::shared_ptr<UIAlertController> alertControllerWithTitle(std::optional<std::string> title,
                                                                     std::optional<std::string> message,
                                                                     UIAlertControllerStyle preferredStyle);
  UIAlertController(std::optional<std::string> title, std::optional<std::string> message,
                    UIAlertControllerStyle preferredStyle);

  const std::optional<std::string>& message() const { return message_; }
  void setMessage(std::optional<std::string> message) { message_ = std::move(message); }
  UIAlertControllerStyle preferredStyle() const { return style_; }
  // Actions in the order added. An action sheet shows its cancel action last;
  // only one cancel action is allowed (a second is refused, with a warning).
  const std::vector<std::shared_ptr<UIAlertAction>>& actions() const { return actions_; }
  void addAction(const std::shared_ptr<UIAlertAction>& action);
  std::shared_ptr<UIAlertAction> preferredAction() const { return preferred_.lock(); }
  void setPreferredAction(const std::shared_ptr<UIAlertAction>& action) { preferred_ = action; }

  // The user taps the action (the first with that title, or by index): the
  // alert is dismissed, then the handler runs, once. Errors when the alert
  // is not presented, was answered already, or has no such enabled action.
  os::Status TEST_chooseAction(const std::string& title);
  os::Status TEST_chooseActionAtIndex(size_t index);
  // The action chosen, if any.
  std::shared_ptr<UIAlertAction> TEST_chosenAction() const { return chosen_; }
  std::vector<std::string> TEST_actionTitles() const;

  void loadView() override;
  void viewDidLayoutSubviews() override;

 private:
  os::Status choose(const std::shared_ptr<UIAlertAction>& action);
  std::optional<std::string> message_;
  UIAlertControllerStyle style_;
  std::vector<std::shared_ptr<UIAlertAction>> actions_;
  std::weak_ptr<UIAlertAction> preferred_;
  std::shared_ptr<UIAlertAction> chosen_;
  std::shared_ptr<UIView> box_;
};

// Activity types.
using UIActivityType = std::string;
inline constexpr const char* UIActivityTypePostToFacebook = "com.apple.UIKit.activity.PostToFacebook";
inline constexpr const char* UIActivityTypePostToTwitter = "com.apple.UIKit.activity.PostToTwitter";
inline constexpr const char* UIActivityTypeMessage = "com.apple.UIKit.activity.Message";
inline constexpr const char* UIActivityTypeMail = "com.apple.UIKit.activity.Mail";
inline constexpr const char* UIActivityTypePrint = "com.apple.UIKit.activity.Print";
inline constexpr const char* UIActivityTypeCopyToPasteboard = "com.apple.UIKit.activity.CopyToPasteboard";
inline constexpr const char* UIActivityTypeAssignToContact = "com.apple.UIKit.activity.AssignToContact";
inline constexpr const char* UIActivityTypeSaveToCameraRoll = "com.apple.UIKit.activity.SaveToCameraRoll";
inline constexpr const char* UIActivityTypeAddToReadingList = "com.apple.UIKit.activity.AddToReadingList";
inline constexpr const char* UIActivityTypeAirDrop = "com.apple.UIKit.activity.AirDrop";

// One item to share: text, a URL or an image.
struct UIActivityItem {
  std::optional<std::string> text;
  std::optional<os::URL> url;
  std::shared_ptr<UIImage> image;
  static UIActivityItem withText(std::string t) { return {std::move(t), std::nullopt, nullptr}; }
  static UIActivityItem withURL(os::URL u) { return {std::nullopt, std::move(u), nullptr}; }
  static UIActivityItem withImage(std::shared_ptr<UIImage> i) { return {std::nullopt, std::nullopt, std::move(i)}; }
};

// The share sheet. On a tablet its presentation style is popover (so it has
// a popover presentation controller that must be anchored); elsewhere a
// sheet.
class UIActivityViewController : public UIViewController {
 public:
  using CompletionWithItemsHandler = std::function<void(std::optional<UIActivityType> activityType, bool completed,
                                                        const std::vector<UIActivityItem>& returnedItems,
                                                        std::optional<os::Error> error)>;
  // Custom activities are not supported: none of the callers offers one.
  explicit UIActivityViewController(std::vector<UIActivityItem> activityItems);

  const std::vector<UIActivityItem>& activityItems() const { return items_; }
  const std::vector<UIActivityType>& excludedActivityTypes() const { return excluded_; }
  void setExcludedActivityTypes(std::vector<UIActivityType> types) { excluded_ = std::move(types); }
  void setCompletionWithItemsHandler(CompletionWithItemsHandler handler) { completion_ = std::move(handler); }

  // The user picks an activity (completed) or closes the sheet (no type,
  // not completed): the sheet is dismissed and the completion runs once.
  // Errors: not presented, answered already, or an excluded activity.
  os::Status TEST_complete(std::optional<UIActivityType> activityType, bool completed);

  void loadView() override;

 private:
  std::vector<UIActivityItem> items_;
  std::vector<UIActivityType> excluded_;
  CompletionWithItemsHandler completion_;
  bool answered_ = false;
};
