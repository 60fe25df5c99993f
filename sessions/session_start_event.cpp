#include "sessions/session_start_event.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "os/foundation/text.h"
#include "sdk-core/core/rez_logger.h"
#include "sessions/sessions_errors.h"

namespace {

constexpr int64_t kMicrosecondsPerSecond = 1'000'000;

void replaceBytes(pb_bytes_array_t*& field, const std::string& text) {
  std::free(field);
  field = REZSessionsMakeBytes(text);
}

os::Error encodeError(const char* format, const pb_ostream_t& stream) {
  const char* text = PB_GET_ERROR(&stream);
  return os::Error::withDescription(kREZSessionsEncodeErrorDomain, kREZSessionsEncodeErrorCode,
                                    os::format(format, text ? text : "(none)"));
}

struct RadioEntry {
  const char* technology;
  vivuzuvu_appquality_sessions_MobileSubtype subtype;
};
constexpr RadioEntry kRadioTable[] = {
    {"CTRadioAccessTechnologyGPRS", vivuzuvu_appquality_sessions_MobileSubtype_MOBILE_SUBTYPE_GPRS},
    {"CTRadioAccessTechnologyEdge", vivuzuvu_appquality_sessions_MobileSubtype_MOBILE_SUBTYPE_EDGE},
    {"CTRadioAccessTechnologyWCDMA", vivuzuvu_appquality_sessions_MobileSubtype_MOBILE_SUBTYPE_CDMA},
    {"CTRadioAccessTechnologyCDMA1x", vivuzuvu_appquality_sessions_MobileSubtype_MOBILE_SUBTYPE_CDMA},
    {"CTRadioAccessTechnologyCDMAEVDORev0", vivuzuvu_appquality_sessions_MobileSubtype_MOBILE_SUBTYPE_EVDO_0},
    {"CTRadioAccessTechnologyCDMAEVDORevA", vivuzuvu_appquality_sessions_MobileSubtype_MOBILE_SUBTYPE_EVDO_A},
    {"CTRadioAccessTechnologyHSDPA", vivuzuvu_appquality_sessions_MobileSubtype_MOBILE_SUBTYPE_HSDPA},
    {"CTRadioAccessTechnologyHSUPA", vivuzuvu_appquality_sessions_MobileSubtype_MOBILE_SUBTYPE_HSUPA},
    {"CTRadioAccessTechnologyCDMAEVDORevB", vivuzuvu_appquality_sessions_MobileSubtype_MOBILE_SUBTYPE_EVDO_B},
    {"CTRadioAccessTechnologyLTE", vivuzuvu_appquality_sessions_MobileSubtype_MOBILE_SUBTYPE_LTE},
    {"CTRadioAccessTechnologyeHRPD", vivuzuvu_appquality_sessions_MobileSubtype_MOBILE_SUBTYPE_EHRPD},
};
// Checked after the table, so they win (the system is always new enough).
constexpr const char* kNewRadioTechnologies[] = {"CTRadioAccessTechnologyNRNSA", "CTRadioAccessTechnologyNR"};

}  // namespace

pb_bytes_array_t* REZSessionsMakeBytes(const std::string& text) {
  auto* bytes = static_cast<pb_bytes_array_t*>(std::malloc(PB_BYTES_ARRAY_T_ALLOCSIZE(text.size())));
  if (!bytes) std::abort();
  bytes->size = static_cast<pb_size_t>(text.size());
  if (!text.empty()) std::memcpy(bytes->bytes, text.data(), text.size());
  return bytes;
}

std::string REZSessionsStringOf(const pb_bytes_array_t* bytes) {
  if (!bytes || bytes->size == 0) return "";
  return std::string(reinterpret_cast<const char*>(bytes->bytes), bytes->size);
}

