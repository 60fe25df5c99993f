// The tutorial row of the settings screen: a horizontally scrolling strip of
// video tiles (thumbnail under a darkening gradient, play icon, title). A tap
// on a tile asks the delegate to open the video's page.
//
// Main thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "os/uikit/uikit.h"

class TutorialCellDelegate {
 public:
  virtual ~TutorialCellDelegate() = default;
  virtual void openTutorial(const std::string& link) = 0;
};

inline constexpr const char* kTutorialVideoCellIdentifier = "tutorialVideoCell";
// Every tile's size.
inline constexpr CGSize kTutorialTileSize{187, 128};
inline constexpr CGFloat kTutorialCellHeight = 152;

// Image assets of the tiles.
inline constexpr const char* kFirstTutorialThumbnailImage = "youtubeThumbnail";
inline constexpr const char* kSecondTutorialThumbnailImage = "vimeoThumbnail";
inline constexpr const char* kFirstTutorialPlayImage = "playTwo";
inline constexpr const char* kSecondTutorialPlayImage = "playOne";

// A view whose gradient layer (clear at a fifth of the height, black at the
// bottom) always covers its bounds.
class CellGradientView : public UIView {
 public:
  using UIView::UIView;
  // Made on first use with the bounds at that moment, as the lowest sublayer.
  const std::shared_ptr<CAGradientLayer>& gradientLayer();
  void layoutSubviews() override;

 private:
  std::shared_ptr<CAGradientLayer> gradientLayer_;
};

// One tile: thumbnail, gradient, play icon and title.
class TutorialCollectionViewCell : public UICollectionViewCell {
 public:
  static std::shared_ptr<TutorialCollectionViewCell> make();
  TutorialCollectionViewCell();

  // Clips to its bounds with corner radius 16.
  void awakeFromNib();

  const std::shared_ptr<UIImageView>& imgView() const { return imgView_; }
  const std::shared_ptr<UIImageView>& playImg() const { return playImg_; }
  const std::shared_ptr<UILabel>& name() const { return name_; }
  const std::shared_ptr<CellGradientView>& gradientView() const { return gradientView_; }

  void layoutSubviews() override;

 private:
  std::shared_ptr<UIImageView> imgView_, playImg_;
  std::shared_ptr<UILabel> name_;
  std::shared_ptr<CellGradientView> gradientView_;
};

struct TutorialRecord {
  std::string name;
  std::string link;
  std::shared_ptr<UIImage> bkgImage;
  std::shared_ptr<UIImage> playImage;
};

class TutorialTableViewCell : public UITableViewCell,
                              public UICollectionViewDataSource,
                              public UICollectionViewDelegateFlowLayout {
 public:
  static std::shared_ptr<TutorialTableViewCell> make();
  TutorialTableViewCell();

  // The strip draws its tiles beyond its frame (no clipping).
  void awakeFromNib();

  const std::shared_ptr<UICollectionView>& collectionView() const { return collectionView_; }
  const std::vector<TutorialRecord>& cellData() const { return cellData_; }
  std::shared_ptr<TutorialCellDelegate> tutorialDelegate() const { return tutorialDelegate_.lock(); }
  void setTutorialDelegate(std::weak_ptr<TutorialCellDelegate> d) { tutorialDelegate_ = std::move(d); }

  // UICollectionViewDataSource.
  long collectionViewNumberOfItemsInSection(UICollectionView& collectionView, long section) override;
  std::shared_ptr<UICollectionViewCell> collectionViewCellForItemAtIndexPath(UICollectionView& collectionView,
                                                                            const NSIndexPath& indexPath) override;
  // UICollectionViewDelegateFlowLayout.
  std::optional<CGSize> collectionViewLayoutSizeForItemAtIndexPath(UICollectionView&,
                                                                   const UICollectionViewFlowLayout&,
                                                                   const NSIndexPath&) override;
  void collectionViewDidSelectItemAtIndexPath(UICollectionView& collectionView, const NSIndexPath& indexPath) override;

  void layoutSubviews() override;
  CGSize sizeThatFits(CGSize size) const override { return {size.width, kTutorialCellHeight}; }

 private:
  std::shared_ptr<UICollectionView> collectionView_;
  std::weak_ptr<TutorialCellDelegate> tutorialDelegate_;
  const std::vector<TutorialRecord> cellData_;
};
