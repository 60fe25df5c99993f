#include "app/screens/main_storyboard.h"

#include "app/screens/new_landing_view_controller.h"
#include "app/screens/photo/preview_view_controller.h"
#include "app/settings/new_settings_table_view_controller.h"

void registerMainStoryboard() {
  auto storyboard = UIStoryboard::storyboardWithName(kMainStoryboardName);
  storyboard->setInitialViewController([] {
    return std::static_pointer_cast<UIViewController>(std::make_shared<NewLandingViewController>());
  });
  registerSettingsScreen(storyboard);
  // Full screen: the meter screen disappears under the settings and appears
  // again (restarting the camera) when they close.
  std::weak_ptr<UIStoryboard> weak = storyboard;
  storyboard->registerSegue(kToSettingsSegueIdentifier,
                            [weak](const std::string& identifier, const std::shared_ptr<UIViewController>& source)
                                -> std::shared_ptr<UIStoryboardSegue> {
                              auto board = weak.lock();
                              if (!board) return nullptr;
                              auto destination =
                                  board->instantiateViewControllerWithIdentifier(kSettingsNavigationStoryboardIdentifier);
                              if (!destination) return nullptr;
                              (*destination)->setModalPresentationStyle(UIModalPresentationStyle::FullScreen);
                              return std::make_shared<UIStoryboardModalSegue>(identifier, source, *destination);
                            });
  storyboard->registerModalSegue(kSegueToPreviewIdentifier, [] {
    return std::static_pointer_cast<UIViewController>(std::make_shared<PreviewViewController>());
  });
}