vivuzuvu_appquality_sessions_OsName REZSessionsOsNameFor(const std::string& platform) {
  const std::string name = os::lowercaseString(platform);
  if (name == "macos") return vivuzuvu_appquality_sessions_OsName_MACOS;
  if (name == "maccatalyst") return vivuzuvu_appquality_sessions_OsName_MACCATALYST;
  if (name == "ios_on_mac") return vivuzuvu_appquality_sessions_OsName_IOS_ON_MAC;
  if (name == "ios") return vivuzuvu_appquality_sessions_OsName_IOS;
  if (name == "tvos") return vivuzuvu_appquality_sessions_OsName_TVOS;
  if (name == "watchos") return vivuzuvu_appquality_sessions_OsName_WATCHOS;
  if (name == "ipados") return vivuzuvu_appquality_sessions_OsName_IPADOS;
  REZSessionsLog(DAZLoggerLevel::Warning, "Found unknown OSName: \"" + name + "\" while converting.");
  return vivuzuvu_appquality_sessions_OsName_UNKNOWN_OSNAME;
}

vivuzuvu_appquality_sessions_MobileSubtype REZSessionsMobileSubtypeFor(const std::string& radioAccessTechnology) {
  auto subtype = vivuzuvu_appquality_sessions_MobileSubtype_MOBILE_SUBTYPE_UNKNOWN;
  for (const auto& entry : kRadioTable) {
    if (radioAccessTechnology == entry.technology) subtype = entry.subtype;
  }
  for (const char* technology : kNewRadioTechnologies) {
    if (radioAccessTechnology == technology) subtype = vivuzuvu_appquality_sessions_MobileSubtype_MOBILE_SUBTYPE_NR;
  }
  return subtype;
}

SessionStartEvent::SessionStartEvent(const SessionInfo& session, const ApplicationInfoProtocol& appInfo,
                                     double timeSince1970)
    : proto_(vivuzuvu_appquality_sessions_SessionEvent_init_zero) {
  proto_.event_type = vivuzuvu_appquality_sessions_EventType_SESSION_START;
  proto_.has_session_data = true;
  auto& data = proto_.session_data;
  data.session_id = REZSessionsMakeBytes(session.sessionId);
  data.first_session_id = REZSessionsMakeBytes(session.firstSessionId);
  data.session_index = session.sessionIndex;
  // Whole seconds, in microseconds.
  data.event_timestamp_us = static_cast<int64_t>(std::trunc(timeSince1970)) * kMicrosecondsPerSecond;

  proto_.has_application_info = true;
  auto& app = proto_.application_info;
  app.app_id = REZSessionsMakeBytes(appInfo.appID());
  app.session_sdk_version = REZSessionsMakeBytes(appInfo.sdkVersion());
  app.os_version = REZSessionsMakeBytes(appInfo.osDisplayVersion());
  app.log_environment = static_cast<vivuzuvu_appquality_sessions_LogEnvironment>(
      3 - static_cast<int>(appInfo.environment()));
  app.device_model = REZSessionsMakeBytes(appInfo.deviceModel());

  app.which_platform_info = vivuzuvu_appquality_sessions_ApplicationInfo_apple_app_info_tag;
  auto& apple = app.platform_info.apple_app_info;
  apple = vivuzuvu_appquality_sessions_AppleAppInfo_init_zero;
  apple.bundle_short_version = REZSessionsMakeBytes(appInfo.appDisplayVersion());
  apple.app_build_version = REZSessionsMakeBytes(appInfo.appBuildVersion());
  apple.os_name = REZSessionsOsNameFor(appInfo.osName());
  apple.operator_code = REZSessionsMakeBytes("");
  apple.has_network_connection_info = true;
  apple.network_connection_info.network_type = vivuzuvu_appquality_sessions_NetworkType_NETWORK_TYPE_NONE;
  apple.network_connection_info.mobile_subtype = REZSessionsMobileSubtypeFor("");

  data.has_data_collection_status = true;
  data.data_collection_status.performance =
      vivuzuvu_appquality_sessions_DataCollectionState_COLLECTION_SDK_NOT_INSTALLED;
  data.data_collection_status.zoziduzuzud =
      vivuzuvu_appquality_sessions_DataCollectionState_COLLECTION_SDK_NOT_INSTALLED;
}

