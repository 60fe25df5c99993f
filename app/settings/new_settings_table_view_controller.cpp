#include "app/settings/new_settings_table_view_controller.h"


#include "app/controls/view_utilities.h"
#include "app/settings/feedback_mail.h"
#include "app/settings/info_plist.h"
#include "app/settings/settings_links.h"
#include "os/foundation/bundle.h"
#include "os/foundation/console.h"
#include "os/foundation/device_profile.h"
#include "os/dispatch/queue.h"
#include "os/foundation/user_defaults.h"
#include "os/safariservices/safari_view_controller.h"
#include "widgets/ToastAlert/toast_alert.h"

namespace {

std::string localized(const std::string& key) { return os::Bundle::mainBundle()->localizedStringForKey(key); }

std::shared_ptr<os::UserDefaults> defaults() { return os::UserDefaults::standardUserDefaults(); }

// One light impact when "hapticKey" reads true.
void lightHaptic() {
  if (defaults()->boolForKey(kHapticManagerKey)) UIImpactFeedbackGenerator(UIImpactFeedbackStyle::Light).impactOccurred();
}

// The major number of the running OS version.
int osMajorVersion() {
  const std::string version = UIDevice::currentDevice()->systemVersion();
  int major = 0;
  for (char c : version) {
    if (c < '0' || c > '9') break;
    major = major * 10 + (c - '0');
    if (major > 100000) break;
  }
  return major;
}

// The table's static layout.
enum class Row { geoTag, alwaysOn, haptics, tutorials, tellFriend, feedback, requestFeature, privacyPolicy };
const std::vector<std::vector<Row>>& tableLayout() {
  static const std::vector<std::vector<Row>> layout = {
      {Row::geoTag, Row::alwaysOn, Row::haptics},
      {Row::tutorials},
      {Row::tellFriend, Row::feedback, Row::requestFeature},
      {Row::privacyPolicy},
  };
  return layout;
}

std::shared_ptr<UITableViewCell> makeCell(Row row) {
  switch (row) {
    case Row::geoTag: return GeoTagTableViewCell::make();
    case Row::alwaysOn: return AlwaysOnDisplayTableViewCell::make();
    case Row::haptics: return HapticFeedbackTableViewCell::make();
    case Row::tutorials: return TutorialTableViewCell::make();
    case Row::tellFriend: return TellFriendTableViewCell::make();
    case Row::feedback: return FeedbackTableViewCell::make();
    case Row::requestFeature: return RequestFeatureTableViewCell::make();
    case Row::privacyPolicy: return PrivacyPolicyTableViewCell::make();
  }
  return nullptr;
}

const char* text(bool value) { return value ? "true" : "false"; }

}  // namespace

NewSettingsTableViewController::NewSettingsTableViewController()
    : UITableViewController(UITableViewStyle::Grouped),
      words_{localized("Made with \u2665\uFE0F in Vienna."), localized("Made with \u2665\uFE0F in New York."),
             localized("Made with \u2665\uFE0F at Home.")},
      toolbarLbl_(std::make_shared<UILabel>()),
      geoTagManager_(std::make_shared<GeoTagManager>()),
      alwaysOnManager_(std::make_shared<AlwaysOnManager>()),
      toolbarTopBorder_(CALayer::layer()) {}

NewSettingsTableViewController::~NewSettingsTableViewController() {
  // The toolbar outlives the screen when the navigation controller is kept.
  toolbarTopBorder_->removeFromSuperlayer();
}

std::shared_ptr<NewSettingsTableViewController> NewSettingsTableViewController::self() {
  return std::static_pointer_cast<NewSettingsTableViewController>(shared_from_this());
}

std::shared_ptr<UITableViewCell> NewSettingsTableViewController::cellAt(const NSIndexPath& indexPath) const {
  if (rows_.empty()) {
    for (const auto& section : tableLayout()) {
      rows_.emplace_back();
      for (Row row : section) rows_.back().push_back(makeCell(row));
    }
  }
  if (indexPath.section < 0 || static_cast<size_t>(indexPath.section) >= rows_.size()) return nullptr;
  const auto& section = rows_[static_cast<size_t>(indexPath.section)];
  if (indexPath.row < 0 || static_cast<size_t>(indexPath.row) >= section.size()) return nullptr;
  return section[static_cast<size_t>(indexPath.row)];
}

// ---- Life cycle ----

