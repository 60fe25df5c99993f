// Sliders of the meter: two UISlider subclasses with a thin track and a small
// square thumb, two wrapper views that own one slider each and copy their
// settings onto it, and the gradient track image.
//
// The wrappers must be made with create(): the inner slider joins the view
// tree once the wrapper is owned by a shared_ptr. Main thread only.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "os/uikit/uikit.h"

namespace detail {
// The thumb rectangle both slider classes share.
CGRect thinSliderThumbRect(const UISlider& slider, const CGRect& trackRect, float value);
}  // namespace detail

// Track 4 points high; used inside HorizontalSlider.
class HorizontalSliderThickness : public UISlider {
 public:
  using UISlider::UISlider;
  // (0, the default track's y, width of the bounds, 4).
  CGRect trackRectForBounds(const CGRect& bounds) const override;
  // An 8 x 8 square centred on the track at value / maximum of its width
  // (maximum 0 counts as 1); the minimum takes no part.
  CGRect thumbRectForBounds(const CGRect& bounds, const CGRect& trackRect, float value) const override;
};

// Track 8 points high; used inside VerticalSlider and, off screen, for the
// watch's picture of the reading.
class CustomThicknessSlider : public UISlider {
 public:
  using UISlider::UISlider;
  CGRect trackRectForBounds(const CGRect& bounds) const override;
  CGRect thumbRectForBounds(const CGRect& bounds, const CGRect& trackRect, float value) const override;
};

// A view owning one slider and copying its settings onto it: every setter
// re-applies them all (updateSlider()).
template <class Slider>
class SliderWrapper : public UIView {
 public:
  const std::shared_ptr<Slider>& slider() const { return slider_; }

  float minimumValue() const { return minimumValue_; }
  void setMinimumValue(float v) { minimumValue_ = v; updateSlider(); }
  float maximumValue() const { return maximumValue_; }
  void setMaximumValue(float v) { maximumValue_ = v; updateSlider(); }
  std::optional<UIColor> thumbTintColor() const { return thumbTintColor_; }
  void setThumbTintColor(std::optional<UIColor> c) { thumbTintColor_ = c; updateSlider(); }
  std::optional<UIColor> minimumTrackTintColor() const { return minimumTrackTintColor_; }
  void setMinimumTrackTintColor(std::optional<UIColor> c) { minimumTrackTintColor_ = c; updateSlider(); }
  std::optional<UIColor> maximumTrackTintColor() const { return maximumTrackTintColor_; }
  void setMaximumTrackTintColor(std::optional<UIColor> c) { maximumTrackTintColor_ = c; updateSlider(); }
  bool isContinuous() const { return isContinuous_; }
  void setIsContinuous(bool on) { isContinuous_ = on; updateSlider(); }

  // The slider's value; setting it animates the slider there.
  float value() const { return slider_->value(); }
  void setValue(float v) { slider_->setValue(v, true); }

  virtual void updateSlider() = 0;

 protected:
  SliderWrapper(const CGRect& frame, float minimum, float maximum)
      : UIView(frame), minimumValue_(minimum), maximumValue_(maximum) {}

  // Copies range, value, colours and continuity onto the slider.
  void applySettings() {
    slider_->setMinimumValue(minimumValue_);
    slider_->setMaximumValue(maximumValue_);
    slider_->setValue(slider_->value(), false);
    slider_->setThumbTintColor(thumbTintColor_);
    slider_->setMinimumTrackTintColor(minimumTrackTintColor_);
    slider_->setMaximumTrackTintColor(maximumTrackTintColor_);
    slider_->setContinuous(isContinuous_);
  }
  // Gives the slider `length` along its own axis and centres it.
  void centreSlider(CGFloat length) {
    CGRect b = slider_->bounds();
    b.size.width = length;
    slider_->setBounds(b);
    slider_->setCenter(bounds().mid());
  }

  const std::shared_ptr<Slider> slider_ = std::make_shared<Slider>();

 private:
  float minimumValue_;
  float maximumValue_;
  std::optional<UIColor> thumbTintColor_, minimumTrackTintColor_, maximumTrackTintColor_;
  bool isContinuous_ = true;
};

// A HorizontalSliderThickness in a view; range 0 ... 200 by default.
class HorizontalSlider : public SliderWrapper<HorizontalSliderThickness> {
 public:
  static std::shared_ptr<HorizontalSlider> create(const CGRect& frame = {});
  explicit HorizontalSlider(const CGRect& frame = {});

  void updateSlider() override;
  CGSize intrinsicContentSize() const override { return slider_->intrinsicContentSize(); }
  void layoutSubviews() override;
};

// A CustomThicknessSlider turned by a quarter: with ascending false the
// minimum is at the bottom, with ascending true at the top (mirrored); range
// -1 ... 1 by default.
class VerticalSlider : public SliderWrapper<CustomThicknessSlider> {
 public:
  static std::shared_ptr<VerticalSlider> create(const CGRect& frame = {});
  explicit VerticalSlider(const CGRect& frame = {});

  bool ascending() const { return ascending_; }
  void setAscending(bool on) { ascending_ = on; updateSlider(); }

  void updateSlider() override;
  // The slider's intrinsic size with width and height exchanged.
  CGSize intrinsicContentSize() const override;
  void layoutSubviews() override;

 private:
  bool ascending_ = false;
};

class PUGradientSlider {
 public:
  // Renders the colours (minimum end first) as a left-to-right strip of the
  // slider's width and 5 points high, its corners curved to `thickness`, and
  // installs it as both track images of the slider in a later main-queue
  // block. A slider of zero width gets nothing. Main thread.
  static void gradientImage(const std::shared_ptr<UISlider>& slider, const std::vector<CGColor>& colors,
                            CGFloat thickness);
};
