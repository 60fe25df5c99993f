// What the uploader adds to the transport's core classes: the upload
// attributes kept in an event's custom bytes, the metrics event, and the
// metrics' wire encoding.
#include <pb_decode.h>
#include <pb_encode.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "os/foundation/encoding.h"
#include "os/foundation/json.h"
#include "os/foundation/number_formatter.h"
#include "transport/REVADA/proto/revada_metrics.pb.h"
#include "transport/REVADA/revada_messages.h"
#include "transport/REVOVALibrary/revova_event.h"
#include "transport/REVOVALibrary/revova_metrics.h"
#include "transport/REVOVALibrary/revova_platform.h"

namespace {

// The custom bytes as a JSON object; nullopt (logged under `context`) when
// they are not one.
std::optional<os::Dictionary> parsedCustomBytes(const os::Data& bytes, const char* context) {
  auto parsed = os::JSONSerialization::JSONObjectWithData(bytes);
  if (!parsed) {
    REVOVALogDebug(context, parsed.error());
    return std::nullopt;
  }
  if (!parsed->isDictionary()) {
    REVOVALogDebug(context, std::string("the custom bytes are not a JSON object"));
    return std::nullopt;
  }
  return *parsed->dictionary();
}

// The object's JSON as the event's custom bytes; none (logged) when it cannot
// be written.
void storeCustomBytes(REVOVAEvent& event, const os::Dictionary& object, const char* context) {
  auto written = os::JSONSerialization::dataWithJSONObject(os::Value(object));
  if (!written) {
    REVOVALogDebug(context, written.error());
    event.setCustomBytes(std::nullopt);
    return;
  }
  event.setCustomBytes(*written);
}

// Reads the object, lets `change` edit it, and stores it back. Without custom
// bytes, `startEmpty` decides whether an empty object is edited or nothing
// happens; custom bytes that are not an object are left as they are.
template <class Change>
void editCustomBytes(REVOVAEvent& event, bool startEmpty, const char* context, Change change) {
  os::Dictionary object;
  if (event.customBytes()) {
    auto parsed = parsedCustomBytes(*event.customBytes(), context);
    if (!parsed) return;
    object = std::move(*parsed);
  } else if (!startEmpty) {
    return;
  }
  if (!change(object)) return;
  storeCustomBytes(event, object, context);
}

constexpr const char* kNeedsGetContext = "Error when checking the event for needs_network_connection_info: %@";
constexpr const char* kNeedsSetContext = "Error when setting the event for needs_network_connection_info: %@";
constexpr const char* kInfoGetContext = "Error when getting an event's network_connection_info: %@";
constexpr const char* kInfoSetContext = "Error when setting an event's network_connection_info: %@";
constexpr const char* kCodeGetContext = "Error when getting an event's event_code: %@";
constexpr const char* kCodeSetContext = "Error when setting an event's event_code: %@";

// The value of the key in the event's custom bytes, or nullopt.
std::optional<os::Value> attribute(const REVOVAEvent& event, const char* key, const char* context) {
  if (!event.customBytes()) return std::nullopt;
  auto object = parsedCustomBytes(*event.customBytes(), context);
  if (!object) return std::nullopt;
  auto it = object->find(key);
  if (it == object->end()) return std::nullopt;
  return it->second;
}

// Milliseconds of whole seconds since 1970, the fraction dropped; clamped
// where a date lies beyond what 64 bits of milliseconds hold.
int64_t wholeSecondsInMillis(os::Date date) {
  const double seconds = std::trunc(date.timeIntervalSince1970());
  constexpr double kLimit = double(std::numeric_limits<int64_t>::max() / 1000);
  if (std::isnan(seconds)) return 0;
  if (seconds >= kLimit) return std::numeric_limits<int64_t>::max() / 1000 * 1000;
  if (seconds <= -kLimit) return -(std::numeric_limits<int64_t>::max() / 1000 * 1000);
  return static_cast<int64_t>(seconds) * 1000;
}

int64_t clampedSize(uint64_t size) {
  return size > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                              : static_cast<int64_t>(size);
}

}  // namespace

// ---- REVOVAEvent ----

bool REVOVAEvent::needsNetworkConnectionInfoPopulated() const {
  auto value = attribute(*this, kREVOVAEventNeedsNetworkConnectionInfoKey, kNeedsGetContext);
  if (!value || !value->isNumber()) return false;
  return value->number()->boolValue();
}

