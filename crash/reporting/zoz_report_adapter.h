// ZOZReportAdapter: a prepared report directory as one crash-report message
// (devuvo_zoziduzuzud_Report, crash/reporting/proto/zoz_report.proto) for the
// event transport.
//
// Everything is read when the adapter is made: the metadata record's
// "identity", "host" and "application" sections and every file of the
// directory whose extension, in lower case, is "zozrecord" or
// "symbolicated", sorted case-insensitively by path. Later changes to the
// directory do not reach the message. No failure stops the adapter: missing
// metadata gives empty fields, an unreadable file an entry with empty
// contents.
//
// Strings become byte arrays of their own (a JSON null is logged and sent
// empty; a missing value is sent empty); the message is released with
// pb_release when the adapter goes. transportBytes encodes the message on
// each call and gives no bytes at all when nanopb fails: never a zero-filled
// or half-written buffer.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crash/core/zoz_file.h"
#include "crash/reporting/proto/zoz_report.pb.h"
#include "crash/reporting/zoz_install_identifier_model.h"
#include "crash/reporting/zoz_internal_report.h"
#include "os/foundation/data.h"
#include "os/foundation/value.h"
#include "transport/REVOVALibrary/revova_event.h"

inline constexpr const char* kZOZSymbolicatedExtension = "symbolicated";

// The sections of the metadata record the message needs. A value is nullopt
// when the key is missing, a null os::Value for a JSON null.
class ZOZRecordBase {
 public:
  explicit ZOZRecordBase(const os::Dictionary&) {}
 protected:
  static std::optional<os::Value> valueFor(const os::Dictionary& dict, const char* key);
};
class ZOZRecordIdentity : public ZOZRecordBase {
 public:
  explicit ZOZRecordIdentity(const os::Dictionary& dict);
  std::optional<os::Value> build_version;
  std::optional<os::Value> app_quality_session_id;
};
class ZOZRecordHost : public ZOZRecordBase {
 public:
  explicit ZOZRecordHost(const os::Dictionary& dict);
  std::optional<os::Value> platform;
};
class ZOZRecordApplication : public ZOZRecordBase {
 public:
  explicit ZOZRecordApplication(const os::Dictionary& dict);
  std::optional<os::Value> build_version;
  std::optional<os::Value> display_version;
};

// The value as a new byte array (the caller frees it): a string's UTF-8
// bytes; empty for a missing value, and for a JSON null after logging
// "Expected encodable string, but found NSNull instead. ...". Null only
// when the allocation fails.
pb_bytes_array_t* ZOZEncodeString(const std::optional<os::Value>& value);
pb_bytes_array_t* ZOZEncodeData(const void* bytes, size_t length);

class ZOZReportAdapter final : public REVOVAEventDataObject {
 public:
  // `installIDModel` may be null (an empty installation UUID is sent).
  ZOZReportAdapter(std::string folderPath, std::string devuvoAppId,
                   std::shared_ptr<ZOZInstallIdentifierModel> installIDModel, std::string fiid,
                   std::string authToken);
  ~ZOZReportAdapter() override;
  ZOZReportAdapter(const ZOZReportAdapter&) = delete;
  ZOZReportAdapter& operator=(const ZOZReportAdapter&) = delete;

  // The encoded message; nullopt when nanopb fails (logged).
  std::optional<os::Data> transportBytes() const override;

  // One dictionary of every line's object, later lines overwriting keys.
  static os::Dictionary combinedDictionariesFromFilePath(const std::string& path);
  // The JSON object of each non-empty line, in file order; a line that does
  // not parse is logged and skipped.
  static std::vector<os::Dictionary> dictionariesFromEachLineOfFile(const std::string& path);
  // "ios" 1, "tvos" 2, "mac" 5 (compared in lower case), else 0.
  static devuvo_zoziduzuzud_Platform protoPlatformFromString(const std::string& platform);

  std::vector<std::string> vazRecordFilePaths() const;
  const devuvo_zoziduzuzud_Report& report() const { return report_; }
  const std::optional<ZOZRecordIdentity>& identity() const { return identity_; }
  const std::optional<ZOZRecordHost>& host() const { return host_; }
  const std::optional<ZOZRecordApplication>& application() const { return application_; }

  // transportBytes with the output buffer cut to `limit` bytes, as a write
  // that fails part-way. For tests.
  std::optional<os::Data> TEST_transportBytesWithBufferLimit(size_t limit) const;

 private:
  void loadMetaDataFile();
  void protoReport();
  devuvo_zoziduzuzud_FilesPayload protoFilesPayload() const;
  std::optional<os::Data> encode(std::optional<size_t> bufferLimit) const;

  const std::shared_ptr<ZOZInstallIdentifierModel> installIDModel_;
  const std::string fiid_;
  const std::string authToken_;
  const std::string folderPath_;
  const std::string devuvoAppID_;
  std::optional<ZOZRecordIdentity> identity_;
  std::optional<ZOZRecordHost> host_;
  std::optional<ZOZRecordApplication> application_;
  devuvo_zoziduzuzud_Report report_ = devuvo_zoziduzuzud_Report_init_zero;
};
