// What the engine requires of its neighbours, called once each on the real
// modules: the platform utilities, the SDK core and the measurement messages.
// (The measurement store's share is store_contract_test.cpp.)
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "measurement/engine/interface/rez_analytics.h"
#include "measurement/engine/tests/engine_test_support.h"
#include "measurement/messages/field_access.h"
#include "measurement/messages/message_classes.h"
#include "os/dispatch/notification.h"
#include "os/runtime/runtime.h"
#include "os/testing/test_http_server.h"
#include "os/uikit/application.h"
#include "platform/utilities/app_delegate_swizzler.h"
#include "platform/utilities/app_environment.h"
#include "platform/utilities/gzip.h"
#include "platform/utilities/logger.h"
#include "platform/utilities/network.h"
#include "platform/utilities/swizzler.h"
#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_component.h"
#include "sdk-core/core/rez_options.h"
#include "sdk-core/installations/rez_installations.h"
#include "sdk-core/installations/tests/installations_test_support.h"

namespace {

using engine_test::EngineTest;
using os::testing::ScriptedResponse;
namespace rt = os::runtime;

struct Reply {
  std::atomic<int> calls{0};
  std::optional<os::HTTPURLResponse> response;
  std::optional<os::Data> data;
  std::optional<os::Error> error;
};

DAZNetworkCompletionHandler handlerFor(Reply& reply) {
  return [&reply](std::optional<os::HTTPURLResponse> response, std::optional<os::Data> data,
                  std::optional<os::Error> error) {
    reply.response = std::move(response);
    reply.data = std::move(data);
    reply.error = std::move(error);
    ++reply.calls;
  };
}

using PlatformContractTest = EngineTest;

TEST_F(PlatformContractTest, NetworkGzipAndEnvironment) {
  auto network = DAZNetwork::initWithReachabilityHost("127.0.0.1");
  ASSERT_NE(network, nullptr);
  auto queue = os::DispatchQueue::serial("contract.network");
  const os::URL url = *os::URL::URLWithString(server_.URLForPath("/a"));

  // POST: gzip-compressed, with the three headers, on the given queue.
  server_.setResponse("/a", ScriptedResponse::ok("accepted"));
  const os::Data payload = os::Data::fromString(std::string(500, 'm') + "batch");
  Reply post;
  EXPECT_TRUE(network->postURL(url, {{"X-Caller", "engine"}}, payload, queue, false, handlerFor(post)));
  ASSERT_TRUE(os::testing::runMainUntil([&] { return post.calls > 0; }));
  EXPECT_EQ(post.response->statusCode(), 200);
  EXPECT_EQ(post.data->toString(), "accepted");
  const auto request = server_.requests().back();
  EXPECT_EQ(request.header("Content-Encoding"), "gzip");
  EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
  const auto gzipped = DAZGzip::daz_dataByGzippingData(payload);
  ASSERT_TRUE(gzipped && *gzipped);
  EXPECT_EQ(request.header("Content-Length"), std::to_string((*gzipped)->size()));
  EXPECT_EQ(request.header("X-Caller"), "engine");
  EXPECT_EQ(request.body, payload.toString());
  const auto inflated = DAZGzip::daz_dataByInflatingGzippedData(**gzipped);
  ASSERT_TRUE(inflated && *inflated);
  EXPECT_EQ(**inflated, payload);

  // An empty URL answers nothing and delivers an error without a response.
  Reply refused;
  EXPECT_FALSE(network->postURL(os::URL(), payload, queue, false, handlerFor(refused)));
  ASSERT_TRUE(os::testing::runMainUntil([&] { return refused.calls > 0; }));
  EXPECT_FALSE(refused.response);
  EXPECT_TRUE(refused.error);

  // A time-out of 0 is the default 60 s, not an instant failure.
  network->setTimeoutInterval(0);
  ScriptedResponse slow = ScriptedResponse::ok("late");
  slow.delaySeconds = 0.2;
  server_.setResponse("/slow", slow);
  Reply get;
  EXPECT_TRUE(network->getURL(*os::URL::URLWithString(server_.URLForPath("/slow")), {{"If-None-Match", "v1"}}, queue,
                              false, handlerFor(get)));
  EXPECT_TRUE(network->hasUploadInProgress());
  ASSERT_TRUE(os::testing::runMainUntil([&] { return get.calls > 0; }));
  EXPECT_FALSE(get.error);
  EXPECT_EQ(get.data->toString(), "late");
  EXPECT_EQ(server_.requests().back().header("If-None-Match"), "v1");
  EXPECT_FALSE(network->hasUploadInProgress());

  // Reachability changes reach the delegate; the client's lines reach its
  // logger delegate.
  struct Delegates : DAZNetworkReachabilityDelegate, DAZNetworkLoggerDelegate {
    int changes = 0;
    std::vector<long> codes;
    void reachabilityDidChange() override { ++changes; }
    void DAZNetwork_logWithLevelMessageCodeMessageContexts(DAZNetworkLogLevel, long code, const std::string&,
                                                           const std::vector<os::Value>&) override {
      codes.push_back(code);
    }
    void DAZNetwork_logWithLevelMessageCodeMessageContext(DAZNetworkLogLevel level, long code, const std::string& m,
                                                          const os::Value&) override {
      DAZNetwork_logWithLevelMessageCodeMessageContexts(level, code, m, {});
    }
    void DAZNetwork_logWithLevelMessageCodeMessage(DAZNetworkLogLevel level, long code, const std::string& m) override {
      DAZNetwork_logWithLevelMessageCodeMessageContexts(level, code, m, {});
    }
  };
  auto delegates = std::make_shared<Delegates>();
  network->setReachabilityDelegate(delegates);
  network->setLoggerDelegate(delegates);
  network->setIsDebugModeEnabled(true);
  network->reachability(*network->reachabilityChecker(), DAZReachabilityStatus::ViaWifi);
  EXPECT_TRUE(network->isNetworkConnected());
  EXPECT_EQ(delegates->changes, 1);
  network->DAZNetwork_logWithLevelMessageCodeMessage(DAZNetworkLogLevel::Warning, 900002, "line");
  EXPECT_EQ(delegates->codes, std::vector<long>{900002});
  int handled = 0;
  DAZNetwork::handleEventsForBackgroundURLSessionID("contract-session", [&] { ++handled; });

  // Environment queries and the logger's writers.
  writeBundle({{"DevuvoUtilitiesAppDelegateProxyEnabled", false}});
  EXPECT_FALSE(DAZAppDelegateSwizzler::isAppDelegateProxyEnabled());
  writeBundle();
  EXPECT_TRUE(DAZAppDelegateSwizzler::isAppDelegateProxyEnabled());
  EXPECT_TRUE(DAZAppEnvironmentUtil::deviceModel().has_value());
  EXPECT_FALSE(DAZAppEnvironmentUtil::systemVersion().empty());
  DAZLogBasic(DAZLoggerLevel::Debug, "contract", "[Contract]", true, "I-CON000001", "forced %d", std::nullopt);
  DAZLogWarning("contract", "[Contract]", false, "I-CON000002", "warning %@", "w");
  DAZLogInfo("contract", "[Contract]", true, "I-CON000003", "info");
  DAZLoggerTEST_flush();
  EXPECT_EQ(capture_.recordsContaining("I-CON000001] forced %d").size(), 1u);
  EXPECT_EQ(capture_.recordsContaining("I-CON000002] warning w").size(), 1u);
  EXPECT_EQ(capture_.recordsContaining("I-CON000003] info").size(), 1u);
}

TEST_F(PlatformContractTest, DelegateProxyAndMethodReplacement) {
  rt::Class* delegateClass = rt::registerClass("ContractAppDelegate");
  delegateClass->addProtocol(kDAZUIApplicationDelegateProtocol);
  std::vector<std::string> opened;
  delegateClass->addMethod(kDAZOpenURLOptionsSelector,
                           rt::Imp(std::function<DAZOpenURLOptionsImp>(
                               [&](rt::Object&, DAZApplicationRef, os::URL, os::Dictionary) {
                                 opened.push_back("delegate");
                                 return false;
                               })));
  rt::Class* interceptorClass = rt::registerClass("ContractInterceptor");
  interceptorClass->addProtocol(kDAZUIApplicationDelegateProtocol);
  interceptorClass->addMethod(kDAZOpenURLOptionsSelector,
                              rt::Imp(std::function<DAZOpenURLOptionsImp>(
                                  [&](rt::Object&, DAZApplicationRef, os::URL, os::Dictionary) {
                                    opened.push_back("interceptor");
                                    return true;
                                  })));
  UIApplication::setSharedApplication(std::make_shared<UIApplication>());
  UIApplication::sharedApplication()->setDelegate(std::make_shared<rt::Object>(delegateClass));
  DAZAppDelegateSwizzler::clearInterceptors();
  DAZAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken();

  DAZAppDelegateSwizzler::proxyOriginalDelegate();
  auto interceptor = std::make_shared<rt::Object>(interceptorClass);
  EXPECT_TRUE(DAZAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor));
  auto delegate = UIApplication::sharedApplication()->delegate();
  EXPECT_TRUE((rt::msgSend<bool, DAZApplicationRef, os::URL, os::Dictionary>(
      *delegate, kDAZOpenURLOptionsSelector, UIApplication::sharedApplication(), *os::URL::URLWithString("drosil://x"),
      os::Dictionary{})));
  EXPECT_EQ(opened, (std::vector<std::string>{"interceptor", "delegate"}));

