// REVADAUploadOperation: one upload of one target, run by the uploader's
// operation queue (one at a time).
//
// The upload chain, each step on the uploader's serial queue except the data
// task, which is made and started on the promise library's default queue (the
// main queue):
//   1. background time "REVADAUploader-upload" (its expiry cancels the data
//      task in flight);
//   2. ready? no network: no; forced (16): yes; else once the wait the server
//      asked for has passed;
//   3. not cancelled;
//   4. every batch of the target left over (by an earlier operation, or a
//      process that died) goes back to the store;
//   5./6. the target has events;
//   7. a batch of the events the conditions select (forced: all; Wi-Fi: tiers
//      4, 5, 3, 1, 0; mobile: 4, 3), expiring in 600 s;
//   8. with a metrics controller, the metrics taken and added as an event of
//      mapping ID "1710" (never stored);
//   9. not cancelled;
//  10. uploadAttempted, then the batch is encoded, gzipped when that is
//      shorter, posted, and the answer decides:
//        any HTTP answer       next upload time: the body's wait, else
//                              "Retry-After" seconds, else 15 minutes
//        200-299               events deleted; metrics committed
//        404, 429, 500-599     events returned; metrics offered back
//        400                   events deleted; metrics offered back; every
//                              event (the metrics event too) counted as
//                              dropped for reason 5
//        other                 events deleted; metrics offered back
//        no answer (network    events returned; metrics offered back; next
//        error, expiry), or    upload time unchanged
//        no request (an empty
//        encoding)
//  11. whatever happened: finished, background time ended (at most once).
// A step that refuses (not ready, cancelled, no events, nothing selected)
// ends the chain there; nothing is reported to anyone.
//
// Redirects (301, 302) are followed with a request built again for this
// operation's own target, so its key and user agent survive the redirect.
//
// Threads: executing, finished, uploadAttempted, the URL session, the data
// task and the background task are guarded by the operation's mutex;
// currentMetrics is touched on the uploader's queue only, and each access
// checks it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "os/dispatch/operation.h"
#include "os/dispatch/queue_confined.h"
#include "os/net/url_session.h"
#include "platform/promises/promise.h"
#include "transport/REVOVALibrary/revova_application.h"
#include "transport/REVOVALibrary/revova_metrics.h"
#include "transport/REVOVALibrary/revova_protocols.h"

inline constexpr const char* kREVADAUploadBackgroundTaskName = "REVADAUploader-upload";
inline constexpr const char* kREVADAUploaderErrorDomain = "REVADAUploader";
inline constexpr const char* kREVADAAPIKeyHeader = "V-Uriv-Ivu-Zur";
inline constexpr const char* kREVADATransportVersion = "0.0.1";
inline constexpr double kREVADABatchLifetimeSeconds = 600;
inline constexpr uint64_t kREVADADefaultWaitMillis = 900'000;  // 15 minutes
inline constexpr int64_t kREVADADropReasonServerError = 5;      // the server refused the batch (400)

// What the operation asks of its uploader.
class REVADAUploadMetadataProvider {
 public:
  virtual ~REVADAUploadMetadataProvider() = default;
  // The earliest time the target may upload again; null when none is kept.
  virtual std::shared_ptr<const REVOVAClock> nextUploadTimeForTarget(int64_t target) = 0;
  // Null forgets it.
  virtual void setNextUploadTime(std::shared_ptr<const REVOVAClock> nextUploadTime, int64_t target) = 0;
  virtual std::optional<std::string> APIKeyForTarget(int64_t target) = 0;
};

struct REVADAURLSessionDataResponse {
  os::HTTPURLResponse HTTPResponse;
  os::Data HTTPBody;

  static REVADAURLSessionDataResponse initWithResponse(os::HTTPURLResponse response, os::Data HTTPBody) {
    return {std::move(response), std::move(HTTPBody)};
  }
};

