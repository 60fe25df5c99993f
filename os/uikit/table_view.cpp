#include "os/uikit/table_view.h"

#include <algorithm>
#include <cmath>

#include "os/dispatch/queue.h"
#include "os/foundation/format.h"

namespace {
constexpr CGFloat kDefaultRowHeight = 44;
constexpr CGFloat kTapSlop = 10;

bool finiteNonNegative(CGFloat v) { return std::isfinite(v) && v >= 0; }
}  // namespace

std::string NSIndexPathDescription(const NSIndexPath& path) {
  return os::format("%ld-%ld", path.section, path.row);
}

// --- Cell --------------------------------------------------------------------------

UITableViewCell::UITableViewCell(UITableViewCellStyle style, std::string reuseIdentifier)
    : UIView(CGRect{0, 0, 320, kDefaultRowHeight}), style_(style), reuseIdentifier_(std::move(reuseIdentifier)) {
  contentView_ = std::make_shared<UIView>(bounds());
  contentView_->setAutoresizingMask(UIViewAutoresizing::FlexibleWidth | UIViewAutoresizing::FlexibleHeight);
  setBackgroundColor(UIColor::systemBackgroundColor());
}

// Added on first use: a view cannot add subviews while it is being made.
const std::shared_ptr<UIView>& UITableViewCell::contentView() {
  if (contentView_->superview().get() != this) insertSubview(contentView_, 0);
  return contentView_;
}

std::shared_ptr<UILabel> UITableViewCell::textLabel() {
  if (!textLabel_) {
    textLabel_ = std::make_shared<UILabel>();
    contentView()->addSubview(textLabel_);
    setNeedsLayout();
  }
  return textLabel_;
}

std::shared_ptr<UILabel> UITableViewCell::detailTextLabel() {
  if (style_ == UITableViewCellStyle::Default) return nullptr;
  if (!detailTextLabel_) {
    detailTextLabel_ = std::make_shared<UILabel>();
    detailTextLabel_->setFont(UIFont::systemFont(style_ == UITableViewCellStyle::Subtitle ? 12 : 17));
    detailTextLabel_->setTextColor(UIColor::systemGrayColor());
    contentView()->addSubview(detailTextLabel_);
    setNeedsLayout();
  }
  return detailTextLabel_;
}

std::shared_ptr<UIImageView> UITableViewCell::imageView() {
  if (!imageView_) {
    imageView_ = std::make_shared<UIImageView>();
    contentView()->addSubview(imageView_);
    setNeedsLayout();
  }
  return imageView_;
}

void UITableViewCell::setAccessoryView(std::shared_ptr<UIView> view) {
  if (accessoryView_) accessoryView_->removeFromSuperview();
  accessoryView_ = std::move(view);
  if (accessoryView_) addSubview(accessoryView_);
  setNeedsLayout();
}

void UITableViewCell::setSelected(bool selected, bool animated) {
  (void)animated;
  selected_ = selected;
}

void UITableViewCell::layoutSubviews() {
  UIView::layoutSubviews();
  contentView();
  CGRect b = bounds();
  CGFloat trailing = b.width();
  if (accessoryView_) {
    CGSize s = accessoryView_->sizeThatFits({});
    if (s.width <= 0 || s.height <= 0) s = accessoryView_->frame().size;
    trailing -= 16 + s.width;
    accessoryView_->setFrame({trailing, (b.height() - s.height) / 2, s.width, s.height});
  } else if (accessoryType_ != UITableViewCellAccessoryType::None) {
    trailing -= 36;
  }
  contentView_->setFrame({0, 0, std::max<CGFloat>(0, trailing), b.height()});
  CGFloat x = 16;
  if (imageView_ && imageView_->image()) {
    CGSize s = imageView_->image()->size();
    imageView_->setFrame({x, (b.height() - s.height) / 2, s.width, s.height});
    x += s.width + 12;
  }
  CGFloat w = std::max<CGFloat>(0, contentView_->bounds().width() - x - 16);
  if (detailTextLabel_ && style_ == UITableViewCellStyle::Subtitle) {
    if (textLabel_) textLabel_->setFrame({x, 4, w, b.height() / 2 - 4});
    detailTextLabel_->setFrame({x, b.height() / 2, w, b.height() / 2 - 4});
  } else {
    if (textLabel_) textLabel_->setFrame({x, 0, w, b.height()});
    if (detailTextLabel_) {
      detailTextLabel_->setTextAlignment(NSTextAlignment::Right);
      detailTextLabel_->setFrame({x, 0, w, b.height()});
    }
  }
}

