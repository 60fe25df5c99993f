#include "os/uikit/alert.h"

#include <algorithm>
#include <cstdio>

#include "os/foundation/format.h"
#include "os/uikit/application.h"

namespace {

constexpr const char* kUIKitErrorDomain = "os.uikit.Presentation";
constexpr CGFloat kAlertWidth = 270;
constexpr CGFloat kButtonHeight = 44;

os::Error answerError(int64_t code, const std::string& description) {
  return os::Error::withDescription(kUIKitErrorDomain, code, description);
}

}  // namespace

// --- Actions ---------------------------------------------------------------------

std::shared_ptr<UIAlertAction> UIAlertAction::actionWithTitle(std::optional<std::string> title, UIAlertActionStyle style,
                                                              Handler handler) {
  return std::make_shared<UIAlertAction>(std::move(title), style, std::move(handler));
}

UIAlertAction::UIAlertAction(std::optional<std::string> title, UIAlertActionStyle style, Handler handler)
    : title_(std::move(title)), style_(style), handler_(std::move(handler)) {}

// --- Alert -----------------------------------------------------------------------

std::shared_ptr<UIAlertController> UIAlertController::alertControllerWithTitle(std::optional<std::string> title,
                                                                               std::optional<std::string> message,
                                                                               UIAlertControllerStyle preferredStyle) {
  return std::make_shared<UIAlertController>(std::move(title), std::move(message), preferredStyle);
}

UIAlertController::UIAlertController(std::optional<std::string> title, std::optional<std::string> message,
                                     UIAlertControllerStyle preferredStyle)
    : message_(std::move(message)), style_(preferredStyle) {
  setTitle(std::move(title));
  bool sheetOnPad = preferredStyle == UIAlertControllerStyle::ActionSheet &&
                    UIDevice::currentDevice()->userInterfaceIdiom() == UIUserInterfaceIdiom::Pad;
  setModalPresentationStyle(sheetOnPad ? UIModalPresentationStyle::Popover : UIModalPresentationStyle::OverFullScreen);
}

void UIAlertController::addAction(const std::shared_ptr<UIAlertAction>& action) {
  if (!action) return;
  if (action->style() == UIAlertActionStyle::Cancel &&
      std::any_of(actions_.begin(), actions_.end(),
                  [](auto& a) { return a->style() == UIAlertActionStyle::Cancel; })) {
    // The platform raises here; a second cancel action is dropped instead.
    std::fprintf(stderr, "Warning: UIAlertController can only have one action with a style of cancel\n");
    return;
  }
  actions_.push_back(action);
}

std::vector<std::string> UIAlertController::TEST_actionTitles() const {
  std::vector<std::string> titles;
  for (auto& a : actions_) titles.push_back(a->title().value_or(""));
  return titles;
}

os::Status UIAlertController::TEST_chooseAction(const std::string& title) {
  for (auto& a : actions_)
    if (a->title() == title) return choose(a);
  return os::fail(answerError(3, os::format("The alert has no action titled \"%@\".", title)));
}

os::Status UIAlertController::TEST_chooseActionAtIndex(size_t index) {
  if (index >= actions_.size()) return os::fail(answerError(3, "The alert has no action at that index."));
  return choose(actions_[index]);
}

os::Status UIAlertController::choose(const std::shared_ptr<UIAlertAction>& action) {
  auto presenter = presentingViewController();
  if (chosen_) return os::fail(answerError(2, "The alert was answered already."));
  if (!presenter) return os::fail(answerError(1, "The alert is not presented."));
  if (!action->isEnabled()) return os::fail(answerError(4, "The action is disabled."));
  chosen_ = action;
  // The alert goes first; the handler may present the next screen.
  auto keepAlive = shared_from_this();
  presenter->dismissViewControllerAnimated(true);
  if (action->handler_) action->handler_(*action);
  return {};
}

