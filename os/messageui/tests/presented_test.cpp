// The mail sheet, the share sheet, the in-app browser and the review request,
// as a screen presents them and a test answers them.
#include <gtest/gtest.h>

#include "os/dispatch/run_loop.h"
#include "os/messageui/mail_compose.h"
#include "os/safariservices/safari_view_controller.h"
#include "os/storekit/store_review.h"
#include "os/uikit/uikit.h"

namespace {

class SettingsScreen : public UIViewController, public MFMailComposeViewControllerDelegate {
 public:
  void mailComposeControllerDidFinishWithResultError(MFMailComposeViewController& controller, MFMailComposeResult result,
                                                     const std::optional<os::Error>& error) override {
    results.emplace_back(result, error);
    controller.dismissViewControllerAnimated(true);
  }
  std::vector<std::pair<MFMailComposeResult, std::optional<os::Error>>> results;
};

class PresentedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UIApplication::setSharedApplication(std::make_shared<UIApplication>());
    UIViewController::TEST_clearPresentationLog();
    screen = std::make_shared<SettingsScreen>();
    window = std::make_shared<UIWindow>(CGRect{0, 0, 320, 480});
    window->setRootViewController(screen);
    window->makeKeyAndVisible();
  }
  void TearDown() override {
    os::MailSimulator::setCanSendMail(true);
    UIApplication::setSharedApplication(std::make_shared<UIApplication>());
  }
  std::shared_ptr<SettingsScreen> screen;
  std::shared_ptr<UIWindow> window;
};

TEST_F(PresentedTest, MailComposerIsRecordedAndAnsweredOnce) {
  os::MailSimulator::setCanSendMail(false);
  EXPECT_FALSE(MFMailComposeViewController::canSendMail());
  os::MailSimulator::setCanSendMail(true);
  ASSERT_TRUE(MFMailComposeViewController::canSendMail());

  auto mail = std::make_shared<MFMailComposeViewController>();
  mail->setMailComposeDelegate(std::static_pointer_cast<SettingsScreen>(screen));
  mail->setToRecipients({"support@example.com"});
  mail->setSubject("Drosil Feature Request");
  mail->setMessageBody("<p>OS Version: 17.2.1<br>Hello,<br>", true);
  EXPECT_FALSE(mail->TEST_finish(MFMailComposeResult::Sent));  // not presented
  screen->presentViewController(mail, true);

  auto shown = std::dynamic_pointer_cast<MFMailComposeViewController>(UIViewController::TEST_presentationLog().at(0));
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->toRecipients(), (std::vector<std::string>{"support@example.com"}));
  EXPECT_EQ(shown->subject(), "Drosil Feature Request");
  EXPECT_TRUE(shown->isHTML());
  EXPECT_EQ(shown->messageBody(), "<p>OS Version: 17.2.1<br>Hello,<br>");

  ASSERT_TRUE(mail->TEST_finish(MFMailComposeResult::Failed));
  EXPECT_FALSE(mail->TEST_finish(MFMailComposeResult::Sent));
  ASSERT_EQ(screen->results.size(), 1u);
  EXPECT_EQ(screen->results[0].first, MFMailComposeResult::Failed);
  ASSERT_TRUE(screen->results[0].second);  // a failure always carries an error
  EXPECT_EQ(screen->results[0].second->domain(), MFMailComposeErrorDomain);
  EXPECT_EQ(screen->presentedViewController(), nullptr);

  // A saved draft carries no error even if one is passed.
  auto draft = std::make_shared<MFMailComposeViewController>();
  draft->setMailComposeDelegate(std::static_pointer_cast<SettingsScreen>(screen));
  screen->presentViewController(draft, true);
  ASSERT_TRUE(draft->TEST_finish(MFMailComposeResult::Saved, os::Error("X", 1)));
  EXPECT_FALSE(screen->results[1].second);
}

TEST_F(PresentedTest, ShareSheetRecordsItemsAndCompletesOnce) {
  auto url = os::URL::URLWithString("https://example.com/app");
  ASSERT_TRUE(url);
  auto sheet = std::make_shared<UIActivityViewController>(
      std::vector<UIActivityItem>{UIActivityItem::withText("Drosil turns your iPhone..."), UIActivityItem::withURL(*url)});
  sheet->setExcludedActivityTypes({UIActivityTypePrint, UIActivityTypeAddToReadingList});
  sheet->setModalInPresentation(true);
  int calls = 0;
  std::optional<UIActivityType> picked;
  sheet->setCompletionWithItemsHandler(
      [&](std::optional<UIActivityType> type, bool completed, const std::vector<UIActivityItem>&,
          std::optional<os::Error> error) {
        ++calls;
        picked = type;
        EXPECT_TRUE(completed);
        EXPECT_FALSE(error);
      });
  screen->presentViewController(sheet, true);
  EXPECT_FALSE(sheet->TEST_swipeDown());  // modal in presentation

  auto shown = std::dynamic_pointer_cast<UIActivityViewController>(UIViewController::TEST_presentationLog().at(0));
  ASSERT_TRUE(shown);
  ASSERT_EQ(shown->activityItems().size(), 2u);
  EXPECT_EQ(shown->activityItems()[0].text, "Drosil turns your iPhone...");
  EXPECT_EQ(shown->activityItems()[1].url->absoluteString(), "https://example.com/app");
  EXPECT_EQ(shown->excludedActivityTypes().size(), 2u);

  EXPECT_FALSE(sheet->TEST_complete(UIActivityType(UIActivityTypePrint), true));  // excluded
  ASSERT_TRUE(sheet->TEST_complete(UIActivityType(UIActivityTypeMessage), true));
  EXPECT_FALSE(sheet->TEST_complete(UIActivityType(UIActivityTypeMail), true));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(picked, UIActivityTypeMessage);
  EXPECT_EQ(screen->presentedViewController(), nullptr);
}

TEST_F(PresentedTest, BrowserAndReviewRequestAreRecorded) {
  auto url = os::URL::URLWithString("https://example.com/privacy/");
  ASSERT_TRUE(url);
  screen->presentViewController(std::make_shared<SFSafariViewController>(*url), true);
  auto browser = std::dynamic_pointer_cast<SFSafariViewController>(screen->presentedViewController());
  ASSERT_TRUE(browser);
  EXPECT_EQ(browser->URL().absoluteString(), "https://example.com/privacy/");
  browser->TEST_done();
  EXPECT_EQ(screen->presentedViewController(), nullptr);

  SKStoreReviewController::TEST_clearRequests();
  auto scene = std::make_shared<UIWindowScene>();
  SKStoreReviewController::requestReviewInScene(scene);
  SKStoreReviewController::requestReview();
  auto requests = SKStoreReviewController::TEST_requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].scene, scene);
  EXPECT_EQ(requests[1].scene, nullptr);
}

}  // namespace
