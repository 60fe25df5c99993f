#include <gtest/gtest.h>

#include "os/uikit/uikit.h"

namespace {

// A static settings-like table: three sections; row (1, 1) can be collapsed.
class StaticTable : public UITableViewController {
 public:
  StaticTable() : UITableViewController(UITableViewStyle::Grouped) {}
  long numberOfSectionsInTableView(UITableView&) override { return 3; }
  long tableViewNumberOfRowsInSection(UITableView&, long section) override { return section == 1 ? 2 : 1; }
  std::shared_ptr<UITableViewCell> tableViewCellForRowAtIndexPath(UITableView&, const NSIndexPath& path) override {
    auto& cell = cells[path];
    if (!cell) {
      cell = std::make_shared<UITableViewCell>();
      cell->textLabel()->setText(NSIndexPathDescription(path));
      if (path == NSIndexPath{0, 0}) {
        auto toggle = std::make_shared<UISwitch>();
        cell->setAccessoryView(toggle);
      }
      if (path == NSIndexPath{2, 0}) {  // a taller custom row
        auto box = std::make_shared<UIView>(CGRect{0, 0, 100, 120});
        cell->contentView()->addSubview(box);
      }
    }
    return cell;
  }
  CGFloat tableViewHeightForRowAtIndexPath(UITableView&, const NSIndexPath& path) override {
    ++heightQueries;
    return path == NSIndexPath{1, 1} && collapsed ? 0 : UITableViewAutomaticDimension;
  }
  void tableViewWillDisplayCellForRowAtIndexPath(UITableView&, UITableViewCell&, const NSIndexPath& path) override {
    displayed.push_back(path);
  }
  void tableViewDidSelectRowAtIndexPath(UITableView&, const NSIndexPath& path) override { selected.push_back(path); }

