// NewSettingsTableViewController: the settings screen, a static table shown
// inside a navigation controller (which supplies its toolbar).
//
// Rows, by section (the feedback row's place is fixed: section 2, row 1):
//   0: geotag switch, always-on switch, haptics switch
//   1: tutorial videos
//   2: tell a friend, feedback, feature request
//   3: privacy policy and contact
// Every row reports to the screen through its delegate protocol; the screen
// carries out the action: preferences, the location permission, links in the
// in-app browser, the share sheet, mails, and the feedback answers.
//
// Feedback row. Shown once per app version ("CFBundleShortVersionString")
// until answered: "lastShowFeedbackAppVersion" records the version answered
// in; "isFeedbackCellHidden" is "true" once dismissed for good. Both are
// seeded ("0.0", "false") the first time the row's height is asked.
//
// Below the table the toolbar cycles a caption "Made with ♥️ ..." for as long
// as the screen exists (a chain of fade-out / fade-in animations, 0.4 s pause,
// 1.0 s each way).
//
// Every user action that names it fires a light haptic first, when the user
// default "hapticKey" reads true. Console lines go to os::Console.
//
// Main thread only.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>

#include "app/preferences/preferences.h"
#include "app/settings/settings_cells.h"
#include "app/settings/tutorial_cells.h"
#include "os/corelocation/location.h"
#include "os/messageui/mail_compose.h"
#include "os/uikit/uikit.h"

// Storyboard identifiers: the screen alone, and the screen in its navigation
// controller (what the main screen's "toSettings" segue shows).
inline constexpr const char* kSettingsStoryboardIdentifier = "NewSettingsTableViewController";
inline constexpr const char* kSettingsNavigationStoryboardIdentifier = "SettingsNavigationController";

// User-defaults keys of the feedback row (string values).
inline constexpr const char* kLastShowFeedbackAppVersionKey = "lastShowFeedbackAppVersion";
inline constexpr const char* kIsFeedbackCellHiddenKey = "isFeedbackCellHidden";
inline constexpr const char* kUnknownAppVersion = "(unknown app version)";

// The feedback row's place in the table.
inline constexpr long kFeedbackRowSection = 2;
inline constexpr long kFeedbackRowIndex = 1;

// The caption shown first, once; then `words` in turn.
inline constexpr const char* kFirstToolbarCaption = "Made with \u2665\uFE0F at home.";

