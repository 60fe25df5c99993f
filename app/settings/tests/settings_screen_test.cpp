// The settings screen: caption cycle, switches, links, share sheet, rows,
// tutorials, and a rendering to look at.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/controls/view_utilities.h"
#include "app/settings/settings_links.h"
#include "app/settings/tests/settings_test_support.h"
#include "os/dispatch/notification.h"
#include "os/dispatch/queue.h"
#include "os/foundation/user_defaults.h"
#include "os/safariservices/safari_view_controller.h"

namespace {

using drosil::testing::SettingsTest;

std::shared_ptr<os::UserDefaults> defaults() { return os::UserDefaults::standardUserDefaults(); }

class SettingsScreenTest : public SettingsTest {
 protected:
  std::string caption() const { return screen_->toolbarLbl()->text(); }
  double captionOpacity() const {
    return std::get<double>(*screen_->toolbarLbl()->layer()->presentationLayer()->valueForKeyPath("opacity"));
  }
  // The URL shown by the in-app browser on top, or "".
  std::string browserURL() const {
    auto browser = presentedAs<SFSafariViewController>();
    return browser ? browser->URL().absoluteString() : std::string();
  }
  void closeBrowser() {
    if (auto browser = presentedAs<SFSafariViewController>()) browser->TEST_done();
    advance(1);
  }
};

TEST_F(SettingsScreenTest, CaptionCyclesThroughWordsAndNeverBack) {
  showScreen();
  const auto& words = screen_->words();
  EXPECT_EQ(words[0], "Made with \u2665\uFE0F in Vienna.");
  EXPECT_EQ(words[1], "Made with \u2665\uFE0F in New York.");
  EXPECT_EQ(words[2], "Made with \u2665\uFE0F at Home.");
  EXPECT_EQ(caption(), kFirstToolbarCaption);
  ASSERT_NE(screen_->navigationController(), nullptr);
  EXPECT_FALSE(nav_->isToolbarHidden());
  EXPECT_EQ(screen_->toolbarItems().size(), 3u);
  EXPECT_EQ(screen_->toolbarItems()[1]->customView(), screen_->toolbarLbl());

  advance(0.4);  // the pause
  EXPECT_EQ(caption(), kFirstToolbarCaption);
  advance(0.5);
  EXPECT_GT(captionOpacity(), 0);
  EXPECT_LT(captionOpacity(), 1);
  advance(0.51);  // faded out: the next text fades in
  EXPECT_EQ(caption(), words[0]);
  EXPECT_EQ(screen_->currentIndex(), 1);
  // Each later change: 1.0 s in, 0.4 s pause, 1.0 s out.
  const std::string expected[] = {words[1], words[2], words[0], words[1], words[2], words[0]};
  for (const std::string& text : expected) {
    advance(2.4);
    EXPECT_EQ(caption(), text);
    EXPECT_LE(screen_->currentIndex(), 3);
  }
}

TEST_F(SettingsScreenTest, CaptionCycleEndsWithTheScreen) {
  showScreen();
  std::weak_ptr<NewSettingsTableViewController> weak = screen_;
  window_->setRootViewController(nullptr);
  nav_.reset();
  screen_.reset();
  advance(10);
  EXPECT_TRUE(weak.expired());
}

TEST_F(SettingsScreenTest, ToolbarBorderFollowsTheViewWidth) {
  showScreen();
  auto border = screen_->toolbarTopBorder();
  EXPECT_EQ(border->superlayer(), nav_->toolbar()->layer());
  EXPECT_EQ(border->frame(), (CGRect{0, 0, screen_->view()->bounds().width(), 0.5}));
  EXPECT_EQ(border->backgroundColor(), UIColorFromRGB(0x000000, 0.3f)->cgColor());
}

TEST_F(SettingsScreenTest, RowsShownGetTheScreenAndTheStoredSwitchStates) {
  defaults()->setBool(true, kGeoTagEnableKey);
  defaults()->setBool(false, kHapticManagerKey);
  showScreen();
  auto me = screen_.get();
  auto geoTag = cell<GeoTagTableViewCell>(0, 0);
  auto alwaysOn = cell<AlwaysOnDisplayTableViewCell>(0, 1);
  auto haptics = cell<HapticFeedbackTableViewCell>(0, 2);
  ASSERT_TRUE(geoTag && alwaysOn && haptics);
  EXPECT_EQ(geoTag->geoTagDelegate().get(), static_cast<GeoTagCellDelegate*>(me));
  EXPECT_TRUE(geoTag->geoTagSwitch()->isOn());
  EXPECT_EQ(alwaysOn->displayOnDelegate().get(), static_cast<AlwaysOnDisplayCellDelegate*>(me));
  EXPECT_FALSE(alwaysOn->displayOnSwitch()->isOn());
  EXPECT_FALSE(haptics->hapticSwitch()->isOn());
  EXPECT_EQ(cell<TutorialTableViewCell>(1, 0)->tutorialDelegate().get(), static_cast<TutorialCellDelegate*>(me));
  EXPECT_EQ(cell<TellFriendTableViewCell>(2, 0)->tellFriendDelegate().get(), static_cast<TellFriendCellDelegate*>(me));
  EXPECT_EQ(cell<FeedbackTableViewCell>(2, 1)->feedbackCellDelegate().get(),
            static_cast<FeedbackCellActionDelegate*>(me));
  ASSERT_NE(cell<RequestFeatureTableViewCell>(2, 2), nullptr);
  EXPECT_EQ(cell<PrivacyPolicyTableViewCell>(3, 0)->privacyDelegate().get(),
            static_cast<PrivacyPolicyCellDelegate*>(me));

  // The haptics switch writes the preference the light taps read.
  haptics->hapticSwitch()->setOn(true);
  haptics->hapticSwitch()->sendActionsForControlEvents(UIControlEvents::ValueChanged);
  EXPECT_TRUE(defaults()->boolForKey(kHapticManagerKey));
}

TEST_F(SettingsScreenTest, CellsWithoutDelegateIgnoreTheirControls) {
  auto geoTag = GeoTagTableViewCell::make();
  geoTag->geoTagSwitch()->setOn(true);
  geoTag->geoTagSwitch()->sendActionsForControlEvents(UIControlEvents::ValueChanged);
  auto alwaysOn = AlwaysOnDisplayTableViewCell::make();
  alwaysOn->displayOnSwitch()->setOn(true);
  alwaysOn->displayOnSwitch()->sendActionsForControlEvents(UIControlEvents::ValueChanged);
  auto feedback = FeedbackTableViewCell::make();
  for (auto& button : {feedback->happyBtn(), feedback->neutralBtn(), feedback->sadBtn(), feedback->dismissBtn()})
    button->sendActionsForControlEvents(UIControlEvents::TouchUpInside);
  auto tutorials = TutorialTableViewCell::make();
  tutorials->collectionViewDidSelectItemAtIndexPath(*tutorials->collectionView(), NSIndexPath::indexPathForItem(0, 0));
  EXPECT_FALSE(defaults()->boolForKey(kGeoTagEnableKey));
  EXPECT_FALSE(UIApplication::sharedApplication()->isIdleTimerDisabled());
  EXPECT_TRUE(defaults()->objectForKey(kLastShowFeedbackAppVersionKey).isNull());
  EXPECT_TRUE(UIViewController::TEST_presentationLog().empty());
}

TEST_F(SettingsScreenTest, GeoTagSwitchStaysOnWhateverTheLocationAnswer) {
  struct Case {
    bool servicesEnabled;
    CLAuthorizationStatus status;
    bool alert;
    int requests;
  };
  const Case cases[] = {
      {false, CLAuthorizationStatus::AuthorizedWhenInUse, true, 0},
      {true, CLAuthorizationStatus::Denied, true, 0},
      {true, CLAuthorizationStatus::Restricted, true, 0},
      {true, CLAuthorizationStatus::AuthorizedAlways, false, 0},
      {true, CLAuthorizationStatus::AuthorizedWhenInUse, false, 0},
      {true, CLAuthorizationStatus::NotDetermined, false, 1},
  };
  showScreen();
  auto geoTag = cell<GeoTagTableViewCell>(0, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.status) + (c.servicesEnabled ? 0 : 100));
    os::LocationSimulator::reset();
    os::LocationSimulator::setLocationServicesEnabled(c.servicesEnabled);
    os::LocationSimulator::setAuthorizationStatus(c.status);
    UIViewController::TEST_clearPresentationLog();
    int posts = 0;
    auto token = os::NotificationCenter::defaultCenter()->addObserverForName(
        kGeoTagManagerDidChangeNotification, nullptr, std::shared_ptr<os::DispatchQueue>(), [&](const os::Notification&) { ++posts; });
    geoTag->geoTagSwitch()->setOn(true);
    geoTag->geoTagSwitch()->sendActionsForControlEvents(UIControlEvents::ValueChanged);
    EXPECT_EQ(presented(), nullptr);  // the alert waits for the next turn
    drain();
    os::NotificationCenter::defaultCenter()->removeObserver(token.get());
    EXPECT_EQ(posts, 1);
    EXPECT_TRUE(defaults()->boolForKey(kGeoTagEnableKey));
    EXPECT_TRUE(geoTag->geoTagSwitch()->isOn());
    EXPECT_EQ(os::LocationSimulator::authorizationRequestCount(), c.requests);
    auto alert = presentedAs<UIAlertController>();
    if (!c.alert) {
      EXPECT_EQ(alert, nullptr);
    } else {
      ASSERT_NE(alert, nullptr);
      EXPECT_EQ(alert->title(), "Unable to get location");
      EXPECT_EQ(alert->message(), "Please enable location service for Drosil.");
      EXPECT_EQ(alert->TEST_actionTitles(), std::vector<std::string>{"Okay"});
      ASSERT_TRUE(alert->TEST_chooseAction("Okay").has_value());
      advance(1);
    }
    // Off only stores: no permission check, no alert.
    UIViewController::TEST_clearPresentationLog();
    geoTag->geoTagSwitch()->setOn(false);
    geoTag->geoTagSwitch()->sendActionsForControlEvents(UIControlEvents::ValueChanged);
    drain();
    EXPECT_FALSE(defaults()->boolForKey(kGeoTagEnableKey));
    EXPECT_EQ(os::LocationSimulator::authorizationRequestCount(), c.requests);
    EXPECT_TRUE(UIViewController::TEST_presentationLog().empty());
  }
}

