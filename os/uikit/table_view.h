// Table and collection views, as far as the settings screens use them.
//
// UITableView: one column of rows in sections, asked of its data source;
// row heights from the delegate (UITableViewAutomaticDimension: rowHeight,
// which by default is automatic too: the cell's own fitting height, measured
// when the row comes into view and estimatedRowHeight until then). A layout pass places the rows whose
// frames meet the visible bounds (a row of height 0 counts when its top is
// visible), asks the data source for a cell for each newly visible row and
// tells the delegate willDisplayCell before the cell is shown. Cells of rows
// that scroll out are put in the reuse pool of their identifier.
// beginUpdates/endUpdates asks the heights again and moves the rows, keeping
// the cells. A tap on a row selects it (delegate didSelectRowAtIndexPath).
//
// UICollectionView: items in sections laid out by a flow layout (one line
// scrolling horizontally, or rows scrolling vertically), sizes from the
// delegate or the layout's itemSize; cells come from dequeueReusableCell,
// registered by identifier with a factory. A tap selects the item.
//
// Delegates and data sources are held weakly. Main thread only.
#pragma once

#include <compare>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/uikit/controls.h"
#include "os/uikit/view_controller.h"

struct NSIndexPath {
  long section = 0;
  long row = 0;
  static NSIndexPath indexPathForRow(long row, long section) { return {section, row}; }
  static NSIndexPath indexPathForItem(long item, long section) { return {section, item}; }
  long item() const { return row; }
  friend auto operator<=>(const NSIndexPath&, const NSIndexPath&) = default;
};

// "<section>-<row>", as diagnostics print it ({length = 2, path = 2 - 1} on
// the platform).
std::string NSIndexPathDescription(const NSIndexPath& path);

inline constexpr CGFloat UITableViewAutomaticDimension = -1;

namespace os::uikit::detail {
// A scroll view whose touches that end near where they began, without a drag,
// are taps: tables and collections select what lies under them.
class TappableScrollView : public UIScrollView {
 public:
  using UIScrollView::UIScrollView;
  void touchesBegan(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event) override;
  void touchesEnded(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event) override;

 protected:
  // A tap at `point`, in this view's coordinates.
  virtual void tappedAt(CGPoint point) = 0;

 private:
  CGPoint touchStart_;
};

// Takes the cell last pooled under `reuseIdentifier`, prepared for reuse;
// an empty pool: null.
template <class Cell>
std::shared_ptr<Cell> takeReusableCell(std::map<std::string, std::vector<std::shared_ptr<Cell>>>& pool,
                                       const std::string& reuseIdentifier) {
  auto& cells = pool[reuseIdentifier];
  if (cells.empty()) return nullptr;
  auto cell = cells.back();
  cells.pop_back();
  cell->prepareForReuse();
  return cell;
}

// Makes `shown` the visible cells of a table or collection view: cells no
// longer shown leave the host for their reuse pools; newly shown ones
// (`appearing`) are announced through willDisplay(path, cell), given their
// selection and added to the host.
template <class Cell, class WillDisplay>
void swapVisibleCells(UIView& host, std::map<NSIndexPath, std::shared_ptr<Cell>>& visible,
                      std::map<NSIndexPath, std::shared_ptr<Cell>> shown,
                      const std::vector<std::pair<NSIndexPath, std::shared_ptr<Cell>>>& appearing,
                      std::map<std::string, std::vector<std::shared_ptr<Cell>>>& pool,
                      const std::optional<NSIndexPath>& selected, WillDisplay willDisplay) {
  for (auto& [path, cell] : visible) {
    cell->removeFromSuperview();
    if (!cell->reuseIdentifier().empty()) pool[cell->reuseIdentifier()].push_back(cell);
  }
  visible = std::move(shown);
  for (auto& [path, cell] : appearing) {
    willDisplay(path, *cell);
    cell->setSelected(selected == path);
    host.addSubview(cell);
  }
}
}  // namespace os::uikit::detail

enum class UITableViewStyle { Plain = 0, Grouped = 1, InsetGrouped = 2 };
enum class UITableViewCellStyle { Default = 0, Value1 = 1, Value2 = 2, Subtitle = 3 };
enum class UITableViewCellAccessoryType { None = 0, DisclosureIndicator = 1, DetailDisclosureButton = 2, Checkmark = 3 };
enum class UITableViewCellSelectionStyle { None = 0, Blue = 1, Gray = 2, Default = 3 };

