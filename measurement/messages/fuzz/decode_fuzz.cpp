// Decodes arbitrary bytes as one of the messages. Whatever decodes must
// encode, and its encoding must decode and re-encode to the same bytes; a copy
// must encode too (not always to the same bytes: copying keeps 32 bits of a
// repeated uint32 element, decoding keeps the wire's 64).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "measurement/messages/schemas.h"

namespace {

MessageInfo* newRecord(const APMPBMessageDescriptor& d) {
  auto* record = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
  if (!d.functions().init(record)) std::abort();
  return record;
}

void check(const APMPBMessageDescriptor& d, const uint8_t* data, size_t size) {
  MessageInfo* record = newRecord(d);
  if (d.functions().decode(data, size, record)) {
    uint8_t* first = nullptr;
    uint32_t n = d.functions().encode(record, &first);
    if (n == kAPMPBEncodeFailure) std::abort();
    MessageInfo* again = newRecord(d);
    if (!d.functions().decode(first, n, again)) std::abort();
    uint8_t* second = nullptr;
    uint32_t m = d.functions().encode(again, &second);
    if (m != n || std::memcmp(first, second, n) != 0) std::abort();
    MessageInfo* copy = nullptr;
    if (!d.functions().copy(&copy, record)) std::abort();
    uint8_t* third = nullptr;
    if (d.functions().encode(copy, &third) == kAPMPBEncodeFailure) std::abort();
    std::free(first);
    std::free(second);
    std::free(third);
    d.functions().free(again);
    d.functions().free(copy);
  }
  d.functions().free(record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t count = 0;
  const APMPBMessageDescriptor* const* all = apmpb::detail::allDescriptors(&count);
  if (size == 0) return 0;
  // The first byte picks the message.
  check(*all[data[0] % count], data + 1, size - 1);
  return 0;
}
