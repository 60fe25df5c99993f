// GIF playback: LoopGifManager drives every playing LoopGifImageView from one
// display link, and LoopGifImageView plays a GifImage (gif_image.h): steps
// through its display order, counts passes, pauses off screen, keeps or drops
// a cache of decoded frames within the manager's memory budget, and loads
// GIFs from URLs.
//
// Tick order (updateImageView): for each registered view, the frame prepared
// at the previous tick is pushed into the view, then a playing view advances
// (updateFrame); a stopped view without a superview is deregistered. A tick
// that finds no view stops the display link.
//
// Main thread only. The per-view work of a tick and of the memory accounting
// runs synchronously on the global user-interactive queue while the main
// thread waits, so it never overlaps other work on the views.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/dispatch/run_loop.h"
#include "os/net/url_session.h"
#include "os/uikit/uikit.h"
#include "widgets/LoopGif/gif_image.h"

class LoopGifImageView;

// Every operation optional; held weakly by the views.
class LoopGifDelegate {
 public:
  virtual ~LoopGifDelegate() = default;
  virtual void gifDidStartWithSender(LoopGifImageView&) {}
  virtual void gifDidLoopWithSender(LoopGifImageView&) {}
  virtual void gifDidStopWithSender(LoopGifImageView&) {}
  virtual void gifURLDidFinishWithSender(LoopGifImageView&) {}
  virtual void gifURLDidFailWithSender(LoopGifImageView&, const os::URL&, const std::optional<os::Error>&) {}
};

class LoopGifManager : public std::enable_shared_from_this<LoopGifManager> {
 public:
  // `memoryLimit`: decimal megabytes of decoded frames the registered GIFs
  // may need before frame caches are refused.
  explicit LoopGifManager(int64_t memoryLimit);
  ~LoopGifManager();
  LoopGifManager(const LoopGifManager&) = delete;
  LoopGifManager& operator=(const LoopGifManager&) = delete;

  // The shared manager (limit 50), made on first use; it may be replaced.
  static std::shared_ptr<LoopGifManager> defaultManager();
  static void setDefaultManager(std::shared_ptr<LoopGifManager> manager);

  bool haveCache() const { return haveCache_; }
  void setHaveCache(bool on) { haveCache_ = on; }
  // Downloaded GIF data by URL text; added by URL loading, never evicted.
  std::map<std::string, os::Data>& remoteCache() { return remoteCache_; }
  // The run-loop mode the display link is scheduled in (at the next start).
  const std::string& mode() const { return mode_; }
  void setMode(std::string mode) { mode_ = std::move(mode); }

  void startTimer();
  void stopTimer();
  // Registers the view: true when it was new; false (the timer made sure to
  // run) when it was registered already.
  bool addImageView(const std::shared_ptr<LoopGifImageView>& view);
  void deleteImageView(const std::shared_ptr<LoopGifImageView>& view);
  void updateCacheSize(const std::shared_ptr<LoopGifImageView>& view, bool add);
  // Strips every registered view of its GIF and stops; the totals are kept.
  void clear();
  bool containsImageView(const std::shared_ptr<LoopGifImageView>& view) const;
  // Whether the view may keep all its frames decoded: it is displaying, loops
  // for ever or at least 5 times, and the manager is within its budget.
  bool hasCache(const LoopGifImageView& view) const;
  // One tick of playback (the display link's action).
  void updateImageView();

  const std::shared_ptr<os::DisplayLink>& TEST_timer() const { return timer_; }
  int64_t TEST_totalGifSize() const { return totalGifSize_; }
  int64_t TEST_memoryLimit() const { return memoryLimit_; }
  const std::vector<std::shared_ptr<LoopGifImageView>>& TEST_displayViews() const { return displayViews_; }

 private:
  std::shared_ptr<os::DisplayLink> timer_;
  std::vector<std::shared_ptr<LoopGifImageView>> displayViews_;
  int64_t totalGifSize_ = 0;
  int64_t memoryLimit_;
  bool haveCache_ = true;
  std::map<std::string, os::Data> remoteCache_;
  std::string mode_ = os::kRunLoopCommonModes;
};

