// The photo overlay: the captured photo with the reading, the tint, the
// light source, the slider picture, the date and the place drawn over it.
//
// OverlayViewController is an off-screen layout. Its creator sets the value
// fields, then loads the view (viewDidLoad copies the values into the
// outlets) and renders it with snapshotImage(). composePhotoOverlay() does
// all of that from the main screen's values at the time of the photo.
// BottomGradientView darkens the lower edge so the text stays legible.
//
// Main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "os/foundation/date.h"
#include "os/uikit/uikit.h"

// Pattern of the overlay's date line.
inline constexpr const char* kPhotoOverlayDateFormat = "HH:mm • MMM d, yyyy";
// What the reading line shows when the screen has no reading yet.
inline constexpr const char* kPhotoOverlayNoReading = "N/A";
// Name of the overlay's interface file.
inline constexpr const char* kOverlayViewControllerNibName = "OverlayViewController";

// A clear-to-black gradient over the whole view, top to bottom.
class BottomGradientView : public UIView {
 public:
  explicit BottomGradientView(const CGRect& frame = {}) : UIView(frame) {}
  // Sets the gradient layer's frame to the bounds, creating it on first use.
  void layoutSubviews() override;
  // Created on first use: colours clear then opaque black, start (1, 0),
  // end (1, 1), inserted as the layer's first sublayer.
  const std::shared_ptr<CAGradientLayer>& gradientLayer();

 private:
  std::shared_ptr<CAGradientLayer> gradientLayer_;
};

class OverlayViewController : public UIViewController {
 public:
  // The layout is always the "OverlayViewController" one of the app,
  // whatever name and bundle are passed.
  OverlayViewController(const std::optional<std::string>& nibName = kOverlayViewControllerNibName,
                        const void* bundle = nullptr);

  // Builds the layout (the interface file's views, connected to the outlets).
  void loadView() override;
  // Prints the address, hides the location row when it is empty, copies the
  // values into the outlets, sets the slider picture turned a quarter
  // counter-clockwise and scaled 2x, and prints the tint.
  void viewDidLoad() override;

  // Values, set before the view loads. Absent isMarkerHidden: the marker is
  // hidden exactly when the address is empty.
  std::optional<std::string> lblReading;
  std::shared_ptr<UIImage> imgCaptured;
  std::optional<std::string> lblDateTime;
  std::string lblUserAddress;
  std::optional<std::string> lblDesc;
  std::optional<bool> isMarkerHidden;
  std::shared_ptr<UIImage> cctImg;
  std::optional<std::string> lblTint;
  std::optional<std::string> tntReading;

  // Outlets (null until the view is loaded).
  std::shared_ptr<UIImageView> cctTempImg() const { return cctTempImg_.lock(); }
  std::shared_ptr<UILabel> readingLbl() const { return readingLbl_.lock(); }
  std::shared_ptr<UIImageView> capturedImg() const { return capturedImg_.lock(); }
  std::shared_ptr<UILabel> dateTimeLbl() const { return dateTimeLbl_.lock(); }
  std::shared_ptr<UILabel> userAddressLbl() const { return userAddressLbl_.lock(); }
  std::shared_ptr<UIImageView> markerImg() const { return markerImg_.lock(); }
  std::shared_ptr<UILabel> descLbl() const { return descLbl_.lock(); }
  std::shared_ptr<UILabel> tintLbl() const { return tintLbl_.lock(); }
  std::shared_ptr<UILabel> tintReading() const { return tintReading_.lock(); }
  std::shared_ptr<BottomGradientView> buttomGradient() const { return buttomGradient_.lock(); }
  std::shared_ptr<UIView> locationView() const { return locationView_.lock(); }

 private:
  std::weak_ptr<UIImageView> cctTempImg_;
  std::weak_ptr<UILabel> readingLbl_;
  std::weak_ptr<UIImageView> capturedImg_;
  std::weak_ptr<UILabel> dateTimeLbl_;
  std::weak_ptr<UILabel> userAddressLbl_;
  std::weak_ptr<UIImageView> markerImg_;
  std::weak_ptr<UILabel> descLbl_;
  std::weak_ptr<UILabel> tintLbl_;
  std::weak_ptr<UILabel> tintReading_;
  std::weak_ptr<BottomGradientView> buttomGradient_;
  std::weak_ptr<UIView> locationView_;
};

// The image turned by `radians` about its centre, on a canvas the size of
// the rotated bounding box (each side rounded down), transparent around it,
// at the image's scale. Null for a null image or a canvas that cannot be
// made (such as an empty image).
std::shared_ptr<UIImage> rotateImage(const std::shared_ptr<UIImage>& image, float radians);

// The view (laid out) drawn into an image of its bounds size at `scale`
// (0: the main screen's). An empty UIImage when nothing could be drawn.
std::shared_ptr<UIImage> snapshotImage(UIView& view, bool opaque = false, CGFloat scale = 0);

// The main screen's values at the moment of a photo.
struct PhotoOverlayContent {
  std::shared_ptr<UIImage> photo;
  std::string reading;  // the temperature text; "" shows "N/A"
  std::optional<std::string> lightDescription;
  std::optional<std::string> tintCaption;
  std::optional<std::string> tintValue;
  std::shared_ptr<UIImage> sliderImage;
  std::string userAddress;  // "" hides the location row and the marker
  os::Date date;            // shown as "HH:mm • MMM d, yyyy" (default zone)
};

// A new overlay with its fields set from `content`; the view is not loaded.
std::shared_ptr<OverlayViewController> makePhotoOverlay(const PhotoOverlayContent& content);
// The overlay of `content` rendered (snapshotImage of the loaded view).
std::shared_ptr<UIImage> composePhotoOverlay(const PhotoOverlayContent& content);