class REVADAUploadOperation : public os::Operation, public os::URLSessionDelegate {
 public:
  REVADAUploadOperation(int64_t target, int64_t conditions, std::optional<os::URL> uploadURL,
                        std::shared_ptr<os::DispatchQueue> queue, std::shared_ptr<REVOVAStoragePromiseProtocol> storage,
                        std::shared_ptr<REVADAUploadMetadataProvider> metadataProvider,
                        std::shared_ptr<REVOVAMetricsControllerProtocol> metricsController);
  ~REVADAUploadOperation() override;

  // ---- the operation ----
  void start() override;
  // Before start: finished at once (not announced); the queue still starts
  // it and the chain stops at its first check.
  void cancel() override;
  bool isExecuting() const override;
  bool isFinished() const override;
  bool isAsynchronous() const override { return true; }
  bool uploadAttempted() const;

  int64_t target() const { return target_; }
  int64_t conditions() const { return conditions_; }

  // ---- steps ----
  static REVOVAStorageEventSelector eventSelectorTarget(int64_t target, int64_t conditions);
  bool readyToUploadTarget(int64_t target, int64_t conditions);
  static os::Data constructRequestProtoWithEvents(const REVOVAEventSet& events);
  // Nothing (logged) for an empty body or no URL.
  std::optional<os::URLRequest> constructRequestWithURL(const std::optional<os::URL>& url, int64_t target,
                                                        const os::Data& data);
  void updateNextUploadTimeWithResponse(const REVADAURLSessionDataResponse& response, int64_t target);
  // "REVADAUploader", -1, the reason as the failure reason.
  static os::Error genericRejectedPromiseErrorWithReason(const std::string& reason);

  // ---- the URL session's delegate ----
  void URLSessionTaskWillPerformHTTPRedirectionNewRequestCompletionHandler(
      os::URLSession& session, os::URLSessionTask& task, const os::HTTPURLResponse& response,
      const os::URLRequest& request, std::function<void(std::optional<os::URLRequest>)> completionHandler) override;

 private:
  std::shared_ptr<REVADAUploadOperation> self();
  void uploadTarget(int64_t target, int64_t conditions);
  promises::Promise<void> isReadyToUploadTarget(int64_t target, int64_t conditions);
  promises::Promise<REVOVAUploadBatch> batchByAddingMetricsEventToBatch(const REVOVAUploadBatch& batch, int64_t target);
  promises::Promise<void> uploadBatch(const REVOVAUploadBatch& batch, int64_t target,
                                      const std::shared_ptr<REVOVAStoragePromiseProtocol>& storage);
  promises::Promise<REVADAURLSessionDataResponse> sendURLRequestWithBatch(const REVOVAUploadBatch& batch,
                                                                          int64_t target);
  promises::Promise<REVADAURLSessionDataResponse> startDataTask(const os::URLRequest& request);
  promises::Promise<void> processResponse(const REVADAURLSessionDataResponse& response, const REVOVAUploadBatch& batch,
                                          const std::shared_ptr<REVOVAStoragePromiseProtocol>& storage);
  void offerCurrentMetrics();
  std::shared_ptr<os::URLSession> uploaderSessionCreateIfNeeded();
  void startOperation();
  void finishOperation();
  void backgroundTaskExpired();
  void endBackgroundTask();

  const int64_t target_;
  const int64_t conditions_;
  const std::optional<os::URL> uploadURL_;
  const std::shared_ptr<os::DispatchQueue> uploaderQueue_;
  const std::shared_ptr<REVOVAStoragePromiseProtocol> storage_;
  const std::shared_ptr<REVADAUploadMetadataProvider> metadataProvider_;
  const std::shared_ptr<REVOVAMetricsControllerProtocol> metricsController_;

  os::QueueConfined<std::optional<REVOVAMetrics>> currentMetrics_{uploaderQueue_, "currentMetrics_"};

  mutable std::mutex mutex_;
  bool executing_ = false;                             // guarded by mutex_
  bool finished_ = false;                              // guarded by mutex_
  bool uploadAttempted_ = false;                       // guarded by mutex_
  std::shared_ptr<os::URLSession> uploaderSession_;    // guarded by mutex_
  std::shared_ptr<os::URLSessionDataTask> currentTask_;  // guarded by mutex_
  REVOVABackgroundTask backgroundTask_;                // guarded by mutex_
};
