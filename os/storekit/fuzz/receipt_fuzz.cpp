// Decodes arbitrary bytes as a receipt file (XML or binary property list).
// Whatever decodes must encode, and its encoding must decode again to an
// equal receipt with nothing dropped and encode to the same bytes. A crash,
// a hang, a leak or a sanitizer report is a finding, and so is a receipt that
// does not survive the round trip (dates in the file are whole seconds, so
// the decoded dates already are).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "os/storekit/receipt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto read = SKReceipt::decode(os::Data(data, size));
  if (!read) return 0;
  auto first = read->receipt.encoded();
  if (!first) std::abort();
  auto again = SKReceipt::decode(*first);
  if (!again || again->droppedPurchases != 0) std::abort();
  if (again->receipt.bundleIdentifier != read->receipt.bundleIdentifier) std::abort();
  if (again->receipt.purchases != read->receipt.purchases) std::abort();
  auto second = again->receipt.encoded();
  if (!second || *second != *first) std::abort();
  return 0;
}
