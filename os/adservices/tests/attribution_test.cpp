#include "os/adservices/attribution.h"

#include <gtest/gtest.h>

#include "os/foundation/device_profile.h"

namespace {

// What a caller that finds the class by name gets.
os::Result<std::string> tokenByName() {
  os::runtime::Class* cls = os::runtime::classFromString(kAAAttributionClassName);
  if (!cls || !cls->respondsToSelector(kAAAttributionTokenSelector)) return os::fail("test", 0, "no class");
  return cls->sendClassMessage<os::Result<std::string>>(kAAAttributionTokenSelector);
}

TEST(AttributionTest, TheClassFoundByNameAnswersATokenOrAnErrorAsTold) {
  AAAttribution::TEST_reset();
  auto token = tokenByName();
  ASSERT_TRUE(token);
  EXPECT_EQ(*token, kAAAttributionDefaultToken);

  AAAttribution::TEST_setAnswer(os::fail(AAAttributionErrorDomain, AAAttributionErrorCodeNetworkError));
  auto refused = tokenByName();
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().domain(), AAAttributionErrorDomain);
  EXPECT_EQ(refused.error().code(), AAAttributionErrorCodeNetworkError);

  AAAttribution::TEST_setAnswer(std::string("token-2"));
  {
    os::DeviceProfile older;
    older.systemVersion = "14.2";
    os::ScopedDeviceProfile scoped(older);
    auto unsupported = AAAttribution::attributionTokenWithError();
    ASSERT_FALSE(unsupported);
    EXPECT_EQ(unsupported.error().code(), AAAttributionErrorCodePlatformNotSupported);
  }
  EXPECT_EQ(AAAttribution::attributionTokenWithError().value_or(""), "token-2");
  EXPECT_EQ(AAAttribution::TEST_requestCount(), 4);
  AAAttribution::TEST_reset();
}

}  // namespace
