#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/dispatch/queue.h"
#include "os/dispatch/run_loop.h"
#include "os/runtime/runtime.h"
#include "os/storekit/storekit.h"

namespace {

// What a delegate heard, in order.
class RecordingDelegate : public SKProductsRequestDelegate {
 public:
  void productsRequest(const std::shared_ptr<SKProductsRequest>&,
                       const std::shared_ptr<SKProductsResponse>& response) override {
    std::string line = "products:";
    for (auto& p : response->products()) line += " " + p->productIdentifier();
    line += " invalid:";
    for (auto& id : response->invalidProductIdentifiers()) line += " " + id;
    heard.push_back(line);
    onMain.push_back(os::DispatchQueue::isMainThread());
  }
  void requestDidFinish(const std::shared_ptr<SKRequest>&) override { heard.push_back("finished"); }
  void request(const std::shared_ptr<SKRequest>&, const os::Error& error) override {
    heard.push_back("failed: " + error.domain() + " " + std::to_string(error.code()));
  }
  std::vector<std::string> heard;
  std::vector<bool> onMain;
};

std::shared_ptr<SKProduct> product(const std::string& id, std::shared_ptr<SKProductDiscount> intro = nullptr) {
  return std::make_shared<SKProduct>(SKProduct::Description{
      .productIdentifier = id,
      .localizedTitle = "Title of " + id,
      .price = os::Decimal::fromString("9.99"),
      .priceLocale = {.localeIdentifier = "en_US@currency=USD", .currencyCode = "USD"},
      .introductoryPrice = std::move(intro),
  });
}

std::shared_ptr<SKProductsRequest> start(std::set<std::string> ids, const std::shared_ptr<RecordingDelegate>& delegate) {
  auto request = std::make_shared<SKProductsRequest>(std::move(ids));
  request->setDelegate(delegate);
  request->start();
  return request;
}

class ProductsRequestTest : public ::testing::Test {
 protected:
  void SetUp() override { os::StoreSimulator::reset(); }
  void TearDown() override {
    os::RunLoop::main().runUntilIdle();
    os::StoreSimulator::reset();
  }
};

TEST_F(ProductsRequestTest, TheStoreAnswersFromItsCatalogueOnTheCallbackQueue) {
  auto trial = std::make_shared<SKProductDiscount>(SKProductDiscount::Description{
      .price = os::Decimal(0),
      .subscriptionPeriod = {.numberOfUnits = 1, .unit = SKProductPeriodUnit::Week},
      .paymentMode = SKProductDiscountPaymentMode::FreeTrial,
  });
  os::StoreSimulator::addProduct(product("pro.monthly", trial));
  os::StoreSimulator::addProduct(product("coins.100"));
  auto delegate = std::make_shared<RecordingDelegate>();
  auto request = start({"coins.100", "pro.monthly", "gone"}, delegate);
  request->start();  // a second start asks nothing more
  EXPECT_TRUE(delegate->heard.empty());  // never inside start()
  os::RunLoop::main().runUntilIdle();
  EXPECT_EQ(delegate->heard, (std::vector<std::string>{"products: coins.100 pro.monthly invalid: gone", "finished"}));
  EXPECT_EQ(delegate->onMain, std::vector<bool>{true});
  EXPECT_EQ(os::StoreSimulator::productsRequestLog(),
            (std::vector<std::set<std::string>>{{"coins.100", "pro.monthly", "gone"}}));
}

TEST_F(ProductsRequestTest, DiscountsAreFoundByNameAndAnswerThroughTheRuntime) {
  os::runtime::Class* discountClass = os::runtime::classFromString("SKProductDiscount");
  os::runtime::Class* productClass = os::runtime::classFromString("SKProduct");
  ASSERT_TRUE(discountClass && productClass);
  EXPECT_TRUE(discountClass->instancesRespondToSelector("price"));
  EXPECT_TRUE(discountClass->instancesRespondToSelector("paymentMode"));
  EXPECT_TRUE(productClass->instancesRespondToSelector("introductoryPrice"));

  auto intro = std::make_shared<SKProductDiscount>(SKProductDiscount::Description{
      .price = os::Decimal::fromString("0.99"), .numberOfPeriods = 3});
  auto p = product("pro.yearly", intro);
  auto viaRuntime = os::runtime::msgSend<std::shared_ptr<SKProductDiscount>>(*p, "introductoryPrice");
  ASSERT_EQ(viaRuntime, intro);
  EXPECT_EQ(os::runtime::msgSend<os::Decimal>(*viaRuntime, "price").description(), "0.99");
  EXPECT_EQ(os::runtime::msgSend<SKProductDiscountPaymentMode>(*viaRuntime, "paymentMode"),
            SKProductDiscountPaymentMode::PayAsYouGo);
  EXPECT_EQ(p->price()->description(), "9.99");
  EXPECT_EQ(p->priceLocale().currencyCode, "USD");
}

TEST_F(ProductsRequestTest, FailedCancelledAndOrphanedRequests) {
  os::StoreSimulator::addProduct(product("coins.100"));
  os::StoreSimulator::setHoldsProductsRequests(true);
  auto failing = std::make_shared<RecordingDelegate>();
  auto cancelled = std::make_shared<RecordingDelegate>();
  auto kept = std::make_shared<RecordingDelegate>();
  auto orphaned = std::make_shared<RecordingDelegate>();
  start({"coins.100"}, kept);  // the caller lets go; the store keeps it until answered
  auto toCancel = start({"coins.100"}, cancelled);
  start({"coins.100"}, orphaned);
  orphaned.reset();  // the delegate is held weakly
  EXPECT_EQ(os::StoreSimulator::heldProductsRequestCount(), 3u);
  toCancel->cancel();
  os::RunLoop::main().runUntilIdle();
  EXPECT_TRUE(kept->heard.empty());

  os::StoreSimulator::answerHeldProductsRequests();
  os::StoreSimulator::setHoldsProductsRequests(false);
  os::StoreSimulator::setProductsRequestError(os::Error(SKErrorDomain, SKErrorCloudServiceNetworkConnectionFailed));
  start({"coins.100"}, failing);
  os::RunLoop::main().runUntilIdle();
  EXPECT_EQ(kept->heard, (std::vector<std::string>{"products: coins.100 invalid:", "finished"}));
  EXPECT_TRUE(cancelled->heard.empty());
  EXPECT_EQ(failing->heard, std::vector<std::string>{"failed: SKErrorDomain 7"});
  EXPECT_EQ(os::StoreSimulator::heldProductsRequestCount(), 0u);
}

TEST_F(ProductsRequestTest, AnotherCallbackQueueIsUsedWhenSet) {
  auto queue = os::DispatchQueue::serial("store-callbacks");
  os::StoreSimulator::setCallbackQueue(queue);
  auto delegate = std::make_shared<RecordingDelegate>();
  start({"unknown"}, delegate);
  queue->sync([] {});  // the answer was queued before this
  EXPECT_EQ(delegate->heard, (std::vector<std::string>{"products: invalid: unknown", "finished"}));
  EXPECT_EQ(delegate->onMain, std::vector<bool>{false});
}

}  // namespace
