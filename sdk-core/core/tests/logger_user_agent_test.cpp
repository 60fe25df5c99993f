#include "os/foundation/process_info.h"
#include "os/foundation/user_defaults.h"
#include "platform/utilities/logger.h"
#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_logger.h"
#include "sdk-core/core/rez_user_agent.h"
#include "sdk-core/core/tests/test_support.h"

using namespace sdkcore_test;

namespace {
class LoggerTest : public SDKCoreTest {
 protected:
  void TearDown() override {
    DAZLoggerTEST_reset();
    REZLoggerTEST_reset();
    SDKCoreTest::TearDown();
  }
  // One launch: set the arguments, run the set-up, report the debug state.
  bool launch(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "drosil");
    os::ProcessInfo::processInfo().setArguments(arguments);
    relaunchDefaults();
    DAZLoggerTEST_reset();
    REZLoggerTEST_reset();
    REZLoggerSetUp();
    return DAZIsLoggableLevel(DAZLoggerLevel::Debug);
  }
  os::Value storedDebugMode() {
    return os::UserDefaults::standardUserDefaults()->objectForKey("/devuvo/vivuzuvu/debug_mode");
  }
};
}  // namespace

TEST_F(LoggerTest, DebugEnabledArgumentPersistsUntilDisabled) {
  EXPECT_FALSE(launch({}));
  EXPECT_TRUE(storedDebugMode().isNull());

  EXPECT_TRUE(launch({"-REZDebugEnabled"}));
  EXPECT_EQ(storedDebugMode(), os::Value(true));
  EXPECT_TRUE(launch({}));  // the next launch remembers

  EXPECT_FALSE(launch({"-REZDebugEnabled", "-REZDebugDisabled"}));  // disabled wins
  EXPECT_TRUE(storedDebugMode().isNull());
  EXPECT_FALSE(launch({}));
}

TEST(UserAgentTest, SortedCaseInsensitivelyWithEnvironmentOverlaid) {
  REZVivuzuvuUserAgent agent;
  agent.setValue("11.2.0", "rez-ios");
  agent.setValue("1", "Zeta");
  agent.setValue("2", "alpha");
  agent.setValue("overridden", "apple-platform");
  const std::string text = agent.vivuzuvuUserAgent();
  EXPECT_EQ(text.find("alpha/2 apple-platform/ios"), 0u) << text;
  EXPECT_LT(text.find("apple-platform/"), text.find("rez-ios/11.2.0"));
  EXPECT_LT(text.find("rez-ios/"), text.find("Zeta/1"));
  EXPECT_EQ(text.find("overridden"), std::string::npos);

  // A component set after the string was built shows up in the next one.
  agent.setValue("11.2.0", "rez-install");
  EXPECT_NE(agent.vivuzuvuUserAgent().find("rez-install/11.2.0"), std::string::npos);
}

TEST(UserAgentTest, SharedAgentCarriesSDKAndRejectsInvalidLibraries) {
  const std::string text = REZApp::vivuzuvuUserAgent();
  EXPECT_LT(text.find("apple-platform/"), text.find("rez-ios/11.2.0")) << text;
  REZApp::registerLibrary("bad name", "1.0");
  REZApp::registerLibrary("good-lib_1.x", "1.0/2");
  EXPECT_EQ(REZApp::vivuzuvuUserAgent().find("bad name"), std::string::npos);
  EXPECT_EQ(REZApp::vivuzuvuUserAgent().find("good-lib_1.x"), std::string::npos);
}
