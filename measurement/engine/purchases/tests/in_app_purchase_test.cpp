#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "measurement/engine/purchases/in_app_purchase_product_cache.h"
#include "measurement/engine/purchases/in_app_purchase_transaction_reporter.h"
#include "measurement/engine/sessions/testing/reporters_test_support.h"
#include "os/dispatch/queue.h"
#include "os/storekit/storekit.h"

namespace {

using apm_reporters_test::int64Parameter;
using apm_reporters_test::stringParameter;
using Event = apm_reporters_test::RecordingAnalytics::Event;

constexpr double kDay1 = 1'700'000'000;
constexpr double kDay2 = kDay1 + 86'400;
constexpr double kDay3 = kDay2 + 86'400;

os::Date at(double seconds) { return os::Date::fromTimeIntervalSince1970(seconds); }

std::shared_ptr<SKProduct> makeProduct(const std::string& identifier, const char* price,
                                       std::optional<std::string> currency = "USD",
                                       std::shared_ptr<SKProductDiscount> introductoryPrice = nullptr) {
  SKProduct::Description d;
  d.productIdentifier = identifier;
  d.localizedTitle = "Title of " + identifier;
  if (price) d.price = os::Decimal::fromString(price);
  d.priceLocale = {.localeIdentifier = "en_US@currency=USD", .currencyCode = std::move(currency)};
  d.introductoryPrice = std::move(introductoryPrice);
  return std::make_shared<SKProduct>(d);
}

std::shared_ptr<SKProductDiscount> introductory(const char* price, SKProductDiscountPaymentMode mode) {
  SKProductDiscount::Description d;
  d.price = os::Decimal::fromString(price);
  d.paymentMode = mode;
  return std::make_shared<SKProductDiscount>(d);
}

SKReceiptPurchase bought(const std::string& product, const std::string& transaction, const std::string& original,
                         double date, SKReceiptProductType type) {
  return {.productIdentifier = product,
          .transactionIdentifier = transaction,
          .originalTransactionIdentifier = original,
          .purchaseDate = at(date),
          .originalPurchaseDate = at(date),
          .productType = type};
}

SKReceiptPurchase trial(SKReceiptPurchase purchase) {
  purchase.isTrialPeriod = true;
  return purchase;
}

std::shared_ptr<SKPaymentTransaction> transaction(const std::string& product, std::optional<std::string> identifier,
                                                  SKPaymentTransactionState state = SKPaymentTransactionState::Purchased,
                                                  double date = kDay1) {
  SKPaymentTransaction::Description d;
  d.payment.productIdentifier = product;
  d.transactionState = state;
  d.transactionIdentifier = std::move(identifier);
  d.transactionDate = at(date);
  return std::make_shared<SKPaymentTransaction>(d);
}

class InAppPurchaseTest : public apm_reporters_test::ReportersTest {
 protected:
  void SetUp() override {
    ReportersTest::SetUp();
    os::StoreSimulator::reset();
    APMInAppPurchaseProductCache::TEST_reset();
    APMInAppPurchaseTransactionReporter::TEST_reset();
    reporter_ = APMInAppPurchaseTransactionReporter::sharedInstance();
  }
  void TearDown() override {
    drain();
    os::StoreSimulator::reset();
    reporter_.reset();
    APMInAppPurchaseTransactionReporter::TEST_reset();
    APMInAppPurchaseProductCache::TEST_reset();
    ReportersTest::TearDown();
  }

  static void sell(const std::vector<std::shared_ptr<SKProduct>>& products) {
    for (const auto& p : products) os::StoreSimulator::addProduct(p);
  }
  static void writeReceipt(std::vector<SKReceiptPurchase> purchases,
                           os::StoreSimulator::ReceiptEnvironment environment =
                               os::StoreSimulator::ReceiptEnvironment::Production) {
    SKReceipt receipt{.bundleIdentifier = "com.example.meter", .purchases = std::move(purchases)};
    ASSERT_TRUE(os::StoreSimulator::writeReceipt(receipt, environment));
  }

