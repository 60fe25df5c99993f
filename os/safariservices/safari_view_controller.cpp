#include "os/safariservices/safari_view_controller.h"

SFSafariViewController::SFSafariViewController(os::URL url) : url_(std::move(url)) {
  setModalPresentationStyle(UIModalPresentationStyle::FullScreen);
}

void SFSafariViewController::TEST_done() {
  if (auto presenter = presentingViewController()) presenter->dismissViewControllerAnimated(true);
}

void SFSafariViewController::loadView() {
  CGRect screen = UIScreen::mainScreen().bounds();
  auto page = std::make_shared<UIView>(screen);
  page->setBackgroundColor(UIColor::whiteColor());
  auto bar = std::make_shared<UILabel>(CGRect{0, 0, screen.width(), 56});
  bar->setBackgroundColor(UIColor::fromWhite(0.95, 1));
  bar->setTextAlignment(NSTextAlignment::Center);
  bar->setFont(UIFont::systemFont(13));
  bar->setText(url_.host().empty() ? url_.absoluteString() : url_.host());
  bar->setAutoresizingMask(UIViewAutoresizing::FlexibleWidth);
  page->addSubview(bar);
  setView(page);
}