void NewSettingsTableViewController::viewDidLoad() {
  UITableViewController::viewDidLoad();
  auto weak = weak_from_this();
  auto on = [weak](void (NewSettingsTableViewController::*action)()) {
    return [weak, action](UIBarButtonItem&) {
      if (auto self = std::static_pointer_cast<NewSettingsTableViewController>(weak.lock())) ((*self).*action)();
    };
  };
  twitterBarItem_ = std::make_shared<UIBarButtonItem>(
      "@" + std::string(kDeveloperSocialHandle), on(&NewSettingsTableViewController::navBarTwitterBtnAction));
  whatsNewBarItem_ =
      std::make_shared<UIBarButtonItem>(localized("What's New"), on(&NewSettingsTableViewController::whatsNewBtnAction));
  dismissBarItem_ =
      std::make_shared<UIBarButtonItem>(localized("Close"), on(&NewSettingsTableViewController::dismissBtnAction));
  navigationItem().leftBarButtonItems = {twitterBarItem_};
  navigationItem().rightBarButtonItems = {dismissBarItem_, whatsNewBarItem_};

  auto nav = navigationController();
  if (nav) nav->setToolbarHidden(false, false);

  toolbarLbl_->setFont(UIFont::systemFont(12));
  toolbarLbl_->setTextColor(UIColor::blackColor());
  toolbarLbl_->setFrame({20, 0, 155, 50});
  toolbarLbl_->setUserInteractionEnabled(false);
  toolbarLbl_->setText(localized(kFirstToolbarCaption));
  toolbarLbl_->setAdjustsFontSizeToFitWidth(true);

  auto space = UIBarButtonItem::flexibleSpaceItem();
  setToolbarItems({space, std::make_shared<UIBarButtonItem>(toolbarLbl_), space}, false);

  toolbarTopBorder_->setFrame({0, 0, view()->bounds().width(), 0.5});
  if (auto colour = UIColorFromRGB(0x000000, 0.3f)) toolbarTopBorder_->setBackgroundColor(colour->cgColor());
  if (nav) nav->toolbar()->layer()->addSublayer(toolbarTopBorder_);

  toolbarTap_ = std::make_shared<UITapGestureRecognizer>([weak](UIGestureRecognizer&) {
    if (auto self = std::static_pointer_cast<NewSettingsTableViewController>(weak.lock())) self->toolbarTouchAction();
  });
  if (nav) nav->toolbar()->addGestureRecognizer(toolbarTap_);

  animateToolbarText();
}

void NewSettingsTableViewController::viewDidLayoutSubviews() {
  UITableViewController::viewDidLayoutSubviews();
  toolbarTopBorder_->setFrame({0, 0, view()->bounds().width(), 0.5});
}

// ---- Caption cycle ----

void NewSettingsTableViewController::animateToolbarText() {
  if (currentIndex_ == static_cast<long>(words_.size())) currentIndex_ = 0;
  auto weak = weak_from_this();
  auto label = toolbarLbl_;
  UIView::animate(
      1.0, 0.4, UIViewAnimationOptions::BeginFromCurrentState, [label] { label->setAlpha(0); },
      [weak](bool) {
        if (auto self = std::static_pointer_cast<NewSettingsTableViewController>(weak.lock())) self->showNextToolbarText();
      });
}

void NewSettingsTableViewController::showNextToolbarText() {
  // The index wraps only at the start of a cycle step; guard the read anyway.
  if (currentIndex_ < 0 || currentIndex_ >= static_cast<long>(words_.size())) currentIndex_ = 0;
  toolbarLbl_->setText(words_[static_cast<size_t>(currentIndex_)]);
  currentIndex_ += 1;
  auto weak = weak_from_this();
  auto label = toolbarLbl_;
  UIView::animate(1.0, [label] { label->setAlpha(1); }, [weak](bool) {
    if (auto self = std::static_pointer_cast<NewSettingsTableViewController>(weak.lock())) self->animateToolbarText();
  });
}

// ---- Actions ----

void NewSettingsTableViewController::toolbarTouchAction() { openLinkInApp(kProductHomePageLink); }

void NewSettingsTableViewController::whatsNewBtnAction() { openLinkInApp(kProductChangeLogLink); }

void NewSettingsTableViewController::openSocialProfile() {
  lightHaptic();
  auto application = UIApplication::sharedApplication();
  auto appLink = os::URL::URLWithString(kDeveloperSocialAppLink);
  auto webLink = os::URL::URLWithString(kDeveloperSocialWebLink);
  if (appLink && application->canOpenURL(*appLink)) {
    application->openURL(*appLink, {}, {});
  } else if (webLink) {
    application->openURL(*webLink, {}, {});
  }
}

void NewSettingsTableViewController::closeSettings() {
  lightHaptic();
  dismissViewControllerAnimated(true);
}

