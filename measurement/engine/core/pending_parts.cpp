// Stand-ins for engine work that is not built yet. Each block below stands
// for one method: it records its call in APMStandInRecord and answers what a
// test chose (APMStandInRecord::setAnswer) or a neutral answer. A block is
// deleted when its real method is written in its own file; the blocks do not
// depend on each other.

#include <chrono>

#include "measurement/engine/attribution/search_ad_reporter.h"
#include "measurement/engine/core/measurement.h"
#include "measurement/engine/core/stand_in_record.h"
#include "measurement/engine/interface/analytics.h"
#include "measurement/engine/interface/app_delegate_interceptor.h"
#include "measurement/engine/purchases/in_app_purchase_transaction_reporter.h"
#include "measurement/store/engine_services/event_parameters.h"
#include "os/foundation/date.h"

namespace {

// The value, or the null value for none.
template <class T>
os::Value valueOf(const std::optional<T>& optional) {
  os::Value out;
  if (optional) out = os::Value(*optional);
  return out;
}

}  // namespace

// =====================================================================
// Application life cycle
// =====================================================================

// Stands for observing the application's foreground and background changes.
void APMMeasurement::subscribeForAppForegroundBackgroundNotifications() {
  APMStandInRecord::record("subscribeForAppForegroundBackgroundNotifications");
}

// Stands for exchanging the background task the engine holds.
void APMMeasurement::swapBackgroundTaskWithNewTaskID(UIBackgroundTaskIdentifier taskID) {
  backgroundUpdateTask_.exchange(taskID);
  APMStandInRecord::record("swapBackgroundTaskWithNewTaskID", {{"taskID", os::Value(os::Number::uint64(taskID))}});
}

// Stands for the session start at the first scene connection of a prewarmed launch.
void APMMeasurement::reportSessionStartWhenSceneWillConnectOnWorkerQueue() {
  APMStandInRecord::record("reportSessionStartWhenSceneWillConnectOnWorkerQueue");
}

// Stands for the launch URL the application hands over at launch.
void APMMeasurement::handleStoredURLAfterAppLaunchWithNotification(const os::Notification& notification) {
  APMStandInRecord::record("handleStoredURLAfterAppLaunchWithNotification", {{"userInfo", notification.userInfo}});
}

// =====================================================================
// Event pipeline seams
// =====================================================================

// Stands for recording the lifetime value of a purchase inside the event's
// transaction: answers YES (recorded) unless a test chose otherwise.
bool APMMeasurement::updateLifetimeValueWithEvent(const std::shared_ptr<APMEvent>& event) {
  APMStandInRecord::record("updateLifetimeValueWithEvent", {{"name", event ? event->name() : std::string()}});
  return APMStandInRecord::answer("updateLifetimeValueWithEvent").value_or(os::Value(true)).boolValue();
}

// =====================================================================
// Upload scheduling
// =====================================================================

// Stands for arming or cancelling the upload alarm.
void APMMeasurement::updateSchedule() { APMStandInRecord::record("updateSchedule"); }

// Stands for the network client's reachability change.
void APMMeasurement::reachabilityDidChange() { APMStandInRecord::record("reachabilityDidChange"); }

// =====================================================================
// Data reset and purchases
// =====================================================================

// Stands for the data reset the facade asks for.
bool APMMeasurement::resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID) {
  APMStandInRecord::record("resetAnalyticsDataWithAppInstanceID", {{"appInstanceID", valueOf(appInstanceID)}});
  return APMStandInRecord::answer("resetAnalyticsDataWithAppInstanceID").value_or(os::Value(true)).boolValue();
}

// Stands for wiping the analytics data.
bool APMMeasurement::wipeoutAnalyticsDataAndResetComponents() {
  APMStandInRecord::record("wipeoutAnalyticsDataAndResetComponents");
  return APMStandInRecord::answer("wipeoutAnalyticsDataAndResetComponents").value_or(os::Value(true)).boolValue();
}

// Stands for dropping purchase transactions seen before: passes all on.
void APMMeasurement::filterPurchaseTransactions(const std::vector<std::shared_ptr<SKPaymentTransaction>>& transactions,
                                                std::function<void(std::vector<std::shared_ptr<SKPaymentTransaction>>)> callback) {
  APMStandInRecord::record("filterPurchaseTransactions", {{"count", os::Value(transactions.size())}});
  callback(transactions);
}

// =====================================================================
// On-device conversion measurement
// =====================================================================

// Stands for handing user data to the on-device conversion client.
void APMMeasurement::setUserData(const os::Dictionary& userData) {
  APMStandInRecord::record("setUserData", {{"userData", userData}});
}

// Stands for the start-up check of the on-device conversion client.
void APMMeasurement::checkPSMDependencyOnWorkerQueue() { APMStandInRecord::record("checkPSMDependencyOnWorkerQueue"); }

