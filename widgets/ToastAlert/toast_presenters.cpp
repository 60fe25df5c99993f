#include "widgets/ToastAlert/toast_alert.h"

void ToastAlert::present(const std::string& title, const std::optional<std::string>& message,
                         const ToastAlertIconPreset& preset, ToastAlertHaptic haptic,
                         ToastAlertView::Completion completion) {
  ToastAlertView::make(title, message, preset)->present(haptic, std::move(completion));
}

void ToastAlert::present(const std::string& title, const std::optional<std::string>& message,
                         const ToastAlertIconPreset& preset, ToastAlertView::Completion completion) {
  ToastAlertView::make(title, message, preset)->present(preset.haptic(), std::move(completion));
}

void ToastAlert::present(const std::string& message, ToastAlertHaptic haptic, ToastAlertView::Completion completion) {
  ToastAlertView::makeWithMessage(message)->present(haptic, std::move(completion));
}

void ToastAlert::present(const ToastAlertIconPreset& preset, ToastAlertView::Completion completion) {
  ToastAlertView::make(preset)->present(preset.haptic(), std::move(completion));
}

void ToastAlert::dismissAllAlerts() {
  for (const auto& window : UIApplication::sharedApplication()->windows()) {
    // A copy: dismissing changes nothing at once, but a completion may.
    auto subviews = window->subviews();
    for (const auto& view : subviews) {
      if (auto toast = std::dynamic_pointer_cast<ToastAlertView>(view)) toast->dismiss();
    }
  }
}

namespace declarative::detail {
namespace {

void bindAndPresent(const std::shared_ptr<ToastAlertView>& toast, const Binding<bool>& isPresented, double duration,
                    ToastAlertHaptic haptic) {
  if (!isPresented.wrappedValue()) return;
  auto callerCompletion = toast->completion();
  toast->setDuration(duration);
  toast->present(haptic, [isPresented, callerCompletion] {
    isPresented.setWrappedValue(false);
    if (callerCompletion) callerCompletion();
  });
}

}  // namespace

void presentToastAlert(const Binding<bool>& isPresented, const std::string& title,
                       const std::optional<std::string>& message, double duration, bool dismissByTap,
                       const ToastAlertIconPreset& preset, ToastAlertHaptic haptic,
                       std::shared_ptr<ToastAlertLayout> layout, ToastAlertView::Completion completion) {
  auto toast = ToastAlertView::make(title, message, preset);
  toast->setDismissByTap(dismissByTap);
  toast->setLayout(layout ? std::move(layout) : std::make_shared<ToastAlertLayout>(preset));
  toast->setCompletion(std::move(completion));
  bindAndPresent(toast, isPresented, duration, haptic);
}

void presentToastAlert(const Binding<bool>& isPresented, const std::string& message, double duration,
                       bool dismissByTap, ToastAlertHaptic haptic, ToastAlertView::Completion completion) {
  auto toast = ToastAlertView::makeWithMessage(message);
  toast->setDismissByTap(dismissByTap);
  toast->setCompletion(std::move(completion));
  bindAndPresent(toast, isPresented, duration, haptic);
}

}  // namespace declarative::detail
