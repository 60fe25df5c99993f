// The feedback row: when it shows, what each answer leads to, and the mails.
#include <gtest/gtest.h>

#include "app/settings/feedback_mail.h"
#include "app/settings/settings_links.h"
#include "app/settings/tests/settings_test_support.h"
#include "os/foundation/user_defaults.h"
#include "os/safariservices/safari_view_controller.h"
#include "widgets/ToastAlert/toast_alert.h"

namespace {

using drosil::testing::SettingsTest;

std::shared_ptr<os::UserDefaults> defaults() { return os::UserDefaults::standardUserDefaults(); }

// The toast showing in the window, if any.
std::shared_ptr<ToastAlertView> shownToast(const std::shared_ptr<UIWindow>& window) {
  for (auto& v : window->subviews())
    if (auto toast = std::dynamic_pointer_cast<ToastAlertView>(v)) return toast;
  return nullptr;
}

class FeedbackTest : public SettingsTest {
 protected:
  // Long enough for a toast to show and go.
  static constexpr double kToastLifetime = 2.5;

  std::shared_ptr<FeedbackTableViewCell> feedbackCell() { return cell<FeedbackTableViewCell>(2, 1); }
};

TEST_F(FeedbackTest, FreshInstallSeedsDefaultsAndShowsTheRow) {
  useBundle("1.2");
  showScreen();
  EXPECT_EQ(defaults()->objectForKey(kLastShowFeedbackAppVersionKey), os::Value(std::string("0.0")));
  EXPECT_EQ(defaults()->objectForKey(kIsFeedbackCellHiddenKey), os::Value(std::string("false")));
  EXPECT_FALSE(screen_->shouldHideFeedbackCell());
  EXPECT_EQ(feedbackRowHeight(), kFeedbackCellHeight);
}

TEST_F(FeedbackTest, GatingByAnsweredVersionAndDismissal) {
  struct Case {
    const char* appVersion;  // nullptr: the bundle has none
    std::optional<std::string> lastAnswered, hidden;
    bool hide;
  };
  const Case cases[] = {
      {"1.2", std::nullopt, std::nullopt, false},
      {"0.0", std::nullopt, std::nullopt, true},  // a short version of "0.0" reads as answered
      {"1.2", "1.2", "false", true},
      {"1.3", "1.2", "false", false},              // a new version asks again
      {"1.3", "1.2", "true", true},                // dismissed for good
      {"1.3", "1.2", "TRUE", true},                // anything but "false" hides
      {"1.3", "1.2", "", true},
      {nullptr, "(unknown app version)", "false", true},
      {nullptr, "1.2", "false", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.appVersion ? c.appVersion : "none") + " " + c.lastAnswered.value_or("-") + " " +
                 c.hidden.value_or("-"));
    useBundle(c.appVersion ? std::optional<std::string>(c.appVersion) : std::nullopt);
    defaults()->removeObjectForKey(kLastShowFeedbackAppVersionKey);
    defaults()->removeObjectForKey(kIsFeedbackCellHiddenKey);
    if (c.lastAnswered) defaults()->setObject(os::Value(*c.lastAnswered), kLastShowFeedbackAppVersionKey);
    if (c.hidden) defaults()->setObject(os::Value(*c.hidden), kIsFeedbackCellHiddenKey);
    NewSettingsTableViewController screen;
    EXPECT_EQ(screen.shouldHideFeedbackCell(), c.hide);
  }
}

class FeedbackAnswerTest : public FeedbackTest, public ::testing::WithParamInterface<bool> {};