CGSize UITableViewCell::sizeThatFits(CGSize size) const {
  CGFloat bottom = 0;
  for (auto& v : contentView_->subviews())
    if (!v->isHidden() && v != textLabel_ && v != detailTextLabel_ && v != imageView_)
      bottom = std::max(bottom, v->frame().maxY());
  CGFloat height = bottom > 0 ? bottom : kDefaultRowHeight;
  return {size.width, height};
}

// --- Table ---------------------------------------------------------------------------

UITableView::UITableView(const CGRect& frame, UITableViewStyle style) : TappableScrollView(frame), style_(style) {
  setBackgroundColor(style == UITableViewStyle::Plain ? UIColor::systemBackgroundColor()
                                                      : UIColor::fromWhite(0.95, 1));
}

UITableView::~UITableView() = default;

void UITableView::setDataSource(std::weak_ptr<UITableViewDataSource> dataSource) {
  dataSource_ = std::move(dataSource);
  reloadData();
}

void UITableView::setTableDelegate(std::weak_ptr<UITableViewDelegate> delegate) {
  delegate_ = delegate;
  std::weak_ptr<UIScrollViewDelegate> scroll = std::move(delegate);
  setDelegate(scroll);
  geometryValid_ = false;
  setNeedsLayout();
}

void UITableView::reloadData() {
  for (auto& [path, cell] : visible_) cell->removeFromSuperview();
  visible_.clear();
  measured_.clear();
  geometryValid_ = false;
  setNeedsLayout();
}

void UITableView::beginUpdates() { ++updateDepth_; }

void UITableView::endUpdates() {
  if (updateDepth_ == 0) return;
  if (--updateDepth_ > 0) return;
  measured_.clear();
  geometryValid_ = false;
  setNeedsLayout();
  layoutIfNeeded();
}

void UITableView::performBatchUpdates(const std::function<void()>& updates, std::function<void(bool)> completion) {
  beginUpdates();
  if (updates) updates();
  endUpdates();
  if (completion) os::DispatchQueue::main()->async([completion = std::move(completion)] { completion(true); });
}

long UITableView::numberOfSections() {
  auto ds = dataSource_.lock();
  return ds ? std::max(0L, ds->numberOfSectionsInTableView(*this)) : 0;
}

long UITableView::numberOfRowsInSection(long section) {
  auto ds = dataSource_.lock();
  if (!ds || section < 0 || section >= numberOfSections()) return 0;
  return std::max(0L, ds->tableViewNumberOfRowsInSection(*this, section));
}

CGFloat UITableView::heightFor(const NSIndexPath& path, CGFloat y) {
  CGFloat h = UITableViewAutomaticDimension;
  if (auto d = delegate_.lock()) h = d->tableViewHeightForRowAtIndexPath(*this, path);
  if (h == UITableViewAutomaticDimension) h = rowHeight_;
  if (h == UITableViewAutomaticDimension) {
    // Rows are measured when they come into view; until then they count at
    // the estimated height.
    if (auto it = measured_.find(path); it != measured_.end()) return it->second;
    CGFloat top = contentOffset().y, bottom = top + bounds().height();
    if (y >= bottom || y + estimatedRowHeight_ <= top) {
      hasEstimates_ = true;
      return finiteNonNegative(estimatedRowHeight_) ? estimatedRowHeight_ : kDefaultRowHeight;
    }
    // The cell's own height: the one shown, else a fresh one asked for.
    std::shared_ptr<UITableViewCell> cell;
    if (auto it = visible_.find(path); it != visible_.end()) cell = it->second;
    if (!cell) {
      if (auto ds = dataSource_.lock()) {
        cell = ds->tableViewCellForRowAtIndexPath(*this, path);
        if (cell) visible_[path] = cell;  // kept: it is the cell this row shows
      }
    }
    if (cell) {
      cell->setFrame({0, 0, bounds().width(), cell->frame().height()});
      cell->layoutIfNeeded();
      h = cell->sizeThatFits({bounds().width(), 0}).height;
    } else {
      h = kDefaultRowHeight;
    }
    if (!finiteNonNegative(h)) h = kDefaultRowHeight;
    measured_[path] = h;
  }
  return finiteNonNegative(h) ? h : kDefaultRowHeight;
}

