#include "app/settings/settings_cells.h"

#include "app/controls/view_utilities.h"
#include "os/foundation/bundle.h"

namespace {

std::string localized(const char* key) { return os::Bundle::mainBundle()->localizedStringForKey(key); }

std::shared_ptr<UILabel> makeLabel(const std::string& text, UIFont font, UIColor color) {
  auto label = std::make_shared<UILabel>();
  label->setText(text);
  label->setFont(std::move(font));
  label->setTextColor(color);
  return label;
}

std::shared_ptr<UIButton> makeButton(const std::string& title, std::function<void()> action) {
  auto button = std::make_shared<UIButton>(UIButtonType::System);
  button->setTitle(title, UIControlState::Normal);
  button->addTarget([action = std::move(action)](UIControl&) { action(); }, UIControlEvents::TouchUpInside);
  return button;
}


constexpr CGFloat kSideMargin = 16;

}  // namespace

// ---- FeedbackTableViewCell ----

FeedbackTableViewCell::FeedbackTableViewCell() : UITableViewCell(UITableViewCellStyle::Default, "feedbackCell") {}

std::shared_ptr<FeedbackTableViewCell> FeedbackTableViewCell::make() {
  auto cell = std::make_shared<FeedbackTableViewCell>();
  cell->setSelectionStyle(UITableViewCellSelectionStyle::None);
  cell->setClipsToBounds(true);  // collapsed to height 0, nothing may show
  cell->yellowView_ = std::make_shared<UIView>();
  cell->yellowView_->setBackgroundColor(UIColor::fromRGBA(1, 0.98, 0.88));
  cell->questionLbl_ = makeLabel(localized("Do you enjoy using Drosil?"), UIFont::systemFont(17, UIFontWeight::Semibold),
                                 UIColor::blackColor());
  cell->questionLbl_->setTextAlignment(NSTextAlignment::Center);
  std::weak_ptr<FeedbackTableViewCell> weak = cell;
  auto on = [weak](void (FeedbackTableViewCell::*action)()) {
    return [weak, action] {
      if (auto self = weak.lock()) ((*self).*action)();
    };
  };
  cell->happyBtn_ = makeButton(localized("Love it"), on(&FeedbackTableViewCell::happyAction));
  cell->neutralBtn_ = makeButton(localized("It's okay"), on(&FeedbackTableViewCell::neutralAction));
  cell->sadBtn_ = makeButton(localized("Not really"), on(&FeedbackTableViewCell::sadAction));
  cell->dismissBtn_ = makeButton("\u2715", on(&FeedbackTableViewCell::dismissCell));
  cell->dismissBtn_->setTitleColor(UIColor::grayColor(), UIControlState::Normal);
  cell->contentView()->addSubview(cell->yellowView_);
  for (auto& v : {std::static_pointer_cast<UIView>(cell->questionLbl_), std::static_pointer_cast<UIView>(cell->happyBtn_),
                  std::static_pointer_cast<UIView>(cell->neutralBtn_), std::static_pointer_cast<UIView>(cell->sadBtn_),
                  std::static_pointer_cast<UIView>(cell->dismissBtn_)})
    cell->yellowView_->addSubview(v);
  cell->awakeFromNib();
  return cell;
}

void FeedbackTableViewCell::awakeFromNib() {
  auto layer = yellowView_->layer();
  layer->setCornerRadius(10);
  layer->setMasksToBounds(true);
  layer->setBorderWidth(1);
  if (auto colour = UIColorFromHex("FFD600", 0.3f)) layer->setBorderColor(colour->cgColor());
}

void FeedbackTableViewCell::happyAction() {
  if (auto d = feedbackCellDelegate()) d->happyFeedbackSelected();
}
void FeedbackTableViewCell::neutralAction() {
  if (auto d = feedbackCellDelegate()) d->neutralFeedbackSelected();
}
void FeedbackTableViewCell::sadAction() {
  if (auto d = feedbackCellDelegate()) d->sadFeedbackSelected();
}
void FeedbackTableViewCell::dismissCell() {
  if (auto d = feedbackCellDelegate()) d->hideCell();
}