// ---- Table ----

long NewSettingsTableViewController::numberOfSectionsInTableView(UITableView&) {
  return static_cast<long>(tableLayout().size());
}

long NewSettingsTableViewController::tableViewNumberOfRowsInSection(UITableView&, long section) {
  if (section < 0 || static_cast<size_t>(section) >= tableLayout().size()) return 0;
  return static_cast<long>(tableLayout()[static_cast<size_t>(section)].size());
}

std::shared_ptr<UITableViewCell> NewSettingsTableViewController::tableViewCellForRowAtIndexPath(
    UITableView&, const NSIndexPath& indexPath) {
  return cellAt(indexPath);
}

void NewSettingsTableViewController::tableViewDidSelectRowAtIndexPath(UITableView& tableView,
                                                                       const NSIndexPath& indexPath) {
  if (std::dynamic_pointer_cast<RequestFeatureTableViewCell>(tableView.cellForRowAtIndexPath(indexPath))) {
    lightHaptic();
    composeFeatureRequestMail();
  } else {
    os::Console::writef("no %s\n", NSIndexPathDescription(indexPath).c_str());
  }
}

void NewSettingsTableViewController::tableViewWillDisplayCellForRowAtIndexPath(UITableView&, UITableViewCell& cell,
                                                                               const NSIndexPath&) {
  auto me = self();
  if (auto* geoTag = dynamic_cast<GeoTagTableViewCell*>(&cell)) {
    geoTag->setGeoTagDelegate(me);
    geoTag->geoTagSwitch()->setOn(defaults()->boolForKey(geoTagManager_->geoTagEnableKey), true);
  } else if (auto* alwaysOn = dynamic_cast<AlwaysOnDisplayTableViewCell*>(&cell)) {
    alwaysOn->setDisplayOnDelegate(me);
    alwaysOn->displayOnSwitch()->setOn(defaults()->boolForKey(alwaysOnManager_->alwaysOnEnableKey), true);
  } else if (auto* haptics = dynamic_cast<HapticFeedbackTableViewCell*>(&cell)) {
    haptics->setHapticDelegate(me);
    haptics->hapticSwitch()->setOn(defaults()->boolForKey(kHapticManagerKey), true);
  } else if (auto* feedback = dynamic_cast<FeedbackTableViewCell*>(&cell)) {
    feedback->setFeedbackCellDelegate(me);
  } else if (auto* tellFriend = dynamic_cast<TellFriendTableViewCell*>(&cell)) {
    tellFriend->setTellFriendDelegate(me);
  } else if (auto* privacy = dynamic_cast<PrivacyPolicyTableViewCell*>(&cell)) {
    privacy->setPrivacyDelegate(me);
  } else if (auto* tutorial = dynamic_cast<TutorialTableViewCell*>(&cell)) {
    tutorial->setTutorialDelegate(me);
  }
}

CGFloat NewSettingsTableViewController::tableViewHeightForRowAtIndexPath(UITableView&, const NSIndexPath& indexPath) {
  const bool hide = shouldHideFeedbackCell();
  os::Console::writef("showFeedbackCell: %s\n", text(hide));
  if (indexPath.section == kFeedbackRowSection && indexPath.row == kFeedbackRowIndex && hide) return 0;
  return UITableViewAutomaticDimension;
}

// ---- Row delegates ----

void NewSettingsTableViewController::geoTagSwitchChanged(bool on) {
  os::Console::writef("GeoTagCellDelegate: %s\n", text(on));
  geoTagManager_->setIsGeoTagEnabled(on);
  if (!on) return;
  locationManager_ = CLLocationManager::create();
  const std::string title = localized("Unable to get location");
  const std::string message = localized("Please enable location service for Drosil.");
  if (!CLLocationManager::locationServicesEnabled()) {
    os::Console::writef("Location services are not enabled\n");
    showAlert(title, message);
    return;
  }
  const CLAuthorizationStatus status =
      osMajorVersion() >= 14 ? locationManager_->instanceAuthorizationStatus() : CLLocationManager::authorizationStatus();
  switch (status) {
    case CLAuthorizationStatus::Restricted:
    case CLAuthorizationStatus::Denied:
      os::Console::writef("No access\n");
      showAlert(title, message);
      break;
    case CLAuthorizationStatus::AuthorizedAlways:
    case CLAuthorizationStatus::AuthorizedWhenInUse:
      os::Console::writef("Access\n");
      break;
    case CLAuthorizationStatus::NotDetermined:
      os::Console::writef("Not determine\n");
      locationManager_->requestWhenInUseAuthorization();
      break;
  }
}