// Happy and neutral answers behave the same.
TEST_P(FeedbackAnswerTest, HeartToastThenReviewAlertOnce) {
  useBundle("1.2");
  showScreen();
  UIApplication::sharedApplication()->TEST_setCanOpenScheme("itms-apps", true);
  TEST_clearFeedbackEvents();
  if (GetParam()) {
    feedbackCell()->happyAction();
  } else {
    feedbackCell()->neutralAction();
  }
  // The answer takes effect while the toast shows: version recorded, row gone.
  auto toast = shownToast(window_);
  ASSERT_NE(toast, nullptr);
  EXPECT_EQ(toast->titleLabel()->text(), "Feedback Sent");
  EXPECT_NE(std::dynamic_pointer_cast<ToastAlertIconHeartView>(toast->iconView()), nullptr);
  EXPECT_EQ(defaults()->stringForKey(kLastShowFeedbackAppVersionKey), "1.2");
  EXPECT_EQ(feedbackRowHeight(), 0);
  EXPECT_EQ(presented(), nullptr);
  const auto events = TEST_feedbackEvents();
  ASSERT_EQ(events.size(), 2u);  // light tap, then the toast's success
  EXPECT_EQ(events[0].kind, UIFeedbackEvent::Kind::Impact);
  EXPECT_EQ(events[1].kind, UIFeedbackEvent::Kind::Notification);

  advance(kToastLifetime);
  EXPECT_EQ(shownToast(window_), nullptr);
  auto alert = presentedAs<UIAlertController>();
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(alert->title(), "Would you like to write a review?");
  EXPECT_EQ(alert->message(), "Let others know what you love about Drosil. Write a review on the App Store.");
  EXPECT_EQ(alert->TEST_actionTitles(), (std::vector<std::string>{"Later", "Okay"}));
  ASSERT_TRUE(alert->TEST_chooseAction("Okay").has_value());
  advance(1);
  const auto opened = UIApplication::sharedApplication()->TEST_openedURLs();
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].url.absoluteString(), kProductWriteReviewLink);
  EXPECT_TRUE(opened[0].options.empty());
  EXPECT_EQ(presented(), nullptr);
  // Nothing more comes up.
  advance(10);
  EXPECT_EQ(UIViewController::TEST_presentationLog().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(HappyAndNeutral, FeedbackAnswerTest, ::testing::Bool());

TEST_F(FeedbackTest, WriteReviewNeedsAStoreThatCanOpen) {
  showScreen();
  UIApplication::sharedApplication()->TEST_setCanOpenScheme("itms-apps", false);
  screen_->openWriteReviewPage();
  advance(1);
  EXPECT_TRUE(UIApplication::sharedApplication()->TEST_openedURLs().empty());
}

TEST_F(FeedbackTest, SadAnswerLeadsToTheFeedbackMail) {
  useBundle("2.0", "7", "Drosil");
  os::DeviceProfile profile;
  profile.modelIdentifier = "iPhone14,2";
  profile.systemVersion = "16.0";
  os::ScopedDeviceProfile device(profile);
  showScreen();

  feedbackCell()->sadAction();
  auto toast = shownToast(window_);
  ASSERT_NE(toast, nullptr);
  EXPECT_EQ(toast->titleLabel()->text(), "Feedback Sent");
  EXPECT_NE(std::dynamic_pointer_cast<ToastAlertIconDoneView>(toast->iconView()), nullptr);
  EXPECT_EQ(defaults()->stringForKey(kLastShowFeedbackAppVersionKey), "2.0");
  EXPECT_EQ(feedbackRowHeight(), 0);
  EXPECT_EQ(presented(), nullptr);  // never a mail without the question first

  advance(kToastLifetime);
  auto alert = presentedAs<UIAlertController>();
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(alert->title(), "Would you like to write to us?");
  EXPECT_EQ(alert->message(),
            "Your feedback matters. Please let us know how we can improve and make Drosil better for you.");
  EXPECT_EQ(alert->TEST_actionTitles(), (std::vector<std::string>{"Later", "Okay"}));
  ASSERT_TRUE(alert->TEST_chooseAction("Okay").has_value());
  drain();

  auto mail = presentedAs<MFMailComposeViewController>();
  ASSERT_NE(mail, nullptr);
  EXPECT_EQ(mail->toRecipients(), std::vector<std::string>{kSupportMailAddress});
  EXPECT_EQ(mail->subject(), "Feedback - Drosil App");
  EXPECT_TRUE(mail->isHTML());
  EXPECT_EQ(mail->messageBody(),
            "<p>OS Version: 16.0.0<br>App version: 2.0(7)<br>App Name: Drosil<br>Machine Name: iPhone14,2"
            "<br><br>Hello Quorin,<br>");
}

TEST_F(FeedbackTest, LaterClosesTheQuestionOnly) {
  showScreen();
  screen_->showWriteToUsAlert();
  auto alert = presentedAs<UIAlertController>();
  ASSERT_NE(alert, nullptr);
  ASSERT_TRUE(alert->TEST_chooseAction("Later").has_value());
  advance(1);
  EXPECT_EQ(presented(), nullptr);
  EXPECT_EQ(UIViewController::TEST_presentationLog().size(), 1u);
}

TEST_F(FeedbackTest, DismissHidesTheRowInEveryLaterVersion) {
  useBundle("1.2");
  showScreen();
  TEST_clearFeedbackEvents();
  feedbackCell()->dismissCell();
  EXPECT_EQ(shownToast(window_), nullptr);
  advance(kToastLifetime);
  EXPECT_EQ(presented(), nullptr);
  EXPECT_EQ(TEST_feedbackEvents().size(), 1u);  // the light tap only
  EXPECT_EQ(defaults()->stringForKey(kIsFeedbackCellHiddenKey), "true");
  EXPECT_EQ(defaults()->stringForKey(kLastShowFeedbackAppVersionKey), "1.2");
  EXPECT_EQ(feedbackRowHeight(), 0);
  useBundle("1.3");
  EXPECT_TRUE(screen_->shouldHideFeedbackCell());
}

TEST_F(FeedbackTest, AnsweredRowReturnsInTheNextVersion) {
  useBundle("1.2");
  showScreen();
  feedbackCell()->happyAction();
  advance(kToastLifetime);
  useBundle("1.3");
  EXPECT_FALSE(screen_->shouldHideFeedbackCell());
}

TEST_F(FeedbackTest, ABundleWithoutShortVersionRecordsUnknown) {
  useBundle(std::nullopt);
  showScreen();
  feedbackCell()->dismissCell();
  EXPECT_EQ(defaults()->stringForKey(kLastShowFeedbackAppVersionKey), kUnknownAppVersion);
}

// ---- Mails ----

TEST_F(FeedbackTest, MailsCarrySubjectAndDeviceBlock) {
  useBundle("1.4", "23", "Drosil");
  showScreen();
  struct Case {
    std::function<void()> start;
    const char* subject;
  };
  const Case cases[] = {
      {[&] { screen_->contactUs(); }, "Drosil User"},
      {[&] { screen_->tableView()->TEST_tapRowAtIndexPath(NSIndexPath::indexPathForRow(2, 2)); },
       "Drosil Feature Request"},
      {[&] { screen_->composeFeedbackMail(); }, "Feedback - Drosil App"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.subject);
    c.start();
    drain();
    auto mail = presentedAs<MFMailComposeViewController>();
    ASSERT_NE(mail, nullptr);
    EXPECT_EQ(mail->subject(), c.subject);
    EXPECT_EQ(mail->toRecipients(), std::vector<std::string>{kSupportMailAddress});
    EXPECT_EQ(mail->messageBody(), deviceInfoHTML());
    EXPECT_NE(mail->messageBody().find("App version: 1.4(23)<br>"), std::string::npos);
    EXPECT_EQ(mail->mailComposeDelegate().lock().get(),
              static_cast<MFMailComposeViewControllerDelegate*>(screen_.get()));
    ASSERT_TRUE(mail->TEST_finish(MFMailComposeResult::Cancelled).has_value());
    advance(1);
    EXPECT_EQ(presented(), nullptr);
  }
}

TEST_F(FeedbackTest, NoMailAccountShowsNothing) {
  showScreen();
  os::MailSimulator::setCanSendMail(false);
  screen_->contactUs();
  screen_->composeFeatureRequestMail();
  screen_->showWriteToUsAlert();
  auto alert = presentedAs<UIAlertController>();
  ASSERT_NE(alert, nullptr);
  ASSERT_TRUE(alert->TEST_chooseAction("Okay").has_value());
  advance(1);
  EXPECT_EQ(presented(), nullptr);
  EXPECT_EQ(UIViewController::TEST_presentationLog().size(), 1u);  // the question only
}

TEST_F(FeedbackTest, MailOutcomeAlerts) {
  showScreen();
  struct Case {
    MFMailComposeResult result;
    std::optional<os::Error> error;
    const char* title;  // nullptr: no alert
    const char* message;
  };
  const os::Error offline(MFMailComposeErrorDomain, MFMailComposeErrorCodeSendFailed,
                          {{"NSLocalizedDescription", os::Value(std::string("The network is offline."))}});
  const Case cases[] = {
      {MFMailComposeResult::Cancelled, std::nullopt, nullptr, nullptr},
      {MFMailComposeResult::Saved, std::nullopt, "Mail Saved",
       "Email has been saved, to modify or send please open the 'Mail' app."},
      {MFMailComposeResult::Sent, std::nullopt, "Mail Sent", "Mail has been sent successfully, developer will reply ASAP."},
      {MFMailComposeResult::Failed, offline, "Failed to Send the Email.", "The network is offline."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.result));
    UIViewController::TEST_clearPresentationLog();
    screen_->contactUs();
    drain();
    auto mail = presentedAs<MFMailComposeViewController>();
    ASSERT_NE(mail, nullptr);
    ASSERT_TRUE(mail->TEST_finish(c.result, c.error).has_value());
    // The composer goes first; the alert comes on the next turn.
    EXPECT_EQ(presented(), nullptr);
    drain();
    auto alert = presentedAs<UIAlertController>();
    if (!c.title) {
      EXPECT_EQ(alert, nullptr);
      continue;
    }
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->title(), c.title);
    EXPECT_EQ(alert->message(), c.message);
    EXPECT_EQ(alert->TEST_actionTitles(), std::vector<std::string>{"Okay"});
    ASSERT_TRUE(alert->TEST_chooseAction("Okay").has_value());
    advance(1);
  }
}

