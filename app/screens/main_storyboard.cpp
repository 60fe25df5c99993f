#include "app/screens/main_storyboard.h"

#include "app/screens/new_landing_view_controller.h"

void registerMainStoryboard() {
  UIStoryboard::storyboardWithName(kMainStoryboardName)->setInitialViewController([] {
    return std::static_pointer_cast<UIViewController>(std::make_shared<NewLandingViewController>());
  });
}