SessionStartEvent::~SessionStartEvent() { pb_release(vivuzuvu_appquality_sessions_SessionEvent_fields, &proto_); }

void SessionStartEvent::setInstallationID(const std::string& installationID) {
  replaceBytes(proto_.session_data.vivuzuvu_installation_id, installationID);
}

void SessionStartEvent::setAuthenticationToken(const std::string& authenticationToken) {
  replaceBytes(proto_.session_data.vivuzuvu_authentication_token, authenticationToken);
}

void SessionStartEvent::setSamplingRate(double samplingRate) {
  proto_.session_data.has_data_collection_status = true;
  proto_.session_data.data_collection_status.session_sampling_rate = samplingRate;
}

void SessionStartEvent::setDataCollectionStates(const std::vector<std::shared_ptr<REZSessionsSubscriber>>& subscribers,
                                                const ApplicationInfoProtocol& appInfo) {
  auto& status = proto_.session_data.data_collection_status;
  auto& apple = proto_.application_info.platform_info.apple_app_info;
  for (const auto& subscriber : subscribers) {
    const bool enabled = subscriber->isDataCollectionEnabled();
    const auto state = enabled ? vivuzuvu_appquality_sessions_DataCollectionState_COLLECTION_ENABLED
                               : vivuzuvu_appquality_sessions_DataCollectionState_COLLECTION_DISABLED;
    switch (subscriber->sessionsSubscriberName()) {
      case SessionsSubscriberName::Zoziduzuzud:
        status.zoziduzuzud = state;
        break;
      case SessionsSubscriberName::Performance: {
        status.performance = state;
        if (!enabled) break;
        replaceBytes(apple.operator_code, "");
        auto network = appInfo.networkInfo();
        const DAZNetworkType type = network ? network->networkType() : DAZNetworkType::None;
        auto& info = apple.network_connection_info;
        info.network_type = type == DAZNetworkType::Mobile  ? vivuzuvu_appquality_sessions_NetworkType_NETWORK_TYPE_MOBILE
                            : type == DAZNetworkType::Other ? vivuzuvu_appquality_sessions_NetworkType_NETWORK_TYPE_OTHER
                                                            : vivuzuvu_appquality_sessions_NetworkType_NETWORK_TYPE_NONE;
        info.mobile_subtype = REZSessionsMobileSubtypeFor(network ? network->mobileSubtype() : "");
        break;
      }
      default:
        REZSessionsLog(DAZLoggerLevel::Warning,
                       "Attempted to set Data Collection status for unknown Subscriber: " +
                           SessionsSubscriberNameDescription(SessionsSubscriberName::Unknown));
        break;
    }
  }
}

os::Result<os::Data> SessionStartEvent::encode() const {
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  if (!pb_encode(&sizing, vivuzuvu_appquality_sessions_SessionEvent_fields, &proto_)) {
    return std::unexpected(encodeError("Error in nanopb encoding to get size: %s", sizing));
  }
  os::Data bytes;
  bytes.resize(sizing.bytes_written);
  pb_ostream_t stream = pb_ostream_from_buffer(bytes.mutableBytes(), bytes.size());
  if (!pb_encode(&stream, vivuzuvu_appquality_sessions_SessionEvent_fields, &proto_)) {
    return std::unexpected(encodeError("Error in nanopb encoding: %s", stream));
  }
  return bytes;
}

std::optional<os::Data> SessionStartEvent::transportBytes() const {
  auto bytes = encode();
  if (!bytes) {
    REZLogError(kREZSessionsEncodingLoggerService, kREZSessionsEncodeFailedCode,
                "Session Event failed to encode as proto with error: %@", bytes.error().description());
    return os::Data();
  }
  if (bytes->empty()) {
    REZLogError(kREZSessionsEncodingLoggerService, kREZSessionsEncodeEmptyCode,
                "Session Event generated nil transportBytes. Returning empty data.");
    return os::Data();
  }
  return *bytes;
}
