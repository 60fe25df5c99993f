#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "os/foundation/bundle.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"
#include "os/storekit/storekit.h"

namespace {

class ReceiptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/drosil-receipt-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    os::Bundle::setMainBundlePath(root);
  }
  void TearDown() override {
    os::Bundle::setMainBundlePath("");
    std::filesystem::remove_all(root);
  }
  static os::Data read() {
    auto data = os::FileManager::defaultManager().contentsAtPath(os::Bundle::mainBundle()->appStoreReceiptURL());
    return data ? *data : os::Data();
  }
  std::string root;
};

SKReceipt sample() {
  SKReceipt receipt;
  receipt.bundleIdentifier = "com.drosil.app";
  receipt.purchases.push_back({.productIdentifier = "pro.monthly",
                               .transactionIdentifier = "2000000002",
                               .originalTransactionIdentifier = "2000000001",
                               .purchaseDate = os::Date::fromTimeIntervalSince1970(1714564800.75),
                               .originalPurchaseDate = os::Date::fromTimeIntervalSince1970(1712000000),
                               .subscriptionExpirationDate = os::Date::fromTimeIntervalSince1970(1717243200),
                               .webOrderLineItemID = 230000000000001,
                               .productType = SKReceiptProductType::AutoRenewableSubscription,
                               .isTrialPeriod = true});
  receipt.purchases.push_back({.productIdentifier = "coins.100",
                               .transactionIdentifier = "3000000001",
                               .originalTransactionIdentifier = "3000000001",
                               .purchaseDate = os::Date::fromTimeIntervalSince1970(1714600000),
                               .originalPurchaseDate = os::Date::fromTimeIntervalSince1970(1714600000),
                               .cancellationDate = os::Date::fromTimeIntervalSince1970(1714700000),
                               .quantity = 2});
  return receipt;
}

TEST_F(ReceiptTest, AWrittenReceiptIsReadBackAtTheBundlesReceiptURL) {
  SKReceipt receipt = sample();
  ASSERT_TRUE(os::StoreSimulator::writeReceipt(receipt));
  EXPECT_EQ(os::Bundle::mainBundle()->appStoreReceiptURL(), root + "/StoreKit/receipt");
  auto decoded = SKReceipt::decode(read());
  ASSERT_TRUE(decoded) << decoded.error().description();
  EXPECT_EQ(decoded->droppedPurchases, 0u);
  // Dates are kept to the second.
  receipt.purchases[0].purchaseDate = os::Date::fromTimeIntervalSince1970(1714564800);
  EXPECT_EQ(decoded->receipt.purchases, receipt.purchases);
  EXPECT_EQ(decoded->receipt.bundleIdentifier, "com.drosil.app");
  EXPECT_EQ(SKReceipt::dateString(receipt.purchases[0].purchaseDate), "2024-05-01T12:00:00Z");

  // A sandbox receipt replaces the production one, and back.
  ASSERT_TRUE(os::StoreSimulator::writeReceipt(SKReceipt{}, os::StoreSimulator::ReceiptEnvironment::Sandbox));
  EXPECT_EQ(os::Bundle::mainBundle()->appStoreReceiptURL(), root + "/StoreKit/sandboxReceipt");
  EXPECT_FALSE(std::filesystem::exists(root + "/StoreKit/receipt"));
  ASSERT_TRUE(os::StoreSimulator::writeReceipt(receipt));
  EXPECT_EQ(os::Bundle::mainBundle()->appStoreReceiptURL(), root + "/StoreKit/receipt");
  ASSERT_TRUE(os::StoreSimulator::removeReceipt());
  EXPECT_TRUE(read().empty());
  EXPECT_TRUE(os::StoreSimulator::removeReceipt());
}