TEST_F(SettingsScreenTest, AlwaysOnSetsTheIdleTimerBeforeItIsAnnounced) {
  showScreen();
  auto alwaysOn = cell<AlwaysOnDisplayTableViewCell>(0, 1);
  std::vector<bool> idleTimerAtPost;
  auto token = os::NotificationCenter::defaultCenter()->addObserverForName(
      kAlwaysOnManagerDidChangeNotification, nullptr, std::shared_ptr<os::DispatchQueue>(), [&](const os::Notification&) {
        idleTimerAtPost.push_back(UIApplication::sharedApplication()->isIdleTimerDisabled());
      });
  for (bool on : {true, false}) {
    alwaysOn->displayOnSwitch()->setOn(on);
    alwaysOn->displayOnSwitch()->sendActionsForControlEvents(UIControlEvents::ValueChanged);
    EXPECT_EQ(UIApplication::sharedApplication()->isIdleTimerDisabled(), on);
    EXPECT_EQ(defaults()->boolForKey(kAlwaysOnEnableKey), on);
  }
  os::NotificationCenter::defaultCenter()->removeObserver(token.get());
  EXPECT_EQ(idleTimerAtPost, (std::vector<bool>{true, false}));
}

TEST_F(SettingsScreenTest, LinksOpenInTheInAppBrowser) {
  showScreen();
  struct Case {
    const char* name;
    std::function<void()> action;
    std::string url;
  };
  const Case cases[] = {
      {"toolbar tap", [&] { window_->tap(nav_->toolbar()->convertPointToView({300, 20}, nullptr)); },
       kProductHomePageLink},
      {"what's new", [&] { screen_->whatsNewBarItem()->TEST_tap(); }, kProductChangeLogLink},
      {"privacy", [&] { cell<PrivacyPolicyTableViewCell>(3, 0)->privacyPolicyBtn()->sendActionsForControlEvents(
                            UIControlEvents::TouchUpInside); },
       kProductPrivacyLink},
      {"first tutorial", [&] { cell<TutorialTableViewCell>(1, 0)->collectionView()->TEST_tapItemAtIndexPath(
                                   NSIndexPath::indexPathForItem(0, 0)); },
       kFirstTutorialLink},
      {"second tutorial", [&] { cell<TutorialTableViewCell>(1, 0)->collectionView()->TEST_tapItemAtIndexPath(
                                    NSIndexPath::indexPathForItem(1, 0)); },
       kSecondTutorialLink},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TEST_clearFeedbackEvents();
    c.action();
    drain();
    EXPECT_EQ(browserURL(), c.url);
    EXPECT_EQ(TEST_feedbackEvents().size(), 1u);  // the light tap
    closeBrowser();
    EXPECT_EQ(presented(), nullptr);
  }
  // A link that does not parse opens nothing.
  screen_->openLinkInApp("not a link");
  screen_->openLinkInApp("");
  drain();
  EXPECT_EQ(presented(), nullptr);
}

