// SKStoreReviewController: asks the system for its rating prompt. Whether a
// prompt shows is the system's decision; headless, every request is recorded
// (with the scene it was made in, if any) for tests and the program to read.
//
// Main thread only.
#pragma once

#include <memory>
#include <vector>

class UIWindowScene;

struct SKStoreReviewRequest {
  // The scene given to requestReviewInScene; null for requestReview.
  std::shared_ptr<UIWindowScene> scene;
};

class SKStoreReviewController {
 public:
  static void requestReview();
  static void requestReviewInScene(const std::shared_ptr<UIWindowScene>& windowScene);

  static std::vector<SKStoreReviewRequest> TEST_requests();
  static void TEST_clearRequests();
};
