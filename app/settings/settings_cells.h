// The rows of the settings screen that carry a control, and the small
// protocols through which they report to the screen.
//
// A cell builds its views in `make` (a view takes subviews only once it is
// owned), styles them in awakeFromNib, and forwards each user action to its
// delegate; without a delegate the action does nothing. Delegates are the
// settings screen, set each time the row is about to be shown, and are held
// weakly (the screen owns the table that owns the cells).
//
// Main thread only.
#pragma once

#include <memory>
#include <string>

#include "os/uikit/uikit.h"

// ---- Protocols ----

class FeedbackCellActionDelegate {
 public:
  virtual ~FeedbackCellActionDelegate() = default;
  virtual void happyFeedbackSelected() = 0;
  virtual void neutralFeedbackSelected() = 0;
  virtual void sadFeedbackSelected() = 0;
  virtual void hideCell() = 0;
};

class GeoTagCellDelegate {
 public:
  virtual ~GeoTagCellDelegate() = default;
  virtual void geoTagSwitchChanged(bool on) = 0;
};

class AlwaysOnDisplayCellDelegate {
 public:
  virtual ~AlwaysOnDisplayCellDelegate() = default;
  virtual void alwaysOnSwitchChanged(bool on) = 0;
};

class HapticFeedbackCellDelegate {
 public:
  virtual ~HapticFeedbackCellDelegate() = default;
  virtual void hapticSwitchChanged(bool on) = 0;
};

class PrivacyPolicyCellDelegate {
 public:
  virtual ~PrivacyPolicyCellDelegate() = default;
  virtual void contactUs() = 0;
  virtual void openPrivacyPolicy() = 0;
};

class TellFriendCellDelegate {
 public:
  virtual ~TellFriendCellDelegate() = default;
  virtual void tellFriend() = 0;
};

// ---- Cells ----

// Row heights of the settings table, in points.
inline constexpr CGFloat kFeedbackCellHeight = 150;
inline constexpr CGFloat kRequestFeatureCellHeight = 84;
inline constexpr CGFloat kSwitchCellHeight = 56;
inline constexpr CGFloat kPrivacyPolicyCellHeight = 56;
inline constexpr CGFloat kTellFriendCellHeight = 76;

// Four answers to "how do you like the app": happy, neutral, sad, dismiss.
class FeedbackTableViewCell : public UITableViewCell {
 public:
  static std::shared_ptr<FeedbackTableViewCell> make();
  FeedbackTableViewCell();

  // yellowView: corner radius 10, clipped, a 1-point border of "FFD600" at 0.3.
  void awakeFromNib();

  void happyAction();
  void neutralAction();
  void sadAction();
  void dismissCell();

  const std::shared_ptr<UIView>& yellowView() const { return yellowView_; }
  const std::shared_ptr<UIButton>& happyBtn() const { return happyBtn_; }
  const std::shared_ptr<UIButton>& neutralBtn() const { return neutralBtn_; }
  const std::shared_ptr<UIButton>& sadBtn() const { return sadBtn_; }
  const std::shared_ptr<UIButton>& dismissBtn() const { return dismissBtn_; }
  std::shared_ptr<FeedbackCellActionDelegate> feedbackCellDelegate() const { return feedbackCellDelegate_.lock(); }
  void setFeedbackCellDelegate(std::weak_ptr<FeedbackCellActionDelegate> d) { feedbackCellDelegate_ = std::move(d); }

  void layoutSubviews() override;
  CGSize sizeThatFits(CGSize size) const override { return {size.width, kFeedbackCellHeight}; }

 private:
  std::shared_ptr<UIView> yellowView_;
  std::shared_ptr<UILabel> questionLbl_;
  std::shared_ptr<UIButton> happyBtn_, neutralBtn_, sadBtn_, dismissBtn_;
  std::weak_ptr<FeedbackCellActionDelegate> feedbackCellDelegate_;
};

// The feature-request row; selecting it is the screen's business.
class RequestFeatureTableViewCell : public UITableViewCell {
 public:
  static std::shared_ptr<RequestFeatureTableViewCell> make();
  RequestFeatureTableViewCell();

  // greyView: corner radius 10, clipped, a 1-point border of "F5F5F5".
  void awakeFromNib();

  const std::shared_ptr<UIView>& greyView() const { return greyView_; }

  void layoutSubviews() override;
  CGSize sizeThatFits(CGSize size) const override { return {size.width, kRequestFeatureCellHeight}; }

 private:
  std::shared_ptr<UIView> greyView_;
  std::shared_ptr<UILabel> titleLbl_, subtitleLbl_;
};