TEST_F(SettingsScreenTest, SocialProfileOpensTheAppWhenItCan) {
  showScreen();
  auto app = UIApplication::sharedApplication();
  for (bool appInstalled : {false, true}) {
    app->TEST_setCanOpenScheme("twitter", appInstalled);
    app->TEST_clearOpenedURLs();
    screen_->twitterBarItem()->TEST_tap();
    const auto opened = app->TEST_openedURLs();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].url.absoluteString(), appInstalled ? kDeveloperSocialAppLink : kDeveloperSocialWebLink);
    EXPECT_TRUE(opened[0].options.empty());
  }
  EXPECT_EQ(presented(), nullptr);
}

TEST_F(SettingsScreenTest, OnlyTheFeatureRequestRowReactsToSelection) {
  showScreen();
  for (long section = 0; section < screen_->tableView()->numberOfSections(); ++section) {
    for (long row = 0; row < screen_->tableView()->numberOfRowsInSection(section); ++row) {
      if (section == 2 && row == 2) continue;
      screen_->tableView()->TEST_tapRowAtIndexPath(NSIndexPath::indexPathForRow(row, section));
    }
  }
  drain();
  EXPECT_TRUE(UIViewController::TEST_presentationLog().empty());
  screen_->tableView()->TEST_tapRowAtIndexPath(NSIndexPath::indexPathForRow(2, 2));
  drain();
  EXPECT_NE(presentedAs<MFMailComposeViewController>(), nullptr);
}