void FeedbackTableViewCell::layoutSubviews() {
  UITableViewCell::layoutSubviews();
  const CGFloat w = contentView()->bounds().width();
  yellowView_->setFrame({kSideMargin, 8, w - 2 * kSideMargin, kFeedbackCellHeight - 16});
  const CGFloat inner = yellowView_->bounds().width();
  dismissBtn_->setFrame({inner - 40, 4, 36, 36});
  questionLbl_->setFrame({40, 16, inner - 80, 26});
  const CGFloat buttonWidth = (inner - 32) / 3;
  happyBtn_->setFrame({16, 64, buttonWidth, 44});
  neutralBtn_->setFrame({16 + buttonWidth, 64, buttonWidth, 44});
  sadBtn_->setFrame({16 + 2 * buttonWidth, 64, buttonWidth, 44});
}

// ---- RequestFeatureTableViewCell ----

RequestFeatureTableViewCell::RequestFeatureTableViewCell()
    : UITableViewCell(UITableViewCellStyle::Default, "requestFeatureCell") {}

std::shared_ptr<RequestFeatureTableViewCell> RequestFeatureTableViewCell::make() {
  auto cell = std::make_shared<RequestFeatureTableViewCell>();
  cell->greyView_ = std::make_shared<UIView>();
  cell->greyView_->setBackgroundColor(UIColor::fromWhite(0.98));
  cell->titleLbl_ = makeLabel(localized("Request a Feature"), UIFont::systemFont(17, UIFontWeight::Semibold),
                              UIColor::blackColor());
  cell->subtitleLbl_ =
      makeLabel(localized("Tell us what would make Drosil better for you."), UIFont::systemFont(13), UIColor::grayColor());
  cell->contentView()->addSubview(cell->greyView_);
  cell->greyView_->addSubview(cell->titleLbl_);
  cell->greyView_->addSubview(cell->subtitleLbl_);
  cell->awakeFromNib();
  return cell;
}

void RequestFeatureTableViewCell::awakeFromNib() {
  auto layer = greyView_->layer();
  layer->setCornerRadius(10);
  layer->setMasksToBounds(true);
  layer->setBorderWidth(1);
  if (auto colour = UIColorFromHex("F5F5F5")) layer->setBorderColor(colour->cgColor());
}

void RequestFeatureTableViewCell::layoutSubviews() {
  UITableViewCell::layoutSubviews();
  const CGFloat w = contentView()->bounds().width();
  greyView_->setFrame({kSideMargin, 8, w - 2 * kSideMargin, kRequestFeatureCellHeight - 16});
  const CGFloat inner = greyView_->bounds().width();
  titleLbl_->setFrame({16, 10, inner - 32, 24});
  subtitleLbl_->setFrame({16, 36, inner - 32, 20});
}

// ---- Switch rows ----

SwitchTableViewCell::SwitchTableViewCell() : UITableViewCell(UITableViewCellStyle::Default, "switchCell") {}

void SwitchTableViewCell::build(const std::string& title, std::function<void(bool)> onChange) {
  setSelectionStyle(UITableViewCellSelectionStyle::None);
  textLabel()->setText(title);
  switch_ = std::make_shared<UISwitch>();
  switch_->setOnTintColor(UIColor::systemYellowColor());
  switch_->addTarget([onChange = std::move(onChange)](UIControl& control) {
    onChange(static_cast<UISwitch&>(control).isOn());
  }, UIControlEvents::ValueChanged);
  setAccessoryView(switch_);
}

std::shared_ptr<GeoTagTableViewCell> GeoTagTableViewCell::make() {
  auto cell = std::make_shared<GeoTagTableViewCell>();
  std::weak_ptr<GeoTagTableViewCell> weak = cell;
  cell->build(localized("Geotag Photos"), [weak](bool) {
    if (auto self = weak.lock()) self->buttonAction();
  });
  return cell;
}

void GeoTagTableViewCell::buttonAction() {
  if (auto d = geoTagDelegate()) d->geoTagSwitchChanged(geoTagSwitch()->isOn());
}

std::shared_ptr<AlwaysOnDisplayTableViewCell> AlwaysOnDisplayTableViewCell::make() {
  auto cell = std::make_shared<AlwaysOnDisplayTableViewCell>();
  std::weak_ptr<AlwaysOnDisplayTableViewCell> weak = cell;
  cell->build(localized("Keep Display On"), [weak](bool) {
    if (auto self = weak.lock()) self->buttonSwitchAction();
  });
  return cell;
}

void AlwaysOnDisplayTableViewCell::buttonSwitchAction() {
  if (auto d = displayOnDelegate()) d->alwaysOnSwitchChanged(displayOnSwitch()->isOn());
}