void UIAlertController::loadView() {
  auto overlay = std::make_shared<UIView>(UIScreen::mainScreen().bounds());
  overlay->setBackgroundColor(UIColor::fromWhite(0, 0.4));
  box_ = std::make_shared<UIView>(CGRect{0, 0, kAlertWidth, 0});
  box_->setBackgroundColor(UIColor::fromWhite(0.97, 1));
  box_->layer()->setCornerRadius(14);
  box_->setClipsToBounds(true);
  overlay->addSubview(box_);

  CGFloat y = 20;
  auto addLabel = [&](const std::optional<std::string>& text, const UIFont& font) {
    if (!text || text->empty()) return;
    auto label = std::make_shared<UILabel>(CGRect{16, y, kAlertWidth - 32, 0});
    label->setText(*text);
    label->setFont(font);
    label->setNumberOfLines(0);
    label->setTextAlignment(NSTextAlignment::Center);
    CGSize size = label->sizeThatFits({kAlertWidth - 32, 1000});
    label->setFrame({16, y, kAlertWidth - 32, size.height});
    box_->addSubview(label);
    y += size.height + 6;
  };
  addLabel(title(), UIFont::systemFont(17, UIFontWeight::Semibold));
  addLabel(message_, UIFont::systemFont(13));
  y += 14;

  // Cancel last, as both styles show it.
  std::vector<std::shared_ptr<UIAlertAction>> ordered = actions_;
  std::stable_partition(ordered.begin(), ordered.end(),
                        [](auto& a) { return a->style() != UIAlertActionStyle::Cancel; });
  std::weak_ptr<UIAlertController> weak = std::static_pointer_cast<UIAlertController>(shared_from_this());
  for (auto& action : ordered) {
    auto separator = std::make_shared<UIView>(CGRect{0, y, kAlertWidth, 0.5});
    separator->setBackgroundColor(UIColor::fromWhite(0.8, 1));
    box_->addSubview(separator);
    auto button = std::make_shared<UIButton>(CGRect{0, y, kAlertWidth, kButtonHeight});
    button->setTitle(action->title(), UIControlState::Normal);
    if (action->style() == UIAlertActionStyle::Destructive)
      button->setTitleColor(UIColor::systemRedColor(), UIControlState::Normal);
    if (action->style() == UIAlertActionStyle::Cancel || action == preferredAction())
      button->titleLabel()->setFont(UIFont::systemFont(17, UIFontWeight::Semibold));
    std::weak_ptr<UIAlertAction> weakAction = action;
    button->addTarget(
        [weak, weakAction](UIControl&) {
          auto self = weak.lock();
          auto a = weakAction.lock();
          if (self && a) (void)self->choose(a);
        },
        UIControlEvents::TouchUpInside);
    box_->addSubview(button);
    y += kButtonHeight;
  }
  box_->setFrame({0, 0, kAlertWidth, y});
  setView(overlay);
}

void UIAlertController::viewDidLayoutSubviews() {
  if (!box_) return;
  CGRect b = view()->bounds();
  CGRect f = box_->frame();
  CGFloat y = style_ == UIAlertControllerStyle::ActionSheet ? b.height() - f.height() - 40 : (b.height() - f.height()) / 2;
  box_->setFrame({(b.width() - f.width()) / 2, y, f.width(), f.height()});
}

// --- Share sheet -------------------------------------------------------------------

UIActivityViewController::UIActivityViewController(std::vector<UIActivityItem> activityItems)
    : items_(std::move(activityItems)) {
  bool pad = UIDevice::currentDevice()->userInterfaceIdiom() == UIUserInterfaceIdiom::Pad;
  setModalPresentationStyle(pad ? UIModalPresentationStyle::Popover : UIModalPresentationStyle::PageSheet);
}

os::Status UIActivityViewController::TEST_complete(std::optional<UIActivityType> activityType, bool completed) {
  auto presenter = presentingViewController();
  if (answered_) return os::fail(answerError(2, "The share sheet was answered already."));
  if (!presenter) return os::fail(answerError(1, "The share sheet is not presented."));
  if (activityType && std::find(excluded_.begin(), excluded_.end(), *activityType) != excluded_.end())
    return os::fail(answerError(5, os::format("The activity %@ is excluded.", *activityType)));
  answered_ = true;
  auto keepAlive = shared_from_this();
  presenter->dismissViewControllerAnimated(true);
  if (completion_) completion_(activityType, completed, {}, std::nullopt);
  return {};
}

void UIActivityViewController::loadView() {
  CGRect screen = UIScreen::mainScreen().bounds();
  auto v = std::make_shared<UIView>(screen);
  v->setBackgroundColor(UIColor::fromWhite(0, 0.2));
  CGFloat height = std::min<CGFloat>(screen.height() * 0.5, 60 + 44.0 * static_cast<CGFloat>(items_.size()));
  auto sheet = std::make_shared<UIView>(CGRect{0, screen.height() - height, screen.width(), height});
  sheet->setBackgroundColor(UIColor::fromWhite(0.95, 1));
  sheet->layer()->setCornerRadius(12);
  sheet->setAutoresizingMask(UIViewAutoresizing::FlexibleWidth | UIViewAutoresizing::FlexibleTopMargin);
  CGFloat y = 16;
  for (auto& item : items_) {
    auto label = std::make_shared<UILabel>(CGRect{16, y, screen.width() - 32, 36});
    label->setNumberOfLines(2);
    label->setFont(UIFont::systemFont(13));
    if (item.text) {
      label->setText(*item.text);
    } else if (item.url) {
      label->setText(item.url->absoluteString());
    } else if (item.image) {
      label->setText("Photo");
    }
    sheet->addSubview(label);
    y += 44;
  }
  v->addSubview(sheet);
  setView(v);
}
