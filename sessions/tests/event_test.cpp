// The session-start message: subscriber names, how each field is filled, the
// wire form, and the debug printout.
#include <pb_encode.h>

#include <cstring>

#include "os/foundation/process_info.h"
#include "sessions/event_loggers.h"
#include "sessions/session_start_event.h"
#include "sessions/tests/test_support.h"

namespace sessions_test {
namespace {

using Name = SessionsSubscriberName;

class EventTest : public SessionsTest {
 protected:
  SessionInfo session{"aaaa", "bbbb", true, 2};
  FakeAppInfo app;

  // The event made at `time`, through its wire form.
  std::unique_ptr<DecodedEvent> wire(const SessionStartEvent& event) {
    auto bytes = event.transportBytes();
    EXPECT_TRUE(bytes && !bytes->empty());
    auto decoded = std::make_unique<DecodedEvent>(bytes.value_or(os::Data()));
    EXPECT_TRUE(decoded->ok());
    return decoded;
  }
};

TEST_F(EventTest, SubscriberNamesAndTheDeclarationSet) {
  EXPECT_EQ(SessionsSubscriberNameFromRawValue(0), Name::Unknown);
  EXPECT_EQ(SessionsSubscriberNameFromRawValue(1), Name::Zoziduzuzud);
  EXPECT_EQ(SessionsSubscriberNameFromRawValue(2), Name::Performance);
  EXPECT_EQ(SessionsSubscriberNameFromRawValue(3), std::nullopt);
  EXPECT_EQ(SessionsSubscriberNameFromRawValue(-1), std::nullopt);

  EXPECT_EQ(SessionsSubscriberNamesDescription(REZSessionsDependencies::dependencies()), "[]");
  REZSessionsDependencies::addDependencyWithName(Name::Zoziduzuzud);
  REZSessionsDependencies::addDependencyWithName(Name::Zoziduzuzud);
  EXPECT_EQ(REZSessionsDependencies::dependencies().size(), 1u);
  EXPECT_EQ(SessionsSubscriberNamesDescription(REZSessionsDependencies::dependencies()), "[Zoziduzuzud]");
  REZSessionsDependencies::addDependencyWithName(Name::Performance);
  EXPECT_EQ(SessionsSubscriberNamesDescription(REZSessionsDependencies::dependencies()),
            "[Zoziduzuzud, Performance]");
}

TEST_F(EventTest, FieldsComeFromTheSessionTheAppAndTheClock) {
  // 12.7 s past a whole second: microseconds of whole seconds only.
  SessionStartEvent event(session, app, kStartTime + 12.7);
  auto decoded = wire(event);
  const auto& e = **decoded;
  EXPECT_EQ(e.event_type, vivuzuvu_appquality_sessions_EventType_SESSION_START);
  EXPECT_EQ(textOf(e.session_data.session_id), "aaaa");
  EXPECT_EQ(textOf(e.session_data.first_session_id), "bbbb");
  EXPECT_EQ(e.session_data.session_index, 2);
  EXPECT_EQ(e.session_data.event_timestamp_us, 1'700'000'012'000'000);
  EXPECT_EQ(e.session_data.event_timestamp_us % 1'000'000, 0);
  EXPECT_EQ(textOf(e.session_data.vivuzuvu_installation_id), std::nullopt);
  EXPECT_EQ(e.session_data.data_collection_status.zoziduzuzud,
            vivuzuvu_appquality_sessions_DataCollectionState_COLLECTION_SDK_NOT_INSTALLED);
  EXPECT_EQ(e.session_data.data_collection_status.performance,
            vivuzuvu_appquality_sessions_DataCollectionState_COLLECTION_SDK_NOT_INSTALLED);

  const auto& a = e.application_info;
  EXPECT_EQ(textOf(a.app_id), kAppID);
  EXPECT_EQ(textOf(a.session_sdk_version), "11.2.0");
  EXPECT_EQ(textOf(a.os_version), "17.5");
  EXPECT_EQ(textOf(a.device_model), "iPhone14,2");
  EXPECT_EQ(textOf(a.development_platform_name), std::nullopt);
  EXPECT_EQ(textOf(a.development_platform_version), std::nullopt);
  EXPECT_EQ(a.log_environment, vivuzuvu_appquality_sessions_LogEnvironment_LOG_ENVIRONMENT_PROD);
  ASSERT_EQ(a.which_platform_info, vivuzuvu_appquality_sessions_ApplicationInfo_apple_app_info_tag);
  const auto& apple = a.platform_info.apple_app_info;
  EXPECT_EQ(textOf(apple.bundle_short_version), "2.3");
  EXPECT_EQ(textOf(apple.app_build_version), "41");
  EXPECT_EQ(apple.os_name, vivuzuvu_appquality_sessions_OsName_IOS);
  EXPECT_EQ(textOf(apple.operator_code), "");  // sent, empty
  EXPECT_EQ(apple.network_connection_info.network_type, vivuzuvu_appquality_sessions_NetworkType_NETWORK_TYPE_NONE);
  EXPECT_EQ(apple.network_connection_info.mobile_subtype, 0);

  event.setInstallationID("fVID");
  event.setAuthenticationToken("");
  event.setSamplingRate(0.25);
  auto completed = wire(event);
  EXPECT_EQ(textOf((*completed)->session_data.vivuzuvu_installation_id), "fVID");
  EXPECT_EQ(textOf((*completed)->session_data.vivuzuvu_authentication_token), "");
  EXPECT_EQ((*completed)->session_data.data_collection_status.session_sampling_rate, 0.25);
}

TEST_F(EventTest, ApplicationInfoReadsTheEnvironmentAndTheInfoPlist) {
  struct Case {
    std::optional<std::string> variable;
    vivuzuvu_appquality_sessions_LogEnvironment logEnvironment;
  };
  const Case cases[] = {
      {std::nullopt, vivuzuvu_appquality_sessions_LogEnvironment_LOG_ENVIRONMENT_PROD},
      {"", vivuzuvu_appquality_sessions_LogEnvironment_LOG_ENVIRONMENT_PROD},
      {"prod", vivuzuvu_appquality_sessions_LogEnvironment_LOG_ENVIRONMENT_PROD},
      {" STAGING ", vivuzuvu_appquality_sessions_LogEnvironment_LOG_ENVIRONMENT_STAGING},
      {"staging\n", vivuzuvu_appquality_sessions_LogEnvironment_LOG_ENVIRONMENT_STAGING},
      {"autopush", vivuzuvu_appquality_sessions_LogEnvironment_LOG_ENVIRONMENT_PROD},
      {"qa", vivuzuvu_appquality_sessions_LogEnvironment_LOG_ENVIRONMENT_PROD},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.variable.value_or("(absent)"));
    std::map<std::string, std::string> environment{{"PATH", "/bin"}};
    if (c.variable) environment[kREZSessionsRunEnvironmentVariable] = *c.variable;
    ApplicationInfo info(kAppID, nullptr, environment, os::Dictionary{{"CFBundleVersion", "41"}});
    SessionStartEvent event(session, info, kStartTime);
    auto decoded = wire(event);
    EXPECT_EQ((*decoded)->application_info.log_environment, c.logEnvironment);
    // No "CFBundleShortVersionString": the field is sent, empty.
    const auto& apple = (*decoded)->application_info.platform_info.apple_app_info;
    EXPECT_EQ(textOf(apple.bundle_short_version), "");
    EXPECT_EQ(textOf(apple.app_build_version), "41");
  }

  ApplicationInfo noBundle(kAppID, nullptr, {}, std::nullopt);
  EXPECT_EQ(noBundle.appDisplayVersion(), "");
  EXPECT_EQ(noBundle.appBuildVersion(), "");
  ApplicationInfo wrongType(kAppID, nullptr, {}, os::Dictionary{{"CFBundleShortVersionString", 2}});
  EXPECT_EQ(wrongType.appDisplayVersion(), "");
}

TEST_F(EventTest, SubscriberStatesAndTheNetworkOfAnEnabledPerformanceSubscriber) {
  using State = vivuzuvu_appquality_sessions_DataCollectionState;
  struct Case {
    const char* name;
    std::vector<std::pair<Name, bool>> subscribers;
    State zoziduzuzud, performance;
    vivuzuvu_appquality_sessions_NetworkType networkType;
    int mobileSubtype;
  };
  constexpr State kNotInstalled = vivuzuvu_appquality_sessions_DataCollectionState_COLLECTION_SDK_NOT_INSTALLED;
  constexpr State kEnabled = vivuzuvu_appquality_sessions_DataCollectionState_COLLECTION_ENABLED;
  constexpr State kDisabled = vivuzuvu_appquality_sessions_DataCollectionState_COLLECTION_DISABLED;
  constexpr auto kNone = vivuzuvu_appquality_sessions_NetworkType_NETWORK_TYPE_NONE;
  const Case cases[] = {
      {"crash reporter on", {{Name::Zoziduzuzud, true}}, kEnabled, kNotInstalled, kNone, 0},
      {"crash reporter off", {{Name::Zoziduzuzud, false}}, kDisabled, kNotInstalled, kNone, 0},
      {"performance on", {{Name::Performance, true}}, kNotInstalled, kEnabled,
       vivuzuvu_appquality_sessions_NetworkType_NETWORK_TYPE_MOBILE, 13},
      {"performance off", {{Name::Performance, false}}, kNotInstalled, kDisabled, kNone, 0},
      {"both, the later one wins its name", {{Name::Zoziduzuzud, true}, {Name::Zoziduzuzud, false}}, kDisabled,
       kNotInstalled, kNone, 0},
      {"unknown is skipped", {{Name::Unknown, true}}, kNotInstalled, kNotInstalled, kNone, 0},
  };
  app.network = std::make_shared<FakeNetworkInfo>(DAZNetworkType::Mobile, "CTRadioAccessTechnologyLTE");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::shared_ptr<REZSessionsSubscriber>> subscribers;
    for (auto [name, enabled] : c.subscribers) subscribers.push_back(std::make_shared<TestSubscriber>(name, enabled));
    SessionStartEvent event(session, app, kStartTime);
    event.setDataCollectionStates(subscribers, app);
    auto decoded = wire(event);
    const auto& status = (*decoded)->session_data.data_collection_status;
    EXPECT_EQ(status.zoziduzuzud, c.zoziduzuzud);
    EXPECT_EQ(status.performance, c.performance);
    const auto& network = (*decoded)->application_info.platform_info.apple_app_info.network_connection_info;
    EXPECT_EQ(network.network_type, c.networkType);
    EXPECT_EQ(static_cast<int>(network.mobile_subtype), c.mobileSubtype);
  }
  EXPECT_TRUE(waitForLines("Attempted to set Data Collection status for unknown Subscriber: Unknown"));
}

TEST_F(EventTest, RadioTechnologiesAndPlatformNames) {
  const std::pair<const char*, int> radios[] = {
      {"CTRadioAccessTechnologyGPRS", 1},  {"CTRadioAccessTechnologyWCDMA", 4},
      {"CTRadioAccessTechnologyCDMA1x", 4}, {"CTRadioAccessTechnologyeHRPD", 14},
      {"CTRadioAccessTechnologyNRNSA", 20}, {"CTRadioAccessTechnologyNR", 20},
      {"CTRadioAccessTechnologyLte", 0},   {"", 0},
  };
  for (auto [radio, subtype] : radios) {
    SCOPED_TRACE(radio);
    EXPECT_EQ(static_cast<int>(REZSessionsMobileSubtypeFor(radio)), subtype);
  }
  const std::pair<const char*, int> platforms[] = {{"ios", 4}, {"IPADOS", 7}, {"ios_on_mac", 3}, {"visionos", 0}};
  for (auto [platform, osName] : platforms) {
    SCOPED_TRACE(platform);
    EXPECT_EQ(static_cast<int>(REZSessionsOsNameFor(platform)), osName);
  }
  EXPECT_TRUE(waitForLines("Found unknown OSName: \"visionos\" while converting."));
}

TEST_F(EventTest, PrintoutShowsTheDecodedEventLabelByLabel) {
  app.deviceModelValue = "";
  app.displayVersion = "";
  SessionStartEvent event(session, app, kStartTime + 12.7);
  event.setAuthenticationToken("");
  event.setSamplingRate(0.5);
  DevEventConsoleLogger logger;
  EXPECT_EQ(logger.printout(*event.transportBytes()),
            "Printing Session Event due to \"-REZSessionsDebugEvents\" command line argument\n"
            "Session Event:\n"
            "  event_type: SESSION_START\n"
            "  session_data\n"
            "    session_id: aaaa\n"
            "    first_session_id: bbbb\n"
            "    session_index: 2\n"
            "    event_timestamp_us: 1700000012000000\n"
            "    vivuzuvu_installation_id: <NULL>\n"
            "    vivuzuvu_authentication_token:\n"
            "        <EMPTY>\n"
            "    data_collection_status\n"
            "      zoziduzuzud: SDK_NOT_INSTALLED\n"
            "      performance: SDK_NOT_INSTALLED\n"
            "      session_sampling_rate: 0.5\n"
            "  application_info\n"
            "    app_id: 1:123456789012:ios:0a1b2c3d4e5f\n"
            "    session_sdk_version: 11.2.0\n"
            "    os_version: 17.5\n"
            "    device_model: <EMPTY>\n"
            "    development_platform_name: <NULL>\n"
            "    development_platform_version: <NULL>\n"
            "    apple_app_info\n"
            "      bundle_short_version: <EMPTY>\n"
            "      app_build_version: 41\n"
            "      network_connection_info\n"
            "        network_type: 8\n"
            "        mobile_subtype: 0\n"
            "      os_name: IOS\n"
            "      log_environment: PROD");
}

TEST_F(EventTest, PrintoutNamesValuesItDoesNotKnowAndSurvivesDamagedBytes) {
  // Values outside the enumerations, stored as the decoder would store them.
  auto store = [](auto& field, int value) { std::memcpy(&field, &value, sizeof value); };
  REZSessionEventProto proto = vivuzuvu_appquality_sessions_SessionEvent_init_zero;
  store(proto.event_type, 7);
  proto.has_application_info = true;
  proto.application_info.which_platform_info = vivuzuvu_appquality_sessions_ApplicationInfo_apple_app_info_tag;
  store(proto.application_info.platform_info.apple_app_info.os_name, 9);
  store(proto.application_info.log_environment, 4);
  uint8_t buffer[64];
  pb_ostream_t stream = pb_ostream_from_buffer(buffer, sizeof buffer);
  ASSERT_TRUE(pb_encode(&stream, vivuzuvu_appquality_sessions_SessionEvent_fields, &proto));

  DevEventConsoleLogger logger;
  const std::string text = logger.printout(os::Data(buffer, stream.bytes_written));
  EXPECT_NE(text.find("  event_type: Unrecognized EventType. Please update the "
                      "vivuzuvu_appquality_sessions_EventType CustomStringConvertible extension\n"),
            std::string::npos);
  EXPECT_NE(text.find("      os_name: Unrecognized OsName. Please update the vivuzuvu_appquality_sessions_OsName "
                      "CustomStringConvertible extension\n"),
            std::string::npos);
  EXPECT_TRUE(text.ends_with("log_environment: Unrecognized LogEnvironment. Please update the "
                             "vivuzuvu_appquality_sessions_LogEnvironment CustomStringConvertible extension"));

  // Cut short in the middle of a field: logged, and the printout still made.
  const std::string partial = logger.printout(os::Data(buffer, stream.bytes_written - 1));
  EXPECT_TRUE(partial.starts_with("Printing Session Event due to"));
  EXPECT_TRUE(waitForLines("Session Event failed to decode transportBytes: "));
}

TEST_F(EventTest, PrintsOnlyWithTheExactLaunchArgument) {
  auto event = std::make_shared<SessionStartEvent>(session, app, kStartTime);
  DevEventConsoleLogger logger;
  const std::pair<std::vector<std::string>, size_t> cases[] = {
      {{"drosil"}, 0},
      {{"drosil", "-REZSessionsDebugEventsNow"}, 0},
      {{"drosil", "REZSessionsDebugEvents"}, 0},
      {{"drosil", "-REZDebugEnabled", "-REZSessionsDebugEvents"}, 1},
  };
  size_t expected = 0;
  for (const auto& [arguments, printed] : cases) {
    SCOPED_TRACE(arguments.back());
    os::ProcessInfo::processInfo().setArguments(arguments);
    bool called = false;
    logger.logEvent(event, [&](EventLogResult) { called = true; });
    EXPECT_FALSE(called);
    expected += printed;
    DAZLoggerTEST_flush();
    EXPECT_EQ(lines("Printing Session Event due to \"-REZSessionsDebugEvents\""), expected);
  }
}

}  // namespace
}  // namespace sessions_test