void UITableView::computeGeometry() {
  rows_.clear();
  hasEstimates_ = false;
  CGFloat y = 0;
  long sections = numberOfSections();
  for (long s = 0; s < sections; ++s) {
    if (style_ != UITableViewStyle::Plain) y += 18;
    long count = numberOfRowsInSection(s);
    for (long r = 0; r < count; ++r) {
      NSIndexPath path{s, r};
      CGFloat h = heightFor(path, y);
      rows_.push_back({path, y, h});
      y += h;
    }
  }
  setContentSize({bounds().width(), y});
  geometryValid_ = true;
}

void UITableView::placeRows() {
  CGFloat top = contentOffset().y, bottom = top + bounds().height();
  std::map<NSIndexPath, std::shared_ptr<UITableViewCell>> shown;
  auto ds = dataSource_.lock();
  auto delegate = delegate_.lock();
  std::vector<std::pair<NSIndexPath, std::shared_ptr<UITableViewCell>>> appearing;
  for (auto& row : rows_) {
    bool visible = row.height > 0 ? row.y < bottom && row.y + row.height > top : row.y >= top && row.y <= bottom;
    if (!visible) continue;
    std::shared_ptr<UITableViewCell> cell;
    if (auto it = visible_.find(row.path); it != visible_.end()) {
      cell = it->second;
      visible_.erase(it);
    } else if (ds) {
      cell = ds->tableViewCellForRowAtIndexPath(*this, row.path);
    }
    if (!cell) continue;
    cell->setFrame({0, row.y, bounds().width(), row.height});
    cell->setClipsToBounds(true);
    if (cell->superview().get() != this) appearing.emplace_back(row.path, cell);
    shown[row.path] = cell;
  }
  os::uikit::detail::swapVisibleCells(*this, visible_, std::move(shown), appearing, pool_, selected_,
                                      [&](const NSIndexPath& path, UITableViewCell& cell) {
                                        if (delegate) delegate->tableViewWillDisplayCellForRowAtIndexPath(*this, cell, path);
                                      });
}

void UITableView::layoutSubviews() {
  UIScrollView::layoutSubviews();
  if (!geometryValid_ || hasEstimates_) {
    // Rows that left the view give their cells back first, so that rows
    // measured next can reuse them.
    CGFloat top = contentOffset().y, bottom = top + bounds().height();
    for (auto& row : rows_) {
      auto it = visible_.find(row.path);
      if (it == visible_.end() || (row.y < bottom && row.y + row.height > top)) continue;
      it->second->removeFromSuperview();
      if (!it->second->reuseIdentifier().empty()) pool_[it->second->reuseIdentifier()].push_back(it->second);
      visible_.erase(it);
    }
    computeGeometry();
  }
  placeRows();
}

std::shared_ptr<UITableViewCell> UITableView::cellForRowAtIndexPath(const NSIndexPath& indexPath) {
  layoutIfNeeded();
  auto it = visible_.find(indexPath);
  return it != visible_.end() && it->second->superview().get() == this ? it->second : nullptr;
}

