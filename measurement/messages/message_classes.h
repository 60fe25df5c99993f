// Message classes: one per measurement message, each owning one record (40:
// Region and SstgSetting have none and live only inside their parents).
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

class APMPBAppProperty final : public APMPBMessageClass<APMPBAppProperty> {
  friend APMPBMessageClass;
  APMPBAppProperty() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBAppPropertyDescriptor;
};

class APMPBAudience final : public APMPBMessageClass<APMPBAudience> {
  friend APMPBMessageClass;
  APMPBAudience() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBAudienceDescriptor;
};

class APMPBAudienceLeafFilterResult final : public APMPBMessageClass<APMPBAudienceLeafFilterResult> {
  friend APMPBMessageClass;
  APMPBAudienceLeafFilterResult() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBAudienceLeafFilterResultDescriptor;
};

class APMPBClientProperty final : public APMPBMessageClass<APMPBClientProperty> {
  friend APMPBMessageClass;
  APMPBClientProperty() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBClientPropertyDescriptor;
};

class APMPBConsentConfig final : public APMPBMessageClass<APMPBConsentConfig> {
  friend APMPBMessageClass;
  APMPBConsentConfig() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBConsentConfigDescriptor;
};

class APMPBConsentDefaultEntry final : public APMPBMessageClass<APMPBConsentDefaultEntry> {
  friend APMPBMessageClass;
  APMPBConsentDefaultEntry() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBConsentDefaultEntryDescriptor;
};

class APMPBConsentDelegationEntry final : public APMPBMessageClass<APMPBConsentDelegationEntry> {
  friend APMPBMessageClass;
  APMPBConsentDelegationEntry() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor =
      kAPMPBConsentDelegationEntryDescriptor;
};

class APMPBCorePlatformServiceEntry final
    : public APMPBMessageClass<APMPBCorePlatformServiceEntry> {
  friend APMPBMessageClass;
  APMPBCorePlatformServiceEntry() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor =
      kAPMPBCorePlatformServiceEntryDescriptor;
};

class APMPBCustomProperty final : public APMPBMessageClass<APMPBCustomProperty> {
  friend APMPBMessageClass;
  APMPBCustomProperty() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBCustomPropertyDescriptor;
};

class APMPBDataControl final : public APMPBMessageClass<APMPBDataControl> {
  friend APMPBMessageClass;
  APMPBDataControl() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBDataControlDescriptor;
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

class APMPBEventConfig final : public APMPBMessageClass<APMPBEventConfig> {
  friend APMPBMessageClass;
  APMPBEventConfig() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBEventConfigDescriptor;
};

class APMPBEventFilter final : public APMPBMessageClass<APMPBEventFilter> {
  friend APMPBMessageClass;
  APMPBEventFilter() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBEventFilterDescriptor;
};

class APMPBEventParam final : public APMPBMessageClass<APMPBEventParam> {
  friend APMPBMessageClass;
  APMPBEventParam() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBEventParamDescriptor;
};

class APMPBExperiment final : public APMPBMessageClass<APMPBExperiment> {
  friend APMPBMessageClass;
  APMPBExperiment() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBExperimentDescriptor;
};

class APMPBExperimentRequest final : public APMPBMessageClass<APMPBExperimentRequest> {
  friend APMPBMessageClass;
  APMPBExperimentRequest() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBExperimentRequestDescriptor;
};

class APMPBExperimentResponse final : public APMPBMessageClass<APMPBExperimentResponse> {
  friend APMPBMessageClass;
  APMPBExperimentResponse() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBExperimentResponseDescriptor;
};

class APMPBFilter final : public APMPBMessageClass<APMPBFilter> {
  friend APMPBMessageClass;
  APMPBFilter() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBFilterDescriptor;
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

class APMPBMeasurementConfig final : public APMPBMessageClass<APMPBMeasurementConfig> {
  friend APMPBMessageClass;
  APMPBMeasurementConfig() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBMeasurementConfigDescriptor;
};

class APMPBNumberFilter final : public APMPBMessageClass<APMPBNumberFilter> {
  friend APMPBMessageClass;
  APMPBNumberFilter() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBNumberFilterDescriptor;
};

class APMPBOgtActivities final : public APMPBMessageClass<APMPBOgtActivities> {
  friend APMPBMessageClass;
  APMPBOgtActivities() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBOgtActivitiesDescriptor;
};

class APMPBOgtActivity final : public APMPBMessageClass<APMPBOgtActivity> {
  friend APMPBMessageClass;
  APMPBOgtActivity() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBOgtActivityDescriptor;
};

class APMPBProgram final : public APMPBMessageClass<APMPBProgram> {
  friend APMPBMessageClass;
  APMPBProgram() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBProgramDescriptor;
};

class APMPBPropertyFilter final : public APMPBMessageClass<APMPBPropertyFilter> {
  friend APMPBMessageClass;
  APMPBPropertyFilter() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBPropertyFilterDescriptor;
};

class APMPBPsmSetting final : public APMPBMessageClass<APMPBPsmSetting> {
  friend APMPBMessageClass;
  APMPBPsmSetting() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBPsmSettingDescriptor;
};

class APMPBResultData final : public APMPBMessageClass<APMPBResultData> {
  friend APMPBMessageClass;
  APMPBResultData() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBResultDataDescriptor;
};

class APMPBRuntimeEntity final : public APMPBMessageClass<APMPBRuntimeEntity> {
  friend APMPBMessageClass;
  APMPBRuntimeEntity() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBRuntimeEntityDescriptor;
};

class APMPBSdkResponse final : public APMPBMessageClass<APMPBSdkResponse> {
  friend APMPBMessageClass;
  APMPBSdkResponse() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBSdkResponseDescriptor;
};

class APMPBSequenceFilterResultTimestamp final
    : public APMPBMessageClass<APMPBSequenceFilterResultTimestamp> {
  friend APMPBMessageClass;
  APMPBSequenceFilterResultTimestamp() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor =
      kAPMPBSequenceFilterResultTimestampDescriptor;
};

class APMPBSetting final : public APMPBMessageClass<APMPBSetting> {
  friend APMPBMessageClass;
  APMPBSetting() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBSettingDescriptor;
};

class APMPBSkAdNetworkConversionValueRequest final
    : public APMPBMessageClass<APMPBSkAdNetworkConversionValueRequest> {
  friend APMPBMessageClass;
  APMPBSkAdNetworkConversionValueRequest() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor =
      kAPMPBSkAdNetworkConversionValueRequestDescriptor;
};

class APMPBSkAdNetworkConversionValueResponse final
    : public APMPBMessageClass<APMPBSkAdNetworkConversionValueResponse> {
  friend APMPBMessageClass;
  APMPBSkAdNetworkConversionValueResponse() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor =
      kAPMPBSkAdNetworkConversionValueResponseDescriptor;
};

class APMPBSnapshot final : public APMPBMessageClass<APMPBSnapshot> {
  friend APMPBMessageClass;
  APMPBSnapshot() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBSnapshotDescriptor;
};

class APMPBStringFilter final : public APMPBMessageClass<APMPBStringFilter> {
  friend APMPBMessageClass;
  APMPBStringFilter() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBStringFilterDescriptor;
};

class APMPBUserAttribute final : public APMPBMessageClass<APMPBUserAttribute> {
  friend APMPBMessageClass;
  APMPBUserAttribute() = default;

 public:
  static constexpr const APMPBMessageDescriptor& kDescriptor = kAPMPBUserAttributeDescriptor;
};
