#include <gtest/gtest.h>

#include <filesystem>

#include "os/dispatch/run_loop.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/sandbox.h"
#include "os/photos/photo_library.h"
#include "os/uikit/uikit.h"

namespace {

class LoggingViewController : public UIViewController {
 public:
  std::vector<std::string> log;
  void viewDidLoad() override { log.push_back("load"); }
  void viewWillAppear(bool) override { log.push_back("willAppear"); }
  void viewDidAppear(bool) override { log.push_back("didAppear"); }
  void viewWillDisappear(bool) override { log.push_back("willDisappear"); }
  void viewDidDisappear(bool) override { log.push_back("didDisappear"); }
  void viewDidLayoutSubviews() override { ++layouts; }
  void prepareForSegue(UIStoryboardSegue& segue, const void*) override {
    log.push_back("prepare:" + segue.identifier());
    prepared = segue.destinationViewController();
  }
  int layouts = 0;
  std::shared_ptr<UIViewController> prepared;
};

class ViewControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UIApplication::setSharedApplication(std::make_shared<UIApplication>());
    UIStoryboard::TEST_reset();
    UIViewController::TEST_clearPresentationLog();
    root = std::make_shared<LoggingViewController>();
    window = std::make_shared<UIWindow>(CGRect{0, 0, 200, 300});
    window->setRootViewController(root);
    window->makeKeyAndVisible();
  }
  void TearDown() override {
    UIApplication::setSharedApplication(std::make_shared<UIApplication>());
    UIStoryboard::TEST_reset();
  }
  std::shared_ptr<LoggingViewController> root;
  std::shared_ptr<UIWindow> window;
};

TEST_F(ViewControllerTest, AlertActionHandlerRunsOnceAfterTheAlertIsGone) {
  auto alert = UIAlertController::alertControllerWithTitle("Couldn't Save", "Make sure Drosil has permission to add photos.",
                                                           UIAlertControllerStyle::Alert);
  int settings = 0, okay = 0;
  std::shared_ptr<UIViewController> presentedWhenHandled;
  alert->addAction(UIAlertAction::actionWithTitle("App Settings", UIAlertActionStyle::Default, [&](UIAlertAction&) {
    ++settings;
    presentedWhenHandled = root->presentedViewController();
  }));
  alert->addAction(UIAlertAction::actionWithTitle("OK", UIAlertActionStyle::Default, [&](UIAlertAction&) { ++okay; }));
  alert->addAction(UIAlertAction::actionWithTitle("Cancel", UIAlertActionStyle::Cancel));
  alert->addAction(UIAlertAction::actionWithTitle("Second cancel", UIAlertActionStyle::Cancel));  // refused
  EXPECT_EQ(alert->TEST_chooseAction("OK").error().code(), 1);  // not presented yet

  bool completed = false;
  root->presentViewController(alert, true, [&] { completed = true; });
  EXPECT_FALSE(completed);
  os::RunLoop::main().runUntilIdle();
  EXPECT_TRUE(completed);

  auto log = UIViewController::TEST_presentationLog();
  ASSERT_EQ(log.size(), 1u);
  auto shown = std::dynamic_pointer_cast<UIAlertController>(log[0]);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->title(), "Couldn't Save");
  EXPECT_EQ(shown->preferredStyle(), UIAlertControllerStyle::Alert);
  EXPECT_EQ(shown->TEST_actionTitles(), (std::vector<std::string>{"App Settings", "OK", "Cancel"}));
  EXPECT_EQ(alert->presentingViewController(), root);
  // An alert keeps its presenter on screen.
  EXPECT_TRUE(root->isOnScreen());

  ASSERT_TRUE(alert->TEST_chooseAction("App Settings"));
  EXPECT_EQ(settings, 1);
  EXPECT_EQ(presentedWhenHandled, nullptr);
  EXPECT_EQ(root->presentedViewController(), nullptr);
  EXPECT_EQ(alert->TEST_chooseAction("OK").error().code(), 2);
  EXPECT_EQ(alert->TEST_chooseAction("App Settings").error().code(), 2);
  EXPECT_EQ(settings, 1);
  EXPECT_EQ(okay, 0);
}

