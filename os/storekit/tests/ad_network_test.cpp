#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "os/dispatch/queue.h"
#include "os/foundation/device_profile.h"
#include "os/storekit/storekit.h"

namespace {

// Calls the update and waits for its completion (on another thread).
std::optional<os::Error> update(int64_t fine, const std::string& coarse, bool lock) {
  auto done = os::DispatchSemaphore::create(0);
  std::optional<os::Error> result;
  SKAdNetwork::updatePostbackConversionValue(fine, coarse, lock, [&](const std::optional<os::Error>& error) {
    result = error;
    done->signal();
  });
  EXPECT_EQ(done->wait(os::DispatchTime::fromNow(10)), os::DispatchWaitResult::Success);
  return result;
}

class AdNetworkTest : public ::testing::Test {
 protected:
  void SetUp() override { SKAdNetwork::TEST_reset(); }
  void TearDown() override { SKAdNetwork::TEST_reset(); }
};

TEST_F(AdNetworkTest, UpdatesAreCheckedRecordedAndAnsweredAsTold) {
  struct Case {
    const char* system;
    int64_t fine;
    const char* coarse;
    std::optional<int64_t> error;  // SKANErrorDomain code
  };
  const Case cases[] = {
      {"16.0", 10, SKAdNetworkCoarseConversionValueHigh, SKANErrorUnsupported},
      {"16.1", 64, SKAdNetworkCoarseConversionValueHigh, SKANErrorInvalidConversionValue},
      {"16.1", -1, SKAdNetworkCoarseConversionValueLow, SKANErrorInvalidConversionValue},
      {"16.1", 3, "highest", SKANErrorInvalidConversionValue},
      {"16.1", 63, SKAdNetworkCoarseConversionValueHigh, std::nullopt},
      {"17.5", 0, SKAdNetworkCoarseConversionValueLow, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.system) + " " + std::to_string(c.fine) + " " + c.coarse);
    os::DeviceProfile profile;
    profile.systemVersion = c.system;
    os::ScopedDeviceProfile scoped(profile);
    auto error = update(c.fine, c.coarse, true);
    EXPECT_EQ(error.has_value(), c.error.has_value());
    if (error && c.error) {
      EXPECT_EQ(error->domain(), SKANErrorDomain);
      EXPECT_EQ(error->code(), *c.error);
    }
  }
  // Only the accepted ones reach the ad network.
  EXPECT_EQ(SKAdNetwork::TEST_postbackUpdates(),
            (std::vector<SKAdNetworkPostbackUpdate>{{63, SKAdNetworkCoarseConversionValueHigh, true},
                                                    {0, SKAdNetworkCoarseConversionValueLow, true}}));

  // The answer a test asks for, still recorded.
  SKAdNetwork::TEST_setUpdateError(os::Error(SKANErrorDomain, SKANErrorUnknown));
  auto error = update(5, SKAdNetworkCoarseConversionValueMedium, false);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), SKANErrorUnknown);
  EXPECT_EQ(SKAdNetwork::TEST_postbackUpdates().size(), 3u);
  SKAdNetwork::updatePostbackConversionValue(1, SKAdNetworkCoarseConversionValueLow, false, nullptr);  // no handler

  SKAdNetwork::registerAppForAdNetworkAttribution();
  SKAdNetwork::registerAppForAdNetworkAttribution();
  EXPECT_EQ(SKAdNetwork::TEST_registrationCount(), 2);
}

}  // namespace