// Stands for dropping an expired on-device conversion value.
void APMMeasurement::maybeDeleteExpiredPSMValueOnWorkerQueue() {
  APMStandInRecord::record("maybeDeleteExpiredPSMValueOnWorkerQueue");
}

// =====================================================================
// Deep links and campaigns
// =====================================================================

// Stands for reporting an opened link as a campaign.
void APMMeasurement::handleOpenURLOnWorkerQueue(const std::optional<os::URL>& url,
                                                std::optional<int64_t> clickTimestampInMs,
                                                double eventTimestampInSeconds,
                                                std::optional<os::Dictionary> extraParameters) {
  APMStandInRecord::record(
      "handleOpenURLOnWorkerQueue",
      {{"url", url ? os::Value(url->absoluteString()) : os::Value()},
       {"clickTimestampInMs", clickTimestampInMs ? os::Value(os::Number::int64(*clickTimestampInMs)) : os::Value()},
       {"eventTimestampInSeconds", eventTimestampInSeconds},
       {"extraParameters", valueOf(extraParameters)}});
}

// Stands for a link that opened the app after its first open.
void APMMeasurement::handleNonFirstOpenEventURL(const os::URL& url, double eventTimestampInSeconds) {
  APMStandInRecord::record("handleNonFirstOpenEventURL",
                           {{"url", url.absoluteString()}, {"eventTimestampInSeconds", eventTimestampInSeconds}});
}

// Stands for deriving a link from a user activity.
std::optional<os::URL> APMMeasurement::deepLinkFromUserActivity(const std::shared_ptr<NSUserActivity>&) {
  APMStandInRecord::record("deepLinkFromUserActivity");
  const auto answer = APMStandInRecord::answer("deepLinkFromUserActivity");
  if (!answer || !answer->isString()) return std::nullopt;
  return os::URL::URLWithString(*answer->string());
}

// Stands for the deferred deep-link switch.
bool APMMeasurement::shouldAllowRequestDeferredDeepLink() {
  return APMStandInRecord::answer("shouldAllowRequestDeferredDeepLink").value_or(os::Value(false)).boolValue();
}

// Stands for the deferred deep-link request.
void APMMeasurement::requestDeferredDeepLink() { APMStandInRecord::record("requestDeferredDeepLink"); }

// =====================================================================
// Search-ads reporter
// =====================================================================

// Stands for the search-ads reporter.
std::shared_ptr<APMSearchAdReporter> APMSearchAdReporter::initWithWorkerQueue(std::shared_ptr<os::DispatchQueue>,
                                                                              std::shared_ptr<APMPersistedConfig>) {
  APMStandInRecord::record("APMSearchAdReporter.initWithWorkerQueue");
  return std::make_shared<APMSearchAdReporter>();
}

// Stands for the search-ads reporter's first attempt.
void APMSearchAdReporter::start() { APMStandInRecord::record("APMSearchAdReporter.start"); }

// Stands for switching search-ads reporting.
void APMSearchAdReporter::setSearchAdReporterEnabled(bool enabled) {
  APMStandInRecord::record("APMSearchAdReporter.setSearchAdReporterEnabled", {{"enabled", enabled}});
}

// =====================================================================
// In-app purchases
// =====================================================================

// Stands for the in-app purchase reporter.
std::shared_ptr<APMInAppPurchaseTransactionReporter> APMInAppPurchaseTransactionReporter::sharedInstance() {
  static const auto* reporter = new std::shared_ptr<APMInAppPurchaseTransactionReporter>(
      std::make_shared<APMInAppPurchaseTransactionReporter>());
  return *reporter;
}

// Stands for reporting the payment queue's transactions.
void APMInAppPurchaseTransactionReporter::paymentQueue(const std::shared_ptr<SKPaymentQueue>&,
                                                       const std::vector<std::shared_ptr<SKPaymentTransaction>>& updatedFilteredTransactions) {
  APMStandInRecord::record("APMInAppPurchaseTransactionReporter.paymentQueue",
                           {{"count", os::Value(updatedFilteredTransactions.size())}});
}

// Stands for reporting a transaction the app describes.
void APMInAppPurchaseTransactionReporter::reportTransactionWithProductID(
    const std::string& productID, const std::string& transactionID, const std::string&, const os::Value&, int64_t,
    bool, bool, int64_t paymentQuantity, const std::optional<os::Date>&, const std::optional<os::Date>&,
    const std::optional<os::Date>&, const std::optional<os::Date>&) {
  APMStandInRecord::record("APMInAppPurchaseTransactionReporter.reportTransactionWithProductID",
                           {{"productID", productID},
                            {"transactionID", transactionID},
                            {"paymentQuantity", os::Value(os::Number::int64(paymentQuantity))}});
}

// =====================================================================
// App-delegate interceptor
// =====================================================================

// Stands for the interceptor the app-delegate proxy calls: none yet.
std::shared_ptr<os::runtime::Object> APMAppDelegateInterceptor::sharedInstance() {
  APMStandInRecord::record("APMAppDelegateInterceptor.sharedInstance");
  return nullptr;
}