  std::map<NSIndexPath, std::shared_ptr<UITableViewCell>> cells;
  std::vector<NSIndexPath> displayed, selected;
  int heightQueries = 0;
  bool collapsed = false;
};

TEST(TableViewTest, StaticTableShowsRowsWithHeightsAndSelection) {
  auto screen = std::make_shared<StaticTable>();
  auto window = std::make_shared<UIWindow>(CGRect{0, 0, 320, 600});
  window->setRootViewController(screen);
  window->makeKeyAndVisible();
  auto table = screen->tableView();
  ASSERT_TRUE(table);
  window->layoutIfNeeded();

  EXPECT_EQ(screen->displayed,
            (std::vector<NSIndexPath>{{0, 0}, {1, 0}, {1, 1}, {2, 0}}));
  EXPECT_EQ(table->rectForRowAtIndexPath({0, 0}).height(), 44);
  EXPECT_EQ(table->rectForRowAtIndexPath({2, 0}).height(), 120);  // automatic: the content's height
  auto cell = table->cellForRowAtIndexPath({0, 0});
  ASSERT_TRUE(cell);
  EXPECT_EQ(table->indexPathForCell(*cell), (NSIndexPath{0, 0}));
  // The switch sits at the trailing edge of its row.
  EXPECT_NEAR(cell->accessoryView()->frame().maxX(), 320 - 16, 0.5);

  // A tap on a row selects it.
  CGRect row = table->rectForRowAtIndexPath({1, 0});
  CGPoint inWindow = table->convertPointToView({row.midX(), row.midY()}, nullptr);
  window->tap(inWindow);
  EXPECT_EQ(screen->selected, (std::vector<NSIndexPath>{{1, 0}}));
  EXPECT_EQ(table->indexPathForSelectedRow(), (NSIndexPath{1, 0}));

  // An empty batch of updates asks the heights again and collapses the row,
  // keeping the cells.
  int queries = screen->heightQueries;
  CGFloat below = table->rectForRowAtIndexPath({2, 0}).minY();
  screen->collapsed = true;
  table->beginUpdates();
  table->endUpdates();
  EXPECT_GT(screen->heightQueries, queries);
  EXPECT_EQ(table->rectForRowAtIndexPath({1, 1}).height(), 0);
  EXPECT_EQ(table->rectForRowAtIndexPath({2, 0}).minY(), below - 44);
  EXPECT_EQ(table->cellForRowAtIndexPath({0, 0}), cell);
  EXPECT_EQ(screen->displayed.size(), 4u);  // nothing displayed anew
  table->endUpdates();                       // unbalanced: ignored
  EXPECT_EQ(table->numberOfRowsInSection(7), 0);
}

TEST(TableViewTest, RowsScrolledOutAreReused) {
  struct Long : UITableViewDataSource {
    long tableViewNumberOfRowsInSection(UITableView&, long) override { return 100; }
    std::shared_ptr<UITableViewCell> tableViewCellForRowAtIndexPath(UITableView& t, const NSIndexPath& p) override {
      auto cell = t.dequeueReusableCellWithIdentifier("row");
      cell->textLabel()->setText(NSIndexPathDescription(p));
      return cell;
    }
  };
  auto source = std::make_shared<Long>();
  auto table = std::make_shared<UITableView>(CGRect{0, 0, 320, 440});
  int made = 0;
  table->registerCell("row", [&](const std::string& id) {
    ++made;
    return std::make_shared<UITableViewCell>(UITableViewCellStyle::Default, id);
  });
  table->setDataSource(source);
  table->layoutIfNeeded();
  EXPECT_EQ(table->visibleCells().size(), 10u);
  table->setContentOffset({0, 44 * 50});
  table->layoutIfNeeded();
  EXPECT_EQ(table->visibleCells().size(), 10u);
  EXPECT_EQ(made, 10);  // the second screenful came from the pool
  EXPECT_EQ(table->cellForRowAtIndexPath({0, 50})->textLabel()->text(), "0-50");
  EXPECT_EQ(table->cellForRowAtIndexPath({0, 0}), nullptr);
}

class Strip : public UICollectionViewDataSource, public UICollectionViewDelegateFlowLayout {
 public:
  long collectionViewNumberOfItemsInSection(UICollectionView&, long) override { return 2; }
  std::shared_ptr<UICollectionViewCell> collectionViewCellForItemAtIndexPath(UICollectionView& view,
                                                                            const NSIndexPath& path) override {
    auto cell = view.dequeueReusableCellWithReuseIdentifier(identifier, path);
    return cell ? *cell : nullptr;
  }
  std::optional<CGSize> collectionViewLayoutSizeForItemAtIndexPath(UICollectionView&, const UICollectionViewFlowLayout&,
                                                                  const NSIndexPath&) override {
    return CGSize{187, 128};
  }
  void collectionViewDidSelectItemAtIndexPath(UICollectionView&, const NSIndexPath& path) override {
    selected.push_back(path.item());
  }
  std::string identifier = "tutorialVideoCell";
  std::vector<long> selected;
};

TEST(CollectionViewTest, HorizontalStripDequeuesSizesAndSelects) {
  auto strip = std::make_shared<Strip>();
  UICollectionViewFlowLayout layout;
  layout.scrollDirection = UICollectionViewScrollDirection::Horizontal;
  auto view = std::make_shared<UICollectionView>(CGRect{0, 0, 320, 140}, layout);
  view->registerCell("tutorialVideoCell", [] { return std::make_shared<UICollectionViewCell>(); });
  view->setDataSource(strip);
  view->setCollectionDelegate(strip);
  view->layoutIfNeeded();

  EXPECT_EQ(view->numberOfItemsInSection(0), 2);
  EXPECT_EQ(view->frameForItemAtIndexPath({0, 0}), (CGRect{0, 0, 187, 128}));
  EXPECT_EQ(view->frameForItemAtIndexPath({0, 1}), (CGRect{197, 0, 187, 128}));  // one line, spacing 10
  EXPECT_EQ(view->contentSize().width, 384);
  auto cell = view->cellForItemAtIndexPath({0, 1});
  ASSERT_TRUE(cell);
  EXPECT_EQ(cell->reuseIdentifier(), "tutorialVideoCell");

  view->TEST_tapItemAtIndexPath({0, 1});
  view->TEST_tapItemAtIndexPath({0, 5});  // no such item
  EXPECT_EQ(strip->selected, (std::vector<long>{1}));
  EXPECT_TRUE(cell->isSelected());

  auto missing = view->dequeueReusableCellWithReuseIdentifier("unknown", {0, 0});
  EXPECT_FALSE(missing);
}

}  // namespace