  // Method replacement: the current implementation, then a block of the
  // receiver and the method's own arguments.
  rt::Class* viewClass = rt::registerClass("ContractViewController");
  viewClass->addMethod("viewDidAppear:", rt::Imp(std::function<void(rt::Object&, bool)>([&](rt::Object&, bool) {
                         opened.push_back("original");
                       })));
  const rt::Imp original = DAZSwizzler::currentImplementationForClass(viewClass, "viewDidAppear:", false);
  ASSERT_TRUE(original);
  EXPECT_FALSE(DAZSwizzler::currentImplementationForClass(viewClass, "viewDidDisappear:", false));
  EXPECT_FALSE(DAZSwizzler::currentImplementationForClass(nullptr, "viewDidAppear:", false));
  EXPECT_TRUE(DAZSwizzler::swizzleClass(viewClass, "viewDidAppear:", false,
                                        rt::Imp(std::function<void(rt::Object&, bool)>([&](rt::Object& self, bool a) {
                                          opened.push_back("tracked");
                                          rt::callImp<void, bool>(original, self, a);
                                        }))));
  rt::Object view(viewClass);
  rt::msgSend<void, bool>(view, "viewDidAppear:", true);
  EXPECT_EQ(opened.back(), "original");
  EXPECT_EQ(opened[opened.size() - 2], "tracked");
  UIApplication::setSharedApplication(std::make_shared<UIApplication>());
}

