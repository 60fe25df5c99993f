// Writes the receipt fuzz target's seeds into the folder given as the only
// argument: a few receipts made with SKReceipt::encoded, and two of them as
// binary property lists (the reader takes both). The checked-in corpus/ is
// this program's output.
#include <cstdio>
#include <string>

#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"
#include "os/storekit/receipt.h"

namespace {

os::Date at(double seconds) { return os::Date::fromTimeIntervalSince1970(seconds); }

SKReceipt subscriptionAndConsumable() {
  SKReceipt receipt;
  receipt.bundleIdentifier = "com.drosil.app";
  receipt.purchases.push_back({.productIdentifier = "pro.monthly",
                               .transactionIdentifier = "2000000002",
                               .originalTransactionIdentifier = "2000000001",
                               .purchaseDate = at(1714564800),
                               .originalPurchaseDate = at(1712000000),
                               .subscriptionExpirationDate = at(1717243200),
                               .webOrderLineItemID = 230000000000001,
                               .productType = SKReceiptProductType::AutoRenewableSubscription,
                               .isTrialPeriod = true});
  receipt.purchases.push_back({.productIdentifier = "coins.100",
                               .transactionIdentifier = "3000000001",
                               .originalTransactionIdentifier = "3000000001",
                               .purchaseDate = at(1714600000),
                               .originalPurchaseDate = at(1714600000),
                               .cancellationDate = at(1714700000),
                               .quantity = 2});
  return receipt;
}

// Every product type, both flags, dates at the ends of the usual range and
// text outside ASCII (a binary property list keeps it as UTF-16, with a
// surrogate pair for the last character).
SKReceipt everyKind() {
  SKReceipt receipt;
  receipt.bundleIdentifier = "com.drosil.app.\xc3\xa9t\xc3\xa9";
  receipt.purchases.push_back({.productIdentifier = "lifetime",
                               .transactionIdentifier = "1",
                               .originalTransactionIdentifier = "1",
                               .purchaseDate = at(0),
                               .originalPurchaseDate = at(-86400),
                               .productType = SKReceiptProductType::NonConsumable});
  receipt.purchases.push_back({.productIdentifier = "season.pass",
                               .transactionIdentifier = "40000000000000000001",
                               .originalTransactionIdentifier = "40000000000000000001",
                               .purchaseDate = at(978307200),
                               .originalPurchaseDate = at(978307200),
                               .subscriptionExpirationDate = at(4102444799),
                               .quantity = 0,
                               .productType = SKReceiptProductType::NonRenewingSubscription});
  receipt.purchases.push_back({.productIdentifier = "pro.yearly \xe2\x9c\x93 \xf0\x9f\x8c\x9e",
                               .transactionIdentifier = "5000000003",
                               .originalTransactionIdentifier = "5000000001",
                               .purchaseDate = at(1735689599),
                               .originalPurchaseDate = at(1704067200),
                               .subscriptionExpirationDate = at(1767225599),
                               .cancellationDate = at(1735689600),
                               .webOrderLineItemID = -1,
                               .quantity = 9223372036854775807,
                               .productType = SKReceiptProductType::AutoRenewableSubscription,
                               .isInIntroOfferPeriod = true});
  return receipt;
}

// The same property list, binary: the reader takes both.
os::Result<os::Data> asBinary(const os::Data& xml) {
  auto plist = os::PropertyListSerialization::propertyListWithData(xml);
  if (!plist) return os::fail(plist.error());
  return os::PropertyListSerialization::dataWithPropertyList(*plist, os::PropertyListSerialization::Format::Binary);
}

bool write(const std::string& path, const os::Result<os::Data>& bytes) {
  os::Status status = bytes ? os::FileManager::defaultManager().createFileAtPath(path, *bytes) : os::fail(bytes.error());
  if (!status) std::fprintf(stderr, "%s: %s\n", path.c_str(), status.error().description().c_str());
  return bool(status);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const std::string folder = std::string(argv[1]) + "/";
  const auto pair = subscriptionAndConsumable().encoded();
  const auto every = everyKind().encoded();
  const bool written = write(folder + "empty.plist", SKReceipt{.bundleIdentifier = "com.drosil.app"}.encoded()) &&
                       write(folder + "subscription-and-consumable.plist", pair) &&
                       write(folder + "subscription-and-consumable.bplist", pair ? asBinary(*pair) : pair) &&
                       write(folder + "every-kind.plist", every) &&
                       write(folder + "every-kind.bplist", every ? asBinary(*every) : every);
  return written ? 0 : 1;
}
