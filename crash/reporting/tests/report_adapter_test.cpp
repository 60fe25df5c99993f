#include <gtest/gtest.h>
#include <pb_decode.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>

#include "crash/reporting/tests/reporting_test_support.h"
#include "crash/reporting/zoz_report_adapter.h"

namespace {

using reportingtest::ReportingTest;
using reportingtest::writeFile;

// `protoc --decode_raw` of the bytes: the top-level field numbers with their
// text as protoc prints it (a submessage as "{").
std::multimap<int, std::string> decodeRaw(const os::Data& bytes, const std::string& directory) {
  const std::string input = directory + "/message.bin";
  writeFile(input, bytes.toString());
  std::multimap<int, std::string> fields;
  FILE* pipe = ::popen(("protoc --decode_raw < '" + input + "'").c_str(), "r");
  if (!pipe) return fields;
  char line[4096];
  static const std::regex topLevel(R"(^(\d+)(?:: (.*)| \{)$)");
  while (std::fgets(line, sizeof line, pipe)) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    std::smatch match;
    if (std::regex_match(text, match, topLevel)) fields.emplace(std::stoi(match[1]), match[2].matched ? match[2].str() : std::string("{"));
  }
  EXPECT_EQ(::pclose(pipe), 0);
  return fields;
}

// The message decoded by nanopb; released on destruction.
struct Decoded {
  devuvo_zoziduzuzud_Report report = devuvo_zoziduzuzud_Report_init_zero;
  bool ok = false;
  explicit Decoded(const os::Data& bytes) {
    pb_istream_t stream = pb_istream_from_buffer(bytes.bytes(), bytes.size());
    ok = pb_decode(&stream, devuvo_zoziduzuzud_Report_fields, &report);
  }
  ~Decoded() { pb_release(devuvo_zoziduzuzud_Report_fields, &report); }
  static std::string text(const pb_bytes_array_t* bytes) {
    return bytes ? std::string(reinterpret_cast<const char*>(bytes->bytes), bytes->size) : "<absent>";
  }
};

class ReportAdapterTest : public ReportingTest {
 protected:
  std::shared_ptr<ZOZInstallIdentifierModel> installIDModel() {
    auto defaults = std::make_shared<ZOZUserDefaults>(sandbox_->sandbox()->applicationSupportDirectory());
    return std::make_shared<ZOZInstallIdentifierModel>(nullptr, nullptr, defaults);
  }
};

TEST_F(ReportAdapterTest, MessageCarriesTheIdentityAndTheRecordFiles) {
  const std::string path = makeDirectory("prepared");
  writeFile(path + "/metadata.zozrecord",
            R"({"identity":{"build_version":"sdk-1","app_quality_session_id":"aq-1","session_id":"x"}})" "\n"
            R"({"host":{"platform":"iOS"}})" "\n"
            R"({"application":{"build_version":"42","display_version":"4.2"}})" "\n"
            R"({"identity":{"build_version":"sdk-2","app_quality_session_id":"aq-2"}})" "\n");
  writeFile(path + "/Log_A.ZOZRECORD", "log line\n");
  writeFile(path + "/custom.zozrecord.symbolicated", "{\"threads\":[]}\n");
  writeFile(path + "/notes.txt", "not sent");
  auto model = installIDModel();

  ZOZReportAdapter adapter(path, "1:123:ios:abc", model, "fiid-1", "token-1");
  // Read once: later changes do not reach the message.
  writeFile(path + "/late.zozrecord", "late\n");
  auto bytes = adapter.transportBytes();
  ASSERT_TRUE(bytes.has_value());

  auto fields = decodeRaw(*bytes, sandbox_->root());
  std::vector<int> numbers;
  for (const auto& [number, text] : fields) numbers.push_back(number);
  EXPECT_EQ(numbers, (std::vector<int>{1, 3, 4, 5, 6, 7, 10, 16, 17, 19}));
  auto field = [&](int number) { return fields.find(number) == fields.end() ? "" : fields.find(number)->second; };
  EXPECT_EQ(field(1), "\"sdk-2\"") << "the later identity line wins";
  EXPECT_EQ(field(3), "\"1:123:ios:abc\"");
  EXPECT_EQ(field(4), "1");
  EXPECT_EQ(field(5), "\"" + model->installID() + "\"");
  EXPECT_EQ(field(6), "\"42\"");
  EXPECT_EQ(field(7), "\"4.2\"");
  EXPECT_EQ(field(10), "{");
  EXPECT_EQ(field(16), "\"fiid-1\"");
  EXPECT_EQ(field(17), "\"aq-2\"");
  EXPECT_EQ(field(19), "\"token-1\"");

  Decoded decoded(*bytes);
  ASSERT_TRUE(decoded.ok);
  ASSERT_EQ(decoded.report.apple_payload.files_count, 3u);
  std::vector<std::pair<std::string, std::string>> files;
  for (pb_size_t i = 0; i < decoded.report.apple_payload.files_count; ++i) {
    const auto& file = decoded.report.apple_payload.files[i];
    files.emplace_back(Decoded::text(file.filename), Decoded::text(file.contents));
  }
  EXPECT_EQ(files[0], (std::pair<std::string, std::string>{"custom.zozrecord.symbolicated", "{\"threads\":[]}\n"}));
  EXPECT_EQ(files[1], (std::pair<std::string, std::string>{"Log_A.ZOZRECORD", "log line\n"}));
  EXPECT_EQ(files[2].first, "metadata.zozrecord");
}

