#include "transport/REVADA/tests/upload_test_support.h"

#include <pb_decode.h>
#include <pb_encode.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "os/foundation/bundle.h"
#include "os/foundation/plist.h"
#include "platform/utilities/endpoints.h"
#include "transport/REVADA/proto/revada_upload.pb.h"
#include "transport/REVOVALibrary/revova_platform.h"

namespace fs = std::filesystem;

namespace revada_test {
namespace {

std::optional<std::string> textOf(const pb_bytes_array_t* bytes) {
  if (!bytes) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(bytes->bytes), bytes->size);
}

}  // namespace

std::optional<std::vector<DecodedSource>> decodeUploadRequest(const std::string& bytes) {
  transport_UploadRequest request = transport_UploadRequest_init_zero;
  pb_istream_t stream = pb_istream_from_buffer(reinterpret_cast<const pb_byte_t*>(bytes.data()), bytes.size());
  if (!pb_decode(&stream, transport_UploadRequest_fields, &request)) {
    pb_release(transport_UploadRequest_fields, &request);
    return std::nullopt;
  }
  std::vector<DecodedSource> out;
  for (pb_size_t i = 0; i < request.source_requests_count; ++i) {
    const auto& source = request.source_requests[i];
    DecodedSource decoded;
    if (source.has_log_source) decoded.logSource = source.log_source;
    if (source.has_client_info && source.client_info.has_client_type) decoded.clientType = source.client_info.client_type;
    if (source.has_client_info && source.client_info.has_apple_client_info) {
      const auto& apple = source.client_info.apple_client_info;
      const std::pair<int, const pb_bytes_array_t*> fields[] = {
          {3, apple.os_major_version}, {4, apple.os_full_version}, {5, apple.app_build}, {6, apple.country},
          {7, apple.device_model},     {8, apple.language},        {11, apple.bundle_id}};
      for (const auto& [number, value] : fields)
        if (auto text = textOf(value)) decoded.appleClientInfo[number] = *text;
    }
    decoded.hasRequestTime = source.has_request_time_ms;
    decoded.hasRequestUptime = source.has_request_uptime_ms;
    for (pb_size_t e = 0; e < source.events_count; ++e) {
      const auto& event = source.events[e];
      DecodedEvent d;
      if (event.has_event_time_ms) d.eventTimeMillis = event.event_time_ms;
      d.payload = textOf(event.payload);
      if (event.has_event_code) d.eventCode = event.event_code;
      if (event.has_timezone_offset_seconds) d.timezoneOffsetSeconds = event.timezone_offset_seconds;
      if (event.has_event_uptime_ms) d.eventUptimeMillis = event.event_uptime_ms;
      d.hasNetworkInfo = event.has_network_connection_info;
      if (event.network_connection_info.has_network_type) d.networkType = event.network_connection_info.network_type;
      if (event.network_connection_info.has_mobile_subtype)
        d.mobileSubtype = event.network_connection_info.mobile_subtype;
      const auto& product = event.product_info;
      if (event.has_product_info && product.has_product_context && product.product_context.has_product_request &&
          product.product_context.product_request.has_product_id)
        d.productID = product.product_context.product_request.product_id;
      if (event.has_product_info && product.has_product_id_origin) d.productIDOrigin = product.product_id_origin;
      decoded.events.push_back(std::move(d));
    }
    out.push_back(std::move(decoded));
  }
  pb_release(transport_UploadRequest_fields, &request);
  return out;
}