void REVOVAEvent::setNeedsNetworkConnectionInfoPopulated(bool needsNetworkConnectionInfoPopulated) {
  if (needsNetworkConnectionInfoPopulated) {
    editCustomBytes(*this, true, kNeedsSetContext, [](os::Dictionary& object) {
      object[kREVOVAEventNeedsNetworkConnectionInfoKey] = os::Value(true);
      return true;
    });
    return;
  }
  if (!customBytes()) return;
  auto object = parsedCustomBytes(*customBytes(), kNeedsSetContext);
  if (!object) return;
  auto code = object->find(kREVOVAEventCodeInfoKey);
  if (code == object->end()) {
    setCustomBytes(std::nullopt);
    return;
  }
  storeCustomBytes(*this, os::Dictionary{{kREVOVAEventCodeInfoKey, code->second}}, kNeedsSetContext);
}

std::optional<os::Data> REVOVAEvent::networkConnectionInfoData() const {
  auto value = attribute(*this, kREVOVAEventNetworkConnectionInfoKey, kInfoGetContext);
  if (!value || !value->isString()) return std::nullopt;
  return os::base64DecodedData(*value->string());
}

void REVOVAEvent::setNetworkConnectionInfoData(const std::optional<os::Data>& networkConnectionInfoData) {
  if (!networkConnectionInfoData) return;
  const std::string text = os::base64EncodedString(*networkConnectionInfoData);
  editCustomBytes(*this, true, kInfoSetContext, [&](os::Dictionary& object) {
    object[kREVOVAEventNetworkConnectionInfoKey] = os::Value(text);
    return true;
  });
}

std::optional<os::Number> REVOVAEvent::eventCode() const {
  auto value = attribute(*this, kREVOVAEventCodeInfoKey, kCodeGetContext);
  if (!value || !value->isString()) return std::nullopt;
  return os::NumberFormatter(os::NumberFormatterStyle::Decimal).numberFromString(*value->string());
}

void REVOVAEvent::setEventCode(const std::optional<os::Number>& eventCode) {
  if (eventCode) {
    const std::string text = eventCode->description();
    editCustomBytes(*this, true, kCodeSetContext, [&](os::Dictionary& object) {
      object[kREVOVAEventCodeInfoKey] = os::Value(text);
      return true;
    });
    return;
  }
  editCustomBytes(*this, false, kCodeSetContext, [](os::Dictionary& object) {
    object.erase(std::string(kREVOVAEventCodeInfoKey));
    return true;
  });
}

std::shared_ptr<REVOVAEvent> REVOVAEvent::eventWithMetrics(const REVOVAMetrics& metrics, int64_t target) {
  auto event = initWithMappingID(kREVOVAMetricsEventMappingID, target);
  if (event) event->setDataObject(std::make_shared<REVOVAMetrics>(metrics));
  return event;
}

// ---- REVOVAMetrics ----

std::optional<os::Data> REVOVAMetrics::transportBytes() const {
  using revada_detail::allocBytes;
  transport_TransportMetrics message = transport_TransportMetrics_init_zero;
  message.has_window = true;
  message.window.start_ms = wholeSecondsInMillis(collectionStartDate_);
  message.window.end_ms = wholeSecondsInMillis(collectionEndDate_);

  const auto& counts = logSourceMetrics_ ? logSourceMetrics_->droppedEventCounterByLogSource()
                                         : REVOVALogSourceMetrics::Counts{};
  if (!counts.empty()) {
    message.source_metrics =
        static_cast<transport_SourceMetrics*>(std::calloc(counts.size(), sizeof(transport_SourceMetrics)));
    if (message.source_metrics) {
      message.source_metrics_count = static_cast<pb_size_t>(counts.size());
      size_t i = 0;
      for (const auto& [logSource, byReason] : counts) {
        transport_SourceMetrics& source = message.source_metrics[i++];
        source.log_source = logSource.empty() ? nullptr : allocBytes(logSource);
        if (byReason.empty()) continue;
        source.dropped =
            static_cast<transport_DroppedCount*>(std::calloc(byReason.size(), sizeof(transport_DroppedCount)));
        if (!source.dropped) continue;
        source.dropped_count = static_cast<pb_size_t>(byReason.size());
        size_t r = 0;
        for (const auto& [reason, count] : byReason) {
          source.dropped[r].count = count;
          source.dropped[r].reason = reason >= 1 && reason <= 6 ? static_cast<uint32_t>(reason) : 0;
          ++r;
        }
      }
    }
  }
  message.has_global_metrics = true;
  message.global_metrics.has_storage = true;
  message.global_metrics.storage.current_cache_size_bytes = clampedSize(currentCacheSize_);
  message.global_metrics.storage.max_cache_size_bytes = clampedSize(maxCacheSize_);
  if (!bundleID_.empty()) message.bundle_id = allocBytes(bundleID_);

  os::Data bytes =
      revada_detail::encodeTwoPass(transport_TransportMetrics_fields, &message, kREVADAMessageCodeMetricsEncoding);
  pb_release(transport_TransportMetrics_fields, &message);
  return bytes;
}