class CoreContractTest : public EngineTest {
 protected:
  installations_test::FakeInstallationsService service_;
};

TEST_F(CoreContractTest, ConfigureStartsAnalyticsAndServesComponents) {
  // A library registered at load time provides a component to the app.
  rt::Class* service = rt::registerClass("ContractService", "NSObject");
  rt::Class* library = rt::registerClass("ContractLibrary", "NSObject");
  library->addProtocol(kREZLibraryProtocol);
  library->replaceClassMethod(kREZComponentsToRegisterSelector, REZMakeComponentsToRegisterImp([service] {
                                return REZComponentList{REZComponent::componentWithProtocol(
                                    "ContractProtocol", [service](REZComponentContainer&, bool* cacheable) {
                                      *cacheable = true;
                                      return std::make_shared<rt::Object>(service);
                                    })};
                              }));
  REZApp::registerInternalLibrary(library, "contract-library", "1.0.0");

  writeBundle({},
              os::Dictionary{{"API_KEY", installations_test::kAPIKey},
                             {"DEVUVO_APP_ID", installations_test::kAppID},
                             {"VCM_SENDER_ID", installations_test::kSenderID},
                             {"PROJECT_ID", installations_test::kProjectID},
                             {"BUNDLE_ID", installations_test::kBundleIdentifier},
                             {"VIVUZUVU_ANALYTICS_COLLECTION_DEACTIVATED", false}},
              service_.baseURL());
  REZOptions::resetDefaultOptions();
  auto options = REZOptions::defaultOptions();
  ASSERT_NE(options, nullptr);
  EXPECT_EQ(options->devuvoAppID(), installations_test::kAppID);
  EXPECT_FALSE(options->isAnalyticsCollectionDeactivated());
  EXPECT_FALSE(REZApp::isDefaultAppConfigured());

  REZApp::configure();
  EXPECT_TRUE(REZApp::isDefaultAppConfigured());
  settle();
  EXPECT_TRUE(APMMeasurement::hasSharedInstance());  // analytics started by name, before the app is handed out
  auto app = REZApp::defaultApp();
  auto first = app->container()->instanceForProtocol("ContractProtocol");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(app->container()->instanceForProtocol("ContractProtocol"), first);  // kept: cacheable

  // The configuration's notification carries the switch as a number.
  std::optional<os::Value> posted;
  auto observer = os::NotificationCenter::defaultCenter()->addObserverForName(
      kREZAnalyticsConfigurationSetEnabledNotification, REZAnalyticsConfiguration::sharedInstance().get(),
      std::shared_ptr<os::DispatchQueue>(), [&](const os::Notification& notification) {
        posted = notification.userInfo.at(kREZAnalyticsConfigurationSetEnabledNotification);
      });
  REZAnalyticsConfiguration::sharedInstance()->setAnalyticsCollectionEnabled(true, false);
  ASSERT_TRUE(posted);
  EXPECT_TRUE(posted->isNumber());
  EXPECT_TRUE(posted->boolValue());
  os::NotificationCenter::defaultCenter()->removeObserver(observer);

  // The installation ID, and the notice of its change.
  std::optional<std::string> identifier;
  REZInstallations::installations()->installationIDWithCompletion(
      [&](std::optional<std::string> id, std::optional<os::Error>) { identifier = std::move(id); });
  ASSERT_TRUE(os::testing::runMainUntil([&] { return identifier.has_value(); }, 20));
  int changes = 0;
  auto changed = os::NotificationCenter::defaultCenter()->addObserverForName(
      kREZInstallationIDDidChangeNotification, nullptr, std::shared_ptr<os::DispatchQueue>(),
      [&](const os::Notification&) { ++changes; });
  bool deleted = false;
  REZInstallations::installations()->deleteWithCompletion([&](std::optional<os::Error>) { deleted = true; });
  ASSERT_TRUE(os::testing::runMainUntil([&] { return deleted && changes > 0; }, 20));
  os::NotificationCenter::defaultCenter()->removeObserver(changed);
}

