#include <gtest/gtest.h>

#include <string>

#include "measurement/store/errors.h"
#include "measurement/store/numeric_util.h"
#include "measurement/store/tests/test_support.h"

namespace {

TEST(APMErrorTest, UserInfoHoldsOnlyNonEmptyTexts) {
  struct Case {
    const char* description;
    const char* context;
    size_t entries;
  };
  for (const Case& c : {Case{"", "", 0}, Case{"Transaction failed", "", 1}, Case{"", "exec,19,NA", 1},
                        Case{"Transaction failed", "exec,19,NA", 2}}) {
    SCOPED_TRACE(std::string(c.description) + "|" + c.context);
    const os::Error error = apm_errorWithCode(APMErrorCode::DatabaseOperationFailed, c.description, c.context);
    EXPECT_EQ(error.domain(), "com.devuvo.zev.measurement.ErrorDomain");
    EXPECT_EQ(error.code(), 3);
    EXPECT_EQ(error.userInfo().size(), c.entries);
    if (*c.description) {
      EXPECT_EQ(error.localizedDescription(), c.description);
    }
    if (*c.context) {
      EXPECT_EQ(error.userInfo().at(kAPMMonitorContextKey), os::Value(c.context));
    }
  }
}

TEST(APMErrorTest, TheFirstFailingCheckOfAChainDecides) {
  auto chain = [](uint64_t nameLength, const void* db, os::Error* error) {
    return APMCheckNotZero(nameLength, error, APMErrorCode::InvalidArgument, "Received empty table name") &&
           APMCheckNotNULL(db, error, APMErrorCode::InvalidState, "Database not open") &&
           APMCheck(nameLength < 64, error, APMErrorCode::InvalidArgument, "Name too long");
  };
  int handle = 0;
  os::Error error;
  EXPECT_TRUE(chain(5, &handle, &error));
  EXPECT_EQ(error.code(), 0);  // untouched
  EXPECT_FALSE(chain(0, nullptr, &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(error.localizedDescription(), "Received empty table name");
  EXPECT_FALSE(chain(5, nullptr, &error));
  EXPECT_EQ(error.code(), 2);
  // A null out-parameter still gets the answer.
  EXPECT_FALSE(chain(70, &handle, nullptr));
  EXPECT_FALSE(APMCheckNotNil(std::optional<int>(), nullptr, APMErrorCode::InvalidArgument, "x"));
  EXPECT_FALSE(APMCheckNotNil(os::Value(), &error, APMErrorCode::InvalidArgument, "Nil column value for update"));
  EXPECT_EQ(error.localizedDescription(), "Nil column value for update");
  EXPECT_TRUE(APMCheckNotNil(std::make_shared<int>(1), nullptr, APMErrorCode::InvalidArgument, "x"));
}

class NumericTest : public apm_test::MonitoredTest {
 protected:
  // The message the rejection sampled, read and cleared (level 2 is never
  // printed).
  std::string takeSampledKey() {
    auto entry = monitor_->TEST_sampledData();
    monitor_->clearMonitoringData();
    return entry ? *(*entry)[2].string() : "<none>";
  }
};

TEST_F(NumericTest, DecimalStringsParseExactly) {
  struct Case {
    const char* text;
    const char* value;  // null: rejected
    const char* sampled;
  };
  const std::string fifty(50, '7');
  const Case cases[] = {
      {"1.50", "1.5", nullptr},
      {"+.5", "0.5", nullptr},
      {"-.5", "-0.5", nullptr},
      {"007", "7", nullptr},
      {"-12.", "-12", nullptr},
      {"12345678901234567890123456789012345678", "12345678901234567890123456789012345678", nullptr},
      {"1e5", nullptr, "1E_110100:String value does not represent a numeric value. Value"},
      {"", nullptr, "1E_110100:String value does not represent a numeric value. Value"},
      {"1,5", nullptr, "1E_110100:String value does not represent a numeric value. Value"},
      {fifty.c_str(), nullptr,
       "1E_110100:Unable to create a NSDecimalNumber from string value: loss of precision. Value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto parsed = APMDecimalNumberFromString(c.text);
    if (c.value) {
      ASSERT_TRUE(parsed);
      EXPECT_EQ(parsed->description(), c.value);
      EXPECT_TRUE(APMIsDecimalNumberString(c.text));
      EXPECT_EQ(takeSampledKey(), "<none>");
    } else {
      EXPECT_FALSE(parsed);
      EXPECT_EQ(takeSampledKey(), c.sampled);
    }
  }
}

TEST(APMNumericTest, NumericStringsAreWholeDecimalIntegers) {
  const std::pair<const char*, std::optional<int64_t>> cases[] = {
      {"42", 42},
      {"-7", -7},
      {"+7", 7},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", std::nullopt},  // beyond int64
      {"", std::nullopt},
      {"-", std::nullopt},
      {"+-5", std::nullopt},
      {"1.0", std::nullopt},
      {" 1", std::nullopt},
      {"12a", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(APMInt64FromNumericString(text), expected);
    EXPECT_EQ(APMIsNumericString(text), expected.has_value());
  }
}

TEST(APMNumericTest, RandomIntegersAndTheParameterNameTable) {
  EXPECT_NE(APMNumericUtil::randomInt64(), APMNumericUtil::randomInt64());
  const APMNameMap& names = APMPublicToInternalParameterNames();
  EXPECT_EQ(names.size(), 54u);
  EXPECT_EQ(names.at("dv_screen"), "_sn");
  EXPECT_EQ(names.at("vivuzuvu_screen"), "_sn");
  EXPECT_EQ(names.at("engagement_time_msec"), "_et");
  EXPECT_EQ(names.count("screen_name"), 0u);
}

}  // namespace