TEST_F(SettingsScreenTest, HapticsFollowThePreference) {
  showScreen();
  auto app = UIApplication::sharedApplication();
  app->TEST_setCanOpenScheme("twitter", false);
  auto everyAction = [&] {
    screen_->openSocialProfile();
    screen_->openLinkInApp("x y");
    screen_->contactUs();
    drain();
    if (auto mail = presentedAs<MFMailComposeViewController>()) (void)mail->TEST_finish(MFMailComposeResult::Cancelled);
    advance(1);
    screen_->tellFriend();
    drain();
    if (auto sheet = presentedAs<UIActivityViewController>()) (void)sheet->TEST_complete(std::nullopt, false);
    advance(1);
    screen_->tableView()->TEST_tapRowAtIndexPath(NSIndexPath::indexPathForRow(2, 2));
    drain();
    if (auto mail = presentedAs<MFMailComposeViewController>()) (void)mail->TEST_finish(MFMailComposeResult::Cancelled);
    advance(1);
  };
  defaults()->setBool(false, kHapticManagerKey);
  TEST_clearFeedbackEvents();
  everyAction();
  EXPECT_TRUE(TEST_feedbackEvents().empty());

  defaults()->setBool(true, kHapticManagerKey);
  everyAction();
  const auto events = TEST_feedbackEvents();
  ASSERT_EQ(events.size(), 5u);
  for (const auto& e : events) {
    EXPECT_EQ(e.kind, UIFeedbackEvent::Kind::Impact);
    EXPECT_EQ(e.style, static_cast<int>(UIImpactFeedbackStyle::Light));
  }
}

TEST_F(SettingsScreenTest, TellFriendSharesTextAndStoreLink) {
  for (auto idiom : {UIUserInterfaceIdiom::Phone, UIUserInterfaceIdiom::Pad}) {
    SCOPED_TRACE(static_cast<int>(idiom));
    os::DeviceProfile profile;
    profile.idiom = idiom;
    os::ScopedDeviceProfile device(profile);
    showScreen();
    cell<TellFriendTableViewCell>(2, 0)->tellFriendBtn()->sendActionsForControlEvents(UIControlEvents::TouchUpInside);
    drain();
    auto sheet = presentedAs<UIActivityViewController>();
    ASSERT_NE(sheet, nullptr);
    const auto& items = sheet->activityItems();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].text,
              "Drosil turns your iPhone or iPad into a professional and easy-to-use light meter. Minimalistic Drosil "
              "analyzes live preview of the scene and gives you accurate white balance data in Kelvin.");
    ASSERT_TRUE(items[1].url.has_value());
    EXPECT_EQ(items[1].url->absoluteString(), kProductStorePageLink);
    EXPECT_EQ(sheet->excludedActivityTypes(),
              (std::vector<UIActivityType>{UIActivityTypePrint, UIActivityTypeAddToReadingList}));
    EXPECT_TRUE(sheet->isModalInPresentation());
    EXPECT_FALSE(sheet->TEST_swipeDown());
    if (idiom == UIUserInterfaceIdiom::Pad) {
      ASSERT_NE(sheet->popoverPresentationController(), nullptr);
      EXPECT_EQ(sheet->popoverPresentationController()->sourceView(), screen_->tableView());
    }
    ASSERT_TRUE(sheet->TEST_complete(std::nullopt, false).has_value());
    advance(1);
    window_->setRootViewController(nullptr);
  }
}