std::string describe(const DecodedEvent& event) {
  std::string out;
  auto add = [&](std::string part) { out += (out.empty() ? "" : " ") + part; };
  if (event.eventTimeMillis) add("1:" + std::to_string(*event.eventTimeMillis));
  if (event.payload) add("6:'" + *event.payload + "'");
  if (event.eventCode) add("11:" + std::to_string(*event.eventCode));
  if (event.timezoneOffsetSeconds) add("15:" + std::to_string(*event.timezoneOffsetSeconds));
  if (event.eventUptimeMillis) add("17:" + std::to_string(*event.eventUptimeMillis));
  if (event.hasNetworkInfo) {
    std::string inner;
    if (event.networkType) inner += "1:" + std::to_string(*event.networkType);
    if (event.mobileSubtype) inner += (inner.empty() ? "" : " ") + ("2:" + std::to_string(*event.mobileSubtype));
    add("23{" + inner + "}");
  }
  if (event.productID || event.productIDOrigin) {
    std::string inner;
    if (event.productID) inner += "13:" + std::to_string(*event.productID);
    if (event.productIDOrigin) inner += (inner.empty() ? "" : " ") + ("2:" + std::to_string(*event.productIDOrigin));
    add("33{" + inner + "}");
  }
  return out;
}

std::map<int32_t, DecodedSource> byLogSource(const std::vector<DecodedSource>& sources) {
  std::map<int32_t, DecodedSource> out;
  for (const auto& source : sources) out[source.logSource.value_or(-1)] = source;
  return out;
}

std::vector<std::string> payloadsOf(const std::vector<DecodedSource>& sources, int32_t logSource) {
  std::vector<std::string> out;
  for (const auto& source : sources) {
    if (source.logSource != logSource) continue;
    for (const auto& event : source.events) out.push_back(event.payload.value_or("<none>"));
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string decodeRaw(const os::Data& bytes) {
  const fs::path file = fs::temp_directory_path() / ("revada-raw-" + std::to_string(::getpid()) + ".bin");
  {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.bytes()), static_cast<std::streamsize>(bytes.length()));
  }
  const std::string command = "protoc --decode_raw < '" + file.string() + "' 2>/dev/null";
  std::string text;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    if (::pclose(pipe) != 0) text.clear();
  }
  fs::remove(file);
  return text;
}

std::string encodeUploadResponse(std::optional<int64_t> nextRequestWaitMillis) {
  transport_UploadResponse response = transport_UploadResponse_init_zero;
  if (nextRequestWaitMillis) {
    response.has_next_request_wait_ms = true;
    response.next_request_wait_ms = *nextRequestWaitMillis;
  }
  uint8_t buffer[64];
  pb_ostream_t stream = pb_ostream_from_buffer(buffer, sizeof buffer);
  if (!pb_encode(&stream, transport_UploadResponse_fields, &response)) return {};
  return std::string(reinterpret_cast<const char*>(buffer), stream.bytes_written);
}

void CollectorBundle::write(const std::string& folder, const std::string& baseURL) {
  fs::create_directories(folder);
  os::Dictionary info{{os::kCFBundleIdentifierKey, os::Value("com.example.drosil")},
                      {os::kCFBundleVersionKey, os::Value("42")}};
  os::Dictionary endpoints;
  for (int target : {1000, 1001, 1002, 1003})
    endpoints["TransportUpload" + std::to_string(target)] = os::Value(baseURL + "/upload/" + std::to_string(target));
  auto writePlist = [&](const std::string& name, os::Dictionary dictionary) {
    auto data = os::PropertyListSerialization::dataWithPropertyList(os::Value(std::move(dictionary)),
                                                                    os::PropertyListSerialization::Format::XML);
    std::ofstream out(folder + "/" + name, std::ios::binary);
    out << data->view();
  };
  writePlist("Info.plist", std::move(info));
  writePlist("DrosilEndpoints.plist", std::move(endpoints));
}

CollectorBundle::CollectorBundle(const std::string& baseURL) {
  static int count = 0;
  path_ = (fs::temp_directory_path() /
           ("revada-bundle-" + std::to_string(::getpid()) + "-" + std::to_string(++count) + ".app"))
              .string();
  write(path_, baseURL);
  os::Bundle::setMainBundlePath(path_);
  DAZEndpoints::reload();
  REVOVAEndpoints::TEST_reset();
}

CollectorBundle::~CollectorBundle() {
  os::Bundle::setMainBundlePath("");
  DAZEndpoints::reload();
  REVOVAEndpoints::TEST_reset();
  std::error_code ec;
  fs::remove_all(path_, ec);
}

}  // namespace revada_test