TEST_F(ReceiptTest, DamagedFilesAreRefusedAndDamagedPurchasesDropped) {
  struct Case {
    const char* what;
    std::string text;
    int64_t error;  // 0: read
  };
  auto plist = [](const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>" + body + "</dict></plist>";
  };
  const std::string header = "<key>format</key><string>drosil.receipt</string><key>version</key><integer>1</integer>";
  const Case cases[] = {
      {"not a property list", "\x30\x82 signed container", SKReceiptErrorNotAPropertyList},
      {"another format", plist("<key>format</key><string>other</string><key>version</key><integer>1</integer>"
                               "<key>in_app</key><array/>"),
       SKReceiptErrorUnknownFormat},
      {"a later version", plist("<key>format</key><string>drosil.receipt</string><key>version</key><integer>2</integer>"
                                "<key>in_app</key><array/>"),
       SKReceiptErrorUnknownFormat},
      {"no purchases array", plist(header), SKReceiptErrorUnknownFormat},
      // Read as it stood, such a text could not be written again.
      {"a string that is not UTF-8",
       plist(header + "<key>bundle_id</key><string>com.drosil.\xa4pp</string><key>in_app</key><array/>"),
       SKReceiptErrorNotAPropertyList},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto decoded = SKReceipt::decode(os::Data::fromString(c.text));
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error().domain(), kSKReceiptErrorDomain);
    EXPECT_EQ(decoded.error().code(), c.error);
  }

  const std::string good =
      "<key>product_id</key><string>p</string><key>transaction_id</key><string>t</string>"
      "<key>original_transaction_id</key><string>t</string>"
      "<key>purchase_date</key><string>2024-05-01T12:00:00Z</string>"
      "<key>original_purchase_date</key><string>2024-05-01T12:00:00Z</string>";
  const std::string items[] = {
      "<dict>" + good + "</dict>",
      "<dict>" + good.substr(good.find("<key>transaction_id")) + "</dict>",  // no product
      "<dict>" + good + "<key>expires_date</key><string>tomorrow</string></dict>",
      "<dict>" + good + "<key>quantity</key><string>2</string></dict>",
      "<dict>" + good + "<key>type</key><integer>9</integer></dict>",
      "<dict>" + good + "<key>is_trial_period</key><integer>1</integer></dict>",
      "<string>not a purchase</string>",
  };
  std::string array;
  for (auto& item : items) array += item;
  ASSERT_TRUE(os::StoreSimulator::writeReceiptData(
      os::Data::fromString(plist(header + "<key>in_app</key><array>" + array + "</array>"))));
  auto decoded = SKReceipt::decode(read());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->droppedPurchases, 6u);
  ASSERT_EQ(decoded->receipt.purchases.size(), 1u);
  EXPECT_EQ(decoded->receipt.purchases[0].productType, SKReceiptProductType::Consumable);
  EXPECT_EQ(decoded->receipt.purchases[0].quantity, 1);
}

// A binary receipt may hold NUL in its strings, which the XML file cannot:
// such a receipt was read whole, and writing it again used a failed write's
// result as the file's bytes.
TEST_F(ReceiptTest, StringsTheFileCannotHoldAreNeitherReadNorWritten) {
  auto xml = sample().encoded();
  ASSERT_TRUE(xml);
  auto plist = os::PropertyListSerialization::propertyListWithData(*xml);
  ASSERT_TRUE(plist);
  auto binary = os::PropertyListSerialization::dataWithPropertyList(*plist, os::PropertyListSerialization::Format::Binary);
  ASSERT_TRUE(binary);
  // The binary form keeps ASCII strings as they stand.
  std::string bytes = binary->toString();
  for (std::string text : {"coins.100", "com.drosil.app"}) {
    const size_t at = bytes.find(text);
    ASSERT_NE(at, std::string::npos) << text;
    bytes[at + 3] = '\0';
  }
  auto decoded = SKReceipt::decode(os::Data::fromString(bytes));
  ASSERT_TRUE(decoded) << decoded.error().description();
  EXPECT_EQ(decoded->droppedPurchases, 1u);
  ASSERT_EQ(decoded->receipt.purchases.size(), 1u);
  EXPECT_EQ(decoded->receipt.purchases[0].productIdentifier, "pro.monthly");
  EXPECT_EQ(decoded->receipt.bundleIdentifier, "");
  ASSERT_TRUE(os::StoreSimulator::writeReceipt(decoded->receipt));
  auto again = SKReceipt::decode(read());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->receipt.purchases, decoded->receipt.purchases);

  // Made in memory, such a receipt is a write error, and the file stays as it was.
  SKReceipt damaged = sample();
  damaged.purchases[1].productIdentifier = std::string("coins\0", 6);
  auto encoded = damaged.encoded();
  ASSERT_FALSE(encoded);
  EXPECT_EQ(encoded.error().domain(), os::kCocoaErrorDomain);
  EXPECT_EQ(encoded.error().code(), os::kPropertyListWriteInvalidError);
  EXPECT_FALSE(os::StoreSimulator::writeReceipt(damaged));
  EXPECT_EQ(SKReceipt::decode(read())->receipt.purchases, decoded->receipt.purchases);
}

}  // namespace