TEST_F(SettingsScreenTest, CloseDismissesTheScreen) {
  auto host = std::make_shared<UIViewController>();
  window_ = std::make_shared<UIWindow>();
  window_->setRootViewController(host);
  window_->makeKeyAndVisible();
  nav_ = makeSettingsNavigationController();
  host->presentViewController(nav_, false);
  drain();
  screen_ = std::dynamic_pointer_cast<NewSettingsTableViewController>(nav_->topViewController());
  ASSERT_NE(screen_, nullptr);
  EXPECT_TRUE(screen_->isOnScreen());
  screen_->dismissBarItem()->TEST_tap();
  advance(1);
  EXPECT_EQ(host->presentedViewController(), nullptr);
  EXPECT_FALSE(screen_->isOnScreen());
}

TEST_F(SettingsScreenTest, StoryboardMakesTheScreen) {
  auto storyboard = UIStoryboard::storyboardWithName("Main");
  registerSettingsScreen(storyboard);
  auto alone = storyboard->instantiateViewControllerWithIdentifier(kSettingsStoryboardIdentifier);
  ASSERT_TRUE(alone.has_value());
  EXPECT_NE(std::dynamic_pointer_cast<NewSettingsTableViewController>(*alone), nullptr);
  auto wrapped = storyboard->instantiateViewControllerWithIdentifier(kSettingsNavigationStoryboardIdentifier);
  ASSERT_TRUE(wrapped.has_value());
  auto nav = std::dynamic_pointer_cast<UINavigationController>(*wrapped);
  ASSERT_NE(nav, nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<NewSettingsTableViewController>(nav->topViewController()), nullptr);
}

TEST_F(SettingsScreenTest, TutorialStripHasTwoTilesInOrder) {
  showScreen();
  auto tutorials = cell<TutorialTableViewCell>(1, 0);
  ASSERT_NE(tutorials, nullptr);
  const auto& data = tutorials->cellData();
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[0].name, "Balance Color Temp of the Ambient Light and Your Light Source");
  EXPECT_EQ(data[0].link, kFirstTutorialLink);
  EXPECT_EQ(data[1].name, "Setting the custom White Balance");
  EXPECT_EQ(data[1].link, kSecondTutorialLink);
  auto strip = tutorials->collectionView();
  EXPECT_FALSE(strip->clipsToBounds());
  ASSERT_EQ(strip->numberOfItemsInSection(0), 2);
  for (long item = 0; item < 2; ++item) {
    auto tile = std::dynamic_pointer_cast<TutorialCollectionViewCell>(
        strip->cellForItemAtIndexPath(NSIndexPath::indexPathForItem(item, 0)));
    ASSERT_NE(tile, nullptr);
    EXPECT_EQ(tile->frame().size, kTutorialTileSize);
    EXPECT_EQ(tile->name()->text(), data[static_cast<size_t>(item)].name);
    EXPECT_EQ(tile->imgView()->image(), data[static_cast<size_t>(item)].bkgImage);
    EXPECT_EQ(tile->layer()->cornerRadius(), 16);
    EXPECT_TRUE(tile->clipsToBounds());
  }
}

TEST_F(SettingsScreenTest, GradientCoversTheTileAfterAResize) {
  auto view = std::make_shared<CellGradientView>(CGRect{0, 0, 187, 128});
  auto gradient = view->gradientLayer();
  EXPECT_EQ(gradient, view->gradientLayer());  // made once
  ASSERT_FALSE(view->layer()->sublayers().empty());
  EXPECT_EQ(view->layer()->sublayers().front(), gradient);
  EXPECT_EQ(gradient->frame(), (CGRect{0, 0, 187, 128}));
  EXPECT_EQ(gradient->colors(), (std::vector<CGColor>{CGColor::clear(), CGColor::gray(0, 1)}));
  view->setFrame({0, 0, 240, 160});
  view->layoutIfNeeded();
  EXPECT_EQ(gradient->frame(), (CGRect{0, 0, 240, 160}));
}

TEST_F(SettingsScreenTest, RenderToPNG) {
  useBundle("1.2");
  showScreen();
  advance(0.1);
  const char* out = std::getenv("DROSIL_SETTINGS_PNG");
  const std::string path = out ? out : os::Sandbox::current()->root() + "/settings.png";
  ASSERT_TRUE(window_->renderToPNGFile(path).has_value());
  EXPECT_GT(std::filesystem::file_size(path), 1000u);
}

}  // namespace
