// Message classes: one per measurement message, each owning one record.
//
// A message is made empty (initWithMessageInfo(nullptr)), as a deep copy of a
// record of the same message (initWithMessageInfo(record)), or decoded from
// bytes (initWithBuffer). A factory that fails returns null and leaves nothing
// allocated; the record passed in is never adopted or changed. protoBuffer()
// encodes afresh on every call and is nullopt when encoding fails. The field
// access functions (field_access.h) read and change the record.
//
// Objects are not locked: one thread uses an object at a time.
#pragma once

#include <memory>
#include <optional>

#include "measurement/messages/codec.h"
#include "measurement/messages/schemas.h"
#include "os/foundation/data.h"

class NANOMessageBase {
 public:
  virtual ~NANOMessageBase();
  NANOMessageBase(const NANOMessageBase&) = delete;
  NANOMessageBase& operator=(const NANOMessageBase&) = delete;

  // The message's static name, also held by its records ("MeasurementBatch").
  const char* messageID() const { return descriptor_->name(); }
  // The object's own record, not a copy; valid while the object lives.
  MessageInfo* messageInfo() const { return messageInfo_; }
  APMPBInitFn initMessageInfoFn() const { return descriptor_->functions().init; }
  APMPBClearFieldFn deallocMessageFieldFn() const { return descriptor_->functions().clearField; }
  APMPBCopyFn copyMessageInfoFn() const { return descriptor_->functions().copy; }

  // The encoding, in one buffer of exactly its size; nullopt on failure.
  std::optional<os::Data> protoBuffer() const;

  // The message's schema: field count, type words, sub-message types.
  const APMPBMessageDescriptor& descriptor() const { return *descriptor_; }
  // "APMPBMeasurementBatch", as logs name the object's class.
  const char* className() const { return descriptor_->className(); }

 protected:
  explicit NANOMessageBase(const APMPBMessageDescriptor& descriptor) : descriptor_(&descriptor) {}
  // Takes a deep copy of the record, or an empty record when it is null.
  bool copyFrom(const MessageInfo* record);
  // Decodes the bytes into a scratch record and keeps it.
  bool decodeFrom(const uint8_t* bytes, size_t length);

 private:
  const APMPBMessageDescriptor* descriptor_;
  MessageInfo* messageInfo_ = nullptr;
};

// The factories every message class shares.
template <class Self>
class APMPBMessageClass : public NANOMessageBase {
 public:
  // Null for a record of another message, or when the copy fails.
  static std::shared_ptr<Self> initWithMessageInfo(const MessageInfo* record) {
    std::shared_ptr<Self> object(new Self());
    if (!object->copyFrom(record)) return nullptr;
    return object;
  }
  // Empty data makes an empty message; null when the bytes do not decode.
  static std::shared_ptr<Self> initWithBuffer(const os::Data& data) {
    std::shared_ptr<Self> object(new Self());
    if (!object->decodeFrom(data.bytes(), data.length())) return nullptr;
    return object;
  }
  static const APMPBMessageDescriptor& classDescriptor() { return Self::kDescriptor; }

 protected:
  APMPBMessageClass() : NANOMessageBase(Self::kDescriptor) {}
};

class APMPBAdCampaignInfo final : public APMPBMessageClass<APMPBAdCampaignInfo> {
  friend APMPBMessageClass;
  APMPBAdCampaignInfo() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBAdCampaignInfoDescriptor;
};

class APMPBAudienceLeafFilterResult final : public APMPBMessageClass<APMPBAudienceLeafFilterResult> {
  friend APMPBMessageClass;
  APMPBAudienceLeafFilterResult() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBAudienceLeafFilterResultDescriptor;
};

class APMPBDynamicFilterResultTimestamp final
    : public APMPBMessageClass<APMPBDynamicFilterResultTimestamp> {
  friend APMPBMessageClass;
  APMPBDynamicFilterResultTimestamp() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor =
      kAPMPBDynamicFilterResultTimestampDescriptor;
};

class APMPBEvent final : public APMPBMessageClass<APMPBEvent> {
  friend APMPBMessageClass;
  APMPBEvent() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBEventDescriptor;
};

class APMPBEventParam final : public APMPBMessageClass<APMPBEventParam> {
  friend APMPBMessageClass;
  APMPBEventParam() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBEventParamDescriptor;
};

class APMPBFlag final : public APMPBMessageClass<APMPBFlag> {
  friend APMPBMessageClass;
  APMPBFlag() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBFlagDescriptor;
};

class APMPBMeasurementBatch final : public APMPBMessageClass<APMPBMeasurementBatch> {
  friend APMPBMessageClass;
  APMPBMeasurementBatch() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBMeasurementBatchDescriptor;
};

class APMPBMeasurementBundle final : public APMPBMessageClass<APMPBMeasurementBundle> {
  friend APMPBMessageClass;
  APMPBMeasurementBundle() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBMeasurementBundleDescriptor;
};

class APMPBResultData final : public APMPBMessageClass<APMPBResultData> {
  friend APMPBMessageClass;
  APMPBResultData() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBResultDataDescriptor;
};

class APMPBSequenceFilterResultTimestamp final
    : public APMPBMessageClass<APMPBSequenceFilterResultTimestamp> {
  friend APMPBMessageClass;
  APMPBSequenceFilterResultTimestamp() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor =
      kAPMPBSequenceFilterResultTimestampDescriptor;
};

class APMPBUserAttribute final : public APMPBMessageClass<APMPBUserAttribute> {
  friend APMPBMessageClass;
  APMPBUserAttribute() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBUserAttributeDescriptor;
};
