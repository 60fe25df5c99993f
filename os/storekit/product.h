// Products of the store and the requests that fetch them.
//
// SKProduct and SKProductDiscount are runtime objects (os/runtime) of the
// classes "SKProduct" and "SKProductDiscount", registered at static
// initialisation, so callers can check by name that the classes exist and
// that their instances answer a selector ("introductoryPrice", "price",
// "paymentMode", ...). They are made by the store (os::StoreSimulator plays
// it) and never change.
//
// A products request (SKProductsRequest) asks the store for the products of a
// set of identifiers. start() hands it to the store, which answers on its
// callback queue (the main queue unless the simulator sets another): the
// delegate hears productsRequest (products found, the other identifiers
// invalid) then requestDidFinish, or request (the store's error). The
// request stays alive until answered; its delegate is held weakly. A
// cancelled request, or one whose delegate is gone, calls nothing. start()
// and cancel() may be called from any thread; each takes effect once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "os/foundation/decimal.h"
#include "os/foundation/error.h"
#include "os/runtime/runtime.h"

inline constexpr const char* SKErrorDomain = "SKErrorDomain";
enum SKErrorCode : int64_t {
  SKErrorUnknown = 0,
  SKErrorClientInvalid = 1,
  SKErrorPaymentCancelled = 2,
  SKErrorPaymentInvalid = 3,
  SKErrorPaymentNotAllowed = 4,
  SKErrorStoreProductNotAvailable = 5,
  SKErrorCloudServicePermissionDenied = 6,
  SKErrorCloudServiceNetworkConnectionFailed = 7,
  SKErrorCloudServiceRevoked = 8,
};

// The locale a price is given in, as far as prices need it.
struct SKPriceLocale {
  std::string localeIdentifier{};             // "en_US@currency=USD"
  std::optional<std::string> currencyCode{};  // ISO 4217 code; none for a locale without a currency
  friend bool operator==(const SKPriceLocale&, const SKPriceLocale&) = default;
};

enum class SKProductPeriodUnit : int64_t { Day = 0, Week = 1, Month = 2, Year = 3 };

struct SKProductSubscriptionPeriod {
  uint64_t numberOfUnits = 1;
  SKProductPeriodUnit unit = SKProductPeriodUnit::Month;
  friend bool operator==(const SKProductSubscriptionPeriod&, const SKProductSubscriptionPeriod&) = default;
};

enum class SKProductDiscountPaymentMode : int64_t { PayAsYouGo = 0, PayUpFront = 1, FreeTrial = 2 };
enum class SKProductDiscountType : int64_t { Introductory = 0, Subscription = 1 };

// An introductory or promotional price of a subscription.
class SKProductDiscount : public os::runtime::Object {
 public:
  struct Description {
    os::Decimal price{};
    SKPriceLocale priceLocale{};
    std::optional<std::string> identifier{};  // promotional offers only
    SKProductSubscriptionPeriod subscriptionPeriod{};
    uint64_t numberOfPeriods = 1;
    SKProductDiscountPaymentMode paymentMode = SKProductDiscountPaymentMode::PayAsYouGo;
    SKProductDiscountType type = SKProductDiscountType::Introductory;
  };
  explicit SKProductDiscount(Description description);

  const os::Decimal& price() const { return d_.price; }
  const SKPriceLocale& priceLocale() const { return d_.priceLocale; }
  const std::optional<std::string>& identifier() const { return d_.identifier; }
  const SKProductSubscriptionPeriod& subscriptionPeriod() const { return d_.subscriptionPeriod; }
  uint64_t numberOfPeriods() const { return d_.numberOfPeriods; }
  SKProductDiscountPaymentMode paymentMode() const { return d_.paymentMode; }
  SKProductDiscountType type() const { return d_.type; }

 private:
  const Description d_;
};

class SKProduct : public os::runtime::Object {
 public:
  struct Description {
    std::string productIdentifier{};
    std::string localizedTitle{};
    std::string localizedDescription{};
    // The store always gives a price; none stands for a damaged answer.
    std::optional<os::Decimal> price{};
    SKPriceLocale priceLocale{};
    std::shared_ptr<SKProductDiscount> introductoryPrice{};
    std::optional<SKProductSubscriptionPeriod> subscriptionPeriod{};  // subscriptions only
  };
  explicit SKProduct(Description description);

  const std::string& productIdentifier() const { return d_.productIdentifier; }
  const std::string& localizedTitle() const { return d_.localizedTitle; }
  const std::string& localizedDescription() const { return d_.localizedDescription; }
  const std::optional<os::Decimal>& price() const { return d_.price; }
  const SKPriceLocale& priceLocale() const { return d_.priceLocale; }
  const std::shared_ptr<SKProductDiscount>& introductoryPrice() const { return d_.introductoryPrice; }
  const std::optional<SKProductSubscriptionPeriod>& subscriptionPeriod() const { return d_.subscriptionPeriod; }

 private:
  const Description d_;
};

class SKProductsResponse {
 public:
  SKProductsResponse(std::vector<std::shared_ptr<SKProduct>> products, std::vector<std::string> invalidIdentifiers)
      : products_(std::move(products)), invalidProductIdentifiers_(std::move(invalidIdentifiers)) {}
  const std::vector<std::shared_ptr<SKProduct>>& products() const { return products_; }
  const std::vector<std::string>& invalidProductIdentifiers() const { return invalidProductIdentifiers_; }

 private:
  std::vector<std::shared_ptr<SKProduct>> products_;
  std::vector<std::string> invalidProductIdentifiers_;
};

class SKRequest;
class SKProductsRequest;

class SKRequestDelegate {
 public:
  virtual ~SKRequestDelegate() = default;
  // requestDidFinish:
  virtual void requestDidFinish(const std::shared_ptr<SKRequest>& request) { (void)request; }
  // request:didFailWithError:
  virtual void request(const std::shared_ptr<SKRequest>& request, const os::Error& error) {
    (void)request, (void)error;
  }
};

class SKProductsRequestDelegate : public SKRequestDelegate {
 public:
  // productsRequest:didReceiveResponse:
  virtual void productsRequest(const std::shared_ptr<SKProductsRequest>& request,
                               const std::shared_ptr<SKProductsResponse>& response) = 0;
};

class SKRequest : public std::enable_shared_from_this<SKRequest> {
 public:
  virtual ~SKRequest() = default;
  virtual void start() = 0;
  virtual void cancel() = 0;
};

class SKProductsRequest final : public SKRequest {
 public:
  explicit SKProductsRequest(std::set<std::string> productIdentifiers);

  const std::set<std::string>& productIdentifiers() const { return identifiers_; }
  std::shared_ptr<SKProductsRequestDelegate> delegate() const;
  void setDelegate(const std::shared_ptr<SKProductsRequestDelegate>& delegate);

  // Does nothing for a request not held by a shared_ptr.
  void start() override;
  void cancel() override;
  bool isCancelled() const { return cancelled_.load(); }

  // The store's answer: products found and invalid identifiers, or an error.
  struct Answer {
    std::vector<std::shared_ptr<SKProduct>> products{};
    std::vector<std::string> invalidProductIdentifiers{};
    std::optional<os::Error> error{};
  };
  // Internal to os/storekit: tells the delegate, on the calling thread (the
  // store's callback queue), unless cancelled.
  void deliver(const Answer& answer);

 private:
  const std::set<std::string> identifiers_;
  mutable std::mutex mutex_;
  std::weak_ptr<SKProductsRequestDelegate> delegate_;  // guarded by mutex_
  std::atomic<bool> started_{false};
  std::atomic<bool> cancelled_{false};
};