// A titled row with a switch at its trailing edge.
class SwitchTableViewCell : public UITableViewCell {
 public:
  SwitchTableViewCell();
  const std::shared_ptr<UISwitch>& rowSwitch() const { return switch_; }
  CGSize sizeThatFits(CGSize size) const override { return {size.width, kSwitchCellHeight}; }

 protected:
  // Title and switch; `onChange` runs with the new state when the user flips it.
  void build(const std::string& title, std::function<void(bool)> onChange);

 private:
  std::shared_ptr<UISwitch> switch_;
};

class GeoTagTableViewCell : public SwitchTableViewCell {
 public:
  static std::shared_ptr<GeoTagTableViewCell> make();

  // The switch changed: the delegate hears its current state.
  void buttonAction();

  const std::shared_ptr<UISwitch>& geoTagSwitch() const { return rowSwitch(); }
  std::shared_ptr<GeoTagCellDelegate> geoTagDelegate() const { return geoTagDelegate_.lock(); }
  void setGeoTagDelegate(std::weak_ptr<GeoTagCellDelegate> d) { geoTagDelegate_ = std::move(d); }

 private:
  std::weak_ptr<GeoTagCellDelegate> geoTagDelegate_;
};

class AlwaysOnDisplayTableViewCell : public SwitchTableViewCell {
 public:
  static std::shared_ptr<AlwaysOnDisplayTableViewCell> make();

  void buttonSwitchAction();

  const std::shared_ptr<UISwitch>& displayOnSwitch() const { return rowSwitch(); }
  std::shared_ptr<AlwaysOnDisplayCellDelegate> displayOnDelegate() const { return displayOnDelegate_.lock(); }
  void setDisplayOnDelegate(std::weak_ptr<AlwaysOnDisplayCellDelegate> d) { displayOnDelegate_ = std::move(d); }

 private:
  std::weak_ptr<AlwaysOnDisplayCellDelegate> displayOnDelegate_;
};

class HapticFeedbackTableViewCell : public SwitchTableViewCell {
 public:
  static std::shared_ptr<HapticFeedbackTableViewCell> make();

  void hapticSwitchAction();

  const std::shared_ptr<UISwitch>& hapticSwitch() const { return rowSwitch(); }
  std::shared_ptr<HapticFeedbackCellDelegate> hapticDelegate() const { return hapticDelegate_.lock(); }
  void setHapticDelegate(std::weak_ptr<HapticFeedbackCellDelegate> d) { hapticDelegate_ = std::move(d); }

 private:
  std::weak_ptr<HapticFeedbackCellDelegate> hapticDelegate_;
};

// The privacy-policy and contact buttons side by side.
class PrivacyPolicyTableViewCell : public UITableViewCell {
 public:
  static std::shared_ptr<PrivacyPolicyTableViewCell> make();
  PrivacyPolicyTableViewCell();

  // Both buttons' titles shrink to fit their width.
  void awakeFromNib();

  void contactUsAction();
  void privacyPolicyAction();

  const std::shared_ptr<UIButton>& privacyPolicyBtn() const { return privacyPolicyBtn_; }
  const std::shared_ptr<UIButton>& contactUsBtn() const { return contactUsBtn_; }
  std::shared_ptr<PrivacyPolicyCellDelegate> privacyDelegate() const { return privacyDelegate_.lock(); }
  void setPrivacyDelegate(std::weak_ptr<PrivacyPolicyCellDelegate> d) { privacyDelegate_ = std::move(d); }

  void layoutSubviews() override;
  CGSize sizeThatFits(CGSize size) const override { return {size.width, kPrivacyPolicyCellHeight}; }

 private:
  std::shared_ptr<UIButton> privacyPolicyBtn_, contactUsBtn_;
  std::weak_ptr<PrivacyPolicyCellDelegate> privacyDelegate_;
};

class TellFriendTableViewCell : public UITableViewCell {
 public:
  static std::shared_ptr<TellFriendTableViewCell> make();
  TellFriendTableViewCell();

  // The button casts a soft shadow (black at 0.1, offset (0, 3), radius 10)
  // and does not clip, so the shadow shows.
  void awakeFromNib();

  void tellFriendAction();

  const std::shared_ptr<UIButton>& tellFriendBtn() const { return tellFriendBtn_; }
  std::shared_ptr<TellFriendCellDelegate> tellFriendDelegate() const { return tellFriendDelegate_.lock(); }
  void setTellFriendDelegate(std::weak_ptr<TellFriendCellDelegate> d) { tellFriendDelegate_ = std::move(d); }

  void layoutSubviews() override;
  CGSize sizeThatFits(CGSize size) const override { return {size.width, kTellFriendCellHeight}; }

 private:
  std::shared_ptr<UIButton> tellFriendBtn_;
  std::weak_ptr<TellFriendCellDelegate> tellFriendDelegate_;
};