  struct Explicit {
    std::string product;
    std::string transaction, original;
    int64_t type = APMInAppPurchaseTypeConsumable;
    int64_t quantity = 1;
    double date = kDay1;
    bool freeTrial = false;
    os::Value webOrderLineItemID{};
  };
  void report(const Explicit& e) {
    reporter_->reportTransactionWithProductID(e.product, e.transaction, e.original, e.webOrderLineItemID, e.type,
                                              e.freeTrial, false, e.quantity, at(e.date), at(e.date), std::nullopt,
                                              std::nullopt);
  }
  std::vector<Event> events() {
    drain();
    return analytics_->events();
  }

  std::shared_ptr<APMInAppPurchaseTransactionReporter> reporter_;
};

// ---- Parameters and classification (the explicit road) ----

TEST_F(InAppPurchaseTest, QuantityScalesValueAndZeroGivesNoEvent) {
  sell({makeProduct("coins", "0.99")});
  writeReceipt({bought("coins", "1000", "1000", kDay1, SKReceiptProductType::Consumable)});

  report({.product = "coins", .transaction = "1000", .original = "1000", .quantity = 0});
  EXPECT_TRUE(events().empty());

  report({.product = "coins", .transaction = "1000", .original = "1000", .quantity = 3});
  const auto all = events();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].name, "_iap");
  EXPECT_EQ(all[0].origin, "auto");
  const os::Dictionary& p = all[0].parameters;
  EXPECT_EQ(int64Parameter(p, "price"), 990000);
  EXPECT_EQ(int64Parameter(p, "value"), 2970000);
  EXPECT_EQ(int64Parameter(p, "quantity"), 3);
  EXPECT_EQ(stringParameter(p, "currency"), "USD");
  EXPECT_EQ(stringParameter(p, "product_id"), "coins");
  EXPECT_EQ(stringParameter(p, "product_name"), "Title of coins");
  // Low 64 bits of MD5("1000coins").
  EXPECT_EQ(int64Parameter(p, "_did"), -1572400243625958833);
  EXPECT_TRUE(logged(kAPMIAPCodeConsumable));
  EXPECT_TRUE(logged(kAPMIAPCodeParsedReceipt));
}

TEST_F(InAppPurchaseTest, ProductsWithoutPriceOrCurrencyGiveNoEvent) {
  sell({makeProduct("free", nullptr), makeProduct("nowhere", "1.00", std::nullopt)});
  report({.product = "free", .transaction = "1", .original = "1"});
  report({.product = "nowhere", .transaction = "2", .original = "2"});
  EXPECT_TRUE(events().empty());
}