class NewSettingsTableViewController : public UITableViewController,
                                       public FeedbackCellActionDelegate,
                                       public GeoTagCellDelegate,
                                       public AlwaysOnDisplayCellDelegate,
                                       public HapticFeedbackCellDelegate,
                                       public PrivacyPolicyCellDelegate,
                                       public TellFriendCellDelegate,
                                       public TutorialCellDelegate,
                                       public MFMailComposeViewControllerDelegate {
 public:
  NewSettingsTableViewController();
  ~NewSettingsTableViewController() override;

  // ---- Fields ----
  const std::array<std::string, 3>& words() const { return words_; }
  long currentIndex() const { return currentIndex_; }
  const std::shared_ptr<UILabel>& toolbarLbl() const { return toolbarLbl_; }
  const std::shared_ptr<GeoTagManager>& geoTagManager() const { return geoTagManager_; }
  const std::shared_ptr<AlwaysOnManager>& alwaysOnManager() const { return alwaysOnManager_; }
  const std::shared_ptr<CALayer>& toolbarTopBorder() const { return toolbarTopBorder_; }
  // The bar items: social profile (left), what's new and close (right).
  const std::shared_ptr<UIBarButtonItem>& twitterBarItem() const { return twitterBarItem_; }
  const std::shared_ptr<UIBarButtonItem>& whatsNewBarItem() const { return whatsNewBarItem_; }
  const std::shared_ptr<UIBarButtonItem>& dismissBarItem() const { return dismissBarItem_; }
  // The cell of each row (the table is static).
  std::shared_ptr<UITableViewCell> cellAt(const NSIndexPath& indexPath) const;

  // ---- Life cycle ----
  void viewDidLoad() override;
  void viewDidLayoutSubviews() override;

  // ---- Actions ----
  // A tap on the toolbar: the product's home page in the in-app browser.
  void toolbarTouchAction();
  // The change-log page in the in-app browser.
  void whatsNewBtnAction();
  void navBarTwitterBtnAction() { openSocialProfile(); }
  void dismissBtnAction() { closeSettings(); }
  // Light haptic; the social app's profile link when the system can open it,
  // else the profile's web page, outside the app.
  void openSocialProfile();
  // Light haptic, then the screen dismisses itself, animated.
  void closeSettings();

  // ---- Table ----
  long numberOfSectionsInTableView(UITableView&) override;
  long tableViewNumberOfRowsInSection(UITableView& tableView, long section) override;
  std::shared_ptr<UITableViewCell> tableViewCellForRowAtIndexPath(UITableView& tableView,
                                                                  const NSIndexPath& indexPath) override;
  // The feature-request row: light haptic and the feature-request mail. Any
  // other row: the console line "no <index path>" and nothing else.
  void tableViewDidSelectRowAtIndexPath(UITableView& tableView, const NSIndexPath& indexPath) override;
  // Makes the screen the row's delegate; switch rows read their stored state.
  void tableViewWillDisplayCellForRowAtIndexPath(UITableView& tableView, UITableViewCell& cell,
                                                 const NSIndexPath& indexPath) override;
  // 0 for the feedback row while shouldHideFeedbackCell(); else automatic.
  CGFloat tableViewHeightForRowAtIndexPath(UITableView& tableView, const NSIndexPath& indexPath) override;

  // ---- Row delegates ----
  // Stores the geotag preference; turning it on checks location access and
  // explains a refusal in an alert. The preference stays on regardless.
  void geoTagSwitchChanged(bool on) override;
  // The idle timer first, then the preference (which posts its notification).
  void alwaysOnSwitchChanged(bool on) override;
  // Writes "hapticKey".
  void hapticSwitchChanged(bool on) override;
  void contactUs() override;
  // The privacy page in the in-app browser.
  void openPrivacyPolicy() override;
  // The share sheet with the share text and the store page.
  void tellFriend() override;
  void openTutorial(const std::string& link) override { openLinkInApp(link); }
  // Heart toast (then the review alert), record the version, collapse the row.
  void happyFeedbackSelected() override;
  void neutralFeedbackSelected() override { happyFeedbackSelected(); }
  // Done toast (then the write-to-us alert), record the version, collapse.
  void sadFeedbackSelected() override;
  // Record the version, hide the row for good, collapse it.
  void hideCell() override;

  // ---- Shared operations ----
  // Light haptic; the in-app browser for the link when it parses as a URL.
  void openLinkInApp(const std::string& link);
  // An alert with one "Okay", presented on the next turn of the main queue.
  void showAlert(const std::string& title, const std::string& message);
  // Whether the feedback row is collapsed; seeds its two defaults.
  bool shouldHideFeedbackCell();
  void showReviewAlert();
  // The store's write-review link outside the app, when the system can open it.
  void openWriteReviewPage();
  void showWriteToUsAlert();
  void composeFeatureRequestMail();
  void composeFeedbackMail();

  // MFMailComposeViewControllerDelegate: the outcome in an alert (none when
  // cancelled), then the composer is dismissed.
  void mailComposeControllerDidFinishWithResultError(MFMailComposeViewController& controller,
                                                     MFMailComposeResult result,
                                                     const std::optional<os::Error>& error) override;

  // ---- Caption cycle ----
  void animateToolbarText();
  void showNextToolbarText();

 private:
  std::shared_ptr<NewSettingsTableViewController> self();
  // A "Later" / "Okay" question; "Okay" runs `onOkay` on this screen if it is
  // still there.
  void askLaterOrOkay(const std::string& title, const std::string& message,
                      void (NewSettingsTableViewController::*onOkay)());
  void composeMail(const char* subject);
  void recordAnsweredVersion();
  void refreshTable();

  const std::array<std::string, 3> words_;
  long currentIndex_ = 0;
  const std::shared_ptr<UILabel> toolbarLbl_;
  const std::shared_ptr<GeoTagManager> geoTagManager_;
  const std::shared_ptr<AlwaysOnManager> alwaysOnManager_;
  const std::shared_ptr<CALayer> toolbarTopBorder_;

  std::shared_ptr<UIBarButtonItem> twitterBarItem_, whatsNewBarItem_, dismissBarItem_;
  std::shared_ptr<UITapGestureRecognizer> toolbarTap_;
  // Kept while an authorisation request may be pending.
  std::shared_ptr<CLLocationManager> locationManager_;
  // The static table, by section; made on first use.
  mutable std::vector<std::vector<std::shared_ptr<UITableViewCell>>> rows_;
};

// Registers both storyboard identifiers with `storyboard`.
void registerSettingsScreen(const std::shared_ptr<UIStoryboard>& storyboard);
// The settings screen as the root of a new navigation controller.
std::shared_ptr<UINavigationController> makeSettingsNavigationController();
