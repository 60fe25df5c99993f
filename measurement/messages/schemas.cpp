#include "measurement/messages/schemas.h"

#include "measurement/messages/proto/audience_result.pb.h"
#include "measurement/messages/proto/event.pb.h"
#include "measurement/messages/proto/experiment.pb.h"
#include "measurement/messages/proto/measurement_batch.pb.h"

// Descriptors are built in this file's order: a message that holds a singular
// sub-message comes after that sub-message.

namespace {

constexpr int32_t B = 0x22;     // singular bool
constexpr int32_t E = 0x42;     // singular enum
constexpr int32_t I32 = 0x82;   // singular int32
constexpr int32_t I64 = 0x202;  // singular int64
constexpr int32_t F = 0x802;    // singular float
constexpr int32_t D = 0x1002;   // singular double
constexpr int32_t S = 0x2002;   // singular string
constexpr int32_t M = 0x4002;   // singular message
constexpr int32_t RU32 = 0x108;  // repeated uint32
constexpr int32_t RI64 = 0x208;  // repeated int64
constexpr int32_t RU64 = 0x408;  // repeated uint64
constexpr int32_t RS = 0x2008;   // repeated string
constexpr int32_t RM = 0x4008;   // repeated message

template <size_t N>
constexpr int32_t count(const int32_t (&)[N]) {
  return static_cast<int32_t>(N);
}

// ---- Flag ----
constexpr int32_t kFlagTypes[] = {S, I64, S, D, B};
constexpr uint32_t kFlagTags[] = {1, 2, 3, 4, 5};
constexpr const char* kFlagNames[] = {"name", "int_value", "string_value", "double_value",
                                      "bool_value"};
constexpr const APMPBMessageDescriptor* kFlagChildren[] = {nullptr, nullptr, nullptr, nullptr,
                                                           nullptr};

// ---- AdCampaignInfo ----
constexpr int32_t kAdCampaignInfoTypes[] = {S, S, S, I64, S, S, S, I64};
constexpr uint32_t kAdCampaignInfoTags[] = {1, 2, 3, 4, 5, 6, 7, 8};
constexpr const char* kAdCampaignInfoNames[] = {"dvclid",    "dvbraid",   "dvad_source",
                                                "timestamp_millis", "unnamed_5", "unnamed_6",
                                                "unnamed_7", "unnamed_8"};
constexpr const APMPBMessageDescriptor* kAdCampaignInfoChildren[8] = {};

// ---- EventParam ----
constexpr int32_t kEventParamTypes[] = {S, S, I64, F, D, RM};
constexpr uint32_t kEventParamTags[] = {1, 2, 3, 4, 5, 6};
constexpr const char* kEventParamNames[] = {"name",      "string_value", "int_value",
                                            "unnamed_4", "double_value", "param_value"};
constexpr const APMPBMessageDescriptor* kEventParamChildren[] = {
    nullptr, nullptr, nullptr, nullptr, nullptr, &kAPMPBEventParamDescriptor};

// ---- Event ----
constexpr int32_t kEventTypes[] = {RM, S, I64, I64, I32};
constexpr uint32_t kEventTags[] = {1, 2, 3, 4, 5};
constexpr const char* kEventNames[] = {"params", "name", "timestamp_millis",
                                       "previous_timestamp_millis", "unnamed_5"};
constexpr const APMPBMessageDescriptor* kEventChildren[] = {&kAPMPBEventParamDescriptor, nullptr,
                                                            nullptr, nullptr, nullptr};

// ---- UserAttribute ----
constexpr int32_t kUserAttributeTypes[] = {I64, S, S, I64, F, D};
constexpr uint32_t kUserAttributeTags[] = {1, 2, 3, 4, 5, 6};
constexpr const char* kUserAttributeNames[] = {"set_timestamp_millis", "name",      "string_value",
                                               "int_value",            "unnamed_5", "double_value"};
constexpr const APMPBMessageDescriptor* kUserAttributeChildren[6] = {};

// ---- DynamicFilterResultTimestamp ----
constexpr int32_t kDynamicFilterResultTimestampTypes[] = {I32, I64};
constexpr uint32_t kDynamicFilterResultTimestampTags[] = {1, 2};
constexpr const char* kDynamicFilterResultTimestampNames[] = {"filter_id", "eval_timestamp"};
constexpr const APMPBMessageDescriptor* kDynamicFilterResultTimestampChildren[2] = {};

// ---- SequenceFilterResultTimestamp ----
constexpr int32_t kSequenceFilterResultTimestampTypes[] = {I32, RI64};
constexpr uint32_t kSequenceFilterResultTimestampTags[] = {1, 2};
constexpr const char* kSequenceFilterResultTimestampNames[] = {"filter_id", "eval_timestamps"};
constexpr const APMPBMessageDescriptor* kSequenceFilterResultTimestampChildren[2] = {};

// ---- ResultData ----
constexpr int32_t kResultDataTypes[] = {RU64, RU64, RM, RM};
constexpr uint32_t kResultDataTags[] = {1, 2, 3, 4};
constexpr const char* kResultDataNames[] = {"status", "results", "dynamic_filter_timestamps",
                                            "sequence_filter_timestamps"};
constexpr const APMPBMessageDescriptor* kResultDataChildren[] = {
    nullptr, nullptr, &kAPMPBDynamicFilterResultTimestampDescriptor,
    &kAPMPBSequenceFilterResultTimestampDescriptor};

// ---- AudienceLeafFilterResult ----
constexpr int32_t kAudienceLeafFilterResultTypes[] = {I32, M, M, B};
constexpr uint32_t kAudienceLeafFilterResultTags[] = {1, 2, 3, 4};
constexpr const char* kAudienceLeafFilterResultNames[] = {"audience_id", "current_data",
                                                          "previous_data", "new_audience"};
constexpr const APMPBMessageDescriptor* kAudienceLeafFilterResultChildren[] = {
    nullptr, &kAPMPBResultDataDescriptor, &kAPMPBResultDataDescriptor, nullptr};

// ---- MeasurementBundle ----
constexpr int32_t kMeasurementBundleTypes[] = {
    I32, RM,  RM,  I64, I64, I64, I64, I64, S,   S,    // 0-9
    S,   S,   I32, S,   S,   I64, S,   I64, I64, S,    // 10-19
    S,   B,   S,   I64, I32, S,   S,   B,   RM,  S,    // 20-29
    I32, I32, I32, S,   I64, I32, S,   RU32, I64, S,   // 30-39
    S,   E,   B,   S,   RS,  S,   I64, S,   B,   S,    // 40-49
    S,   I32, M};                                      // 50-52
constexpr uint32_t kMeasurementBundleTags[] = {
    1,  2,  3,  4,  5,  6,  26, 7,  8,  9,   // 0-9
    10, 11, 12, 13, 14, 15, 16, 17, 18, 19,  // 10-19
    27, 20, 21, 22, 23, 24, 25, 28, 29, 30,  // 20-29
    31, 32, 33, 34, 35, 39, 41, 45, 47, 50,  // 30-39
    52, 53, 55, 63, 64, 65, 67, 71, 72, 73,  // 40-49
    75, 77, 79};                             // 50-52
constexpr const char* kMeasurementBundleNames[] = {
    "protocol_version",
    "events",
    "user_attributes",
    "upload_timestamp_millis",
    "start_timestamp_millis",
    "end_timestamp_millis",
    "previous_bundle_start_timestamp_millis",
    "previous_bundle_end_timestamp_millis",
    "platform",
    "os_version",
    "device_model",
    "user_default_language",
    "time_zone_offset_minutes",
    "install_source",
    "app_id",
    "unnamed_15",
    "app_version",
    "measurement_library_version",
    "uploading_library_version",
    "resettable_device_id",
    "vendor_device_id",
    "limited_ad_tracking",
    "app_instance_id",
    "unnamed_22",
    "bundle_sequence_index",
    "monitoring_data",
    "zev_app_id",
    "unnamed_28",
    "audience_evaluation_results",
    "vivuzuvu_installation_id",
    "app_version_major",
    "app_version_minor",
    "app_version_release",
    "unnamed_34",
    "config_version",
    "retry_count",
    "rozar_app_id",
    "experiment_ids",
    "checksum",
    "unnamed_50",
    "consent_signals",
    "apple_consent_status",
    "unnamed_55",
    "session_stitching_token",
    "redacted_fields",
    "ephemeral_app_instance_id",
    "unnamed_67",
    "consent_diagnostics",
    "dma_region",
    "core_platform_services",
    "unnamed_75",
    "unnamed_77",
    "ad_campaign_info",
};
constexpr const APMPBMessageDescriptor* kMeasurementBundleChildren[] = {
    nullptr, &kAPMPBEventDescriptor, &kAPMPBUserAttributeDescriptor,  // 0-2
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,   // 3-9
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,   // 10-16
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,   // 17-23
    nullptr, nullptr, nullptr, nullptr,                              // 24-27
    &kAPMPBAudienceLeafFilterResultDescriptor,                       // 28
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,   // 29-35
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,   // 36-42
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,   // 43-49
    nullptr, nullptr, &kAPMPBAdCampaignInfoDescriptor};              // 50-52

// ---- MeasurementBatch ----
constexpr int32_t kMeasurementBatchTypes[] = {RM, S, S, E};
constexpr uint32_t kMeasurementBatchTags[] = {1, 7, 8, 9};
constexpr const char* kMeasurementBatchNames[] = {"bundles", "unnamed_7", "unnamed_8", "unnamed_9"};
constexpr const APMPBMessageDescriptor* kMeasurementBatchChildren[] = {
    &kAPMPBMeasurementBundleDescriptor, nullptr, nullptr, nullptr};

static_assert(count(kMeasurementBundleTypes) == 53);
static_assert(sizeof(kMeasurementBundleTags) / sizeof(uint32_t) == 53);
static_assert(sizeof(kMeasurementBundleNames) / sizeof(const char*) == 53);
static_assert(sizeof(kMeasurementBundleChildren) / sizeof(void*) == 53);

}  // namespace

