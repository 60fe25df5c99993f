#include "transport/REVADA/revada_messages.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "os/foundation/bundle.h"
#include "os/foundation/device_profile.h"
#include "os/uikit/application.h"
#include "transport/REVADA/proto/revada_upload.pb.h"
#include "transport/REVOVALibrary/revova_platform.h"

namespace revada_detail {
namespace {

std::atomic<int> gFailingPass{0};

const char* messageOf(const pb_ostream_t& stream) {
  const char* message = PB_GET_ERROR(&stream);
  return message ? message : "(none)";
}

}  // namespace

void TEST_setFailingEncodingPass(int pass) { gFailingPass = pass; }

os::Data encodeTwoPass(const pb_msgdesc_t* fields, const void* message, int64_t code) {
  const int failing = gFailingPass.load();
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  if (failing == 1) {
    sizing.callback = [](pb_ostream_t*, const pb_byte_t*, size_t) { return false; };
    sizing.max_size = SIZE_MAX;
  }
  if (!pb_encode(&sizing, fields, message)) {
    REVOVALog(code, kREVOVALogLevelError, "Error in nanopb encoding for size: %s", messageOf(sizing));
    return {};
  }
  std::vector<uint8_t> buffer(sizing.bytes_written);
  pb_ostream_t writing = pb_ostream_from_buffer(buffer.data(), buffer.size());
  if (failing == 2) writing.max_size = buffer.size() / 2;
  if (!pb_encode(&writing, fields, message)) {
    REVOVALog(code, kREVOVALogLevelError, "Error in nanopb encoding for bytes: %s", messageOf(writing));
    return {};
  }
  buffer.resize(writing.bytes_written);
  return os::Data(std::move(buffer));
}

pb_bytes_array_t* allocBytes(const void* bytes, size_t length) {
  auto* array = static_cast<pb_bytes_array_t*>(std::malloc(PB_BYTES_ARRAY_T_ALLOCSIZE(length)));
  if (!array) return nullptr;
  array->size = static_cast<pb_size_t>(length);
  if (length > 0) std::memcpy(array->bytes, bytes, length);
  return array;
}

}  // namespace revada_detail

