#include "app/settings/tutorial_cells.h"

#include "app/settings/settings_links.h"
#include "os/foundation/bundle.h"

namespace {

std::string localized(const char* key) { return os::Bundle::mainBundle()->localizedStringForKey(key); }

std::vector<TutorialRecord> makeCellData() {
  return {
      {localized("Balance Color Temp of the Ambient Light and Your Light Source"), kFirstTutorialLink,
       UIImage::imageNamed(kFirstTutorialThumbnailImage), UIImage::imageNamed(kFirstTutorialPlayImage)},
      {localized("Setting the custom White Balance"), kSecondTutorialLink,
       UIImage::imageNamed(kSecondTutorialThumbnailImage), UIImage::imageNamed(kSecondTutorialPlayImage)},
  };
}

// The record at the row, or null for a row the strip does not have.
const TutorialRecord* recordAt(const std::vector<TutorialRecord>& data, const NSIndexPath& path) {
  if (path.row < 0 || static_cast<size_t>(path.row) >= data.size()) return nullptr;
  return &data[static_cast<size_t>(path.row)];
}

}  // namespace

// ---- CellGradientView ----

const std::shared_ptr<CAGradientLayer>& CellGradientView::gradientLayer() {
  if (!gradientLayer_) {
    gradientLayer_ = CAGradientLayer::layer();
    gradientLayer_->setFrame(bounds());
    gradientLayer_->setColors({CGColor::clear(), CGColor::gray(0, 1)});
    gradientLayer_->setStartPoint({1.0, 0.2});
    gradientLayer_->setEndPoint({1.0, 1.0});
    layer()->insertSublayer(gradientLayer_, 0);
  }
  return gradientLayer_;
}

void CellGradientView::layoutSubviews() {
  UIView::layoutSubviews();
  gradientLayer()->setFrame(bounds());
}

// ---- TutorialCollectionViewCell ----

TutorialCollectionViewCell::TutorialCollectionViewCell() : UICollectionViewCell(CGRect{{0, 0}, kTutorialTileSize}) {}

std::shared_ptr<TutorialCollectionViewCell> TutorialCollectionViewCell::make() {
  auto cell = std::make_shared<TutorialCollectionViewCell>();
  cell->imgView_ = std::make_shared<UIImageView>();
  cell->imgView_->setContentMode(UIViewContentMode::ScaleAspectFill);
  cell->imgView_->setBackgroundColor(UIColor::darkGrayColor());
  cell->gradientView_ = std::make_shared<CellGradientView>();
  cell->gradientView_->setBackgroundColor(UIColor::clearColor());
  cell->playImg_ = std::make_shared<UIImageView>();
  cell->playImg_->setContentMode(UIViewContentMode::ScaleAspectFit);
  cell->name_ = std::make_shared<UILabel>();
  cell->name_->setFont(UIFont::systemFont(13, UIFontWeight::Semibold));
  cell->name_->setTextColor(UIColor::whiteColor());
  cell->name_->setNumberOfLines(2);
  const auto& content = cell->contentView();
  content->addSubview(cell->imgView_);
  content->addSubview(cell->gradientView_);
  content->addSubview(cell->playImg_);
  content->addSubview(cell->name_);
  cell->awakeFromNib();
  return cell;
}

void TutorialCollectionViewCell::awakeFromNib() {
  layer()->setMasksToBounds(true);
  setClipsToBounds(true);
  layer()->setCornerRadius(16);
}

void TutorialCollectionViewCell::layoutSubviews() {
  UICollectionViewCell::layoutSubviews();
  const CGRect b = contentView()->bounds();
  imgView_->setFrame(b);
  gradientView_->setFrame(b);
  playImg_->setFrame({12, 12, 28, 28});
  name_->setFrame({12, b.height() - 48, b.width() - 24, 40});
}

// ---- TutorialTableViewCell ----

TutorialTableViewCell::TutorialTableViewCell()
    : UITableViewCell(UITableViewCellStyle::Default, "tutorialCell"), cellData_(makeCellData()) {}

std::shared_ptr<TutorialTableViewCell> TutorialTableViewCell::make() {
  auto cell = std::make_shared<TutorialTableViewCell>();
  cell->setSelectionStyle(UITableViewCellSelectionStyle::None);
  UICollectionViewFlowLayout layout;
  layout.scrollDirection = UICollectionViewScrollDirection::Horizontal;
  layout.itemSize = kTutorialTileSize;
  layout.minimumLineSpacing = 12;
  layout.sectionInset = {0, 16, 0, 16};
  cell->collectionView_ = std::make_shared<UICollectionView>(CGRect{}, layout);
  cell->collectionView_->setBackgroundColor(UIColor::clearColor());
  cell->collectionView_->setShowsHorizontalScrollIndicator(false);
  cell->collectionView_->registerCell(kTutorialVideoCellIdentifier, [] {
    return std::static_pointer_cast<UICollectionViewCell>(TutorialCollectionViewCell::make());
  });
  cell->collectionView_->setDataSource(std::weak_ptr<UICollectionViewDataSource>(cell));
  cell->collectionView_->setCollectionDelegate(std::weak_ptr<UICollectionViewDelegateFlowLayout>(cell));
  cell->contentView()->addSubview(cell->collectionView_);
  cell->awakeFromNib();
  return cell;
}

void TutorialTableViewCell::awakeFromNib() { collectionView_->setClipsToBounds(false); }

long TutorialTableViewCell::collectionViewNumberOfItemsInSection(UICollectionView&, long) {
  return static_cast<long>(cellData_.size());
}

std::shared_ptr<UICollectionViewCell> TutorialTableViewCell::collectionViewCellForItemAtIndexPath(
    UICollectionView& collectionView, const NSIndexPath& indexPath) {
  auto dequeued = collectionView.dequeueReusableCellWithReuseIdentifier(kTutorialVideoCellIdentifier, indexPath);
  if (!dequeued) return nullptr;
  auto tile = std::dynamic_pointer_cast<TutorialCollectionViewCell>(*dequeued);
  const TutorialRecord* record = recordAt(cellData_, indexPath);
  if (!tile || !record) return *dequeued;
  tile->imgView()->setImage(record->bkgImage);
  tile->name()->setText(record->name);
  tile->playImg()->setImage(record->playImage);
  return tile;
}

std::optional<CGSize> TutorialTableViewCell::collectionViewLayoutSizeForItemAtIndexPath(
    UICollectionView&, const UICollectionViewFlowLayout&, const NSIndexPath&) {
  return kTutorialTileSize;
}

void TutorialTableViewCell::collectionViewDidSelectItemAtIndexPath(UICollectionView&, const NSIndexPath& indexPath) {
  auto delegate = tutorialDelegate();
  const TutorialRecord* record = recordAt(cellData_, indexPath);
  if (delegate && record) delegate->openTutorial(record->link);
}

void TutorialTableViewCell::layoutSubviews() {
  UITableViewCell::layoutSubviews();
  const CGRect b = contentView()->bounds();
  collectionView_->setFrame({0, (b.height() - kTutorialTileSize.height) / 2, b.width(), kTutorialTileSize.height});
}