#define APMPB_SCHEMA(Message, nanopbType, className)                                          \
  APMPBMessageDescriptor::Schema {                                                            \
    #Message, className, count(k##Message##Types), k##Message##Types, k##Message##Tags,       \
        k##Message##Names, k##Message##Children, &nanopbType##_msg, sizeof(nanopbType)        \
  }

const APMPBMessageDescriptor kAPMPBFlagDescriptor(
    APMPB_SCHEMA(Flag, measurement_Flag, "APMPBFlag"),
    apmpb::detail::functionsOf<kAPMPBFlagDescriptor>());
const APMPBMessageDescriptor kAPMPBAdCampaignInfoDescriptor(
    APMPB_SCHEMA(AdCampaignInfo, measurement_AdCampaignInfo, "APMPBAdCampaignInfo"),
    apmpb::detail::functionsOf<kAPMPBAdCampaignInfoDescriptor>());
const APMPBMessageDescriptor kAPMPBEventParamDescriptor(
    APMPB_SCHEMA(EventParam, measurement_EventParam, "APMPBEventParam"),
    apmpb::detail::functionsOf<kAPMPBEventParamDescriptor>());
const APMPBMessageDescriptor kAPMPBEventDescriptor(
    APMPB_SCHEMA(Event, measurement_Event, "APMPBEvent"),
    apmpb::detail::functionsOf<kAPMPBEventDescriptor>());
