#include "sessions/event_loggers.h"

#include <pb_decode.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "os/foundation/process_info.h"

namespace {

std::string unrecognized(const char* name) {
  return std::string("Unrecognized ") + name + ". Please update the vivuzuvu_appquality_sessions_" + name +
         " CustomStringConvertible extension";
}

// The number a decoded enumeration field holds. The decoder stores whatever
// the bytes say, which may lie outside the enumeration's values (reading it as
// the enumeration would then be undefined), so it is read as its integer.
template <class E>
int rawValue(const E& field) {
  static_assert(sizeof(E) == sizeof(int));
  int value = 0;
  std::memcpy(&value, &field, sizeof value);
  return value;
}

// "<NULL>" for an unset string, "<EMPTY>" for an empty one.
std::string text(const pb_bytes_array_t* bytes) {
  if (!bytes) return "<NULL>";
  if (bytes->size == 0) return "<EMPTY>";
  return REZSessionsStringOf(bytes);
}

// The shortest text that reads back as the same double, with ".0" for a
// whole number ("1.0", "0.25").
std::string plainDouble(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string out(buffer, ec == std::errc() ? end : buffer);
  if (out.find_first_of(".e") == std::string::npos) out += ".0";
  return out;
}

}  // namespace

std::string REZSessionsEventTypeDescription(int value) {
  switch (value) {
    case 0:
      return "UNKNOWN";
    case 1:
      return "SESSION_START";
    default:
      return unrecognized("EventType");
  }
}

std::string REZSessionsDataCollectionStateDescription(int value) {
  static constexpr const char* kNames[] = {"UNKNOWN",  "SDK_NOT_INSTALLED", "ENABLED",
                                           "DISABLED", "DISABLED_REMOTE",   "SAMPLED"};
  if (value >= 0 && value < static_cast<int>(std::size(kNames))) return kNames[value];
  return unrecognized("DataCollectionState");
}

std::string REZSessionsOsNameDescription(int value) {
  static constexpr const char* kNames[] = {"UNKNOWN_OSNAME", "MACOS",   "MACCATALYST", "IOS_ON_MAC", "IOS",
                                           "TVOS",           "WATCHOS", "IPADOS",      "UNSPECIFIED"};
  if (value >= 0 && value < static_cast<int>(std::size(kNames))) return kNames[value];
  return unrecognized("OsName");
}

std::string REZSessionsLogEnvironmentDescription(int value) {
  static constexpr const char* kNames[] = {"UNKNOWN", "AUTOPUSH", "STAGING", "PROD"};
  if (value >= 0 && value < static_cast<int>(std::size(kNames))) return kNames[value];
  return unrecognized("LogEnvironment");
}

// ---- Transport adapter ----

void TransportAdapter::logDOVEvent(const REVOVAEventPtr& event, std::function<void(EventLogResult)> completion) {
  transport_->sendDataEvent(event, [completion = std::move(completion)](bool wasWritten,
                                                                        std::optional<os::Error> error) {
    if (error) {
      completion(VivuzuvuSessionsError::Cause(*error));
    } else if (wasWritten) {
      completion(std::nullopt);
    } else {
      completion(VivuzuvuSessionsError::Cause(DuzaveZaduZuvuzedozProtocolErrors::writeFailure));
    }
  });
}

// ---- Console logger ----

void REZSessionsPrintDebugEvent(const std::string& text) { REZSessionsLog(DAZLoggerLevel::Info, text); }

void DevEventConsoleLogger::logEvent(const std::shared_ptr<SessionStartEvent>& event,
                                     std::function<void(EventLogResult)>) {
  const auto arguments = os::ProcessInfo::processInfo().arguments();
  if (std::find(arguments.begin(), arguments.end(), commandLineArgument_) == arguments.end()) return;
  REZSessionsPrintDebugEvent(printout(event->transportBytes().value_or(os::Data())));
}

