#include "measurement/store/engine_services/event_names.h"

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/monitor.h"

const APMNameMap& APMEventNameMap() {
  static const APMNameMap map = {
      {"adunit_exposure", "_xu"},
      {"ad_activeview", "_aa"},
      {"ad_click", "_ac"},
      {"ad_exposure", "_xa"},
      {"ad_impression", "_ai"},
      {"ad_query", "_aq"},
      {"ad_reward", "_ar"},
      {"app_clear_data", "_cd"},
      {"app_exception", "_ae"},
      {"app_remove", "_ui"},
      {"app_store_refund", "_asr"},
      {"app_store_subscription_cancel", "_asse"},
      {"app_store_subscription_convert", "_assc"},
      {"app_store_subscription_renew", "_assr"},
      {"app_update", "_au"},
      {"app_upgrade", "_ug"},
      {"first_open", "_f"},
      {"first_visit", "_v"},
      {"dv_campaign", "_cmp"},
      {"dv_extra_parameter", "_ep"},
      {"in_app_purchase", "_iap"},
      {"notification_dismiss", "_nd"},
      {"notification_foreground", "_nf"},
      {"notification_open", "_no"},
      {"notification_receive", "_nr"},
      {"os_update", "_ou"},
      {"screen_view", "_vs"},
      {"session_start", "_s"},
      {"session_start_with_rollout", "_ssr"},
      {"user_engagement", "_e"},
      {"vivuzuvu_campaign", "_cmp"},
      {"error", "_err"},
  };
  return map;
}

const APMNameMap& APMAdImpressionEventNameMap() {
  static const APMNameMap map = {{"ad_impression", "_ai"}};
  return map;
}

bool APMIsPublicName(std::string_view name) {
  if (name.empty()) {
    APMMeasurementServices::monitor()->logWithLevel(2, kAPMEventNamesCodeNameEmpty,
                                                    "Cannot check the name. Name is empty");
    return false;
  }
  return name.front() != '_';
}
