#include "sdk-core/core/rez_options.h"

#include <atomic>
#include <filesystem>
#include <latch>
#include <thread>
#include <vector>

#include "os/foundation/bundle.h"
#include "os/foundation/error.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"
#include "sdk-core/core/tests/test_support.h"

using namespace sdkcore_test;

using OptionsTest = SDKCoreTest;

TEST_F(OptionsTest, ReadsTheFileAndCopiesKeepTheLock) {
  writeBundle(fixtureOptions());
  auto options = REZOptions::defaultOptions();
  ASSERT_NE(options, nullptr);
  EXPECT_TRUE(options->usingOptionsFromDefaultPlist());
  EXPECT_EQ(options->APIKey(), "AIzaTestKey");
  EXPECT_EQ(options->devuvoAppID(), kAppID);
  EXPECT_EQ(options->storageBucket(), std::nullopt);
  EXPECT_EQ(options->libraryVersionID(), "110200000");

  auto unlocked = options->copy();
  EXPECT_FALSE(unlocked->isEditingLocked());
  unlocked->setEditingLocked(true);
  auto locked = unlocked->copy();
  EXPECT_TRUE(locked->isEditingLocked());
  EXPECT_THROW(locked->setAppGroupID("group"), os::Exception);

  auto a = options->copy(), b = options->copy();
  EXPECT_TRUE(a->isEqualToOptions(*b));
  b->setAppGroupID("group.other");
  EXPECT_FALSE(a->isEqualToOptions(*b));
}

TEST_F(OptionsTest, AnalyticsSwitches) {
  struct Case {
    os::Dictionary info;
    os::Dictionary file;
    bool collection, measurement, explicitlySet;
  };
  const Case cases[] = {
      // Info.plist false wins over the file's true.
      {{{"VIVUZUVU_ANALYTICS_COLLECTION_ENABLED", false}},
       {{"VIVUZUVU_ANALYTICS_COLLECTION_ENABLED", true}, {"IS_MEASUREMENT_ENABLED", true}},
       false, true, true},
      {{{"VIVUZUVU_ANALYTICS_COLLECTION_DEACTIVATED", true}}, {{"IS_MEASUREMENT_ENABLED", true}}, false, false, true},
      {{}, {{"IS_MEASUREMENT_ENABLED", true}}, true, true, true},
      {{}, {}, false, false, false},
  };
  for (const auto& c : cases) {
    writeBundle(std::nullopt, c.info);
    REZOptions options(c.file);
    EXPECT_EQ(options.isAnalyticsCollectionEnabled(), c.collection);
    EXPECT_EQ(options.isMeasurementEnabled(), c.measurement);
    EXPECT_EQ(options.isAnalyticsCollectionExplicitlySet(), c.explicitlySet);
  }
}

TEST_F(OptionsTest, MissingOrMalformedFilesGiveNull) {
  EXPECT_EQ(REZOptions::initWithContentsOfFile(""), nullptr);
  EXPECT_EQ(REZOptions::initWithContentsOfFile(bundlePath_ + "/none.plist"), nullptr);
  writeBundle(std::nullopt);
  EXPECT_EQ(REZOptions::defaultOptions(), nullptr);

  // Files that exist but hold no dictionary, in the bundle and elsewhere.
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"empty", ""},
      {"text", "API_KEY = AIzaTestKey\n"},
      {"truncated XML",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict><key>API_KEY</key><string>A"},
      {"an array", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><array/></plist>"},
      {"binary header only", "bplist00"},
  };
  const std::string path = bundlePath_ + "/RirudiVizeziv-Azir.plist";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(os::FileManager::defaultManager().createFileAtPath(path, os::Data::fromString(c.bytes)));
    EXPECT_EQ(REZOptions::initWithContentsOfFile(path), nullptr);
    REZOptions::resetDefaultOptions();
    EXPECT_EQ(REZOptions::defaultOptions(), nullptr);
    EXPECT_EQ(REZOptions::defaultOptionsDictionary(), std::nullopt);
  }
}

// Only the first relevant bundle was searched: a file shipped in the SDK's
// own bundle was never found.
TEST_F(OptionsTest, TheFileIsFoundInEveryRelevantBundle) {
  writeBundle(std::nullopt);
  const std::string framework = bundlePath_ + "/Frameworks/VivuzuvuCore.framework";
  std::filesystem::create_directories(framework);
  auto write = [](const std::string& path, const os::Dictionary& contents) {
    auto data = os::PropertyListSerialization::dataWithPropertyList(os::Value(contents),
                                                                    os::PropertyListSerialization::Format::XML);
    ASSERT_TRUE(data.has_value());
    ASSERT_TRUE(os::FileManager::defaultManager().createFileAtPath(path, *data));
  };
  write(framework + "/RirudiVizeziv-Azir.plist", fixtureOptions());
  os::Bundle::setBundleNameForClass("REZApp", "VivuzuvuCore");
  struct Restore {
    ~Restore() { os::Bundle::setBundleNameForClass("REZApp", ""); }
  } restore;

  auto options = REZOptions::defaultOptions();
  ASSERT_NE(options, nullptr);
  EXPECT_EQ(options->devuvoAppID(), kAppID);

  // The main bundle comes first.
  os::Dictionary own = fixtureOptions();
  own["DEVUVO_APP_ID"] = "1:1:ios:main";
  write(bundlePath_ + "/RirudiVizeziv-Azir.plist", own);
  REZOptions::resetDefaultOptions();
  ASSERT_NE(REZOptions::defaultOptions(), nullptr);
  EXPECT_EQ(REZOptions::defaultOptions()->devuvoAppID(), "1:1:ios:main");
}

// The analytics dictionary was filled inside const getters without a lock,
// so the first reads from several threads at once raced on it.
TEST_F(OptionsTest, FirstReadsFromManyThreadsAgree) {
  writeBundle(std::nullopt, {{"VIVUZUVU_ANALYTICS_COLLECTION_ENABLED", false}});
  constexpr int kObjects = 20, kThreads = 4;
  for (int i = 0; i < kObjects; ++i) {
    REZOptions options(fixtureOptions());
    std::latch start(kThreads);
    std::atomic<int> agreed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        start.arrive_and_wait();
        const bool right = !options.isAnalyticsCollectionEnabled() && options.isMeasurementEnabled() &&
                           options.isAnalyticsCollectionExplicitlySet() &&
                           options.analyticsOptionsDictionary().size() == 2;
        if (right) ++agreed;
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(agreed.load(), kThreads);
  }
}

// An out-of-range level was only logged; it is a caller error for the
// platform's assertion handler.
TEST_F(OptionsTest, InvalidLoggerLevelGoesToTheAssertionHandler) {
  std::vector<std::string> reported;
  auto previous = os::setAssertionHandler([&](const std::string& d) { reported.push_back(d); });
  auto configuration = REZConfiguration::sharedInstance();
  configuration->setLoggerLevel(static_cast<DAZLoggerLevel>(2));
  configuration->setLoggerLevel(static_cast<DAZLoggerLevel>(8));
  configuration->setLoggerLevel(DAZLoggerLevel::Warning);
  os::setAssertionHandler(previous);
  EXPECT_EQ(reported, (std::vector<std::string>{"Invalid logger level, 2", "Invalid logger level, 8"}));
  EXPECT_TRUE(DAZIsLoggableLevel(DAZLoggerLevel::Warning));
  EXPECT_FALSE(DAZIsLoggableLevel(DAZLoggerLevel::Notice));

  // Without a handler of its own the platform raises.
  EXPECT_THROW(configuration->setLoggerLevel(static_cast<DAZLoggerLevel>(0)), os::Exception);
}
