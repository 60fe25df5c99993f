// PreviewViewController: the composed photo full screen, with save to the
// photo library, share and dismiss. The presenter sets passedImage before the
// view loads.
//
// Save writes the image to the saved-photos album (a JPEG in the sandbox's
// "Photos" folder). The save button takes no touches until the library
// answers, so a photo cannot be saved twice by quick taps. Success flashes
// the "saved" confirmation (alertBlurView fades from 1 to 0 over 2.5 s);
// failure, such as a refused photo permission, presents the "Couldn't Save"
// alert with a way into the app's settings.
//
// Main thread only.
#pragma once

#include <memory>
#include <optional>

#include "os/foundation/error.h"
#include "os/uikit/uikit.h"

inline constexpr const char* kCouldNotSaveTitle = "Couldn't Save";
inline constexpr const char* kCouldNotSaveMessage = "Make sure Drosil has permission to add photos.";
inline constexpr const char* kAppSettingsActionTitle = "App Settings";
inline constexpr const char* kOKActionTitle = "OK";
// Seconds over which the "saved" confirmation fades out.
inline constexpr double kSavedConfirmationSeconds = 2.5;

class PreviewViewController : public UIViewController {
 public:
  PreviewViewController() = default;

  // Builds the screen's views and connects them to the outlets.
  void loadView() override;
  // Hides the confirmation, shows passedImage; aspect-fit when the status
  // bar is landscape, else aspect-fill.
  void viewDidLoad() override;
  // Prints "Landscape" (device landscape left or right: aspect-fit) or
  // "Portrait" (anything else: aspect-fill).
  void viewWillTransitionToSize(CGSize size, UIViewControllerTransitionCoordinator& coordinator) override;

  // Each first gives the light haptic tap when "hapticKey" is on. Save and
  // share do nothing more without an image.
  void saveAction();
  void shareAction();
  void dismissAction();
  // The photo library's answer to saveAction.
  void image(const std::shared_ptr<UIImage>& image, const std::optional<os::Error>& didFinishSavingWithError,
             void* contextInfo);

  // The photo to show; set by the presenter.
  std::shared_ptr<UIImage> passedImage;

  // Outlets (null until the view is loaded).
  std::shared_ptr<UIVisualEffectView> alertBlurView() const { return alertBlurView_.lock(); }
  std::shared_ptr<UIImageView> alertImage() const { return alertImage_.lock(); }
  std::shared_ptr<UIButton> shareBtn() const { return shareBtn_.lock(); }
  std::shared_ptr<UIImageView> previewImage() const { return previewImage_.lock(); }
  std::shared_ptr<UIButton> saveBtn() const { return saveBtn_.lock(); }

 private:
  std::weak_ptr<UIVisualEffectView> alertBlurView_;
  std::weak_ptr<UIImageView> alertImage_;
  std::weak_ptr<UIButton> shareBtn_;
  std::weak_ptr<UIImageView> previewImage_;
  std::weak_ptr<UIButton> saveBtn_;
};

// A photo-library completion target that only prints "Save finished!".
// Nothing in the app creates one.
class ImageSaver {
 public:
  void saveCompleted(const std::shared_ptr<UIImage>& image, const std::optional<os::Error>& didFinishSavingWithError,
                     void* contextInfo);
};