class UITableView;
class UICollectionView;

class UITableViewCell : public UIView {
 public:
  explicit UITableViewCell(UITableViewCellStyle style = UITableViewCellStyle::Default,
                           std::string reuseIdentifier = "");
  const std::string& reuseIdentifier() const { return reuseIdentifier_; }
  UITableViewCellStyle style() const { return style_; }
  // Subviews go into the content view.
  const std::shared_ptr<UIView>& contentView();
  // Made on first use.
  std::shared_ptr<UILabel> textLabel();
  std::shared_ptr<UILabel> detailTextLabel();
  std::shared_ptr<UIImageView> imageView();
  UITableViewCellAccessoryType accessoryType() const { return accessoryType_; }
  void setAccessoryType(UITableViewCellAccessoryType type) { accessoryType_ = type; setNeedsLayout(); }
  // A custom accessory (a switch), shown at the trailing edge.
  const std::shared_ptr<UIView>& accessoryView() const { return accessoryView_; }
  void setAccessoryView(std::shared_ptr<UIView> view);
  UITableViewCellSelectionStyle selectionStyle() const { return selectionStyle_; }
  void setSelectionStyle(UITableViewCellSelectionStyle s) { selectionStyle_ = s; }
  bool isSelected() const { return selected_; }
  virtual void setSelected(bool selected, bool animated = false);
  virtual void prepareForReuse() {}

  void layoutSubviews() override;
  // Height: the content's fitting height (the tallest subview's bottom
  // margin), 44 at least when the content is empty.
  CGSize sizeThatFits(CGSize size) const override;

 private:
  UITableViewCellStyle style_;
  std::string reuseIdentifier_;
  std::shared_ptr<UIView> contentView_;
  std::shared_ptr<UILabel> textLabel_, detailTextLabel_;
  std::shared_ptr<UIImageView> imageView_;
  std::shared_ptr<UIView> accessoryView_;
  UITableViewCellAccessoryType accessoryType_ = UITableViewCellAccessoryType::None;
  UITableViewCellSelectionStyle selectionStyle_ = UITableViewCellSelectionStyle::Default;
  bool selected_ = false;
};

class UITableViewDataSource {
 public:
  virtual ~UITableViewDataSource() = default;
  virtual long numberOfSectionsInTableView(UITableView&) { return 1; }
  virtual long tableViewNumberOfRowsInSection(UITableView& tableView, long section) = 0;
  virtual std::shared_ptr<UITableViewCell> tableViewCellForRowAtIndexPath(UITableView& tableView,
                                                                          const NSIndexPath& indexPath) = 0;
  virtual std::optional<std::string> tableViewTitleForHeaderInSection(UITableView&, long) { return std::nullopt; }
};

class UITableViewDelegate : public UIScrollViewDelegate {
 public:
  // UITableViewAutomaticDimension: the table's rowHeight (itself automatic
  // by default: the cell's fitting height).
  virtual CGFloat tableViewHeightForRowAtIndexPath(UITableView&, const NSIndexPath&) {
    return UITableViewAutomaticDimension;
  }
  virtual void tableViewWillDisplayCellForRowAtIndexPath(UITableView&, UITableViewCell&, const NSIndexPath&) {}
  virtual void tableViewDidSelectRowAtIndexPath(UITableView&, const NSIndexPath&) {}
};

class UITableView : public os::uikit::detail::TappableScrollView {
 public:
  explicit UITableView(const CGRect& frame = {}, UITableViewStyle style = UITableViewStyle::Plain);
  ~UITableView() override;
  UITableViewStyle style() const { return style_; }

  std::weak_ptr<UITableViewDataSource> dataSource() const { return dataSource_; }
  void setDataSource(std::weak_ptr<UITableViewDataSource> dataSource);
  std::weak_ptr<UITableViewDelegate> tableDelegate() const { return delegate_; }
  // Also the scroll view's delegate.
  void setTableDelegate(std::weak_ptr<UITableViewDelegate> delegate);

  CGFloat rowHeight() const { return rowHeight_; }
  void setRowHeight(CGFloat h) { rowHeight_ = h; setNeedsLayout(); }
  CGFloat estimatedRowHeight() const { return estimatedRowHeight_; }
  void setEstimatedRowHeight(CGFloat h) { estimatedRowHeight_ = h; }

