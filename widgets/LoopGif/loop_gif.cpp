#include "widgets/LoopGif/loop_gif.h"

#include <algorithm>
#include <mutex>

namespace {

std::mutex gDefaultManagerMutex;
// Never destroyed: the manager's views and images would go at exit after
// statics they use. Guarded by gDefaultManagerMutex.
std::shared_ptr<LoopGifManager>& gDefaultManager = *new std::shared_ptr<LoopGifManager>();

void onViewQueue(const os::DispatchBlock& block) {
  os::DispatchQueue::global(os::QualityOfService::UserInteractive)->sync(block);
}

std::shared_ptr<LoopGifManager> orDefault(std::shared_ptr<LoopGifManager> manager) {
  return manager ? std::move(manager) : LoopGifManager::defaultManager();
}

}  // namespace

// ---- LoopGifManager ----

LoopGifManager::LoopGifManager(int64_t memoryLimit) : memoryLimit_(memoryLimit) {}

LoopGifManager::~LoopGifManager() {
  if (timer_) timer_->invalidate();
}

std::shared_ptr<LoopGifManager> LoopGifManager::defaultManager() {
  std::lock_guard lock(gDefaultManagerMutex);
  if (!gDefaultManager) gDefaultManager = std::make_shared<LoopGifManager>(50);
  return gDefaultManager;
}

void LoopGifManager::setDefaultManager(std::shared_ptr<LoopGifManager> manager) {
  std::lock_guard lock(gDefaultManagerMutex);
  gDefaultManager = std::move(manager);
}

void LoopGifManager::startTimer() {
  if (timer_) return;
  std::weak_ptr<LoopGifManager> weak = weak_from_this();
  timer_ = os::DisplayLink::create([weak](os::DisplayLink&) {
    if (auto self = weak.lock()) self->updateImageView();
  });
  timer_->addToRunLoop(os::RunLoop::main(), mode_);
}

void LoopGifManager::stopTimer() {
  if (timer_) timer_->invalidate();
  timer_ = nullptr;
}

bool LoopGifManager::addImageView(const std::shared_ptr<LoopGifImageView>& view) {
  if (!view) return false;
  if (containsImageView(view)) {
    startTimer();
    return false;
  }
  updateCacheSize(view, true);
  displayViews_.push_back(view);
  startTimer();
  return true;
}

void LoopGifManager::deleteImageView(const std::shared_ptr<LoopGifImageView>& view) {
  auto it = std::find(displayViews_.begin(), displayViews_.end(), view);
  if (it == displayViews_.end()) return;
  displayViews_.erase(it);
  updateCacheSize(view, false);
}

void LoopGifManager::updateCacheSize(const std::shared_ptr<LoopGifImageView>& view, bool add) {
  int64_t size = 0;
  if (view && view->gifImage() && view->gifImage()->imageSize()) size = *view->gifImage()->imageSize();
  // Sizes come from decoded data: saturate rather than overflow.
  int64_t total = 0;
  if (__builtin_add_overflow(totalGifSize_, add ? size : -size, &total)) total = add ? INT64_MAX : INT64_MIN;
  totalGifSize_ = total;
  haveCache_ = totalGifSize_ <= memoryLimit_;
  const auto views = displayViews_;
  for (const auto& v : views) onViewQueue([&] { v->updateCache(); });
}

void LoopGifManager::clear() {
  for (const auto& view : displayViews_) {
    if (view->gifImage_) view->gifImage_->clear();
    view->gifImage_.reset();
    view->currentImage_.reset();
    view->frameCache_.clear();
    view->animationManager_.reset();
    view->setImage(nullptr);
  }
  displayViews_.clear();
  stopTimer();
}

bool LoopGifManager::containsImageView(const std::shared_ptr<LoopGifImageView>& view) const {
  return std::find(displayViews_.begin(), displayViews_.end(), view) != displayViews_.end();
}

bool LoopGifManager::hasCache(const LoopGifImageView& view) const {
  if (!view.displaying()) return false;
  if (view.loopCount() != -1 && view.loopCount() < 5) return false;
  return haveCache_;
}

void LoopGifManager::updateImageView() {
  if (displayViews_.empty()) {
    stopTimer();
    return;
  }
  const auto views = displayViews_;
  for (const auto& view : views) {
    onViewQueue([&] { view->setImage(view->currentImage()); });
    if (view->isAnimatingGif()) {
      onViewQueue([&] { view->updateFrame(); });
    } else if (!view->superview()) {
      onViewQueue([&] { deleteImageView(view); });
    }
  }
}

// ---- LoopGifImageView ----

