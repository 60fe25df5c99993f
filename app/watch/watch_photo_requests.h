// Which photo captures the watch asked for.
//
// A request is tied to the capture it started, known by the uniqueID of its
// AVCapturePhotoSettings (AVCapturePhoto::settingsUniqueID() gives it back).
// So a request counts for that photo only: a watch command that started no
// capture, or a capture that came back without a picture, leaves nothing
// behind that would turn the next on-screen capture into a save.
//
// Use:
//   watch command:   settings = ...; requests.markRequested(settings->uniqueID());
//                    output->capturePhotoWithSettings(settings, delegate);
//                    (mark first: the photo may finish before the call returns)
//   capture done:    bool fromWatch = requests.takeRequest(photo->settingsUniqueID());
//                    (first thing, before any early return)
//
// Thread-safe: the watch command runs on the watch session's queue, the
// capture delegate on the photo output's.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>

class WatchPhotoRequests {
 public:
  // The capture started with these settings is the watch's.
  void markRequested(int64_t settingsUniqueID);
  // Whether the capture with these settings was the watch's; the request is
  // forgotten either way.
  bool takeRequest(int64_t settingsUniqueID);
  // Whether a watch capture has been started and not yet taken.
  bool hasPendingRequest() const;

 private:
  mutable std::mutex mutex_;
  std::set<int64_t> pending_;  // guarded by mutex_
};
