#include "transport/REVADA/revada_uploader.h"

#include <algorithm>

#include "transport/REVADA/revada_messages.h"
#include "transport/REVOVALibrary/revova_metrics.h"
#include "transport/REVOVALibrary/revova_platform.h"

namespace {

// The API key's pieces, kept apart and in other forms than the key's: the
// head as it is, the middle reversed, the tail masked.
constexpr char kKeyHead[] = "DRSL-evtx-";
constexpr char kKeyMiddleReversed[] = "e9a3-c17f-";
constexpr unsigned char kKeyTailMask = 0x5A;
constexpr unsigned char kKeyTailMasked[] = {0x6E, 0x3E, 0x6C, 0x39, 0x63, 0x6D, 0x3B, 0x38};

}  // namespace

std::shared_ptr<REVADAUploader> REVADAUploader::sharedInstance() {
  static auto* instance = new std::shared_ptr<REVADAUploader>(std::make_shared<REVADAUploader>());
  return *instance;
}

REVADAUploader::REVADAUploader()
    : uploadOperationQueue_(os::OperationQueue::create(kREVADAUploaderQueueLabel)),
      uploadQueue_(os::DispatchQueue::serial(kREVADAUploaderQueueLabel)) {
  uploadOperationQueue_->setMaxConcurrentOperationCount(1);
}

const std::string& REVADAUploader::FLLAndCSHAndINTAPIKey() {
  // Never destroyed: uploads may still run at exit.
  static const std::string& key = *new std::string([] {
    std::string middle(kKeyMiddleReversed);
    std::reverse(middle.begin(), middle.end());
    std::string tail;
    for (unsigned char c : kKeyTailMasked) tail.push_back(static_cast<char>(c ^ kKeyTailMask));
    return std::string(kKeyHead) + middle + tail;
  }());
  return key;
}

std::optional<os::URL> REVADAUploader::serverURLForTarget(int64_t target) {
  return REVOVAEndpoints::uploadURLForTarget(target);
}

void REVADAUploader::uploadTarget(int64_t target, int64_t conditions) {
  auto storage = REVOVAStorageInstanceForTarget(target);
  if (!storage) {
    REVOVALog(kREVADAMessageCodeUpload, kREVOVALogLevelError,
              "Failed to upload target: %ld - could not find corresponding storage instance.", target);
    return;
  }
  auto metricsController = REVOVAMetricsControllerInstanceForTarget(target);
  auto operation = std::make_shared<REVADAUploadOperation>(target, conditions, serverURLForTarget(target),
                                                           uploadQueue_, storage, shared_from_this(),
                                                           std::move(metricsController));
  REVOVALogDebug("Upload operation created: %@, target: %@", static_cast<const void*>(operation.get()), target);
  // Told synchronously when the operation finishes, before the queue starts
  // the next one (observers run in the order they were added, and the
  // queue's own comes later): an operation that sent a batch cancels exactly
  // what is queued behind it. A completion block would run later, on another
  // thread, racing the next operation's first steps.
  std::weak_ptr<REVADAUploader> weakSelf = weak_from_this();
  operation->addObserver([weakSelf](os::Operation& finished, const std::string& key) {
    if (key != os::kOperationIsFinishedKey || !finished.isFinished()) return;
    auto self = weakSelf.lock();
    if (!self) {
      REVOVALogDebug("Internal inconsistency: REVADAUploader was deallocated during upload.");
      return;
    }
    auto& upload = static_cast<REVADAUploadOperation&>(finished);
    REVOVALogDebug("Upload operation finished: %@, uploadAttempted: %@", static_cast<const void*>(&upload),
                   upload.uploadAttempted() ? "YES" : "NO");
    if (upload.uploadAttempted()) self->uploadOperationQueue_->cancelAllOperations();
  });
  uploadOperationQueue_->addOperation(operation);
  REVOVALogDebug("Upload operation scheduled: %@, operation count: %@", static_cast<const void*>(operation.get()),
                 uploadOperationQueue_->operationCount());
}

std::shared_ptr<const REVOVAClock> REVADAUploader::nextUploadTimeForTarget(int64_t target) {
  std::lock_guard lock(mutex_);
  auto it = nextUploadTimeByTarget_.find(target);
  return it == nextUploadTimeByTarget_.end() ? nullptr : it->second;
}

void REVADAUploader::setNextUploadTime(std::shared_ptr<const REVOVAClock> nextUploadTime, int64_t target) {
  std::lock_guard lock(mutex_);
  if (nextUploadTime) nextUploadTimeByTarget_[target] = std::move(nextUploadTime);
  else nextUploadTimeByTarget_.erase(target);
}

std::optional<std::string> REVADAUploader::APIKeyForTarget(int64_t target) {
  if (target == kREVOVATargetFLL || target == kREVOVATargetCSH || target == kREVOVATargetINT)
    return FLLAndCSHAndINTAPIKey();
  return std::nullopt;
}
