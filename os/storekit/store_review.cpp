#include "os/storekit/store_review.h"

namespace {
std::vector<SKStoreReviewRequest>& requests() {
  static auto& log = *new std::vector<SKStoreReviewRequest>();  // never destroyed
  return log;
}
}  // namespace

void SKStoreReviewController::requestReview() { requests().push_back({nullptr}); }

void SKStoreReviewController::requestReviewInScene(const std::shared_ptr<UIWindowScene>& windowScene) {
  requests().push_back({windowScene});
}

std::vector<SKStoreReviewRequest> SKStoreReviewController::TEST_requests() { return requests(); }

void SKStoreReviewController::TEST_clearRequests() { requests().clear(); }
