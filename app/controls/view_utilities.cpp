#include "app/controls/view_utilities.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

std::optional<UIColor> UIColorFromHex(const std::string& hex, std::optional<float> alpha) {
  std::string text = hex;
  if (!text.empty() && text.front() == '#') text.erase(0, 1);

  // A whole signed hexadecimal integer that fits 64 bits, nothing else.
  size_t digits = 0;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) digits = 1;
  if (digits == text.size()) return std::nullopt;
  for (size_t i = digits; i < text.size(); ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
  }
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 16);
  if (errno == ERANGE || end != text.c_str() + text.size()) return std::nullopt;

  // Channels are read from the bits of v, the sign included.
  const auto bits = static_cast<unsigned long long>(v);
  auto two = [&](int shift) { return static_cast<CGFloat>((bits >> shift) & 0xFF) / 255.0; };
  auto one = [&](int shift) { return static_cast<CGFloat>(((bits >> shift) & 0xF) * 17) / 255.0; };
  CGFloat r, g, b, a;
  switch (text.size()) {
    case 3:
      r = one(8), g = one(4), b = one(0);
      a = alpha ? *alpha : 1.0;
      break;
    case 4:
      r = one(12), g = one(8), b = one(4);
      a = alpha ? *alpha : one(0);
      break;
    case 6:
      r = two(16), g = two(8), b = two(0);
      a = alpha ? *alpha : 1.0;
      break;
    case 8:
      r = two(24), g = two(16), b = two(8);
      a = alpha ? *alpha : two(0);
      break;
    default:
      return std::nullopt;
  }
  return UIColor::fromRGBA(r, g, b, a);
}

std::optional<UIColor> UIColorFromRGB(long long rgb, float alpha) {
  if (rgb < 0 || rgb > 0xFFFFFF) return std::nullopt;
  return UIColor::fromRGBA(static_cast<CGFloat>((rgb >> 16) & 0xFF) / 255.0,
                           static_cast<CGFloat>((rgb >> 8) & 0xFF) / 255.0, static_cast<CGFloat>(rgb & 0xFF) / 255.0,
                           alpha);
}

void handleTap(const MyTapGestureRecognizer& sender) {
  if (sender.action) sender.action();
}

void ControlsSegue::perform() {
  auto source = sourceViewController();
  auto destination = destinationViewController();
  if (!hostView || !source || !destination) return;
  if (currentViewController) {
    currentViewController->willMoveToParentViewController(nullptr);
    currentViewController->removeFromParentViewController();
    if (auto view = currentViewController->viewIfLoaded()) view->removeFromSuperview();
  }
  source->addChildViewController(destination);
  auto view = destination->view();
  hostView->addSubview(view);
  view->setFrame(hostView->bounds());
  destination->didMoveToParentViewController(source);
}