void NewSettingsTableViewController::alwaysOnSwitchChanged(bool on) {
  UIApplication::sharedApplication()->setIdleTimerDisabled(on);
  alwaysOnManager_->setIsalwaysOnEnabled(on);
}

void NewSettingsTableViewController::hapticSwitchChanged(bool on) { defaults()->setBool(on, kHapticManagerKey); }

void NewSettingsTableViewController::contactUs() {
  lightHaptic();
  composeMail(kContactMailSubject);
}

void NewSettingsTableViewController::openPrivacyPolicy() { openLinkInApp(kProductPrivacyLink); }

void NewSettingsTableViewController::tellFriend() {
  lightHaptic();
  const std::string shareText = localized(
      "Drosil turns your iPhone or iPad into a professional and easy-to-use light meter. Minimalistic Drosil analyzes "
      "live preview of the scene and gives you accurate white balance data in Kelvin.");
  auto link = os::URL::URLWithString(kProductStorePageLink);
  if (!link) return;
  auto sheet = std::make_shared<UIActivityViewController>(
      std::vector<UIActivityItem>{UIActivityItem::withText(shareText), UIActivityItem::withURL(*link)});
  sheet->setExcludedActivityTypes({UIActivityTypePrint, UIActivityTypeAddToReadingList});
  if (UIDevice::currentDevice()->userInterfaceIdiom() == UIUserInterfaceIdiom::Pad) {
    if (auto popover = sheet->popoverPresentationController()) popover->setSourceView(tableView());
  }
  if (osMajorVersion() >= 13) sheet->setModalInPresentation(true);
  presentViewController(sheet, true);
}

// ---- Feedback answers ----

void NewSettingsTableViewController::recordAnsweredVersion() {
  defaults()->setObject(os::Value(infoPlistString(os::kCFBundleShortVersionStringKey).value_or(kUnknownAppVersion)),
                        kLastShowFeedbackAppVersionKey);
}

void NewSettingsTableViewController::refreshTable() {
  tableView()->beginUpdates();
  tableView()->endUpdates();
}

void NewSettingsTableViewController::happyFeedbackSelected() {
  lightHaptic();
  auto weak = weak_from_this();
  ToastAlertView::make(localized("Feedback Sent"), std::nullopt, ToastAlertIconPreset::heart)
      ->present(ToastAlertHaptic::success, [weak] {
        if (auto self = std::static_pointer_cast<NewSettingsTableViewController>(weak.lock())) self->showReviewAlert();
      });
  recordAnsweredVersion();
  refreshTable();
}

void NewSettingsTableViewController::sadFeedbackSelected() {
  lightHaptic();
  auto weak = weak_from_this();
  ToastAlertView::make("Feedback Sent", std::nullopt, ToastAlertIconPreset::done)
      ->present(ToastAlertHaptic::success, [weak] {
        if (auto self = std::static_pointer_cast<NewSettingsTableViewController>(weak.lock())) self->showWriteToUsAlert();
      });
  recordAnsweredVersion();
  refreshTable();
}

void NewSettingsTableViewController::hideCell() {
  lightHaptic();
  os::Console::writef("hideCell tapped\n");
  recordAnsweredVersion();
  defaults()->setObject(os::Value(std::string("true")), kIsFeedbackCellHiddenKey);
  refreshTable();
}

// ---- Shared operations ----

void NewSettingsTableViewController::openLinkInApp(const std::string& link) {
  lightHaptic();
  auto url = os::URL::URLWithString(link);
  // The empty text parses as the empty URL, which no browser can show.
  if (!url || url->empty()) return;
  presentViewController(std::make_shared<SFSafariViewController>(*url), true);
}

void NewSettingsTableViewController::showAlert(const std::string& title, const std::string& message) {
  auto weak = weak_from_this();
  os::DispatchQueue::main()->async([weak, title, message] {
    auto self = weak.lock();
    if (!self) return;
    auto alert = UIAlertController::alertControllerWithTitle(title, message, UIAlertControllerStyle::Alert);
    alert->addAction(UIAlertAction::actionWithTitle(localized("Okay"), UIAlertActionStyle::Default));
    self->presentViewController(alert, true);
  });
}