TEST_F(InAppPurchaseTest, ClassifiesAgainstTheReceipt) {
  using Type = SKReceiptProductType;
  const auto monthly = makeProduct("monthly", "4.99");
  const auto intro = makeProduct("intro", "4.99", "USD", introductory("0.99", SKProductDiscountPaymentMode::PayAsYouGo));
  sell({makeProduct("coins", "0.99"), makeProduct("pro", "9.99"), makeProduct("season", "2.99"), monthly, intro});

  struct Case {
    const char* label;
    std::vector<SKReceiptPurchase> receipt;
    Explicit report;
    const char* name;
    std::map<std::string, int64_t> expected;
    std::vector<std::string> absent;
    os::StoreSimulator::ReceiptEnvironment environment = os::StoreSimulator::ReceiptEnvironment::Production;
  };
  auto withIntro = [](SKReceiptPurchase p) {
    p.isInIntroOfferPeriod = true;
    return p;
  };
  const Case cases[] = {
      {"restored non-consumable",
       {bought("pro", "2001", "2000", kDay1, Type::NonConsumable)},
       {.product = "pro", .transaction = "2001", .original = "2000", .type = APMInAppPurchaseTypeNonConsumable},
       "_iapx",
       {{"price", 9990000}},
       {"invalid", "sandbox", "_did"}},
      {"restored non-consumable, sandbox receipt",
       {bought("pro", "2001", "2000", kDay1, Type::NonConsumable)},
       {.product = "pro", .transaction = "2001", .original = "2000", .type = APMInAppPurchaseTypeNonConsumable},
       "_iapx",
       {{"sandbox", 1}},
       {"invalid"},
       os::StoreSimulator::ReceiptEnvironment::Sandbox},
      {"free-trial start",
       {trial(bought("monthly", "3000", "3000", kDay1, Type::AutoRenewableSubscription))},
       {.product = "monthly", .transaction = "3000", .original = "3000", .type = 3, .freeTrial = true},
       "_iap",
       {{"free_trial", 1}, {"price_is_discounted", 1}, {"price", 0}, {"value", 0}, {"original_price", 4990000},
        {"subscription", 1}},
       {"sub_renew", "sub_convert"}},
      {"renewal after a free trial",
       {trial(bought("monthly", "3000", "3000", kDay1, Type::AutoRenewableSubscription)),
        bought("monthly", "3001", "3000", kDay2, Type::AutoRenewableSubscription)},
       {.product = "monthly", .transaction = "3001", .original = "3000", .type = 3, .date = kDay2},
       "_assc",
       {{"price", 4990000}, {"value", 4990000}},
       {"sub_convert", "sub_renew", "subscription", "free_trial"}},
      {"renewal after a paid period",
       {bought("monthly", "3000", "3000", kDay1, Type::AutoRenewableSubscription),
        bought("monthly", "3001", "3000", kDay2, Type::AutoRenewableSubscription)},
       {.product = "monthly", .transaction = "3001", .original = "3000", .type = 3, .date = kDay2},
       "_assr",
       {{"price", 4990000}},
       {"sub_convert", "sub_renew"}},
      {"introductory price paid as you go",
       {withIntro(bought("intro", "4000", "4000", kDay1, Type::AutoRenewableSubscription))},
       {.product = "intro", .transaction = "4000", .original = "4000", .type = 3},
       "_iap",
       {{"price", 990000}, {"value", 990000}, {"original_price", 4990000}, {"price_is_discounted", 1}},
       {"free_trial"}},
      {"non-renewing subscription",
       {bought("season", "6000", "6000", kDay1, Type::NonRenewingSubscription),
        bought("season", "6001", "6001", kDay2, Type::NonRenewingSubscription)},
       {.product = "season", .transaction = "6001", .original = "6001", .type = 2, .date = kDay2},
       "_iap",
       {{"subscription", 1}},
       {"invalid"}},
      {"two subscription periods on one date",
       {bought("monthly", "7000", "7000", kDay1, Type::AutoRenewableSubscription),
        bought("monthly", "7001", "7000", kDay1, Type::AutoRenewableSubscription)},
       {.product = "monthly", .transaction = "7001", .original = "7000", .type = 3},
       "_iapx",
       {{"subscription", 1}},
       {"invalid"}},
      // Several items of a product that is no subscription, none on the
      // transaction's date: reported as a renewal without a dedupe ID.
      {"consumable bought twice, neither on the date",
       {bought("coins", "5000", "5000", kDay1, Type::Consumable), bought("coins", "5001", "5001", kDay2, Type::Consumable)},
       {.product = "coins", .transaction = "5000", .original = "5000", .date = kDay3},
       "_assr",
       {{"_did", -1}},
       {"subscription", "sub_renew"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    analytics_->clear();
    APMInAppPurchaseTransactionReporter::TEST_reset();
    reporter_ = APMInAppPurchaseTransactionReporter::sharedInstance();
    writeReceipt(c.receipt, c.environment);
    report(c.report);
    const auto all = events();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].name, c.name);
    for (const auto& [key, value] : c.expected) EXPECT_EQ(int64Parameter(all[0].parameters, key), value) << key;
    for (const auto& key : c.absent) EXPECT_FALSE(all[0].parameters.contains(key)) << key;
  }
}

TEST_F(InAppPurchaseTest, AFreeTrialIntroductoryPriceZeroesThePrice) {
  sell({makeProduct("trial", "4.99", "USD", introductory("0", SKProductDiscountPaymentMode::FreeTrial))});
  SKReceiptPurchase item = bought("trial", "8000", "8000", kDay1, SKReceiptProductType::AutoRenewableSubscription);
  item.isInIntroOfferPeriod = true;
  writeReceipt({item});
  report({.product = "trial", .transaction = "8000", .original = "8000", .type = 3});
  const auto all = events();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(int64Parameter(all[0].parameters, "price"), 0);
  EXPECT_EQ(int64Parameter(all[0].parameters, "value"), 0);
  EXPECT_EQ(int64Parameter(all[0].parameters, "original_price"), 4990000);
}

