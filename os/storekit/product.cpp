#include "os/storekit/product.h"

#include "os/storekit/store_simulator.h"

namespace {

using os::runtime::Object;
using os::runtime::makeInstanceImp;

os::runtime::Class* productDiscountClass() {
  static os::runtime::Class* const cls = [] {
    os::runtime::Class* c = os::runtime::registerClass("SKProductDiscount", "NSObject");
    auto self = [](Object& o) -> SKProductDiscount& { return static_cast<SKProductDiscount&>(o); };
    c->addMethod("price", makeInstanceImp<os::Decimal>([self](Object& o) { return self(o).price(); }));
    c->addMethod("priceLocale", makeInstanceImp<SKPriceLocale>([self](Object& o) { return self(o).priceLocale(); }));
    c->addMethod("paymentMode",
                 makeInstanceImp<SKProductDiscountPaymentMode>([self](Object& o) { return self(o).paymentMode(); }));
    c->addMethod("numberOfPeriods", makeInstanceImp<uint64_t>([self](Object& o) { return self(o).numberOfPeriods(); }));
    c->addMethod("subscriptionPeriod", makeInstanceImp<SKProductSubscriptionPeriod>(
                                           [self](Object& o) { return self(o).subscriptionPeriod(); }));
    return c;
  }();
  return cls;
}

os::runtime::Class* productClass() {
  static os::runtime::Class* const cls = [] {
    os::runtime::Class* c = os::runtime::registerClass("SKProduct", "NSObject");
    auto self = [](Object& o) -> SKProduct& { return static_cast<SKProduct&>(o); };
    c->addMethod("productIdentifier",
                 makeInstanceImp<std::string>([self](Object& o) { return self(o).productIdentifier(); }));
    c->addMethod("localizedTitle", makeInstanceImp<std::string>([self](Object& o) { return self(o).localizedTitle(); }));
    c->addMethod("price", makeInstanceImp<std::optional<os::Decimal>>([self](Object& o) { return self(o).price(); }));
    c->addMethod("priceLocale", makeInstanceImp<SKPriceLocale>([self](Object& o) { return self(o).priceLocale(); }));
    c->addMethod("introductoryPrice", makeInstanceImp<std::shared_ptr<SKProductDiscount>>(
                                          [self](Object& o) { return self(o).introductoryPrice(); }));
    c->addMethod("subscriptionPeriod", makeInstanceImp<std::optional<SKProductSubscriptionPeriod>>(
                                           [self](Object& o) { return self(o).subscriptionPeriod(); }));
    return c;
  }();
  return cls;
}

// Findable by name from the start.
[[maybe_unused]] os::runtime::Class* const kProductClass = productClass();
[[maybe_unused]] os::runtime::Class* const kProductDiscountClass = productDiscountClass();

}  // namespace

SKProductDiscount::SKProductDiscount(Description description)
    : Object(productDiscountClass()), d_(std::move(description)) {}

SKProduct::SKProduct(Description description) : Object(productClass()), d_(std::move(description)) {}

// --- Products request ---------------------------------------------------------------

SKProductsRequest::SKProductsRequest(std::set<std::string> productIdentifiers)
    : identifiers_(std::move(productIdentifiers)) {}

std::shared_ptr<SKProductsRequestDelegate> SKProductsRequest::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void SKProductsRequest::setDelegate(const std::shared_ptr<SKProductsRequestDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = delegate;
}

void SKProductsRequest::start() {
  auto self = std::static_pointer_cast<SKProductsRequest>(weak_from_this().lock());
  if (!self || cancelled_.load() || started_.exchange(true)) return;
  os::StoreSimulator::submitProductsRequest(std::move(self));
}

void SKProductsRequest::cancel() { cancelled_.store(true); }

void SKProductsRequest::deliver(const Answer& answer) {
  if (cancelled_.load()) return;
  auto target = delegate();
  if (!target) return;
  auto self = std::static_pointer_cast<SKProductsRequest>(shared_from_this());
  if (answer.error) {
    target->request(self, *answer.error);
    return;
  }
  target->productsRequest(self, std::make_shared<SKProductsResponse>(answer.products, answer.invalidProductIdentifiers));
  if (!cancelled_.load()) target->requestDidFinish(self);
}