std::shared_ptr<HapticFeedbackTableViewCell> HapticFeedbackTableViewCell::make() {
  auto cell = std::make_shared<HapticFeedbackTableViewCell>();
  std::weak_ptr<HapticFeedbackTableViewCell> weak = cell;
  cell->build(localized("Haptic Feedback"), [weak](bool) {
    if (auto self = weak.lock()) self->hapticSwitchAction();
  });
  return cell;
}

void HapticFeedbackTableViewCell::hapticSwitchAction() {
  if (auto d = hapticDelegate()) d->hapticSwitchChanged(hapticSwitch()->isOn());
}

// ---- PrivacyPolicyTableViewCell ----

PrivacyPolicyTableViewCell::PrivacyPolicyTableViewCell()
    : UITableViewCell(UITableViewCellStyle::Default, "privacyPolicyCell") {}

std::shared_ptr<PrivacyPolicyTableViewCell> PrivacyPolicyTableViewCell::make() {
  auto cell = std::make_shared<PrivacyPolicyTableViewCell>();
  cell->setSelectionStyle(UITableViewCellSelectionStyle::None);
  std::weak_ptr<PrivacyPolicyTableViewCell> weak = cell;
  cell->privacyPolicyBtn_ = makeButton(localized("Privacy Policy"), [weak] {
    if (auto self = weak.lock()) self->privacyPolicyAction();
  });
  cell->contactUsBtn_ = makeButton(localized("Contact Us"), [weak] {
    if (auto self = weak.lock()) self->contactUsAction();
  });
  cell->contentView()->addSubview(cell->privacyPolicyBtn_);
  cell->contentView()->addSubview(cell->contactUsBtn_);
  cell->awakeFromNib();
  return cell;
}

void PrivacyPolicyTableViewCell::awakeFromNib() {
  privacyPolicyBtn_->titleLabel()->setAdjustsFontSizeToFitWidth(true);
  contactUsBtn_->titleLabel()->setAdjustsFontSizeToFitWidth(true);
}

void PrivacyPolicyTableViewCell::contactUsAction() {
  if (auto d = privacyDelegate()) d->contactUs();
}
void PrivacyPolicyTableViewCell::privacyPolicyAction() {
  if (auto d = privacyDelegate()) d->openPrivacyPolicy();
}

void PrivacyPolicyTableViewCell::layoutSubviews() {
  UITableViewCell::layoutSubviews();
  const CGFloat w = contentView()->bounds().width();
  const CGFloat half = (w - 2 * kSideMargin) / 2;
  privacyPolicyBtn_->setFrame({kSideMargin, 6, half, 44});
  contactUsBtn_->setFrame({kSideMargin + half, 6, half, 44});
}

// ---- TellFriendTableViewCell ----

TellFriendTableViewCell::TellFriendTableViewCell()
    : UITableViewCell(UITableViewCellStyle::Default, "tellFriendCell") {}

std::shared_ptr<TellFriendTableViewCell> TellFriendTableViewCell::make() {
  auto cell = std::make_shared<TellFriendTableViewCell>();
  cell->setSelectionStyle(UITableViewCellSelectionStyle::None);
  std::weak_ptr<TellFriendTableViewCell> weak = cell;
  cell->tellFriendBtn_ = makeButton(localized("Tell a Friend"), [weak] {
    if (auto self = weak.lock()) self->tellFriendAction();
  });
  cell->tellFriendBtn_->setBackgroundColor(UIColor::whiteColor());
  cell->tellFriendBtn_->layer()->setCornerRadius(12);
  cell->contentView()->addSubview(cell->tellFriendBtn_);
  cell->awakeFromNib();
  return cell;
}

void TellFriendTableViewCell::awakeFromNib() {
  auto layer = tellFriendBtn_->layer();
  layer->setShadowColor(UIColor::blackColor().withAlphaComponent(0.1).cgColor());
  layer->setShadowOffset({0, 3});
  layer->setShadowOpacity(1.0);
  layer->setShadowRadius(10);
  layer->setMasksToBounds(false);
}

void TellFriendTableViewCell::tellFriendAction() {
  if (auto d = tellFriendDelegate()) d->tellFriend();
}

void TellFriendTableViewCell::layoutSubviews() {
  UITableViewCell::layoutSubviews();
  const CGFloat w = contentView()->bounds().width();
  tellFriendBtn_->setFrame({kSideMargin, 12, w - 2 * kSideMargin, 50});
}