TEST_F(ViewControllerTest, TappingTheRenderedAlertButtonAnswersIt) {
  auto alert = UIAlertController::alertControllerWithTitle("Would you like to write to us?", std::nullopt,
                                                           UIAlertControllerStyle::Alert);
  std::vector<std::string> chosen;
  alert->addAction(UIAlertAction::actionWithTitle("Later", UIAlertActionStyle::Default,
                                                  [&](UIAlertAction& a) { chosen.push_back(*a.title()); }));
  alert->addAction(UIAlertAction::actionWithTitle("Okay", UIAlertActionStyle::Default,
                                                  [&](UIAlertAction& a) { chosen.push_back(*a.title()); }));
  root->presentViewController(alert, false);
  window->layoutIfNeeded();
  // Find the "Okay" button on screen and tap its centre.
  std::shared_ptr<UIButton> okay;
  std::function<void(const std::shared_ptr<UIView>&)> find = [&](const std::shared_ptr<UIView>& v) {
    if (auto b = std::dynamic_pointer_cast<UIButton>(v); b && b->currentTitle() == "Okay") okay = b;
    for (auto& s : v->subviews()) find(s);
  };
  find(window);
  ASSERT_TRUE(okay);
  CGRect r = okay->convertRectToView(okay->bounds(), nullptr);
  window->tap({r.midX(), r.midY()});
  window->tap({r.midX(), r.midY()});  // the alert is gone: nothing more
  EXPECT_EQ(chosen, (std::vector<std::string>{"Okay"}));
}

TEST_F(ViewControllerTest, PresentationIsRefusedOffScreenAndWhileBusy) {
  auto offScreen = std::make_shared<UIViewController>();
  bool completed = false;
  offScreen->presentViewController(std::make_shared<UIViewController>(), true, [&] { completed = true; });
  EXPECT_EQ(offScreen->presentedViewController(), nullptr);

  auto first = std::make_shared<UIViewController>();
  auto second = std::make_shared<UIViewController>();
  root->presentViewController(first, true);
  root->presentViewController(second, true, [&] { completed = true; });
  os::RunLoop::main().runUntilIdle();
  EXPECT_FALSE(completed);
  EXPECT_EQ(root->presentedViewController(), first);
  EXPECT_EQ(UIViewController::TEST_presentationLog().size(), 1u);
  // A sheet can be swiped away; one that is modal in presentation cannot.
  first->setModalInPresentation(true);
  EXPECT_FALSE(first->TEST_swipeDown());
  first->setModalInPresentation(false);
  EXPECT_TRUE(first->TEST_swipeDown());
  EXPECT_EQ(root->presentedViewController(), nullptr);
}

TEST_F(ViewControllerTest, FullScreenPresentationHidesAndRestoresThePresenter) {
  auto child = std::make_shared<LoggingViewController>();
  root->addChildViewController(child);
  root->view()->addSubview(child->view());
  child->didMoveToParentViewController(root);
  EXPECT_EQ(child->log, (std::vector<std::string>{"load", "willAppear", "didAppear"}));

  auto cover = std::make_shared<LoggingViewController>();
  cover->setModalPresentationStyle(UIModalPresentationStyle::FullScreen);
  root->log.clear();
  child->log.clear();
  // Presenting from a child goes through the root of its containment.
  child->presentViewController(cover, true);
  EXPECT_EQ(cover->presentingViewController(), root);
  EXPECT_EQ(root->log, (std::vector<std::string>{"willDisappear", "didDisappear"}));
  EXPECT_EQ(child->log, (std::vector<std::string>{"willDisappear", "didDisappear"}));
  EXPECT_EQ(cover->log, (std::vector<std::string>{"load", "willAppear", "didAppear"}));
  EXPECT_EQ(root->view()->window(), nullptr);

  int done = 0;
  cover->dismissViewControllerAnimated(true, [&] { ++done; });
  os::RunLoop::main().runUntilIdle();
  EXPECT_EQ(done, 1);
  EXPECT_EQ(cover->log.back(), "didDisappear");
  EXPECT_EQ(root->log, (std::vector<std::string>{"willDisappear", "didDisappear", "willAppear", "didAppear"}));
  EXPECT_EQ(root->view()->window(), window);
  EXPECT_EQ(window->subviews().front(), root->view());
  // Nothing left to dismiss: the completion still runs.
  root->dismissViewControllerAnimated(false, [&] { ++done; });
  os::RunLoop::main().runUntilIdle();
  EXPECT_EQ(done, 2);

  // Containment refuses cycles.
  child->addChildViewController(root);
  EXPECT_TRUE(child->childViewControllers().empty());
  child->removeFromParentViewController();
  EXPECT_TRUE(root->childViewControllers().empty());
  EXPECT_EQ(child->parentViewController(), nullptr);
}