// An image view that plays GIF images under a LoopGifManager.
class LoopGifImageView : public UIImageView {
 public:
  using UIImageView::UIImageView;
  using UIImageView::setImage;
  // A new view playing `gifImage` (the default manager when none is given).
  static std::shared_ptr<LoopGifImageView> make(const std::shared_ptr<GifImage>& gifImage,
                                                std::shared_ptr<LoopGifManager> manager = nullptr, int loopCount = -1);
  // A new view loading from `url` with the shared session, a loader shown,
  // and the default level of integrity.
  static std::shared_ptr<LoopGifImageView> make(const os::URL& url, std::shared_ptr<LoopGifManager> manager = nullptr,
                                                int loopCount = -1);

  // Installs the GIF and, when new to the manager, starts it. A GIF without
  // display steps is shown as the still image of its data; one without a
  // decodable first frame is not installed.
  void setGifImage(const std::shared_ptr<GifImage>& gifImage, std::shared_ptr<LoopGifManager> manager = nullptr,
                   int loopCount = -1);
  // A GIF image (one carrying imageData) is installed; any other image is
  // shown plainly and the view leaves its manager.
  void setImage(const std::shared_ptr<UIImage>& image, std::shared_ptr<LoopGifManager> manager, int loopCount = -1);
  // Downloads and installs a GIF; data already in the manager's remoteCache is
  // installed at once and no task is made. Failures reach only the delegate.
  std::shared_ptr<os::URLSessionDataTask> setGifFromURL(const os::URL& url, std::shared_ptr<LoopGifManager> manager,
                                                        int loopCount, const std::shared_ptr<os::URLSession>& session,
                                                        bool showLoader, std::shared_ptr<UIView> customLoader,
                                                        float levelOfIntegrity = levelOfIntegrityDefault);

  void startAnimatingGif();
  void stopAnimatingGif() { playing_ = false; }
  bool isAnimatingGif() const { return playing_; }
  // Shows display step `index` (an index outside the steps shows an empty image).
  void showFrameAtIndex(int index);
  // Moves by `delta` display steps, wrapping around the display order.
  void showFrameForIndexDelta(int delta);
  int currentFrameIndex() const { return displayOrderIndex_; }
  // The frame of display step `index`, or an empty image when there is none.
  std::shared_ptr<UIImage> frameAtIndex(int index) const;
  static bool isDisplayedInScreen(const UIView* view);
  static bool isDiscarded(const UIView* view) { return !view || !view->superview(); }
  // Removes the GIF, its decoded properties and the cache; the view stays
  // registered with its manager.
  void clear();

  // Per-view work the manager runs.
  void updateCache();
  void updateFrame();
  void updateCurrentImage();
  void updateIndex();

  int loopCount() const { return loopCount_; }
  const std::shared_ptr<GifImage>& gifImage() const { return gifImage_; }
  const std::shared_ptr<UIImage>& currentImage() const { return currentImage_; }
  const std::shared_ptr<LoopGifManager>& animationManager() const { return animationManager_; }
  std::shared_ptr<LoopGifDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<LoopGifDelegate> d) { delegate_ = std::move(d); }
  bool displaying() const { return displaying_; }
  void setDisplaying(bool on) { displaying_ = on; }

  bool TEST_frameCacheReady() const { return frameCacheReady_; }
  size_t TEST_frameCacheCount() const { return frameCache_.size(); }
  int TEST_syncCounter() const { return syncCounter_; }

 private:
  friend class LoopGifManager;
  void finishDownload(const os::URL& url, const std::optional<os::Data>& data, const std::optional<os::Error>& error,
                      const std::shared_ptr<LoopGifManager>& manager, int loopCount, float levelOfIntegrity);
  bool visibleAndWanted() const;
  std::shared_ptr<LoopGifImageView> self() {
    return std::static_pointer_cast<LoopGifImageView>(shared_from_this());
  }

  std::shared_ptr<GifImage> gifImage_;
  std::shared_ptr<UIImage> currentImage_;
  std::map<int, std::shared_ptr<UIImage>> frameCache_;
  bool frameCacheReady_ = false;
  int displayOrderIndex_ = 0;
  int syncCounter_ = 0;
  int loopCount_ = 0;
  bool displaying_ = false;
  bool playing_ = false;
  std::shared_ptr<LoopGifManager> animationManager_;
  std::weak_ptr<LoopGifDelegate> delegate_;
};