const APMPBMessageDescriptor kAPMPBUserAttributeDescriptor(
    APMPB_SCHEMA(UserAttribute, measurement_UserAttribute, "APMPBUserAttribute"),
    apmpb::detail::functionsOf<kAPMPBUserAttributeDescriptor>());
const APMPBMessageDescriptor kAPMPBDynamicFilterResultTimestampDescriptor(
    APMPB_SCHEMA(DynamicFilterResultTimestamp, measurement_DynamicFilterResultTimestamp,
                 "APMPBDynamicFilterResultTimestamp"),
    apmpb::detail::functionsOf<kAPMPBDynamicFilterResultTimestampDescriptor>());
const APMPBMessageDescriptor kAPMPBSequenceFilterResultTimestampDescriptor(
    APMPB_SCHEMA(SequenceFilterResultTimestamp, measurement_SequenceFilterResultTimestamp,
                 "APMPBSequenceFilterResultTimestamp"),
    apmpb::detail::functionsOf<kAPMPBSequenceFilterResultTimestampDescriptor>());
const APMPBMessageDescriptor kAPMPBResultDataDescriptor(
    APMPB_SCHEMA(ResultData, measurement_ResultData, "APMPBResultData"),
    apmpb::detail::functionsOf<kAPMPBResultDataDescriptor>());
const APMPBMessageDescriptor kAPMPBAudienceLeafFilterResultDescriptor(
    APMPB_SCHEMA(AudienceLeafFilterResult, measurement_AudienceLeafFilterResult,
                 "APMPBAudienceLeafFilterResult"),
    apmpb::detail::functionsOf<kAPMPBAudienceLeafFilterResultDescriptor>());
const APMPBMessageDescriptor kAPMPBMeasurementBundleDescriptor(
    APMPB_SCHEMA(MeasurementBundle, measurement_MeasurementBundle, "APMPBMeasurementBundle"),
    apmpb::detail::functionsOf<kAPMPBMeasurementBundleDescriptor>());
const APMPBMessageDescriptor kAPMPBMeasurementBatchDescriptor(
    APMPB_SCHEMA(MeasurementBatch, measurement_MeasurementBatch, "APMPBMeasurementBatch"),
    apmpb::detail::functionsOf<kAPMPBMeasurementBatchDescriptor>());

#undef APMPB_SCHEMA

namespace apmpb::detail {

const APMPBMessageDescriptor* const* allDescriptors(size_t* count) {
  static const APMPBMessageDescriptor* const descriptors[] = {
      &kAPMPBFlagDescriptor,
      &kAPMPBAdCampaignInfoDescriptor,
      &kAPMPBEventParamDescriptor,
      &kAPMPBEventDescriptor,
      &kAPMPBUserAttributeDescriptor,
      &kAPMPBDynamicFilterResultTimestampDescriptor,
      &kAPMPBSequenceFilterResultTimestampDescriptor,
      &kAPMPBResultDataDescriptor,
      &kAPMPBAudienceLeafFilterResultDescriptor,
      &kAPMPBMeasurementBundleDescriptor,
      &kAPMPBMeasurementBatchDescriptor,
  };
  if (count != nullptr) *count = sizeof(descriptors) / sizeof(descriptors[0]);
  return descriptors;
}

}  // namespace apmpb::detail