TEST_F(ViewControllerTest, SeguesByIdentifierArePreparedThenPerformed) {
  auto board = UIStoryboard::storyboardWithName("Main");
  std::shared_ptr<UIViewController> made;
  board->registerModalSegue("toSettings", [&] {
    made = std::make_shared<UIViewController>();
    return made;
  });
  root->setStoryboard(board);
  ASSERT_TRUE(root->performSegueWithIdentifier("toSettings", nullptr));
  EXPECT_EQ(root->log.back(), "prepare:toSettings");
  EXPECT_EQ(root->prepared, made);
  EXPECT_EQ(root->presentedViewController(), made);
  EXPECT_EQ(made->storyboard(), board);

  auto missing = root->performSegueWithIdentifier("noSuchSegue", nullptr);
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.error().localizedDescription().find("has no segue with identifier 'noSuchSegue'"), std::string::npos);
}

TEST_F(ViewControllerTest, NavigationToolbarCentresACustomViewBetweenFlexibleSpaces) {
  auto content = std::make_shared<UIViewController>();
  auto nav = std::make_shared<UINavigationController>(content);
  root->presentViewController(nav, false);
  EXPECT_EQ(content->navigationController(), nav);
  nav->setToolbarHidden(false);
  auto label = std::make_shared<UILabel>(CGRect{20, 0, 100, 50});
  auto flexible = UIBarButtonItem::flexibleSpaceItem();
  content->setToolbarItems({flexible, std::make_shared<UIBarButtonItem>(label), flexible});
  window->layoutIfNeeded();
  auto toolbar = nav->toolbar();
  EXPECT_FALSE(toolbar->isHidden());
  EXPECT_EQ(toolbar->items().size(), 3u);
  EXPECT_EQ(label->superview(), toolbar);
  EXPECT_NEAR(label->frame().midX(), toolbar->bounds().midX(), 0.5);
  EXPECT_GT(content->view()->frame().minY(), 0);                            // below the navigation bar
  EXPECT_LE(content->view()->frame().maxY(), toolbar->frame().minY() + 0.5);  // above the toolbar

  auto pushed = std::make_shared<LoggingViewController>();
  nav->pushViewController(pushed, true);
  EXPECT_EQ(nav->topViewController(), pushed);
  EXPECT_EQ(pushed->log, (std::vector<std::string>{"load", "willAppear", "didAppear"}));
  EXPECT_EQ(nav->popViewControllerAnimated(true), pushed);
  EXPECT_EQ(nav->popViewControllerAnimated(true), nullptr);  // the root stays
  EXPECT_EQ(pushed->log.back(), "didDisappear");
}

TEST_F(ViewControllerTest, LayoutAndPopoverRules) {
  int before = root->layouts;
  root->view()->setNeedsLayout();
  window->layoutIfNeeded();
  EXPECT_EQ(root->layouts, before + 1);

  auto share = std::make_shared<UIActivityViewController>(std::vector<UIActivityItem>{UIActivityItem::withText("hi")});
  // On a phone the share sheet is a sheet, without a popover controller.
  EXPECT_EQ(share->popoverPresentationController(), nullptr);
  auto popover = std::make_shared<UIViewController>();
  popover->setModalPresentationStyle(UIModalPresentationStyle::Popover);
  ASSERT_NE(popover->popoverPresentationController(), nullptr);
  popover->popoverPresentationController()->setSourceView(root->view());
  EXPECT_TRUE(popover->popoverPresentationController()->hasAnchor());
}

