#include "measurement/messages/message_classes.h"

#include <cstdlib>
#include <vector>

NANOMessageBase::~NANOMessageBase() {
  if (messageInfo_ != nullptr) {
    descriptor_->functions().free(messageInfo_);
    messageInfo_ = nullptr;
  }
}

bool NANOMessageBase::copyFrom(const MessageInfo* record) {
  if (record == nullptr) {
    auto* fresh = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
    if (fresh == nullptr) return false;
    if (!descriptor_->functions().init(fresh)) {
      descriptor_->functions().free(fresh);
      return false;
    }
    messageInfo_ = fresh;
    return true;
  }
  if (!descriptor_->describes(record)) return false;
  MessageInfo* copy = nullptr;
  if (!descriptor_->functions().copy(&copy, record)) {
    if (copy != nullptr) descriptor_->functions().free(copy);
    return false;
  }
  messageInfo_ = copy;
  return true;
}

bool NANOMessageBase::decodeFrom(const uint8_t* bytes, size_t length) {
  auto* scratch = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
  if (scratch == nullptr) return false;
  if (!descriptor_->functions().init(scratch) ||
      !descriptor_->functions().decode(bytes, length, scratch)) {
    descriptor_->functions().free(scratch);
    return false;
  }
  // The scratch record is referenced by nothing else, so the object keeps it
  // rather than a deep copy of it.
  messageInfo_ = scratch;
  return true;
}

std::optional<os::Data> NANOMessageBase::protoBuffer() const {
  if (messageInfo_ == nullptr) return std::nullopt;
  std::vector<uint8_t> bytes;
  auto allocate = [](size_t size, void* context) -> uint8_t* {
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    out->resize(size ? size : 1);
    return out->data();
  };
  uint32_t count = apmpb::detail::encodeRecord(*descriptor_, messageInfo_, allocate, &bytes);
  if (count == kAPMPBEncodeFailure) return std::nullopt;
  bytes.resize(count);
  // The data object takes the buffer over without a copy.
  return os::Data(std::move(bytes));
}
