// Test support of the upload tests: the request read back with the generated
// decoder and with `protoc --decode_raw`, the server's answer encoded, and a
// main bundle whose endpoints point at a collector on 127.0.0.1.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/data.h"

namespace revada_test {

struct DecodedEvent {
  std::optional<int64_t> eventTimeMillis;
  std::optional<std::string> payload;
  std::optional<int32_t> eventCode;
  std::optional<int64_t> timezoneOffsetSeconds;
  std::optional<int64_t> eventUptimeMillis;
  bool hasNetworkInfo = false;
  std::optional<int32_t> networkType;
  std::optional<uint32_t> mobileSubtype;
  std::optional<int32_t> productID;
  std::optional<uint32_t> productIDOrigin;
};

// The fields present, in field order: "1:5 6:'x' 11:42 15:-3 17:7 23{1:5} 33{13:77 2:5}".
std::string describe(const DecodedEvent& event);

struct DecodedSource {
  std::optional<int32_t> logSource;
  std::optional<uint32_t> clientType;
  // AppleClientInfo's byte strings by field number; absent ones are missing.
  std::map<int, std::string> appleClientInfo;
  std::vector<DecodedEvent> events;
  bool hasRequestTime = false;
  bool hasRequestUptime = false;
};

// The UploadRequest in the bytes; nullopt when they do not decode.
std::optional<std::vector<DecodedSource>> decodeUploadRequest(const std::string& bytes);
// The sources by log source.
std::map<int32_t, DecodedSource> byLogSource(const std::vector<DecodedSource>& sources);
// The payloads of the events of one log source, sorted.
std::vector<std::string> payloadsOf(const std::vector<DecodedSource>& sources, int32_t logSource);

// `protoc --decode_raw` of the bytes, or "" when protoc cannot be run.
std::string decodeRaw(const os::Data& bytes);

// An UploadResponse body, with the wait when given.
std::string encodeUploadResponse(std::optional<int64_t> nextRequestWaitMillis);

// A main bundle in a temporary folder (identifier "com.example.drosil",
// build "42") whose upload endpoint of target T is <baseURL>/upload/T; the
// endpoint tables are read again. The previous main bundle comes back when it
// goes.
class CollectorBundle {
 public:
  explicit CollectorBundle(const std::string& baseURL);
  ~CollectorBundle();
  CollectorBundle(const CollectorBundle&) = delete;
  CollectorBundle& operator=(const CollectorBundle&) = delete;
  const std::string& path() const { return path_; }

  // Writes the bundle into a folder (for a child process).
  static void write(const std::string& folder, const std::string& baseURL);

 private:
  std::string path_;
};

}  // namespace revada_test