std::shared_ptr<LoopGifImageView> LoopGifImageView::make(const std::shared_ptr<GifImage>& gifImage,
                                                         std::shared_ptr<LoopGifManager> manager, int loopCount) {
  auto view = std::make_shared<LoopGifImageView>();
  view->setGifImage(gifImage, std::move(manager), loopCount);
  return view;
}

std::shared_ptr<LoopGifImageView> LoopGifImageView::make(const os::URL& url, std::shared_ptr<LoopGifManager> manager,
                                                         int loopCount) {
  auto view = std::make_shared<LoopGifImageView>();
  view->setGifFromURL(url, std::move(manager), loopCount, os::URLSession::sharedSession(), true, nullptr,
                      levelOfIntegrityDefault);
  return view;
}

void LoopGifImageView::setGifImage(const std::shared_ptr<GifImage>& gifImage, std::shared_ptr<LoopGifManager> manager,
                                   int loopCount) {
  if (!gifImage) return;
  manager = orDefault(std::move(manager));
  if (gifImage->imageData() && (!gifImage->imageCount() || *gifImage->imageCount() < 1)) {
    setImage(GifImage::stillImageWithData(*gifImage->imageData()));
    return;
  }
  loopCount_ = loopCount;
  gifImage_ = gifImage;
  animationManager_ = manager;
  syncCounter_ = 0;
  displayOrderIndex_ = 0;
  frameCache_.clear();
  frameCacheReady_ = false;

  if (!gifImage->imageSource()) return;
  auto first = gifImage->imageSource()->createImageAtIndex(0);
  if (!first) return;
  currentImage_ = std::make_shared<UIImage>(first, 1);

  if (manager->addImageView(self())) {
    displaying_ = true;
    updateCache();
    startAnimatingGif();
  }
}

void LoopGifImageView::setImage(const std::shared_ptr<UIImage>& image, std::shared_ptr<LoopGifManager> manager,
                                int loopCount) {
  manager = orDefault(std::move(manager));
  auto gif = GifImage::fromImage(image);
  if (gif && gif->imageData()) {
    setGifImage(gif, manager, loopCount);
    return;
  }
  manager->deleteImageView(self());
  setImage(image);
}

void LoopGifImageView::startAnimatingGif() {
  playing_ = true;
  if (auto d = delegate()) d->gifDidStartWithSender(*this);
}

void LoopGifImageView::showFrameAtIndex(int index) {
  displayOrderIndex_ = index;
  updateCurrentImage();
}

void LoopGifImageView::showFrameForIndexDelta(int delta) {
  if (!gifImage_) return;
  const int count = static_cast<int>(gifImage_->framesCount());
  if (count == 0) return;
  int index = (displayOrderIndex_ + delta) % count;
  if (index < 0) index += count;
  displayOrderIndex_ = index;
  updateCurrentImage();
}

std::shared_ptr<UIImage> LoopGifImageView::frameAtIndex(int index) const {
  auto empty = std::make_shared<UIImage>();
  if (!gifImage_ || !gifImage_->imageSource() || !gifImage_->displayOrder()) return empty;
  const auto& order = *gifImage_->displayOrder();
  // Negative indices are refused as well: they would read before the list.
  if (index < 0 || static_cast<size_t>(index) >= order.size()) return empty;
  auto frame = gifImage_->imageSource()->createImageAtIndex(static_cast<size_t>(order[static_cast<size_t>(index)]));
  return frame ? std::make_shared<UIImage>(frame, 1) : empty;
}

bool LoopGifImageView::isDisplayedInScreen(const UIView* view) {
  if (!view || view->isHidden()) return false;
  if (!view->window()) return false;
  CGRect inWindow = view->convertRectToView(view->bounds(), nullptr);
  CGRect visible = inWindow.intersection(UIScreen::mainScreen().bounds());
  return !visible.isEmpty() && !visible.isNull();
}

void LoopGifImageView::clear() {
  if (gifImage_) gifImage_->clear();
  gifImage_.reset();
  currentImage_.reset();
  frameCache_.clear();
  animationManager_.reset();
  setImage(nullptr);
}

bool LoopGifImageView::visibleAndWanted() const {
  return loopCount_ != 0 && isDisplayedInScreen(this) && playing_;
}

void LoopGifImageView::updateFrame() {
  if (displaying_) {
    updateCurrentImage();
    updateIndex();
    if (visibleAndWanted()) return;
    displaying_ = false;
    updateCache();
  } else {
    if (visibleAndWanted()) {
      displaying_ = true;
      updateCache();
    }
    if (!superview() && animationManager_) animationManager_->deleteImageView(self());
  }
}