bool NewSettingsTableViewController::shouldHideFeedbackCell() {
  auto store = defaults();
  if (!store->stringForKey(kLastShowFeedbackAppVersionKey))
    store->setObject(os::Value(std::string("0.0")), kLastShowFeedbackAppVersionKey);
  const std::optional<std::string> last = store->stringForKey(kLastShowFeedbackAppVersionKey);
  if (!store->stringForKey(kIsFeedbackCellHiddenKey))
    store->setObject(os::Value(std::string("false")), kIsFeedbackCellHiddenKey);
  const std::optional<std::string> hidden = store->stringForKey(kIsFeedbackCellHiddenKey);
  const std::string version = infoPlistString(os::kCFBundleShortVersionStringKey).value_or(kUnknownAppVersion);
  os::Console::writef("%s %s %s\n", version.c_str(), last.value_or("0").c_str(), hidden.value_or("false").c_str());
  const bool shown = hidden == "false" && last != version;
  return !shown;
}

void NewSettingsTableViewController::askLaterOrOkay(const std::string& title, const std::string& message,
                                                    void (NewSettingsTableViewController::*onOkay)()) {
  auto alert = UIAlertController::alertControllerWithTitle(localized(title), localized(message),
                                                           UIAlertControllerStyle::Alert);
  auto weak = weak_from_this();
  alert->addAction(UIAlertAction::actionWithTitle(localized("Later"), UIAlertActionStyle::Default));
  alert->addAction(UIAlertAction::actionWithTitle(localized("Okay"), UIAlertActionStyle::Default,
                                                  [weak, onOkay](UIAlertAction&) {
                                                    if (auto self = std::static_pointer_cast<NewSettingsTableViewController>(weak.lock()))
                                                      ((*self).*onOkay)();
                                                  }));
  presentViewController(alert, true);
}

void NewSettingsTableViewController::showReviewAlert() {
  askLaterOrOkay("Would you like to write a review?",
                 "Let others know what you love about Drosil. Write a review on the App Store.",
                 &NewSettingsTableViewController::openWriteReviewPage);
}

void NewSettingsTableViewController::openWriteReviewPage() {
  auto application = UIApplication::sharedApplication();
  auto link = os::URL::URLWithString(kProductWriteReviewLink);
  if (link && application->canOpenURL(*link)) application->openURL(*link, {}, {});
}

void NewSettingsTableViewController::showWriteToUsAlert() {
  askLaterOrOkay("Would you like to write to us?",
                 "Your feedback matters. Please let us know how we can improve and make Drosil better for you.",
                 &NewSettingsTableViewController::composeFeedbackMail);
}

// ---- Mail ----

void NewSettingsTableViewController::composeFeatureRequestMail() { composeMail(kFeatureRequestMailSubject); }

void NewSettingsTableViewController::composeFeedbackMail() { composeMail(kFeedbackMailSubject); }

void NewSettingsTableViewController::composeMail(const char* subject) {
  if (!MFMailComposeViewController::canSendMail()) return;
  auto composer = std::make_shared<MFMailComposeViewController>();
  composer->setMailComposeDelegate(std::weak_ptr<MFMailComposeViewControllerDelegate>(self()));
  composer->setToRecipients({kSupportMailAddress});
  composer->setSubject(subject);
  composer->setMessageBody(deviceInfoHTML(), true);
  presentViewController(composer, true);
}

void NewSettingsTableViewController::mailComposeControllerDidFinishWithResultError(
    MFMailComposeViewController& controller, MFMailComposeResult result, const std::optional<os::Error>& error) {
  switch (result) {
    case MFMailComposeResult::Cancelled:
      os::Console::writef("Mail cancelled\n");
      break;
    case MFMailComposeResult::Saved:
      showAlert(localized("Mail Saved"),
                localized("Email has been saved, to modify or send please open the 'Mail' app."));
      break;
    case MFMailComposeResult::Sent:
      showAlert(localized("Mail Sent"), localized("Mail has been sent successfully, developer will reply ASAP."));
      break;
    case MFMailComposeResult::Failed:
      showAlert(localized("Failed to Send the Email."),
                error ? error->localizedDescription() : localized("Please try again."));
      break;
  }
  controller.dismissViewControllerAnimated(true);
}

// ---- Storyboard ----

std::shared_ptr<UINavigationController> makeSettingsNavigationController() {
  return std::make_shared<UINavigationController>(std::make_shared<NewSettingsTableViewController>());
}

void registerSettingsScreen(const std::shared_ptr<UIStoryboard>& storyboard) {
  if (!storyboard) return;
  storyboard->registerViewController(kSettingsStoryboardIdentifier, [] {
    return std::static_pointer_cast<UIViewController>(std::make_shared<NewSettingsTableViewController>());
  });
  storyboard->registerViewController(kSettingsNavigationStoryboardIdentifier, [] {
    return std::static_pointer_cast<UIViewController>(makeSettingsNavigationController());
  });
}