TEST_F(FeedbackTest, FailedSendWithoutErrorAsksToTryAgain) {
  showScreen();
  MFMailComposeViewController composer;
  screen_->mailComposeControllerDidFinishWithResultError(composer, MFMailComposeResult::Failed, std::nullopt);
  drain();
  auto alert = presentedAs<UIAlertController>();
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(alert->message(), "Please try again.");
}

TEST_F(FeedbackTest, DeviceBlockValues) {
  os::DeviceProfile profile;
  profile.modelIdentifier = "iPad13,4";
  for (auto [system, expected] : {std::pair{"17.2.1", "17.2.1"}, {"16.0", "16.0.0"}, {"18", "18.0.0"},
                                  {"", "0.0.0"}, {"beta", "0.0.0"}}) {
    profile.systemVersion = system;
    os::ScopedDeviceProfile device(profile);
    EXPECT_EQ(osVersionString(), expected) << system;
  }
  os::ScopedDeviceProfile device(profile);
  EXPECT_EQ(machineName(), "iPad13,4");
  useBundle("2.0", "7", "Drosil");
  EXPECT_EQ(appVersionString(), "2.0(7)");
  EXPECT_EQ(appDisplayName(), "Drosil");
}

// Mended: a bundle without the version or name keys took the mail head down;
// the missing values now print as empty text.
TEST_F(FeedbackTest, DeviceBlockSurvivesABundleWithoutVersionKeys) {
  useBundle(std::nullopt, std::nullopt, std::nullopt);
  EXPECT_EQ(appVersionString(), "()");
  EXPECT_EQ(appDisplayName(), "");
  EXPECT_NE(deviceInfoHTML().find("<br>App version: ()<br>App Name: <br>"), std::string::npos);
}

}  // namespace