TEST_F(InAppPurchaseTest, TheExplicitItemCountsWhenTheReceiptLacksIt) {
  sell({makeProduct("coins", "0.99")});
  // No receipt file: the item the app describes is the only one.
  report({.product = "coins", .transaction = "1000", .original = "1000"});
  auto all = events();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].name, "_iap");
  ASSERT_EQ(reporter_->TEST_purchaseItems().size(), 1u);
  EXPECT_EQ(reporter_->TEST_purchaseItems()[0].purchaseDateIA5String, "2023-11-14T22:13:20Z");
}

TEST_F(InAppPurchaseTest, AnUnknownProductLogsTheStoreFailure) {
  report({.product = "gone", .transaction = "1", .original = "1"});
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(logged(kAPMIAPCodeProductRequestFailed));
}

// ---- The payment-queue road ----

TEST_F(InAppPurchaseTest, PaymentQueueReportsPurchasedTransactionsOnly) {
  sell({makeProduct("coins", "0.99")});
  writeReceipt({bought("coins", "1000", "1000", kDay1, SKReceiptProductType::Consumable)});
  reporter_->paymentQueue(SKPaymentQueue::defaultQueue(),
                          {transaction("coins", "1000"), transaction("coins", "1001", SKPaymentTransactionState::Failed),
                           transaction("coins", "1002", SKPaymentTransactionState::Restored), transaction("", "1003"),
                           nullptr});
  auto all = events();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].name, "_iap");
  // The product is cached now; the list of items is cleared after the pass.
  EXPECT_TRUE(APMInAppPurchaseProductCache::sharedInstance()->cachedProductForProductIdentifier("coins"));
  EXPECT_TRUE(reporter_->TEST_purchaseItems().empty());

  // A product missing from the receipt is reported as not a plain purchase.
  sell({makeProduct("gems", "1.99")});
  analytics_->clear();
  reporter_->paymentQueue(SKPaymentQueue::defaultQueue(), {transaction("gems", "1100")});
  all = events();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].name, "_iapx");
  EXPECT_TRUE(logged(kAPMIAPCodeMissingInReceipt));
}

TEST_F(InAppPurchaseTest, AStoreFailureReportsNothingOfThatPass) {
  os::StoreSimulator::setProductsRequestError(os::Error(SKErrorDomain, SKErrorUnknown));
  reporter_->paymentQueue(SKPaymentQueue::defaultQueue(), {transaction("coins", "1000"), transaction("gems", "1001")});
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(logged(kAPMIAPCodeProductRequestFailed));
}

// Receipt reads used to replace the shared list while a report waited for
// the store, so an explicit report could be classified against another
// road's items (here: none, making it "_iapx"). Each report keeps its own.
TEST_F(InAppPurchaseTest, AReportKeepsItsItemsWhileTheOtherRoadReadsTheReceipt) {
  sell({makeProduct("coins", "0.99"), makeProduct("gems", "1.99")});
  writeReceipt({bought("gems", "2000", "2000", kDay1, SKReceiptProductType::Consumable)});
  // "gems" is cached; "coins" waits for the store.
  reporter_->paymentQueue(SKPaymentQueue::defaultQueue(), {transaction("gems", "2000")});
  drain();
  analytics_->clear();
  os::StoreSimulator::setHoldsProductsRequests(true);
  report({.product = "coins", .transaction = "1000", .original = "1000"});
  drain();
  ASSERT_EQ(os::StoreSimulator::heldProductsRequestCount(), 1u);

  // A payment pass reads the receipt again and clears the list.
  reporter_->paymentQueue(SKPaymentQueue::defaultQueue(), {transaction("gems", "2000")});
  drain();
  os::StoreSimulator::answerHeldProductsRequests();
  const auto coins = [&] {
    drain();
    std::vector<Event> out;
    for (const auto& e : analytics_->events()) {
      if (stringParameter(e.parameters, "product_id") == "coins") out.push_back(e);
    }
    return out;
  }();
  ASSERT_EQ(coins.size(), 1u);
  EXPECT_EQ(coins[0].name, "_iap");
}

// ---- Fingerprints ----