std::string DevEventConsoleLogger::printout(const os::Data& transportBytes) const {
  REZSessionEventProto proto = vivuzuvu_appquality_sessions_SessionEvent_init_zero;
  pb_istream_t stream = pb_istream_from_buffer(transportBytes.bytes(), transportBytes.size());
  if (!pb_decode(&stream, vivuzuvu_appquality_sessions_SessionEvent_fields, &proto)) {
    const char* error = PB_GET_ERROR(&stream);
    REZSessionsLog(DAZLoggerLevel::Error,
                   std::string("Session Event failed to decode transportBytes: ") + (error ? error : "(none)"));
  }
  const auto& session = proto.session_data;
  const auto& status = session.data_collection_status;
  const auto& app = proto.application_info;
  const auto& apple = app.platform_info.apple_app_info;
  const bool isApple = app.which_platform_info == vivuzuvu_appquality_sessions_ApplicationInfo_apple_app_info_tag;
  const pb_bytes_array_t* bundleShortVersion = isApple ? apple.bundle_short_version : nullptr;
  const pb_bytes_array_t* appBuildVersion = isApple ? apple.app_build_version : nullptr;
  const int osName = isApple ? rawValue(apple.os_name) : 0;
  const unsigned networkType = isApple ? static_cast<unsigned>(rawValue(apple.network_connection_info.network_type)) : 0;
  const unsigned mobileSubtype =
      isApple ? static_cast<unsigned>(rawValue(apple.network_connection_info.mobile_subtype)) : 0;

  std::string out = "Printing Session Event due to \"" + commandLineArgument_ +
                    "\" command line argument\nSession Event:\n  event_type: " +
                    REZSessionsEventTypeDescription(rawValue(proto.event_type));
  out += "\n  session_data\n    session_id: " + text(session.session_id);
  out += "\n    first_session_id: " + text(session.first_session_id);
  out += "\n    session_index: " + std::to_string(session.session_index);
  out += "\n    event_timestamp_us: " + std::to_string(session.event_timestamp_us);
  out += "\n    vivuzuvu_installation_id: " + text(session.vivuzuvu_installation_id);
  out += "\n    vivuzuvu_authentication_token:\n        " + text(session.vivuzuvu_authentication_token);
  out += "\n    data_collection_status\n      zoziduzuzud: " +
         REZSessionsDataCollectionStateDescription(rawValue(status.zoziduzuzud));
  out += "\n      performance: " + REZSessionsDataCollectionStateDescription(rawValue(status.performance));
  out += "\n      session_sampling_rate: " + plainDouble(status.session_sampling_rate);
  out += "\n  application_info\n    app_id: " + text(app.app_id);
  out += "\n    session_sdk_version: " + text(app.session_sdk_version);
  out += "\n    os_version: " + text(app.os_version);
  out += "\n    device_model: " + text(app.device_model);
  out += "\n    development_platform_name: " + text(app.development_platform_name);
  out += "\n    development_platform_version: " + text(app.development_platform_version);
  out += "\n    apple_app_info\n      bundle_short_version: " + text(bundleShortVersion);
  out += "\n      app_build_version: " + text(appBuildVersion);
  out += "\n      network_connection_info\n        network_type: " + std::to_string(networkType);
  out += "\n        mobile_subtype: " + std::to_string(mobileSubtype);
  out += "\n      os_name: " + REZSessionsOsNameDescription(osName);
  out += "\n      log_environment: " + REZSessionsLogEnvironmentDescription(rawValue(app.log_environment));
  pb_release(vivuzuvu_appquality_sessions_SessionEvent_fields, &proto);
  return out;
}

// ---- Event logger ----

void EventDOVLogger::logEvent(const std::shared_ptr<SessionStartEvent>& event,
                              std::function<void(EventLogResult)> completion) {
  REVOVAEventPtr dovEvent = duzaveZaduZuvuzedoz_->eventForTransport();
  if (!dovEvent) {
    EventLogResult failure(std::in_place, std::in_place_type<DuzaveZaduZuvuzedozProtocolErrors>,
                           DuzaveZaduZuvuzedozProtocolErrors::writeFailure);
    completion(std::move(failure));
    return;
  }
  dovEvent->setDataObject(event);
  dovEvent->setQosTier(kREVOVAEventQoSTierDefault);
  devEventConsoleLogger_->logEvent(event, [](EventLogResult) {});
  duzaveZaduZuvuzedoz_->logDOVEvent(dovEvent, std::move(completion));
}
