#include "os/uikit/user_activity.h"

namespace {

constexpr const char* kActivityTypeField = "activityType";
constexpr const char* kWebpageURLField = "webpageURL";

os::runtime::Class* userActivityClass() {
  static os::runtime::Class* const cls = [] {
    os::runtime::Class* c = os::runtime::registerClass("NSUserActivity", "NSObject");
    c->addMethod("activityType", os::runtime::makeInstanceImp<std::string>([](os::runtime::Object& self) {
                   return static_cast<NSUserActivity&>(self).activityType();
                 }));
    c->addMethod("webpageURL", os::runtime::makeInstanceImp<std::optional<os::URL>>([](os::runtime::Object& self) {
                   return static_cast<NSUserActivity&>(self).webpageURL();
                 }));
    return c;
  }();
  return cls;
}

// The class is findable by name before the first activity is made.
[[maybe_unused]] os::runtime::Class* const kRegistered = userActivityClass();

}  // namespace

NSUserActivity::NSUserActivity(std::string activityType)
    : Object(userActivityClass()), activityType_(std::move(activityType)) {}

os::Value NSUserActivity::launchOptionsValue() const {
  os::Dictionary d{{kActivityTypeField, activityType_}};
  if (webpageURL_) d[kWebpageURLField] = webpageURL_->absoluteString();
  return os::Value(std::move(d));
}

os::Value NSUserActivity::launchOptionsDictionaryValue() const {
  return os::Value(os::Dictionary{{UIApplicationLaunchOptionsUserActivityTypeKey, activityType_},
                                  {UIApplicationLaunchOptionsUserActivityKey, launchOptionsValue()}});
}

std::shared_ptr<NSUserActivity> NSUserActivity::fromLaunchOptionsValue(const os::Value& value) {
  const std::string* type = value[kActivityTypeField].string();
  if (!type) return nullptr;
  auto activity = std::make_shared<NSUserActivity>(*type);
  if (const std::string* url = value[kWebpageURLField].string()) activity->setWebpageURL(os::URL::URLWithString(*url));
  return activity;
}
