// MFMailComposeViewController: the mail sheet. Headless, the composer holds
// what the app filled in; the user's answer is given with TEST_finish, which
// calls the mail-compose delegate once with the result (the composer stays
// presented until the delegate dismisses it, as on the platform).
//
// Whether the device can send mail is os::MailSimulator's switch (true by
// default: a mail account is set up).
//
// Main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/error.h"
#include "os/uikit/view_controller.h"

enum class MFMailComposeResult { Cancelled = 0, Saved = 1, Sent = 2, Failed = 3 };

inline constexpr const char* MFMailComposeErrorDomain = "MFMailComposeErrorDomain";
inline constexpr int64_t MFMailComposeErrorCodeSaveFailed = 0;
inline constexpr int64_t MFMailComposeErrorCodeSendFailed = 1;

class MFMailComposeViewController;

class MFMailComposeViewControllerDelegate {
 public:
  virtual ~MFMailComposeViewControllerDelegate() = default;
  // mailComposeController:didFinishWithResult:error:
  virtual void mailComposeControllerDidFinishWithResultError(MFMailComposeViewController& controller,
                                                             MFMailComposeResult result,
                                                             const std::optional<os::Error>& error) = 0;
};

class MFMailComposeViewController : public UIViewController {
 public:
  MFMailComposeViewController();
  static bool canSendMail();

  std::weak_ptr<MFMailComposeViewControllerDelegate> mailComposeDelegate() const { return delegate_; }
  void setMailComposeDelegate(std::weak_ptr<MFMailComposeViewControllerDelegate> delegate) {
    delegate_ = std::move(delegate);
  }
  void setToRecipients(std::vector<std::string> recipients) { to_ = std::move(recipients); }
  void setCcRecipients(std::vector<std::string> recipients) { cc_ = std::move(recipients); }
  void setSubject(std::string subject) { subject_ = std::move(subject); }
  void setMessageBody(std::string body, bool isHTML) {
    body_ = std::move(body);
    isHTML_ = isHTML;
  }

  const std::vector<std::string>& toRecipients() const { return to_; }
  const std::vector<std::string>& ccRecipients() const { return cc_; }
  const std::string& subject() const { return subject_; }
  const std::string& messageBody() const { return body_; }
  bool isHTML() const { return isHTML_; }

  // The user is done: the delegate is told (once). A result of failed
  // without an error gets MFMailComposeErrorCodeSendFailed. Errors: not
  // presented, finished already, or no delegate left.
  os::Status TEST_finish(MFMailComposeResult result, std::optional<os::Error> error = std::nullopt);

  void loadView() override;

 private:
  std::weak_ptr<MFMailComposeViewControllerDelegate> delegate_;
  std::vector<std::string> to_, cc_;
  std::string subject_, body_;
  bool isHTML_ = false;
  bool finished_ = false;
};

namespace os {
class MailSimulator {
 public:
  static void setCanSendMail(bool canSend);
};
}  // namespace os