  // Drops every cell and asks the data source again at the next layout.
  void reloadData();
  // Heights are asked again at endUpdates; unbalanced ends are ignored.
  void beginUpdates();
  void endUpdates();
  void performBatchUpdates(const std::function<void()>& updates, std::function<void(bool)> completion = {});

  long numberOfSections();
  long numberOfRowsInSection(long section);
  // The cell shown for the row, or null when the row is not visible.
  std::shared_ptr<UITableViewCell> cellForRowAtIndexPath(const NSIndexPath& indexPath);
  std::vector<std::shared_ptr<UITableViewCell>> visibleCells();
  std::optional<NSIndexPath> indexPathForCell(const UITableViewCell& cell) const;
  std::optional<NSIndexPath> indexPathForRowAtPoint(CGPoint point);
  // The row's frame in the table's content; zero for an unknown row.
  CGRect rectForRowAtIndexPath(const NSIndexPath& indexPath);
  std::optional<NSIndexPath> indexPathForSelectedRow() const { return selected_; }
  void selectRowAtIndexPath(std::optional<NSIndexPath> indexPath, bool animated);
  void deselectRowAtIndexPath(const NSIndexPath& indexPath, bool animated);

  // Cells by reuse identifier.
  using CellFactory = std::function<std::shared_ptr<UITableViewCell>(const std::string& reuseIdentifier)>;
  void registerCell(const std::string& reuseIdentifier, CellFactory factory);
  // A pooled cell (prepared for reuse), else a new one from the registered
  // factory, else null.
  std::shared_ptr<UITableViewCell> dequeueReusableCellWithIdentifier(const std::string& reuseIdentifier);

  // The user taps the row: selected, and the delegate told.
  void TEST_tapRowAtIndexPath(const NSIndexPath& indexPath);

  void layoutSubviews() override;
  void tappedAt(CGPoint point) override;

 private:
  struct RowGeometry {
    NSIndexPath path;
    CGFloat y, height;
  };
  void computeGeometry();
  CGFloat heightFor(const NSIndexPath& path, CGFloat y);
  void placeRows();

  UITableViewStyle style_;
  std::weak_ptr<UITableViewDataSource> dataSource_;
  std::weak_ptr<UITableViewDelegate> delegate_;
  CGFloat rowHeight_ = UITableViewAutomaticDimension;
  CGFloat estimatedRowHeight_ = 44;
  std::vector<RowGeometry> rows_;
  bool geometryValid_ = false;
  bool hasEstimates_ = false;  // some automatic rows are not measured yet
  std::map<NSIndexPath, CGFloat> measured_;
  std::map<NSIndexPath, std::shared_ptr<UITableViewCell>> visible_;
  std::map<std::string, std::vector<std::shared_ptr<UITableViewCell>>> pool_;
  std::map<std::string, CellFactory> factories_;
  std::optional<NSIndexPath> selected_;
  int updateDepth_ = 0;
};

// The controller of a table screen: its view is a UITableView whose data
// source and delegate are the controller.
class UITableViewController : public UIViewController, public UITableViewDataSource, public UITableViewDelegate {
 public:
  explicit UITableViewController(UITableViewStyle style = UITableViewStyle::Plain) : tableStyle_(style) {}
  std::shared_ptr<UITableView> tableView();
  void loadView() override;
  long tableViewNumberOfRowsInSection(UITableView&, long) override { return 0; }
  std::shared_ptr<UITableViewCell> tableViewCellForRowAtIndexPath(UITableView&, const NSIndexPath&) override {
    return nullptr;
  }

 private:
  UITableViewStyle tableStyle_;
};

// ---- Collection view ----

class UICollectionViewCell : public UIView {
 public:
  explicit UICollectionViewCell(const CGRect& frame = {});
  const std::string& reuseIdentifier() const { return reuseIdentifier_; }
  const std::shared_ptr<UIView>& contentView();
  bool isSelected() const { return selected_; }
  virtual void setSelected(bool selected) { selected_ = selected; }
  virtual void prepareForReuse() {}
  void layoutSubviews() override;

 private:
  friend class UICollectionView;
  std::string reuseIdentifier_;
  std::shared_ptr<UIView> contentView_;
  bool selected_ = false;
};

