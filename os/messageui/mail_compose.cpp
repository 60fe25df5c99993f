#include "os/messageui/mail_compose.h"

#include <atomic>

#include "os/foundation/format.h"

namespace {
std::atomic<bool>& canSend() {
  static std::atomic<bool> flag{true};
  return flag;
}
constexpr const char* kPresentationErrorDomain = "os.uikit.Presentation";
}  // namespace

void os::MailSimulator::setCanSendMail(bool canSendMail) { canSend() = canSendMail; }

bool MFMailComposeViewController::canSendMail() { return canSend(); }

MFMailComposeViewController::MFMailComposeViewController() {
  setModalPresentationStyle(UIModalPresentationStyle::PageSheet);
}

os::Status MFMailComposeViewController::TEST_finish(MFMailComposeResult result, std::optional<os::Error> error) {
  if (finished_) return os::fail(os::Error::withDescription(kPresentationErrorDomain, 2, "The mail was finished already."));
  if (!presentingViewController())
    return os::fail(os::Error::withDescription(kPresentationErrorDomain, 1, "The mail composer is not presented."));
  auto delegate = delegate_.lock();
  if (!delegate)
    return os::fail(os::Error::withDescription(kPresentationErrorDomain, 6, "The mail composer has no delegate."));
  if (result == MFMailComposeResult::Failed && !error)
    error = os::Error::withDescription(MFMailComposeErrorDomain, MFMailComposeErrorCodeSendFailed,
                                       "The message could not be sent.");
  if (result != MFMailComposeResult::Failed) error.reset();
  finished_ = true;
  auto keepAlive = shared_from_this();
  delegate->mailComposeControllerDidFinishWithResultError(*this, result, error);
  return {};
}

void MFMailComposeViewController::loadView() {
  CGRect screen = UIScreen::mainScreen().bounds();
  auto sheet = std::make_shared<UIView>(screen);
  sheet->setBackgroundColor(UIColor::whiteColor());
  CGFloat y = 20;
  auto line = [&](const std::string& text, CGFloat height) {
    auto label = std::make_shared<UILabel>(CGRect{16, y, screen.width() - 32, height});
    label->setFont(UIFont::systemFont(15));
    label->setNumberOfLines(0);
    label->setText(text);
    label->setAutoresizingMask(UIViewAutoresizing::FlexibleWidth);
    sheet->addSubview(label);
    y += height + 8;
  };
  std::string to;
  for (auto& r : to_) to += (to.empty() ? "" : ", ") + r;
  line("To: " + to, 24);
  line("Subject: " + subject_, 24);
  line(body_, screen.height() - y - 20);
  setView(sheet);
}
