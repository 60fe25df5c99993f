// The measurement messages defined so far: their descriptors and their codec
// families (Init, ClearField, Free, Copy, Decode, Encode), each bound to the
// message's descriptor. Field indices are the schema positions; only
// MeasurementBundle numbers its fields in an order other than its wire tags.
#pragma once

#include "measurement/messages/codec.h"

extern const APMPBMessageDescriptor kAPMPBAdCampaignInfoDescriptor;
inline constexpr APMPBInitFn APMPBAdCampaignInfoInit = &apmpb::detail::init<kAPMPBAdCampaignInfoDescriptor>;
inline constexpr APMPBClearFieldFn APMPBAdCampaignInfoClearField = &apmpb::detail::clear<kAPMPBAdCampaignInfoDescriptor>;
inline constexpr APMPBFreeFn APMPBAdCampaignInfoFree = &apmpb::detail::release<kAPMPBAdCampaignInfoDescriptor>;
inline constexpr APMPBCopyFn APMPBAdCampaignInfoCopy = &apmpb::detail::copy<kAPMPBAdCampaignInfoDescriptor>;
inline constexpr APMPBDecodeFn APMPBAdCampaignInfoDecode = &apmpb::detail::decode<kAPMPBAdCampaignInfoDescriptor>;
inline constexpr APMPBEncodeFn APMPBAdCampaignInfoEncode = &apmpb::detail::encode<kAPMPBAdCampaignInfoDescriptor>;
extern const APMPBMessageDescriptor kAPMPBAudienceLeafFilterResultDescriptor;
inline constexpr APMPBInitFn APMPBAudienceLeafFilterResultInit = &apmpb::detail::init<kAPMPBAudienceLeafFilterResultDescriptor>;
inline constexpr APMPBClearFieldFn APMPBAudienceLeafFilterResultClearField = &apmpb::detail::clear<kAPMPBAudienceLeafFilterResultDescriptor>;
inline constexpr APMPBFreeFn APMPBAudienceLeafFilterResultFree = &apmpb::detail::release<kAPMPBAudienceLeafFilterResultDescriptor>;
inline constexpr APMPBCopyFn APMPBAudienceLeafFilterResultCopy = &apmpb::detail::copy<kAPMPBAudienceLeafFilterResultDescriptor>;
inline constexpr APMPBDecodeFn APMPBAudienceLeafFilterResultDecode = &apmpb::detail::decode<kAPMPBAudienceLeafFilterResultDescriptor>;
inline constexpr APMPBEncodeFn APMPBAudienceLeafFilterResultEncode = &apmpb::detail::encode<kAPMPBAudienceLeafFilterResultDescriptor>;
extern const APMPBMessageDescriptor kAPMPBDynamicFilterResultTimestampDescriptor;
inline constexpr APMPBInitFn APMPBDynamicFilterResultTimestampInit = &apmpb::detail::init<kAPMPBDynamicFilterResultTimestampDescriptor>;
inline constexpr APMPBClearFieldFn APMPBDynamicFilterResultTimestampClearField = &apmpb::detail::clear<kAPMPBDynamicFilterResultTimestampDescriptor>;
inline constexpr APMPBFreeFn APMPBDynamicFilterResultTimestampFree = &apmpb::detail::release<kAPMPBDynamicFilterResultTimestampDescriptor>;
inline constexpr APMPBCopyFn APMPBDynamicFilterResultTimestampCopy = &apmpb::detail::copy<kAPMPBDynamicFilterResultTimestampDescriptor>;
inline constexpr APMPBDecodeFn APMPBDynamicFilterResultTimestampDecode = &apmpb::detail::decode<kAPMPBDynamicFilterResultTimestampDescriptor>;
inline constexpr APMPBEncodeFn APMPBDynamicFilterResultTimestampEncode = &apmpb::detail::encode<kAPMPBDynamicFilterResultTimestampDescriptor>;
extern const APMPBMessageDescriptor kAPMPBEventDescriptor;
inline constexpr APMPBInitFn APMPBEventInit = &apmpb::detail::init<kAPMPBEventDescriptor>;
inline constexpr APMPBClearFieldFn APMPBEventClearField = &apmpb::detail::clear<kAPMPBEventDescriptor>;
inline constexpr APMPBFreeFn APMPBEventFree = &apmpb::detail::release<kAPMPBEventDescriptor>;
inline constexpr APMPBCopyFn APMPBEventCopy = &apmpb::detail::copy<kAPMPBEventDescriptor>;
inline constexpr APMPBDecodeFn APMPBEventDecode = &apmpb::detail::decode<kAPMPBEventDescriptor>;
inline constexpr APMPBEncodeFn APMPBEventEncode = &apmpb::detail::encode<kAPMPBEventDescriptor>;
extern const APMPBMessageDescriptor kAPMPBEventParamDescriptor;
inline constexpr APMPBInitFn APMPBEventParamInit = &apmpb::detail::init<kAPMPBEventParamDescriptor>;
inline constexpr APMPBClearFieldFn APMPBEventParamClearField = &apmpb::detail::clear<kAPMPBEventParamDescriptor>;
inline constexpr APMPBFreeFn APMPBEventParamFree = &apmpb::detail::release<kAPMPBEventParamDescriptor>;
inline constexpr APMPBCopyFn APMPBEventParamCopy = &apmpb::detail::copy<kAPMPBEventParamDescriptor>;
inline constexpr APMPBDecodeFn APMPBEventParamDecode = &apmpb::detail::decode<kAPMPBEventParamDescriptor>;
inline constexpr APMPBEncodeFn APMPBEventParamEncode = &apmpb::detail::encode<kAPMPBEventParamDescriptor>;
extern const APMPBMessageDescriptor kAPMPBFlagDescriptor;
inline constexpr APMPBInitFn APMPBFlagInit = &apmpb::detail::init<kAPMPBFlagDescriptor>;
inline constexpr APMPBClearFieldFn APMPBFlagClearField = &apmpb::detail::clear<kAPMPBFlagDescriptor>;
inline constexpr APMPBFreeFn APMPBFlagFree = &apmpb::detail::release<kAPMPBFlagDescriptor>;
inline constexpr APMPBCopyFn APMPBFlagCopy = &apmpb::detail::copy<kAPMPBFlagDescriptor>;
inline constexpr APMPBDecodeFn APMPBFlagDecode = &apmpb::detail::decode<kAPMPBFlagDescriptor>;
inline constexpr APMPBEncodeFn APMPBFlagEncode = &apmpb::detail::encode<kAPMPBFlagDescriptor>;
extern const APMPBMessageDescriptor kAPMPBMeasurementBatchDescriptor;
inline constexpr APMPBInitFn APMPBMeasurementBatchInit = &apmpb::detail::init<kAPMPBMeasurementBatchDescriptor>;
inline constexpr APMPBClearFieldFn APMPBMeasurementBatchClearField = &apmpb::detail::clear<kAPMPBMeasurementBatchDescriptor>;
inline constexpr APMPBFreeFn APMPBMeasurementBatchFree = &apmpb::detail::release<kAPMPBMeasurementBatchDescriptor>;
inline constexpr APMPBCopyFn APMPBMeasurementBatchCopy = &apmpb::detail::copy<kAPMPBMeasurementBatchDescriptor>;
inline constexpr APMPBDecodeFn APMPBMeasurementBatchDecode = &apmpb::detail::decode<kAPMPBMeasurementBatchDescriptor>;
inline constexpr APMPBEncodeFn APMPBMeasurementBatchEncode = &apmpb::detail::encode<kAPMPBMeasurementBatchDescriptor>;
extern const APMPBMessageDescriptor kAPMPBMeasurementBundleDescriptor;
inline constexpr APMPBInitFn APMPBMeasurementBundleInit = &apmpb::detail::init<kAPMPBMeasurementBundleDescriptor>;
inline constexpr APMPBClearFieldFn APMPBMeasurementBundleClearField = &apmpb::detail::clear<kAPMPBMeasurementBundleDescriptor>;
inline constexpr APMPBFreeFn APMPBMeasurementBundleFree = &apmpb::detail::release<kAPMPBMeasurementBundleDescriptor>;
inline constexpr APMPBCopyFn APMPBMeasurementBundleCopy = &apmpb::detail::copy<kAPMPBMeasurementBundleDescriptor>;
inline constexpr APMPBDecodeFn APMPBMeasurementBundleDecode = &apmpb::detail::decode<kAPMPBMeasurementBundleDescriptor>;
inline constexpr APMPBEncodeFn APMPBMeasurementBundleEncode = &apmpb::detail::encode<kAPMPBMeasurementBundleDescriptor>;
extern const APMPBMessageDescriptor kAPMPBResultDataDescriptor;
inline constexpr APMPBInitFn APMPBResultDataInit = &apmpb::detail::init<kAPMPBResultDataDescriptor>;
inline constexpr APMPBClearFieldFn APMPBResultDataClearField = &apmpb::detail::clear<kAPMPBResultDataDescriptor>;
inline constexpr APMPBFreeFn APMPBResultDataFree = &apmpb::detail::release<kAPMPBResultDataDescriptor>;
inline constexpr APMPBCopyFn APMPBResultDataCopy = &apmpb::detail::copy<kAPMPBResultDataDescriptor>;
inline constexpr APMPBDecodeFn APMPBResultDataDecode = &apmpb::detail::decode<kAPMPBResultDataDescriptor>;
inline constexpr APMPBEncodeFn APMPBResultDataEncode = &apmpb::detail::encode<kAPMPBResultDataDescriptor>;
extern const APMPBMessageDescriptor kAPMPBSequenceFilterResultTimestampDescriptor;
inline constexpr APMPBInitFn APMPBSequenceFilterResultTimestampInit = &apmpb::detail::init<kAPMPBSequenceFilterResultTimestampDescriptor>;
inline constexpr APMPBClearFieldFn APMPBSequenceFilterResultTimestampClearField = &apmpb::detail::clear<kAPMPBSequenceFilterResultTimestampDescriptor>;
inline constexpr APMPBFreeFn APMPBSequenceFilterResultTimestampFree = &apmpb::detail::release<kAPMPBSequenceFilterResultTimestampDescriptor>;
inline constexpr APMPBCopyFn APMPBSequenceFilterResultTimestampCopy = &apmpb::detail::copy<kAPMPBSequenceFilterResultTimestampDescriptor>;
inline constexpr APMPBDecodeFn APMPBSequenceFilterResultTimestampDecode = &apmpb::detail::decode<kAPMPBSequenceFilterResultTimestampDescriptor>;
inline constexpr APMPBEncodeFn APMPBSequenceFilterResultTimestampEncode = &apmpb::detail::encode<kAPMPBSequenceFilterResultTimestampDescriptor>;
extern const APMPBMessageDescriptor kAPMPBUserAttributeDescriptor;
inline constexpr APMPBInitFn APMPBUserAttributeInit = &apmpb::detail::init<kAPMPBUserAttributeDescriptor>;
inline constexpr APMPBClearFieldFn APMPBUserAttributeClearField = &apmpb::detail::clear<kAPMPBUserAttributeDescriptor>;
inline constexpr APMPBFreeFn APMPBUserAttributeFree = &apmpb::detail::release<kAPMPBUserAttributeDescriptor>;
inline constexpr APMPBCopyFn APMPBUserAttributeCopy = &apmpb::detail::copy<kAPMPBUserAttributeDescriptor>;
inline constexpr APMPBDecodeFn APMPBUserAttributeDecode = &apmpb::detail::decode<kAPMPBUserAttributeDescriptor>;
inline constexpr APMPBEncodeFn APMPBUserAttributeEncode = &apmpb::detail::encode<kAPMPBUserAttributeDescriptor>;

namespace apmpb::detail {
// Every descriptor above, for lookups by message name.
const APMPBMessageDescriptor* const* allDescriptors(size_t* count);
}  // namespace apmpb::detail
