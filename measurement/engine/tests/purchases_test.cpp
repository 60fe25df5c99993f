// In-app purchases through the whole engine: the store's payment queue, the
// facade's transaction observer, the duplicate filter over the store's
// purchase fingerprints, the reporter and the pipeline with lifetime value.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "measurement/engine/purchases/in_app_purchase_product_cache.h"
#include "measurement/engine/purchases/in_app_purchase_transaction_reporter.h"
#include "measurement/engine/tests/engine_test_support.h"
#include "os/storekit/storekit.h"

namespace {

using engine_test::EngineTest;

constexpr double kBought = 1'700'000'000;

class PurchasesTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    engine_test::resetStoreOffering("meter.pro", "Meter Pro", "4.99");
    const SKReceiptPurchase item{.productIdentifier = "meter.pro",
                                 .transactionIdentifier = "2000",
                                 .originalTransactionIdentifier = "2000",
                                 .purchaseDate = os::Date::fromTimeIntervalSince1970(kBought),
                                 .originalPurchaseDate = os::Date::fromTimeIntervalSince1970(kBought),
                                 .productType = SKReceiptProductType::NonConsumable};
    ASSERT_TRUE(os::StoreSimulator::writeReceipt({.bundleIdentifier = engine_test::kBundleIdentifier, .purchases = {item}}));
  }
  void TearDown() override {
    EngineTest::TearDown();
    os::StoreSimulator::reset();
    APMInAppPurchaseTransactionReporter::TEST_reset();
    APMInAppPurchaseProductCache::TEST_reset();
  }

  // A purchased transaction as the store hands it over at each delivery.
  static std::shared_ptr<SKPaymentTransaction> purchased(const std::string& identifier) {
    SKPaymentTransaction::Description d;
    d.payment.productIdentifier = "meter.pro";
    d.transactionState = SKPaymentTransactionState::Purchased;
    d.transactionIdentifier = identifier;
    d.transactionDate = os::Date::fromTimeIntervalSince1970(kBought);
    return std::make_shared<SKPaymentTransaction>(d);
  }
  static void deliver(const std::string& identifier) {
    SKPaymentQueue::defaultQueue()->TEST_updateTransactions({purchased(identifier)});
  }
  // The names of the stored purchase events, in order.
  std::vector<std::string> reported() {
    std::vector<std::string> names;
    for (const auto& event : loggedEvents()) {
      const std::string name = event.at("name").stringValue();
      if (name == "_iap" || name == "_iapx") names.push_back(name);
    }
    return names;
  }
  size_t count(int64_t code) {
    const auto logged = codes();
    return std::count(logged.begin(), logged.end(), code);
  }
};

TEST_F(PurchasesTest, APurchaseDeliveredTwiceIsReportedOnceEvenAfterARelaunch) {
  start();
  deliver("2000");
  ASSERT_EQ(reported(), std::vector<std::string>{"_iap"});
  EXPECT_EQ(userAttribute("_ltv_USD"), os::Value(os::Number::int64(4'990'000)));

  // The store delivers it again in this run, and once more at the next launch
  // (an unfinished transaction comes back): its fingerprint is in the store.
  deliver("2000");
  EXPECT_EQ(reported().size(), 1u);
  endLaunch();
  start();
  deliver("2000");
  EXPECT_EQ(reported().size(), 1u);
  EXPECT_EQ(count(23141), 2u);
  EXPECT_EQ(userAttribute("_ltv_USD"), os::Value(os::Number::int64(4'990'000)));

  // An identifier of zeroes has no fingerprint: it goes unchecked, so each
  // delivery is reported and counted.
  deliver("000-000");
  deliver("000-000");
  EXPECT_EQ(reported().size(), 3u);
  EXPECT_EQ(userAttribute("_ltv_USD"), os::Value(os::Number::int64(3 * 4'990'000)));
}

}  // namespace