enum class UICollectionViewScrollDirection { Vertical = 0, Horizontal = 1 };

struct UICollectionViewFlowLayout {
  UICollectionViewScrollDirection scrollDirection = UICollectionViewScrollDirection::Vertical;
  CGSize itemSize{50, 50};
  CGFloat minimumLineSpacing = 10;
  CGFloat minimumInteritemSpacing = 10;
  UIEdgeInsets sectionInset;
};

class UICollectionViewDataSource {
 public:
  virtual ~UICollectionViewDataSource() = default;
  virtual long numberOfSectionsInCollectionView(UICollectionView&) { return 1; }
  virtual long collectionViewNumberOfItemsInSection(UICollectionView& collectionView, long section) = 0;
  virtual std::shared_ptr<UICollectionViewCell> collectionViewCellForItemAtIndexPath(UICollectionView& collectionView,
                                                                                    const NSIndexPath& indexPath) = 0;
};

// The delegate and the flow-layout delegate in one.
class UICollectionViewDelegateFlowLayout : public UIScrollViewDelegate {
 public:
  // Null: the layout's itemSize.
  virtual std::optional<CGSize> collectionViewLayoutSizeForItemAtIndexPath(UICollectionView&,
                                                                          const UICollectionViewFlowLayout&,
                                                                          const NSIndexPath&) {
    return std::nullopt;
  }
  virtual void collectionViewWillDisplayCellForItemAtIndexPath(UICollectionView&, UICollectionViewCell&,
                                                               const NSIndexPath&) {}
  virtual void collectionViewDidSelectItemAtIndexPath(UICollectionView&, const NSIndexPath&) {}
};

class UICollectionView : public os::uikit::detail::TappableScrollView {
 public:
  explicit UICollectionView(const CGRect& frame = {}, UICollectionViewFlowLayout layout = {});
  ~UICollectionView() override;

  UICollectionViewFlowLayout& collectionViewLayout() { return layout_; }
  void setCollectionViewLayout(UICollectionViewFlowLayout layout);
  std::weak_ptr<UICollectionViewDataSource> dataSource() const { return dataSource_; }
  void setDataSource(std::weak_ptr<UICollectionViewDataSource> dataSource);
  std::weak_ptr<UICollectionViewDelegateFlowLayout> collectionDelegate() const { return delegate_; }
  void setCollectionDelegate(std::weak_ptr<UICollectionViewDelegateFlowLayout> delegate);

  using CellFactory = std::function<std::shared_ptr<UICollectionViewCell>()>;
  void registerCell(const std::string& reuseIdentifier, CellFactory factory);
  // A pooled or new cell; an identifier without a factory is an error (the
  // platform raises).
  os::Result<std::shared_ptr<UICollectionViewCell>> dequeueReusableCellWithReuseIdentifier(
      const std::string& reuseIdentifier, const NSIndexPath& indexPath);

  void reloadData();
  long numberOfSections();
  long numberOfItemsInSection(long section);
  std::shared_ptr<UICollectionViewCell> cellForItemAtIndexPath(const NSIndexPath& indexPath);
  std::vector<std::shared_ptr<UICollectionViewCell>> visibleCells();
  std::optional<NSIndexPath> indexPathForItemAtPoint(CGPoint point);
  CGRect frameForItemAtIndexPath(const NSIndexPath& indexPath);
  std::vector<NSIndexPath> indexPathsForSelectedItems() const;
  void TEST_tapItemAtIndexPath(const NSIndexPath& indexPath);

  void layoutSubviews() override;
  void tappedAt(CGPoint point) override;

 private:
  struct ItemGeometry {
    NSIndexPath path;
    CGRect frame;
  };
  void computeGeometry();
  void placeItems();

  UICollectionViewFlowLayout layout_;
  std::weak_ptr<UICollectionViewDataSource> dataSource_;
  std::weak_ptr<UICollectionViewDelegateFlowLayout> delegate_;
  std::vector<ItemGeometry> items_;
  bool geometryValid_ = false;
  std::map<NSIndexPath, std::shared_ptr<UICollectionViewCell>> visible_;
  std::map<std::string, std::vector<std::shared_ptr<UICollectionViewCell>>> pool_;
  std::map<std::string, CellFactory> factories_;
  std::optional<NSIndexPath> selected_;
};
