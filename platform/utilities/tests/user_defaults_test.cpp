#include "platform/utilities/user_defaults.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/foundation/sandbox.h"
#include "os/foundation/system_log.h"
#include "platform/utilities/logger.h"

namespace {

class DAZUserDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAZLoggerTEST_reset();
    os::UserDefaults::resetStandardUserDefaults();
  }
  void TearDown() override { os::UserDefaults::resetStandardUserDefaults(); }

  std::vector<std::string> warnings() {
    DAZLoggerTEST_flush();
    std::vector<std::string> out;
    for (const auto& r : capture_.recordsContaining("[I-DAZ")) out.push_back(r.category + "|" + r.message);
    return out;
  }

  os::TemporarySandbox sandbox_;
  os::LogCapture capture_;
};

TEST_F(DAZUserDefaultsTest, EmptySuiteNameIsTheStandardStore) {
  DAZUserDefaults defaults("");
  defaults.setObject(os::Value("v"), "k");
  EXPECT_EQ(os::UserDefaults::standardUserDefaults()->objectForKey("k"), os::Value("v"));
  EXPECT_EQ(DAZUserDefaults().objectForKey("k"), os::Value("v"));
  EXPECT_EQ(DAZUserDefaults::standardUserDefaults()->objectForKey("k"), os::Value("v"));
  EXPECT_EQ(DAZUserDefaults("com.drosil.tests.suite").objectForKey("k"), os::Value());
}

TEST_F(DAZUserDefaultsTest, TypedValuesAndRemoval) {
  DAZUserDefaults defaults("com.drosil.tests.suite");
  defaults.setBool(true, "bool");
  defaults.setInteger(-42, "int");
  defaults.setDouble(2.5, "double");
  defaults.setFloat(1.5f, "float");
  defaults.setObject(os::Value("12"), "text");
  defaults.setObject(os::Value(7), "number");
  EXPECT_TRUE(defaults.boolForKey("bool"));
  EXPECT_FALSE(defaults.boolForKey("missing"));
  EXPECT_EQ(defaults.integerForKey("int"), -42);
  EXPECT_EQ(defaults.integerForKey("missing"), 0);
  EXPECT_EQ(defaults.integerForKey("text"), 12);
  EXPECT_DOUBLE_EQ(defaults.doubleForKey("double"), 2.5);
  EXPECT_FLOAT_EQ(defaults.floatForKey("float"), 1.5f);
  EXPECT_EQ(defaults.stringForKey("number"), os::Value(7));  // the kind is not checked

  defaults.setObject(os::Value(), "bool");
  defaults.removeObjectForKey("int");
  EXPECT_TRUE(defaults.objectForKey("bool").isNull());
  EXPECT_TRUE(defaults.objectForKey("int").isNull());
  EXPECT_TRUE(warnings().empty());
}

TEST_F(DAZUserDefaultsTest, InvalidKeysAndValuesAreWarnedAndIgnored) {
  DAZUserDefaults defaults("com.drosil.tests.suite");
  defaults.setObject(os::Value("old"), "k");
  const os::Value withNull = os::Value::arrayOf({os::Value(1), os::Value()});
  defaults.setObject(withNull, "k");
  defaults.setObject(os::Value("v"), "");
  EXPECT_TRUE(defaults.objectForKey("").isNull());
  EXPECT_EQ(defaults.integerForKey(""), 0);
  EXPECT_EQ(defaults.objectForKey("k"), os::Value("old"));

  const std::vector<std::string> expected = {
      "[DevuvoUtilities/UserDefaults]| - [DevuvoUtilities/UserDefaults][I-DAZ000003] Cannot set invalid object to "
      "user defaults. Must be a string, number, array, dictionary, date, or data. Value: " +
          withNull.description(),
      "[DevuvoUtilities/UserDefaults]| - [DevuvoUtilities/UserDefaults][I-DAZ000002] Cannot set object for invalid "
      "user default key.",
      "<DevuvoUtilities>| - <DevuvoUtilities>[I-DAZ000001] Cannot get object for invalid user default key.",
      "<DevuvoUtilities>| - <DevuvoUtilities>[I-DAZ000001] Cannot get object for invalid user default key.",
  };
  EXPECT_EQ(warnings(), expected);
}

TEST_F(DAZUserDefaultsTest, ValuesSurviveARestart) {
  DAZUserDefaults("com.drosil.tests.suite").setObject(os::Value(os::Dictionary{{"a", 1}}), "dict");
  DAZUserDefaults().setObject(os::Value("standard"), "k");
  os::UserDefaults::resetStandardUserDefaults();
  EXPECT_EQ(DAZUserDefaults("com.drosil.tests.suite").dictionaryForKey("dict"), os::Value(os::Dictionary{{"a", 1}}));
  EXPECT_EQ(DAZUserDefaults::standardUserDefaults()->objectForKey("k"), os::Value("standard"));
}

TEST_F(DAZUserDefaultsTest, RefusedSuiteNameHoldsNothing) {
  DAZUserDefaults defaults("../escape");
  EXPECT_EQ(defaults.userDefaults(), nullptr);
  defaults.setObject(os::Value(1), "k");
  EXPECT_TRUE(defaults.objectForKey("k").isNull());
  EXPECT_FALSE(defaults.boolForKey("k"));
}

}  // namespace