namespace {

using revada_detail::allocBytes;

// The mapping ID read as an integer, as the platform reads a string's int
// value: leading white space, a sign, the leading decimal digits; 0 without
// digits; clamped to the 32-bit range.
int32_t logSourceOf(const std::string& mappingID) {
  size_t i = 0;
  while (i < mappingID.size() && (mappingID[i] == ' ' || mappingID[i] == '\t' || mappingID[i] == '\n')) ++i;
  bool negative = false;
  if (i < mappingID.size() && (mappingID[i] == '+' || mappingID[i] == '-')) negative = mappingID[i++] == '-';
  int64_t value = 0;
  for (; i < mappingID.size() && mappingID[i] >= '0' && mappingID[i] <= '9'; ++i) {
    value = value * 10 + (mappingID[i] - '0');
    if (value > int64_t(INT32_MAX) + 1) break;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// The record kept in an event's custom data as the 16-byte image of its
// in-memory form: presence byte, 3 zero bytes, network_type (little-endian
// int32), presence byte, 3 zero bytes, mobile_subtype (little-endian
// uint32). The stored bytes (at most 16) are laid over the defaults.
transport_UploadNetworkInfo networkInfoFromImage(const os::Data& stored) {
  uint8_t image[16] = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0};
  std::memcpy(image, stored.bytes(), std::min<size_t>(stored.length(), sizeof image));
  auto le32 = [&](size_t at) {
    return uint32_t(image[at]) | uint32_t(image[at + 1]) << 8 | uint32_t(image[at + 2]) << 16 |
           uint32_t(image[at + 3]) << 24;
  };
  transport_UploadNetworkInfo info = transport_UploadNetworkInfo_init_default;
  info.has_network_type = image[0] != 0;
  info.network_type = static_cast<int32_t>(le32(4));
  info.has_mobile_subtype = image[8] != 0;
  info.mobile_subtype = le32(12);
  return info;
}

void fillUploadEvent(transport_UploadEvent& out, const REVOVAEvent& event) {
  out = transport_UploadEvent_init_zero;
  out.network_connection_info.network_type = -1;
  const auto& clock = event.clockSnapshot();
  out.has_event_time_ms = true;
  out.event_time_ms = clock ? clock->timeMillis() : 0;
  out.has_timezone_offset_seconds = true;
  out.timezone_offset_seconds = clock ? clock->timezoneOffsetSeconds() : 0;
  out.has_event_uptime_ms = true;
  out.event_uptime_ms = clock ? clock->uptimeMilliseconds() : 0;
  if (event.customBytes()) {
    if (auto info = event.networkConnectionInfoData()) {
      out.has_network_connection_info = true;
      out.network_connection_info = networkInfoFromImage(*info);
    }
    if (auto code = event.eventCode()) {
      out.has_event_code = true;
      out.event_code = code->intValue();
    }
  }
  const auto& payload = event.serializedDataObjectBytes();
  out.payload = payload ? allocBytes(payload->bytes(), payload->length()) : allocBytes(nullptr, 0);
  if (const auto& product = event.productData()) {
    out.has_product_info = true;
    out.product_info.has_product_context = true;
    out.product_info.product_context.has_product_request = true;
    out.product_info.product_context.product_request.has_product_id = true;
    out.product_info.product_context.product_request.product_id = product->productID();
    out.product_info.has_product_id_origin = true;
    out.product_info.product_id_origin = kREVADAProductIDOrigin;
  }
}

void fillClientInfo(transport_ClientInfo& out) {
  out = transport_ClientInfo_init_zero;
  out.has_client_type = true;
  out.client_type = kREVADAClientTypeApple;
  out.has_apple_client_info = true;
  auto& apple = out.apple_client_info;
  const std::string version = UIDevice::currentDevice()->systemVersion();
  apple.os_major_version = allocBytes(version.substr(0, version.find('.')));
  apple.os_full_version = allocBytes(version);
  auto bundle = os::Bundle::mainBundle();
  const os::Value build = bundle->objectForInfoDictionaryKey(os::kCFBundleVersionKey);
  if (build.isString()) apple.app_build = allocBytes(build.stringValue());
  if (auto country = os::DeviceProfile::current().countryCode()) apple.country = allocBytes(*country);
  apple.device_model = allocBytes(REVOVADeviceModel());
  const auto localizations = bundle->preferredLocalizations();
  apple.language = allocBytes(localizations.empty() ? std::string("en") : localizations.front());
  if (const std::string id = bundle->bundleIdentifier(); !id.empty()) apple.bundle_id = allocBytes(id);
}

}  // namespace

os::Data REVADAEncodeUploadRequest(const REVOVAEventSet& events) {
  if (events.empty()) {
    REVOVALog(kREVADAMessageCodeUpload, kREVOVALogLevelError, "An empty event set can't be serialized to proto.");
    return {};
  }
  std::map<std::string, std::vector<const REVOVAEvent*>> byMappingID;
  for (const auto& event : events)
    if (event) byMappingID[event->mappingID()].push_back(event.get());

  transport_UploadRequest request = transport_UploadRequest_init_zero;
  request.source_requests = static_cast<transport_SourceRequest*>(
      std::calloc(byMappingID.size(), sizeof(transport_SourceRequest)));
  if (request.source_requests) {
    request.source_requests_count = static_cast<pb_size_t>(byMappingID.size());
    size_t i = 0;
    for (const auto& [mappingID, group] : byMappingID) {
      transport_SourceRequest& source = request.source_requests[i++];
      source = transport_SourceRequest_init_zero;
      source.has_client_info = true;
      fillClientInfo(source.client_info);
      source.has_log_source = true;
      source.log_source = logSourceOf(mappingID);
      source.events = static_cast<transport_UploadEvent*>(std::calloc(group.size(), sizeof(transport_UploadEvent)));
      if (source.events) {
        source.events_count = static_cast<pb_size_t>(group.size());
        for (size_t e = 0; e < group.size(); ++e) fillUploadEvent(source.events[e], *group[e]);
      }
      auto now = REVOVAClock::snapshot();
      source.has_request_time_ms = true;
      source.request_time_ms = now->timeMillis();
      source.has_request_uptime_ms = true;
      source.request_uptime_ms = now->uptimeMilliseconds();
    }
  }
  os::Data bytes = revada_detail::encodeTwoPass(transport_UploadRequest_fields, &request, kREVADAMessageCodeUpload);
  pb_release(transport_UploadRequest_fields, &request);
  return bytes;
}

os::Result<REVADAUploadResponse> REVADADecodeUploadResponse(const os::Data& body) {
  transport_UploadResponse decoded = transport_UploadResponse_init_zero;
  pb_istream_t stream = pb_istream_from_buffer(body.bytes(), body.length());
  if (!pb_decode(&stream, transport_UploadResponse_fields, &decoded)) {
    const char* message = PB_GET_ERROR(&stream);
    pb_release(transport_UploadResponse_fields, &decoded);
    return os::fail(os::Error(os::kURLErrorDomain, -1,
                              os::Dictionary{{kREVADANanopbErrorKey, os::Value(std::string(message ? message : "(none)"))}}));
  }
  REVADAUploadResponse response;
  if (decoded.has_next_request_wait_ms) response.nextRequestWaitMillis = decoded.next_request_wait_ms;
  pb_release(transport_UploadResponse_fields, &decoded);
  return response;
}