TEST_F(InAppPurchaseTest, FingerprintsOnlyPurchasedTransactionsWithRealIdentifiers) {
  struct Case {
    std::shared_ptr<SKPaymentTransaction> transaction;
    std::optional<std::string> fingerprint;
    std::optional<int64_t> code;
  };
  const Case cases[] = {
      {nullptr, std::nullopt, kAPMIAPCodeNilTransaction},
      {transaction("coins", "1", SKPaymentTransactionState::Restored), std::nullopt, std::nullopt},
      {transaction("coins", std::nullopt), std::nullopt, kAPMIAPCodeNilTransactionID},
      {transaction("coins", ""), std::nullopt, kAPMIAPCodeEmptyTransactionID},
      {transaction("coins", "000-000"), std::nullopt, kAPMIAPCodeZeroTransactionID},
      {transaction("coins", "1000000123"), "afccd9bcc0e95ca4e2f2f0a95a2f0087", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.transaction && c.transaction->transactionIdentifier() ? *c.transaction->transactionIdentifier()
                                                                          : "none");
    clearLog();
    EXPECT_EQ(APMInAppPurchaseTransactionReporter::transactionFingerprint(c.transaction), c.fingerprint);
    monitor_->TEST_flush();
    if (c.code) {
      EXPECT_EQ(codes(), std::vector<int64_t>{*c.code});
    } else {
      EXPECT_TRUE(codes().empty());
    }
  }
}

// ---- Product cache ----

TEST_F(InAppPurchaseTest, CacheFollowsTheStoresAnswersAndResetsPastItsBound) {
  auto cache = APMInAppPurchaseProductCache::sharedInstance();
  auto ask = [&](const std::set<std::string>& identifiers) {
    std::optional<os::Error> error;
    cache->requestProductsWithProductIdentifiers(
        identifiers, os::DispatchQueue::main(),
        [&](std::optional<APMProducts>, std::optional<std::set<std::string>>, std::optional<os::Error> e) {
          error = e;
        });
    drain();
    return error;
  };
  std::set<std::string> first;
  for (int i = 0; i < 100; ++i) {
    const std::string id = "product." + std::to_string(i);
    sell({makeProduct(id, "1")});
    first.insert(id);
  }
  EXPECT_FALSE(ask(first));
  EXPECT_EQ(cache->TEST_count(), 100u);

  // An identifier the store does not know becomes invalid, then valid once
  // sold; the 101st entry resets the cache to the answer that brought it.
  EXPECT_FALSE(ask({"later"}));
  EXPECT_EQ(cache->TEST_count(), 1u);
  EXPECT_TRUE(cache->TEST_isInvalid("later"));
  EXPECT_FALSE(cache->cachedProductForProductIdentifier("product.0"));
  sell({makeProduct("later", "2")});
  EXPECT_FALSE(ask({"later"}));
  EXPECT_FALSE(cache->TEST_isInvalid("later"));
  EXPECT_TRUE(cache->cachedProductForProductIdentifier("later"));
  EXPECT_EQ(cache->TEST_count(), 1u);
}

TEST_F(InAppPurchaseTest, ProductsRequestsAnswerOnceOnTheCallersQueue) {
  std::vector<std::optional<os::Error>> answers;
  auto record = [&](std::optional<APMProducts>, std::optional<std::set<std::string>>, std::optional<os::Error> e) {
    answers.push_back(e);
  };
  // Nothing to ask for: the store cannot make the request.
  APMProductsRequest::requestProductsWithProductIdentifiers({}, os::DispatchQueue::main(), record);
  // No queue or handler: nothing at all.
  APMProductsRequest::requestProductsWithProductIdentifiers({"coins"}, nullptr, record);
  APMProductsRequest::requestProductsWithProductIdentifiers({"coins"}, os::DispatchQueue::main(), nullptr);
  drain();
  ASSERT_EQ(answers.size(), 1u);
  ASSERT_TRUE(answers[0]);
  EXPECT_EQ(answers[0]->code(), kAPMProductsRequestErrorCode);
  EXPECT_EQ(answers[0]->localizedDescription(), kAPMProductsRequestErrorDescription);

  answers.clear();
  std::optional<APMProducts> products;
  APMProductsRequest::requestProductsWithProductIdentifiers(
      {"coins"}, os::DispatchQueue::main(),
      [&](std::optional<APMProducts> p, std::optional<std::set<std::string>> invalid, std::optional<os::Error> e) {
        products = p;
        answers.push_back(e);
        EXPECT_EQ(invalid, std::set<std::string>{"coins"});
      });
  drain();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_FALSE(answers[0]);
  ASSERT_TRUE(products);
  EXPECT_TRUE(products->empty());
}

}  // namespace
