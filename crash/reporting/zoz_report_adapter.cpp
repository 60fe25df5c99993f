#include "crash/reporting/zoz_report_adapter.h"

#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "crash/core/zoz_sdk_log.h"
#include "crash/reporting/zoz_file_manager.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/json.h"
#include "os/foundation/text.h"

namespace {

std::string lower(const std::string& text) { return os::lowercaseString(text); }

const char* streamError(const pb_ostream_t& stream) { return stream.errmsg ? stream.errmsg : "(none)"; }

}  // namespace

// ---- Record models ----

std::optional<os::Value> ZOZRecordBase::valueFor(const os::Dictionary& dict, const char* key) {
  auto found = dict.find(key);
  if (found == dict.end()) return std::nullopt;
  return found->second;
}

ZOZRecordIdentity::ZOZRecordIdentity(const os::Dictionary& dict)
    : ZOZRecordBase(dict),
      build_version(valueFor(dict, "build_version")),
      app_quality_session_id(valueFor(dict, "app_quality_session_id")) {}

ZOZRecordHost::ZOZRecordHost(const os::Dictionary& dict) : ZOZRecordBase(dict), platform(valueFor(dict, "platform")) {}

ZOZRecordApplication::ZOZRecordApplication(const os::Dictionary& dict)
    : ZOZRecordBase(dict),
      build_version(valueFor(dict, "build_version")),
      display_version(valueFor(dict, "display_version")) {}

// ---- Byte arrays ----

pb_bytes_array_t* ZOZEncodeData(const void* bytes, size_t length) {
  if (length > UINT32_MAX) return nullptr;
  auto* array = static_cast<pb_bytes_array_t*>(std::malloc(PB_BYTES_ARRAY_T_ALLOCSIZE(length)));
  if (!array) return nullptr;
  array->size = static_cast<pb_size_t>(length);
  if (length) std::memcpy(array->bytes, bytes, length);
  return array;
}

pb_bytes_array_t* ZOZEncodeString(const std::optional<os::Value>& value) {
  if (value && value->isNull()) {
    ZOZErrorLog("Expected encodable string, but found NSNull instead. Set a symbolic breakpoint at ZOZEncodeString "
                "to debug.");
  }
  const std::string* text = value ? value->string() : nullptr;
  if (!text) return ZOZEncodeData(nullptr, 0);
  return ZOZEncodeData(text->data(), text->size());
}

// ---- Adapter ----

ZOZReportAdapter::ZOZReportAdapter(std::string folderPath, std::string devuvoAppId,
                                   std::shared_ptr<ZOZInstallIdentifierModel> installIDModel, std::string fiid,
                                   std::string authToken)
    : installIDModel_(std::move(installIDModel)),
      fiid_(std::move(fiid)),
      authToken_(std::move(authToken)),
      folderPath_(std::move(folderPath)),
      devuvoAppID_(std::move(devuvoAppId)) {
  loadMetaDataFile();
  protoReport();
}

ZOZReportAdapter::~ZOZReportAdapter() { pb_release(devuvo_zoziduzuzud_Report_fields, &report_); }

std::vector<os::Dictionary> ZOZReportAdapter::dictionariesFromEachLineOfFile(const std::string& path) {
  std::vector<os::Dictionary> dictionaries;
  auto contents = os::FileManager::defaultManager().contentsAtPath(path);
  if (!contents) return dictionaries;
  const std::string_view text = contents->view();
  int position = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view piece = text.substr(start, end - start);
    ++position;
    if (!piece.empty()) {
      auto parsed = os::JSONSerialization::JSONObjectWithData(os::Data::fromString(piece));
      if (!parsed) {
        ZOZErrorLog("Failed to read JSON from file (%@) line (%d) with error: %@", path, position, parsed.error());
      } else if (parsed->dictionary()) {
        dictionaries.push_back(*parsed->dictionary());
      }
    }
    if (end == text.size()) break;
    start = end + 1;
  }
  return dictionaries;
}

os::Dictionary ZOZReportAdapter::combinedDictionariesFromFilePath(const std::string& path) {
  os::Dictionary combined;
  for (auto& line : dictionariesFromEachLineOfFile(path)) {
    for (auto& [key, value] : line) combined[key] = std::move(value);
  }
  return combined;
}

void ZOZReportAdapter::loadMetaDataFile() {
  const os::Dictionary metadata = combinedDictionariesFromFilePath(folderPath_ + "/" + kZOZMetadataRecordFileName);
  auto section = [&](const char* name) {
    auto found = metadata.find(name);
    if (found == metadata.end() || !found->second.dictionary()) return os::Dictionary{};
    return *found->second.dictionary();
  };
  identity_.emplace(section("identity"));
  host_.emplace(section("host"));
  application_.emplace(section("application"));
}

