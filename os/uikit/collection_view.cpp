#include <algorithm>
#include <cmath>

#include "os/foundation/format.h"
#include "os/uikit/table_view.h"

namespace {
constexpr const char* kCollectionErrorDomain = "os.uikit.CollectionView";
}  // namespace

UICollectionViewCell::UICollectionViewCell(const CGRect& frame) : UIView(frame) {
  contentView_ = std::make_shared<UIView>(bounds());
  contentView_->setAutoresizingMask(UIViewAutoresizing::FlexibleWidth | UIViewAutoresizing::FlexibleHeight);
}

// Added on first use: a view cannot add subviews while it is being made.
const std::shared_ptr<UIView>& UICollectionViewCell::contentView() {
  if (contentView_->superview().get() != this) insertSubview(contentView_, 0);
  return contentView_;
}

void UICollectionViewCell::layoutSubviews() {
  UIView::layoutSubviews();
  contentView()->setFrame(bounds());
}

UICollectionView::UICollectionView(const CGRect& frame, UICollectionViewFlowLayout layout)
    : TappableScrollView(frame), layout_(layout) {}

UICollectionView::~UICollectionView() = default;

void UICollectionView::setCollectionViewLayout(UICollectionViewFlowLayout layout) {
  layout_ = layout;
  geometryValid_ = false;
  setNeedsLayout();
}

void UICollectionView::setDataSource(std::weak_ptr<UICollectionViewDataSource> dataSource) {
  dataSource_ = std::move(dataSource);
  reloadData();
}

void UICollectionView::setCollectionDelegate(std::weak_ptr<UICollectionViewDelegateFlowLayout> delegate) {
  delegate_ = delegate;
  std::weak_ptr<UIScrollViewDelegate> scroll = std::move(delegate);
  setDelegate(scroll);
  geometryValid_ = false;
  setNeedsLayout();
}

void UICollectionView::registerCell(const std::string& reuseIdentifier, CellFactory factory) {
  factories_[reuseIdentifier] = std::move(factory);
}

os::Result<std::shared_ptr<UICollectionViewCell>> UICollectionView::dequeueReusableCellWithReuseIdentifier(
    const std::string& reuseIdentifier, const NSIndexPath& indexPath) {
  (void)indexPath;
  if (auto cell = os::uikit::detail::takeReusableCell(pool_, reuseIdentifier)) return cell;
  auto it = factories_.find(reuseIdentifier);
  std::shared_ptr<UICollectionViewCell> cell = it != factories_.end() && it->second ? it->second() : nullptr;
  if (!cell)
    return os::fail(os::Error::withDescription(
        kCollectionErrorDomain, 1,
        os::format("could not dequeue a view of kind: UICollectionElementKindCell with identifier %@ - must register "
                   "a nib or a class for the identifier",
                   reuseIdentifier)));
  cell->reuseIdentifier_ = reuseIdentifier;
  return cell;
}

void UICollectionView::reloadData() {
  for (auto& [path, cell] : visible_) cell->removeFromSuperview();
  visible_.clear();
  geometryValid_ = false;
  setNeedsLayout();
}

long UICollectionView::numberOfSections() {
  auto ds = dataSource_.lock();
  return ds ? std::max(0L, ds->numberOfSectionsInCollectionView(*this)) : 0;
}

long UICollectionView::numberOfItemsInSection(long section) {
  auto ds = dataSource_.lock();
  if (!ds || section < 0 || section >= numberOfSections()) return 0;
  return std::max(0L, ds->collectionViewNumberOfItemsInSection(*this, section));
}