void LoopGifImageView::updateCurrentImage() {
  if (frameCacheReady_) {
    if (auto it = frameCache_.find(displayOrderIndex_); it != frameCache_.end()) {
      currentImage_ = it->second;
      return;
    }
  }
  currentImage_ = frameAtIndex(displayOrderIndex_);
}

void LoopGifImageView::updateIndex() {
  if (!gifImage_ || !gifImage_->displayRefreshFactor() || *gifImage_->displayRefreshFactor() < 1) return;
  syncCounter_ = (syncCounter_ + 1) % *gifImage_->displayRefreshFactor();
  if (syncCounter_ != 0) return;
  if (!gifImage_->imageCount() || *gifImage_->imageCount() < 1) return;
  displayOrderIndex_ = (displayOrderIndex_ + 1) % *gifImage_->imageCount();
  if (displayOrderIndex_ != 0) return;

  auto d = delegate();
  if (loopCount_ == -1) {
    if (d) d->gifDidLoopWithSender(*this);
  } else if (loopCount_ < 2) {
    if (d) d->gifDidStopWithSender(*this);
    --loopCount_;
  } else {
    if (d) d->gifDidLoopWithSender(*this);
    --loopCount_;
  }
}

void LoopGifImageView::updateCache() {
  if (!animationManager_) return;
  const bool allowed = animationManager_->hasCache(*this);
  if (allowed && !frameCacheReady_) {
    frameCache_.clear();
    if (gifImage_ && gifImage_->displayOrder()) {
      const int steps = static_cast<int>(gifImage_->displayOrder()->size());
      for (int i = 0; i < steps; ++i) frameCache_[i] = frameAtIndex(i);
    }
    frameCacheReady_ = true;
  } else if (!allowed && frameCacheReady_) {
    frameCache_.clear();
    frameCacheReady_ = false;
  }
}

std::shared_ptr<os::URLSessionDataTask> LoopGifImageView::setGifFromURL(
    const os::URL& url, std::shared_ptr<LoopGifManager> manager, int loopCount,
    const std::shared_ptr<os::URLSession>& session, bool showLoader, std::shared_ptr<UIView> customLoader,
    float levelOfIntegrity) {
  manager = orDefault(std::move(manager));
  if (auto it = manager->remoteCache().find(url.absoluteString()); it != manager->remoteCache().end()) {
    finishDownload(url, it->second, std::nullopt, manager, loopCount, levelOfIntegrity);
    return nullptr;
  }
  playing_ = false;

  std::shared_ptr<UIView> loader;
  if (showLoader) {
    loader = customLoader;
    if (!loader) loader = std::make_shared<UIActivityIndicatorView>();
    addSubview(loader);
    loader->setTranslatesAutoresizingMaskIntoConstraints(false);
    NSLayoutConstraint::activateConstraints(
        {NSLayoutConstraint::constraintWithItem(loader, NSLayoutAttribute::CenterX, self(), NSLayoutAttribute::CenterX, 1, 0),
         NSLayoutConstraint::constraintWithItem(loader, NSLayoutAttribute::CenterY, self(), NSLayoutAttribute::CenterY, 1, 0)});
    if (auto indicator = std::dynamic_pointer_cast<UIActivityIndicatorView>(loader)) indicator->startAnimating();
  }
  if (!session) return nullptr;

  std::weak_ptr<LoopGifImageView> weak = self();
  auto task = session->dataTaskWithURL(
      url, [weak, loader, url, manager, loopCount, levelOfIntegrity](
               std::optional<os::Data> data, std::optional<os::HTTPURLResponse>, std::optional<os::Error> error) {
        os::DispatchQueue::main()->async([weak, loader, url, manager, loopCount, levelOfIntegrity, data = std::move(data),
                                          error = std::move(error)] {
          if (loader) loader->removeFromSuperview();
          if (auto self = weak.lock()) self->finishDownload(url, data, error, manager, loopCount, levelOfIntegrity);
        });
      });
  task->resume();
  return task;
}

void LoopGifImageView::finishDownload(const os::URL& url, const std::optional<os::Data>& data,
                                      const std::optional<os::Error>& error,
                                      const std::shared_ptr<LoopGifManager>& manager, int loopCount,
                                      float levelOfIntegrity) {
  if (!data) {
    if (auto d = delegate()) d->gifURLDidFailWithSender(*this, url, error);
    return;
  }
  auto image = GifImage::imageWithGifData(*data, levelOfIntegrity);
  if (!image) {
    if (auto d = delegate()) d->gifURLDidFailWithSender(*this, url, image.error());
    return;
  }
  manager->remoteCache()[url.absoluteString()] = *data;
  setGifImage(*image, manager, loopCount);
  startAnimatingGif();
  if (auto d = delegate()) d->gifURLDidFinishWithSender(*this);
}
