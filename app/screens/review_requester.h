// ReviewRequester: counts review-worthy user actions and, at the 20th since
// the last request, asks the store-review service for its rating prompt, at
// most once per build ("CFBundleVersion", read through the cached Info.plist
// of app/settings/info_plist.h).
//
// State, in the standard user defaults: "reviewWorthyActionCount" (actions
// since the last request; absent reads as 0) and
// "lastReviewRequestAppVersion" (the build of the last request). Both are
// updated on a request whether or not the platform shows its prompt, also
// when no foreground-active window scene was found.
//
// Threads: main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

class UIScene;

inline constexpr const char* kReviewWorthyActionCountKey = "reviewWorthyActionCount";
inline constexpr const char* kLastReviewRequestAppVersionKey = "lastReviewRequestAppVersion";
inline constexpr int64_t kReviewWorthyActionThreshold = 20;

class ReviewRequester {
 public:
  static void recordReviewWorthyAction();
  // The first scene, in the given order, that is foreground-active.
  static std::shared_ptr<UIScene> foregroundActiveScene(const std::vector<std::shared_ptr<UIScene>>& in);
};