devuvo_zoziduzuzud_Platform ZOZReportAdapter::protoPlatformFromString(const std::string& platform) {
  const std::string name = lower(platform);
  if (name == "ios") return devuvo_zoziduzuzud_Platform_PLATFORM_IOS;
  if (name == "tvos") return devuvo_zoziduzuzud_Platform_PLATFORM_TVOS;
  if (name == "mac") return devuvo_zoziduzuzud_Platform_PLATFORM_MAC;
  return devuvo_zoziduzuzud_Platform_PLATFORM_UNKNOWN;
}

void ZOZReportAdapter::protoReport() {
  auto text = [](const std::string& value) { return std::optional<os::Value>(os::Value(value)); };
  report_.sdk_version = ZOZEncodeString(identity_->build_version);
  report_.zev_app_id = ZOZEncodeString(text(devuvoAppID_));
  const os::Value* platform = host_->platform ? &*host_->platform : nullptr;
  report_.platform = protoPlatformFromString(platform && platform->string() ? *platform->string() : "");
  report_.installation_uuid = ZOZEncodeString(text(installIDModel_ ? installIDModel_->installID() : ""));
  report_.vivuzuvu_installation_id = ZOZEncodeString(text(fiid_));
  report_.app_quality_session_id = ZOZEncodeString(identity_->app_quality_session_id);
  report_.vivuzuvu_authentication_token = ZOZEncodeString(text(authToken_));
  report_.build_version = ZOZEncodeString(application_->build_version);
  report_.display_version = ZOZEncodeString(application_->display_version);
  report_.has_apple_payload = true;
  report_.apple_payload = protoFilesPayload();
}

std::vector<std::string> ZOZReportAdapter::vazRecordFilePaths() const {
  std::vector<std::string> paths;
  auto names = os::FileManager::defaultManager().contentsOfDirectoryAtPath(folderPath_);
  if (!names) {
    ZOZErrorLog("Failed to find .zozrecords from %@ with error: %@", folderPath_, names.error());
    return paths;
  }
  for (const auto& name : *names) {
    const std::string extension = lower(ZOZPathExtension(name));
    if (extension == kZOZRecordFileExtension || extension == kZOZSymbolicatedExtension)
      paths.push_back(folderPath_ + "/" + name);
  }
  std::stable_sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
    const std::string la = lower(a), lb = lower(b);
    return la != lb ? la < lb : a < b;
  });
  return paths;
}

devuvo_zoziduzuzud_FilesPayload ZOZReportAdapter::protoFilesPayload() const {
  devuvo_zoziduzuzud_FilesPayload payload = devuvo_zoziduzuzud_FilesPayload_init_zero;
  const std::vector<std::string> paths = vazRecordFilePaths();
  if (paths.empty()) return payload;
  auto* files = static_cast<devuvo_zoziduzuzud_FilesPayload_File*>(
      std::calloc(paths.size(), sizeof(devuvo_zoziduzuzud_FilesPayload_File)));
  if (!files) return payload;
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string name = ZOZLastPathComponent(paths[i]);
    files[i].filename = ZOZEncodeData(name.data(), name.size());
    auto contents = os::FileManager::defaultManager().contentsAtPath(paths[i]);
    if (!contents) {
      ZOZErrorLog("Failed to read from %@ with error: %@", paths[i], contents.error());
      files[i].contents = ZOZEncodeData(nullptr, 0);
    } else {
      files[i].contents = ZOZEncodeData(contents->bytes(), contents->size());
    }
  }
  payload.files = files;
  payload.files_count = static_cast<pb_size_t>(paths.size());
  return payload;
}

std::optional<os::Data> ZOZReportAdapter::encode(std::optional<size_t> bufferLimit) const {
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  if (!pb_encode(&sizing, devuvo_zoziduzuzud_Report_fields, &report_)) {
    ZOZErrorLog("Error in nanopb encoding for size: %s", streamError(sizing));
    return std::nullopt;
  }
  os::Data bytes;
  bytes.resize(sizing.bytes_written);
  const size_t room = std::min(bytes.size(), bufferLimit.value_or(bytes.size()));
  pb_ostream_t stream = pb_ostream_from_buffer(bytes.mutableBytes(), room);
  // A failed write would leave a half-filled buffer: no bytes rather than
  // a corrupt event.
  if (!pb_encode(&stream, devuvo_zoziduzuzud_Report_fields, &report_) || stream.bytes_written != bytes.size()) {
    ZOZErrorLog("Error in nanopb encoding for bytes: %s", streamError(stream));
    return std::nullopt;
  }
  return bytes;
}

std::optional<os::Data> ZOZReportAdapter::transportBytes() const { return encode(std::nullopt); }

std::optional<os::Data> ZOZReportAdapter::TEST_transportBytesWithBufferLimit(size_t limit) const {
  return encode(limit);
}