TEST(MessagesContractTest, MessagesAndFieldsByPosition) {
  // A bundle with the fields the engine writes, encoded and decoded again.
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  ASSERT_NE(bundle, nullptr);
  APMPBSetInt32(bundle.get(), 0, 1);
  APMPBSetInt64(bundle.get(), 3, 1'700'000'000'000);
  APMPBSetString(bundle.get(), 8, "ios");
  APMPBSetBool(bundle.get(), 21, true);
  APMPBSetArray(bundle.get(), 37, os::Array{os::Value(os::Number::uint32(7))});
  auto event = APMPBEvent::initWithMessageInfo(nullptr);
  APMPBSetString(event.get(), 1, "_f");
  APMPBSetInt64(event.get(), 2, 1'700'000'000'000);
  auto parameter = APMPBEventParam::initWithMessageInfo(nullptr);
  APMPBSetString(parameter.get(), 0, "_et");
  APMPBSetDouble(parameter.get(), 4, 1.5);
  APMPBSetArray<APMPBEventParam>(event.get(), 0, {parameter});
  APMPBSetArray<APMPBEvent>(bundle.get(), 1, {event});
  auto campaign = APMPBAdCampaignInfo::initWithMessageInfo(nullptr);
  APMPBSetString(campaign.get(), 2, "search");
  APMPBSetMessage(bundle.get(), 52, campaign.get());

  const auto bytes = bundle->protoBuffer();
  ASSERT_TRUE(bytes);
  auto decoded = APMPBMeasurementBundle::initWithBuffer(*bytes);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(decoded->protoBuffer(), bytes);  // same values, same bytes
  EXPECT_EQ(APMPBGetInt32(decoded.get(), 0), 1);
  EXPECT_EQ(APMPBGetInt64(decoded.get(), 3), 1'700'000'000'000);
  EXPECT_EQ(APMPBGetString(decoded.get(), 8), "ios");
  EXPECT_TRUE(APMPBGetBool(decoded.get(), 21));
  EXPECT_EQ(APMPBGetArray(decoded.get(), 37), (os::Array{os::Value(os::Number::uint32(7))}));
  const auto events = APMPBGetArray<APMPBEvent>(decoded.get(), 1);
  ASSERT_TRUE(events && events->size() == 1);
  EXPECT_EQ(APMPBGetString((*events)[0].get(), 1), "_f");
  const auto parameters = APMPBGetArray<APMPBEventParam>((*events)[0].get(), 0);
  ASSERT_TRUE(parameters && parameters->size() == 1);
  EXPECT_EQ(APMPBGetDouble((*parameters)[0].get(), 4), 1.5);
  const auto campaignBack = APMPBGetMessage<APMPBAdCampaignInfo>(decoded.get(), 52);
  ASSERT_NE(campaignBack, nullptr);
  EXPECT_EQ(APMPBGetString(campaignBack.get(), 2), "search");

  // Absent fields read as NO, 0, 0.0, none; a repeated field counts as present.
  EXPECT_FALSE(APMPBHasField(decoded.get(), 12));
  EXPECT_EQ(APMPBGetInt32(decoded.get(), 12), 0);
  EXPECT_TRUE(APMPBHasField(decoded.get(), 2));
  APMPBClearField(decoded.get(), 8);
  EXPECT_FALSE(APMPBGetString(decoded.get(), 8));
  APMPBSetString(decoded.get(), 26, std::nullopt);
  EXPECT_FALSE(APMPBHasField(decoded.get(), 26));

  // A copy holds the values; changing a sub-message read out changes nothing
  // until written back.
  auto copy = APMPBMeasurementBundle::initWithMessageInfo(decoded->messageInfo());
  ASSERT_NE(copy, nullptr);
  APMPBSetString(campaignBack.get(), 2, "display");
  EXPECT_EQ(APMPBGetString(APMPBGetMessage<APMPBAdCampaignInfo>(copy.get(), 52).get(), 2), "search");
  EXPECT_EQ(APMPBMeasurementBatch::initWithBuffer(os::Data::fromString("\xff\xff")), nullptr);

  // The configuration message round trip the remote configuration relies on.
  auto config = APMPBMeasurementConfig::initWithMessageInfo(nullptr);
  APMPBSetString(config.get(), 1, "1:1:ios:1");
  auto configBytes = config->protoBuffer();
  ASSERT_TRUE(configBytes);
  EXPECT_EQ(APMPBGetString(APMPBMeasurementConfig::initWithBuffer(*configBytes).get(), 1), "1:1:ios:1");
}

}  // namespace
