// SFSafariViewController: the in-app browser. Headless, it shows the URL it
// was made with as its page (a bar with the address), and records nothing
// beyond being presented with that URL; the user's "Done" is TEST_done.
#pragma once

#include <memory>

#include "os/foundation/url.h"
#include "os/uikit/view_controller.h"

class SFSafariViewController : public UIViewController {
 public:
  explicit SFSafariViewController(os::URL url);
  const os::URL& URL() const { return url_; }
  // The user taps "Done": the browser is dismissed.
  void TEST_done();
  void loadView() override;

 private:
  os::URL url_;
};
