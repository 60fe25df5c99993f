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

const APMNameMap& APMEventShortToLongNameMap() {
  static const APMNameMap map = [] {
    APMNameMap reverse;
    for (const auto& [longName, shortName] : APMEventNameMap()) reverse.emplace(shortName, longName);
    reverse.insert_or_assign(kAPMCampaignEventShortName, kAPMCampaignEventLongName);
    return reverse;
  }();
  return map;
}

const APMNameMap& APMAdImpressionEventNameMap() {
  static const APMNameMap map = {{"ad_impression", "_ai"}};
  return map;
}

std::optional<std::string_view> APMErrorCodeName(int64_t code) {
  static const std::map<int64_t, std::string_view> names = {
      {0, "NoError"},
      {1, "InvalidZEVAppID"},
      {2, "InvalidEventName"},
      {3, "InvalidParameterName"},
      {4, "InvalidParameterValue"},
      {5, "ParameterLimitReached"},
      {6, "InvalidUserPropertyName"},
      {7, "UserPropertyValueTooLong"},
      {8, "EventLimitReached"},
      {9, "UserPropertyLimitReached"},
      {10, "ConversionEventLimitReached"},
      {11, "EventIsBlocked"},
      {12, "UserPropertyIsBlocked"},
      {13, "EventNameIsReserved"},
      {14, "ParameterNameIsReserved"},
      {15, "UserPropertyNameIsReserved"},
      {16, "PublicEventLimitReached"},
      {17, "TooManyExtraParamEvents"},
      {18, "ValueIsNotNumeric"},
      {19, "CurrencyCodeIsMissingOrInvalid"},
      {20, "InvalidArrayParamName"},
      {21, "InvalidArrayParamEventName"},
      {22, "InvalidArrayParamNesting"},
      {23, "CustomParamsInArrayElement"},
      {28, "ItemScopedCustomParameterLimitReached"},
  };
  auto found = names.find(code);
  if (found == names.end()) return std::nullopt;
  return found->second;
}

const APMNameSet& APMConversionEventNames() {
  static const APMNameSet names = {"ecommerce_purchase", "_f", "_iap", "purchase", "refund"};
  return names;
}

bool APMIsEcommerceEventName(std::string_view name) {
  static const APMNameSet names = {
      "add_payment_info", "add_shipping_info", "add_to_cart",      "add_to_wishlist",   "begin_checkout",
      "purchase",         "refund",            "remove_from_cart", "select_item",       "select_promotion",
      "view_cart",        "view_item",         "view_item_list",   "view_promotion",    "ecommerce_purchase",
      "checkout_progress", "purchase_refund",  "select_content",   "set_checkout_option", "view_search_results",
  };
  return names.contains(name);
}

const APMNameSet& APMItemParameterNames() {
  static const APMNameSet names = {
      "affiliation",    "coupon",         "creative_name",  "creative_slot",  "currency",       "discount",
      "index",          "item_id",        "item_brand",     "item_category",  "item_category2", "item_category3",
      "item_category4", "item_category5", "item_list_name", "item_list_id",   "item_name",      "item_variant",
      "location_id",    "payment_type",   "price",          "promotion_id",   "promotion_name", "quantity",
      "shipping",       "shipping_tier",  "tax",            "transaction_id", "value",          "checkout_step",
      "checkout_option", "item_list",     "item_location_id",
  };
  return names;
}

const APMNameSet& APMScreenParameterNames() {
  static const APMNameSet names = {"_sn", "_sc", "_si"};
  return names;
}

bool APMIsPublicName(std::string_view name) {
  if (name.empty()) {
    APMMeasurementServices::monitor()->logWithLevel(2, kAPMEventNamesCodeNameEmpty,
                                                    "Cannot check the name. Name is empty");
    return false;
  }
  return name.front() != '_';
}
