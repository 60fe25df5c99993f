#include "app/screens/review_requester.h"

#include <optional>
#include <string>

#include "app/settings/info_plist.h"
#include "os/foundation/process_info.h"
#include "os/foundation/user_defaults.h"
#include "os/storekit/store_review.h"
#include "os/uikit/app_host.h"

namespace {
constexpr const char* kBundleVersionKey = "CFBundleVersion";
}  // namespace

std::shared_ptr<UIScene> ReviewRequester::foregroundActiveScene(const std::vector<std::shared_ptr<UIScene>>& in) {
  for (const auto& scene : in) {
    if (scene && scene->activationState() == UISceneActivationState::ForegroundActive) return scene;
  }
  return nullptr;
}

void ReviewRequester::recordReviewWorthyAction() {
  auto defaults = os::UserDefaults::standardUserDefaults();
  const int64_t count = defaults->integerForKey(kReviewWorthyActionCountKey) + 1;
  defaults->setInteger(count, kReviewWorthyActionCountKey);
  if (count < kReviewWorthyActionThreshold) return;

  const std::optional<std::string> build = infoPlistString(kBundleVersionKey);
  const std::optional<std::string> last = defaults->stringForKey(kLastReviewRequestAppVersionKey);
  if (build && last && *build == *last) return;

  if (os::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({14, 0, 0})) {
    auto scene = foregroundActiveScene(UIApplication::sharedApplication()->connectedScenes());
    if (auto windowScene = std::dynamic_pointer_cast<UIWindowScene>(scene)) {
      SKStoreReviewController::requestReviewInScene(windowScene);
    }
  } else {
    SKStoreReviewController::requestReview();
  }
  defaults->setInteger(0, kReviewWorthyActionCountKey);
  if (build) {
    defaults->setObject(os::Value(*build), kLastReviewRequestAppVersionKey);
  } else {
    defaults->removeObjectForKey(kLastReviewRequestAppVersionKey);
  }
}