void UICollectionView::computeGeometry() {
  items_.clear();
  auto delegate = delegate_.lock();
  bool horizontal = layout_.scrollDirection == UICollectionViewScrollDirection::Horizontal;
  CGSize bounds = this->bounds().size;
  // Lines run across the scroll direction; items flow along a line until it is full.
  CGFloat along = 0, extent = 0;  // position in the scroll direction, content extent
  long sections = numberOfSections();
  for (long s = 0; s < sections; ++s) {
    const UIEdgeInsets& in = layout_.sectionInset;
    along += horizontal ? in.left : in.top;
    CGFloat lineStart = horizontal ? in.top : in.left;
    CGFloat lineLimit = horizontal ? bounds.height - in.bottom : bounds.width - in.right;
    CGFloat across = lineStart, lineDepth = 0;
    long count = numberOfItemsInSection(s);
    for (long i = 0; i < count; ++i) {
      NSIndexPath path{s, i};
      CGSize size = layout_.itemSize;
      if (delegate)
        if (auto custom = delegate->collectionViewLayoutSizeForItemAtIndexPath(*this, layout_, path)) size = *custom;
      if (!std::isfinite(size.width) || size.width < 0) size.width = 0;
      if (!std::isfinite(size.height) || size.height < 0) size.height = 0;
      CGFloat itemAcross = horizontal ? size.height : size.width;
      CGFloat itemAlong = horizontal ? size.width : size.height;
      if (across > lineStart && across + itemAcross > lineLimit) {
        along += lineDepth + layout_.minimumLineSpacing;
        across = lineStart;
        lineDepth = 0;
      }
      CGRect frame = horizontal ? CGRect{along, across, size.width, size.height}
                                : CGRect{across, along, size.width, size.height};
      items_.push_back({path, frame});
      across += itemAcross + layout_.minimumInteritemSpacing;
      lineDepth = std::max(lineDepth, itemAlong);
    }
    along += lineDepth + (horizontal ? in.right : in.bottom);
    extent = along;
  }
  setContentSize(horizontal ? CGSize{extent, bounds.height} : CGSize{bounds.width, extent});
  geometryValid_ = true;
}

void UICollectionView::placeItems() {
  CGRect visibleRect{contentOffset(), bounds().size};
  auto ds = dataSource_.lock();
  auto delegate = delegate_.lock();
  std::map<NSIndexPath, std::shared_ptr<UICollectionViewCell>> shown;
  std::vector<std::pair<NSIndexPath, std::shared_ptr<UICollectionViewCell>>> appearing;
  for (auto& item : items_) {
    if (!item.frame.intersects(visibleRect)) continue;
    std::shared_ptr<UICollectionViewCell> cell;
    if (auto it = visible_.find(item.path); it != visible_.end()) {
      cell = it->second;
      visible_.erase(it);
    } else if (ds) {
      cell = ds->collectionViewCellForItemAtIndexPath(*this, item.path);
    }
    if (!cell) continue;
    cell->setFrame(item.frame);
    if (cell->superview().get() != this) appearing.emplace_back(item.path, cell);
    shown[item.path] = cell;
  }
  os::uikit::detail::swapVisibleCells(*this, visible_, std::move(shown), appearing, pool_, selected_,
                                      [&](const NSIndexPath& path, UICollectionViewCell& cell) {
                                        if (delegate) delegate->collectionViewWillDisplayCellForItemAtIndexPath(*this, cell, path);
                                      });
}

void UICollectionView::layoutSubviews() {
  UIScrollView::layoutSubviews();
  if (!geometryValid_) computeGeometry();
  placeItems();
}

std::shared_ptr<UICollectionViewCell> UICollectionView::cellForItemAtIndexPath(const NSIndexPath& indexPath) {
  layoutIfNeeded();
  auto it = visible_.find(indexPath);
  return it != visible_.end() ? it->second : nullptr;
}

std::vector<std::shared_ptr<UICollectionViewCell>> UICollectionView::visibleCells() {
  layoutIfNeeded();
  std::vector<std::shared_ptr<UICollectionViewCell>> out;
  for (auto& [path, cell] : visible_) out.push_back(cell);
  return out;
}

std::optional<NSIndexPath> UICollectionView::indexPathForItemAtPoint(CGPoint point) {
  layoutIfNeeded();
  for (auto& item : items_)
    if (item.frame.contains(point)) return item.path;
  return std::nullopt;
}

CGRect UICollectionView::frameForItemAtIndexPath(const NSIndexPath& indexPath) {
  layoutIfNeeded();
  for (auto& item : items_)
    if (item.path == indexPath) return item.frame;
  return {};
}

std::vector<NSIndexPath> UICollectionView::indexPathsForSelectedItems() const {
  return selected_ ? std::vector<NSIndexPath>{*selected_} : std::vector<NSIndexPath>{};
}

void UICollectionView::TEST_tapItemAtIndexPath(const NSIndexPath& indexPath) {
  layoutIfNeeded();
  if (std::none_of(items_.begin(), items_.end(), [&](auto& i) { return i.path == indexPath; })) return;
  if (selected_)
    if (auto it = visible_.find(*selected_); it != visible_.end()) it->second->setSelected(false);
  selected_ = indexPath;
  if (auto it = visible_.find(indexPath); it != visible_.end()) it->second->setSelected(true);
  if (auto d = delegate_.lock()) d->collectionViewDidSelectItemAtIndexPath(*this, indexPath);
}

void UICollectionView::tappedAt(CGPoint point) {
  if (auto path = indexPathForItemAtPoint(point)) TEST_tapItemAtIndexPath(*path);
}