TEST_F(ReportAdapterTest, NullSessionIdIsLoggedAndSentEmptyAndMissingMetadataGivesEmptyFields) {
  const std::string path = makeReport("null-session", std::string("launch-1"), std::nullopt);
  ZOZReportAdapter adapter(path, "app", nullptr, "", "");
  EXPECT_EQ(lines("Expected encodable string, but found NSNull instead. Set a symbolic breakpoint at "
                  "ZOZEncodeString to debug."),
            1u);
  auto bytes = adapter.transportBytes();
  ASSERT_TRUE(bytes);
  Decoded decoded(*bytes);
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(Decoded::text(decoded.report.app_quality_session_id), "");
  EXPECT_EQ(decodeRaw(*bytes, sandbox_->root()).count(17), 1u) << "present with length 0";

  const std::string empty = makeDirectory("empty");
  ZOZReportAdapter bare(empty, "app", nullptr, "fiid", "token");
  auto bareBytes = bare.transportBytes();
  ASSERT_TRUE(bareBytes);
  Decoded bareDecoded(*bareBytes);
  ASSERT_TRUE(bareDecoded.ok);
  EXPECT_EQ(Decoded::text(bareDecoded.report.sdk_version), "");
  EXPECT_EQ(bareDecoded.report.platform, devuvo_zoziduzuzud_Platform_PLATFORM_UNKNOWN);
  EXPECT_EQ(bareDecoded.report.apple_payload.files_count, 0u);
}

TEST_F(ReportAdapterTest, PlatformMapping) {
  const std::pair<const char*, devuvo_zoziduzuzud_Platform> cases[] = {
      {"iOS", devuvo_zoziduzuzud_Platform_PLATFORM_IOS},   {"ios", devuvo_zoziduzuzud_Platform_PLATFORM_IOS},
      {"tvOS", devuvo_zoziduzuzud_Platform_PLATFORM_TVOS}, {"MAC", devuvo_zoziduzuzud_Platform_PLATFORM_MAC},
      {"ipados", devuvo_zoziduzuzud_Platform_PLATFORM_UNKNOWN}, {"", devuvo_zoziduzuzud_Platform_PLATFORM_UNKNOWN},
  };
  for (const auto& [text, platform] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ZOZReportAdapter::protoPlatformFromString(text), platform);
  }
}

// A write that failed part-way used to hand back the buffer anyway: a
// zero-filled or half-encoded event that the uploader would store and send.
TEST_F(ReportAdapterTest, FailedEncodingGivesNoBytes) {
  const std::string path = makeReport("encoding", std::string("launch-1"));
  ZOZReportAdapter adapter(path, "app", nullptr, "fiid", "token");
  EXPECT_FALSE(adapter.TEST_transportBytesWithBufferLimit(16).has_value());
  EXPECT_EQ(lines("Error in nanopb encoding for bytes: "), 1u);
  EXPECT_TRUE(adapter.transportBytes().has_value());
}

TEST_F(ReportAdapterTest, LinesThatDoNotParseAreSkippedWithTheirPosition) {
  const std::string path = makeDirectory("lines") + "/record.zozrecord";
  writeFile(path, "{\"a\":{\"x\":1}}\n\nnot json\n{\"a\":{\"y\":2},\"b\":3}");
  auto dictionaries = ZOZReportAdapter::dictionariesFromEachLineOfFile(path);
  ASSERT_EQ(dictionaries.size(), 2u);
  EXPECT_EQ(lines("line (3) with error"), 1u);
  auto combined = ZOZReportAdapter::combinedDictionariesFromFilePath(path);
  EXPECT_EQ(os::Value(combined), os::Value(os::Dictionary{{"a", os::Value(os::Dictionary{{"y", os::Value(2)}})},
                                                          {"b", os::Value(3)}}));
  EXPECT_TRUE(ZOZReportAdapter::dictionariesFromEachLineOfFile(path + ".missing").empty());
}

}  // namespace