std::vector<std::shared_ptr<UITableViewCell>> UITableView::visibleCells() {
  layoutIfNeeded();
  std::vector<std::shared_ptr<UITableViewCell>> out;
  for (auto& [path, cell] : visible_)
    if (cell->superview().get() == this) out.push_back(cell);
  return out;
}

std::optional<NSIndexPath> UITableView::indexPathForCell(const UITableViewCell& cell) const {
  for (auto& [path, c] : visible_)
    if (c.get() == &cell) return path;
  return std::nullopt;
}

std::optional<NSIndexPath> UITableView::indexPathForRowAtPoint(CGPoint point) {
  layoutIfNeeded();
  for (auto& row : rows_)
    if (row.height > 0 && point.y >= row.y && point.y < row.y + row.height) return row.path;
  return std::nullopt;
}

CGRect UITableView::rectForRowAtIndexPath(const NSIndexPath& indexPath) {
  layoutIfNeeded();
  for (auto& row : rows_)
    if (row.path == indexPath) return {0, row.y, bounds().width(), row.height};
  return {};
}

void UITableView::selectRowAtIndexPath(std::optional<NSIndexPath> indexPath, bool animated) {
  if (selected_)
    if (auto it = visible_.find(*selected_); it != visible_.end()) it->second->setSelected(false, animated);
  selected_ = indexPath;
  if (selected_)
    if (auto it = visible_.find(*selected_); it != visible_.end()) it->second->setSelected(true, animated);
}

void UITableView::deselectRowAtIndexPath(const NSIndexPath& indexPath, bool animated) {
  if (selected_ == indexPath) selectRowAtIndexPath(std::nullopt, animated);
}

void UITableView::registerCell(const std::string& reuseIdentifier, CellFactory factory) {
  factories_[reuseIdentifier] = std::move(factory);
}

std::shared_ptr<UITableViewCell> UITableView::dequeueReusableCellWithIdentifier(const std::string& reuseIdentifier) {
  if (auto cell = os::uikit::detail::takeReusableCell(pool_, reuseIdentifier)) return cell;
  auto it = factories_.find(reuseIdentifier);
  return it != factories_.end() && it->second ? it->second(reuseIdentifier) : nullptr;
}

void UITableView::TEST_tapRowAtIndexPath(const NSIndexPath& indexPath) {
  layoutIfNeeded();
  bool known = std::any_of(rows_.begin(), rows_.end(), [&](auto& r) { return r.path == indexPath; });
  if (!known) return;
  selectRowAtIndexPath(indexPath, false);
  if (auto d = delegate_.lock()) d->tableViewDidSelectRowAtIndexPath(*this, indexPath);
}

namespace os::uikit::detail {

void TappableScrollView::touchesBegan(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event) {
  if (!touches.empty()) touchStart_ = touches.front()->locationInView(this);
  UIScrollView::touchesBegan(touches, event);
}

void TappableScrollView::touchesEnded(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event) {
  bool wasDragging = isDragging();
  UIScrollView::touchesEnded(touches, event);
  if (wasDragging || touches.empty()) return;
  CGPoint p = touches.front()->locationInView(this);
  if (std::abs(p.x - touchStart_.x) > kTapSlop || std::abs(p.y - touchStart_.y) > kTapSlop) return;
  tappedAt(p);
}

}  // namespace os::uikit::detail

void UITableView::tappedAt(CGPoint point) {
  if (auto path = indexPathForRowAtPoint(point)) TEST_tapRowAtIndexPath(*path);
}

// --- Table controller ------------------------------------------------------------------

std::shared_ptr<UITableView> UITableViewController::tableView() {
  return std::dynamic_pointer_cast<UITableView>(view());
}

void UITableViewController::loadView() {
  auto table = std::make_shared<UITableView>(UIScreen::mainScreen().bounds(), tableStyle_);
  setView(table);
  auto self = shared_from_this();
  table->setDataSource(std::shared_ptr<UITableViewDataSource>(self, static_cast<UITableViewDataSource*>(this)));
  table->setTableDelegate(std::shared_ptr<UITableViewDelegate>(self, static_cast<UITableViewDelegate*>(this)));
}
