// REVADAUploader: the event transport's one uploader, registered at class
// load for targets 1000 to 1003 (revova_load.cpp).
//
// Each uploadTarget call (the coordinator's timer, or a forced upload) queues
// one REVADAUploadOperation on an operation queue that runs one at a time.
// When an operation that sent a batch finishes, every operation still queued
// is cancelled before the next starts: a firing that queued several targets
// sends one batch. A cancelled operation that had already taken its batch
// leaves it for the next operation of its target, which returns it first.
//
// As the operations' metadata provider it keeps, in memory only, the earliest
// next upload time of each target, and gives the API key of targets 1001 to
// 1003 (target 1000 sends none).
//
// Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "os/dispatch/operation.h"
#include "os/dispatch/queue.h"
#include "os/foundation/url.h"
#include "transport/REVADA/revada_upload_operation.h"
#include "transport/REVOVALibrary/revova_protocols.h"

inline constexpr const char* kREVADAUploaderQueueLabel = "com.devuvo.REVADAUploader";

class REVADAUploader : public REVOVAUploader,
                       public REVADAUploadMetadataProvider,
                       public std::enable_shared_from_this<REVADAUploader> {
 public:
  static std::shared_ptr<REVADAUploader> sharedInstance();
  REVADAUploader();

  // Queues an operation for the target; reports nothing. A target without a
  // storage is logged and skipped.
  void uploadTarget(int64_t target, int64_t conditions) override;
  // The target's upload URL from the endpoint table.
  static std::optional<os::URL> serverURLForTarget(int64_t target);
  // The key of targets 1001 to 1003, made once from pieces kept apart.
  static const std::string& FLLAndCSHAndINTAPIKey();

  // ---- REVADAUploadMetadataProvider ----
  std::shared_ptr<const REVOVAClock> nextUploadTimeForTarget(int64_t target) override;
  void setNextUploadTime(std::shared_ptr<const REVOVAClock> nextUploadTime, int64_t target) override;
  std::optional<std::string> APIKeyForTarget(int64_t target) override;

  const std::shared_ptr<os::OperationQueue>& uploadOperationQueue() const { return uploadOperationQueue_; }
  const std::shared_ptr<os::DispatchQueue>& uploadQueue() const { return uploadQueue_; }

 private:
  std::shared_ptr<os::OperationQueue> uploadOperationQueue_;
  std::shared_ptr<os::DispatchQueue> uploadQueue_;
  std::mutex mutex_;
  std::map<int64_t, std::shared_ptr<const REVOVAClock>> nextUploadTimeByTarget_;  // guarded by mutex_
};