TEST_F(ViewControllerTest, PresentedScreenRendersToPNG) {
  auto shown = std::make_shared<UIViewController>();
  shown->setModalPresentationStyle(UIModalPresentationStyle::FullScreen);
  shown->view()->setBackgroundColor(UIColor::redColor());
  auto banner = std::make_shared<UIView>(CGRect{0, 0, 200, 40});
  banner->setBackgroundColor(UIColor::blueColor());
  shown->view()->addSubview(banner);
  root->view()->setBackgroundColor(UIColor::greenColor());
  root->presentViewController(shown, false);

  os::TemporarySandbox sandbox;
  std::string path = sandbox.root() + "/screen.png";
  ASSERT_TRUE(window->renderToPNGFile(path, 1));
  auto image = UIImage::imageWithContentsOfFile(path);
  ASSERT_TRUE(image && image->cgImage());
  EXPECT_EQ(image->cgImage()->width(), 200);
  auto top = image->cgImage()->pixel(100, 20), body = image->cgImage()->pixel(100, 200);
  EXPECT_GT(top.b, 200);
  EXPECT_LT(top.r, 50);
  EXPECT_GT(body.r, 200);
  EXPECT_LT(body.g, 50);  // the green presenter is not drawn under a full-screen cover
}

TEST_F(ViewControllerTest, PhotoSaveWritesAJPEGOrReportsTheRefusal) {
  os::TemporarySandbox sandbox;
  UIGraphicsImageRenderer renderer({8, 8}, {1, true});
  auto image = renderer.image([](UIGraphicsImageRendererContext& ctx) {
    UIColorSetFill(UIColor::redColor());
    ctx.fill({0, 0, 8, 8});
  });
  ASSERT_TRUE(image);

  std::vector<std::optional<os::Error>> results;
  auto record = [&](const std::shared_ptr<UIImage>&, const std::optional<os::Error>& e) { results.push_back(e); };
  os::PhotoLibrarySimulator::setAuthorizationStatus(PHAuthorizationStatus::Denied);
  UIImageWriteToSavedPhotosAlbum(*image, record);
  os::PhotoLibrarySimulator::setAuthorizationStatus(PHAuthorizationStatus::Authorized);
  UIImageWriteToSavedPhotosAlbum(*image, record);
  UIImageWriteToSavedPhotosAlbum(std::make_shared<UIImage>(), record);
  UIImageWriteToSavedPhotosAlbum(*image, record);
  EXPECT_TRUE(results.empty());  // completions come on the next turn
  os::RunLoop::main().runUntilIdle();

  ASSERT_EQ(results.size(), 4u);
  ASSERT_TRUE(results[0]);
  EXPECT_EQ(results[0]->domain(), PHPhotosErrorDomain);
  EXPECT_EQ(results[0]->code(), PHPhotosErrorAccessUserDenied);
  EXPECT_FALSE(results[1]);
  ASSERT_TRUE(results[2]);
  EXPECT_EQ(results[2]->code(), PHPhotosErrorInvalidResource);
  EXPECT_FALSE(results[3]);

  auto photos = os::PhotoLibrarySimulator::savedPhotoPaths();
  ASSERT_EQ(photos.size(), 2u);
  EXPECT_EQ(std::filesystem::path(photos[0]).filename(), "IMG_0001.JPG");
  EXPECT_EQ(std::filesystem::path(photos[1]).filename(), "IMG_0002.JPG");
  auto bytes = os::FileManager::defaultManager().contentsAtPath(photos[0]);
  ASSERT_TRUE(bytes);
  ASSERT_GT(bytes->size(), 2u);
  EXPECT_EQ((*bytes)[0], 0xFF);  // JPEG start-of-image marker
  EXPECT_EQ((*bytes)[1], 0xD8);
  // No temporary file is left beside the photos.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(os::PhotoLibrarySimulator::albumDirectory()),
                          std::filesystem::directory_iterator()),
            2);
}

}  // namespace
