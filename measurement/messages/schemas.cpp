#include "measurement/messages/schemas.h"

#include "measurement/messages/proto/audience.pb.h"
#include "measurement/messages/proto/audience_result.pb.h"
#include "measurement/messages/proto/consent.pb.h"
#include "measurement/messages/proto/event.pb.h"
#include "measurement/messages/proto/experiment.pb.h"
#include "measurement/messages/proto/measurement_batch.pb.h"
#include "measurement/messages/proto/measurement_config.pb.h"
#include "measurement/messages/proto/program.pb.h"
#include "measurement/messages/proto/skadnetwork.pb.h"

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

// The field count of a schema whose four tables have one entry per field; a
// table of another length does not compile.
template <size_t N>
constexpr int32_t fieldCount(const int32_t (&)[N], const uint32_t (&)[N], const char* const (&)[N],
                             const APMPBMessageDescriptor* const (&)[N]) {
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

// ---- CustomProperty ----
constexpr int32_t kCustomPropertyTypes[] = {S, S};
constexpr uint32_t kCustomPropertyTags[] = {1, 2};
constexpr const char* kCustomPropertyNames[] = {"key", "value"};
constexpr const APMPBMessageDescriptor* kCustomPropertyChildren[2] = {};

// ---- ClientProperty ----
constexpr int32_t kClientPropertyTypes[] = {S, S, I64, S, RM};
constexpr uint32_t kClientPropertyTags[] = {1, 2, 3, 4, 5};
constexpr const char* kClientPropertyNames[] = {"name", "diversion_id", "version", "app_id",
                                                "custom_properties"};
constexpr const APMPBMessageDescriptor* kClientPropertyChildren[] = {
    nullptr, nullptr, nullptr, nullptr, &kAPMPBCustomPropertyDescriptor};

// ---- AppProperty ----
constexpr int32_t kAppPropertyTypes[] = {S, S, S, S, S, B, I64};
constexpr uint32_t kAppPropertyTags[] = {1, 2, 3, 4, 5, 6, 7};
constexpr const char* kAppPropertyNames[] = {"platform",       "unnamed_2", "unnamed_3",
                                             "language",       "bundle_id", "from_app_store",
                                             "library_version"};
constexpr const APMPBMessageDescriptor* kAppPropertyChildren[7] = {};

// ---- Experiment ----
constexpr int32_t kExperimentTypes[] = {I32, RM};
constexpr uint32_t kExperimentTags[] = {1, 2};
constexpr const char* kExperimentNames[] = {"experiment_id", "flags"};
constexpr const APMPBMessageDescriptor* kExperimentChildren[] = {nullptr, &kAPMPBFlagDescriptor};

// ---- Snapshot ----
constexpr int32_t kSnapshotTypes[] = {S, RM};
constexpr uint32_t kSnapshotTags[] = {1, 2};
constexpr const char* kSnapshotNames[] = {"sdk_name", "experiments"};
constexpr const APMPBMessageDescriptor* kSnapshotChildren[] = {nullptr,
                                                               &kAPMPBExperimentDescriptor};

// ---- SdkResponse ----
constexpr int32_t kSdkResponseTypes[] = {S, E, M};
constexpr uint32_t kSdkResponseTags[] = {1, 2, 3};
constexpr const char* kSdkResponseNames[] = {"sdk_name", "error_code", "snapshot"};
constexpr const APMPBMessageDescriptor* kSdkResponseChildren[] = {nullptr, nullptr,
                                                                  &kAPMPBSnapshotDescriptor};

// ---- ExperimentRequest ----
constexpr int32_t kExperimentRequestTypes[] = {M, RM};
constexpr uint32_t kExperimentRequestTags[] = {1, 2};
constexpr const char* kExperimentRequestNames[] = {"app_property", "client_properties"};
constexpr const APMPBMessageDescriptor* kExperimentRequestChildren[] = {
    &kAPMPBAppPropertyDescriptor, &kAPMPBClientPropertyDescriptor};

// ---- ExperimentResponse ----
constexpr int32_t kExperimentResponseTypes[] = {RM, RM};
constexpr uint32_t kExperimentResponseTags[] = {1, 2};
constexpr const char* kExperimentResponseNames[] = {"snapshots", "sdk_responses"};
constexpr const APMPBMessageDescriptor* kExperimentResponseChildren[] = {
    &kAPMPBSnapshotDescriptor, &kAPMPBSdkResponseDescriptor};

// ---- SkAdNetworkConversionValueRequest ----
constexpr int32_t kSkAdNetworkConversionValueRequestTypes[] = {I64, S, S, S, I64, I64};
constexpr uint32_t kSkAdNetworkConversionValueRequestTags[] = {1, 2, 3, 4, 5, 6};
constexpr const char* kSkAdNetworkConversionValueRequestNames[] = {
    "library_version",
    "app_id",
    "app_instance_id",
    "skan_version",
    "evaluation_event_time_millis",
    "last_uploaded_event_timestamp_millis"};
constexpr const APMPBMessageDescriptor* kSkAdNetworkConversionValueRequestChildren[6] = {};

// ---- SkAdNetworkConversionValueResponse ----
constexpr int32_t kSkAdNetworkConversionValueResponseTypes[] = {E, S, I32, E, B, I64, I64, I64};
constexpr uint32_t kSkAdNetworkConversionValueResponseTags[] = {1, 2, 3, 4, 5, 6, 7, 8};
constexpr const char* kSkAdNetworkConversionValueResponseNames[] = {"status",
                                                                    "skanm_value",
                                                                    "fine_value",
                                                                    "coarse_value",
                                                                    "lock_window",
                                                                    "expiry_time_millis",
                                                                    "evaluation_event_time_millis",
                                                                    "update_backoff_millis"};
constexpr const APMPBMessageDescriptor* kSkAdNetworkConversionValueResponseChildren[8] = {};

// ---- NumberFilter ----
constexpr int32_t kNumberFilterTypes[] = {E, B, S, S, S};
constexpr uint32_t kNumberFilterTags[] = {1, 2, 3, 4, 5};
constexpr const char* kNumberFilterNames[] = {"comparison_type", "is_float", "comparison_value",
                                              "min_comparison_value", "max_comparison_value"};
constexpr const APMPBMessageDescriptor* kNumberFilterChildren[5] = {};

// ---- StringFilter ----
constexpr int32_t kStringFilterTypes[] = {E, S, B, RS};
constexpr uint32_t kStringFilterTags[] = {1, 2, 3, 4};
constexpr const char* kStringFilterNames[] = {"match_type", "expression", "case_sensitive",
                                              "expression_list"};
constexpr const APMPBMessageDescriptor* kStringFilterChildren[4] = {};

// ---- Filter ----
constexpr int32_t kFilterTypes[] = {M, M, B, S};
constexpr uint32_t kFilterTags[] = {1, 2, 3, 4};
constexpr const char* kFilterNames[] = {"string_filter", "number_filter", "complement",
                                        "param_name"};
constexpr const APMPBMessageDescriptor* kFilterChildren[] = {
    &kAPMPBStringFilterDescriptor, &kAPMPBNumberFilterDescriptor, nullptr, nullptr};

// ---- PropertyFilter ----
constexpr int32_t kPropertyFilterTypes[] = {I32, S, M, B, B, B};
constexpr uint32_t kPropertyFilterTags[] = {1, 2, 3, 4, 5, 6};
constexpr const char* kPropertyFilterNames[] = {"filter_id", "property_name", "filter",
                                                "dynamic",   "sequence",      "session_scoped"};
constexpr const APMPBMessageDescriptor* kPropertyFilterChildren[] = {
    nullptr, nullptr, &kAPMPBFilterDescriptor, nullptr, nullptr, nullptr};

// ---- EventFilter ----
constexpr int32_t kEventFilterTypes[] = {I32, S, RM, B, M, B, B, B};
constexpr uint32_t kEventFilterTags[] = {1, 2, 3, 4, 5, 6, 7, 8};
constexpr const char* kEventFilterNames[] = {"filter_id", "event_name",         "filters",
                                             "unnamed_4", "event_count_filter", "dynamic",
                                             "sequence",  "session_scoped"};
constexpr const APMPBMessageDescriptor* kEventFilterChildren[] = {
    nullptr, nullptr, &kAPMPBFilterDescriptor, nullptr, &kAPMPBNumberFilterDescriptor, nullptr,
    nullptr, nullptr};

// ---- Audience ----
constexpr int32_t kAudienceTypes[] = {I32, RM, RM, B, B};
constexpr uint32_t kAudienceTags[] = {1, 2, 3, 4, 5};
constexpr const char* kAudienceNames[] = {"audience_id", "property_filters", "event_filters",
                                          "unnamed_4", "unnamed_5"};
constexpr const APMPBMessageDescriptor* kAudienceChildren[] = {
    nullptr, &kAPMPBPropertyFilterDescriptor, &kAPMPBEventFilterDescriptor, nullptr, nullptr};

// ---- ConsentDefaultEntry ----
constexpr int32_t kConsentDefaultEntryTypes[] = {E, E};
constexpr uint32_t kConsentDefaultEntryTags[] = {1, 2};
constexpr const char* kConsentDefaultEntryNames[] = {"consent_type", "consent_status"};
constexpr const APMPBMessageDescriptor* kConsentDefaultEntryChildren[2] = {};

// ---- ConsentDelegationEntry ----
constexpr int32_t kConsentDelegationEntryTypes[] = {E, E};
constexpr uint32_t kConsentDelegationEntryTags[] = {1, 2};
constexpr const char* kConsentDelegationEntryNames[] = {"consent_type", "delegate_consent_type"};
constexpr const APMPBMessageDescriptor* kConsentDelegationEntryChildren[2] = {};

// ---- CorePlatformServiceEntry ----
constexpr int32_t kCorePlatformServiceEntryTypes[] = {S, S};
constexpr uint32_t kCorePlatformServiceEntryTags[] = {1, 2};
constexpr const char* kCorePlatformServiceEntryNames[] = {"name", "unnamed_2"};
constexpr const APMPBMessageDescriptor* kCorePlatformServiceEntryChildren[2] = {};

// ---- ConsentConfig ----
constexpr int32_t kConsentConfigTypes[] = {RM, RM, RM, B, RM};
constexpr uint32_t kConsentConfigTags[] = {1, 2, 3, 4, 5};
constexpr const char* kConsentConfigNames[] = {"defaults", "delegations", "core_platform_services",
                                               "is_dma_region", "enforced_defaults"};
constexpr const APMPBMessageDescriptor* kConsentConfigChildren[] = {
    &kAPMPBConsentDefaultEntryDescriptor, &kAPMPBConsentDelegationEntryDescriptor,
    &kAPMPBCorePlatformServiceEntryDescriptor, nullptr, &kAPMPBConsentDefaultEntryDescriptor};

// ---- RuntimeEntity ----
constexpr int32_t kRuntimeEntityTypes[] = {E, RM, S, S, B, D};
constexpr uint32_t kRuntimeEntityTags[] = {1, 2, 3, 4, 5, 6};
constexpr const char* kRuntimeEntityNames[] = {"type",         "value",         "function_name",
                                               "string_value", "boolean_value", "number_value"};
constexpr const APMPBMessageDescriptor* kRuntimeEntityChildren[] = {
    nullptr, &kAPMPBRuntimeEntityDescriptor, nullptr, nullptr, nullptr, nullptr};

// ---- OgtActivity ----
constexpr int32_t kOgtActivityTypes[] = {S, RM};
constexpr uint32_t kOgtActivityTags[] = {1, 2};
constexpr const char* kOgtActivityNames[] = {"name", "data"};
constexpr const APMPBMessageDescriptor* kOgtActivityChildren[] = {nullptr,
                                                                  &kAPMPBRuntimeEntityDescriptor};

// ---- OgtActivities ----
constexpr int32_t kOgtActivitiesTypes[] = {RM};
constexpr uint32_t kOgtActivitiesTags[] = {1};
constexpr const char* kOgtActivitiesNames[] = {"activities"};
constexpr const APMPBMessageDescriptor* kOgtActivitiesChildren[] = {&kAPMPBOgtActivityDescriptor};

// ---- Program ----
constexpr int32_t kProgramTypes[] = {RM, M};
constexpr uint32_t kProgramTags[] = {1, 2};
constexpr const char* kProgramNames[] = {"instructions", "ogt_activities"};
constexpr const APMPBMessageDescriptor* kProgramChildren[] = {&kAPMPBRuntimeEntityDescriptor,
                                                              &kAPMPBOgtActivitiesDescriptor};

// ---- Setting ----
constexpr int32_t kSettingTypes[] = {S, S};
constexpr uint32_t kSettingTags[] = {1, 2};
constexpr const char* kSettingNames[] = {"name", "value"};
constexpr const APMPBMessageDescriptor* kSettingChildren[2] = {};

// ---- EventConfig ----
constexpr int32_t kEventConfigTypes[] = {S, B, B, I32};
constexpr uint32_t kEventConfigTags[] = {1, 2, 3, 4};
constexpr const char* kEventConfigNames[] = {"name", "blocklisted", "custom_conversion",
                                             "sampling_rate"};
constexpr const APMPBMessageDescriptor* kEventConfigChildren[4] = {};

// ---- Region ----
constexpr int32_t kRegionTypes[] = {S, S};
constexpr uint32_t kRegionTags[] = {1, 2};
constexpr const char* kRegionNames[] = {"unnamed_1", "unnamed_2"};
constexpr const APMPBMessageDescriptor* kRegionChildren[2] = {};

// ---- DataControl ----
constexpr int32_t kDataControlTypes[] = {S, RM, B};
constexpr uint32_t kDataControlTags[] = {1, 2, 3};
constexpr const char* kDataControlNames[] = {"name", "opt_out_regions", "unnamed_3"};
constexpr const APMPBMessageDescriptor* kDataControlChildren[] = {nullptr, &kAPMPBRegionDescriptor,
                                                                  nullptr};

// ---- PsmSetting ----
constexpr int32_t kPsmSettingTypes[] = {I32, I32, I32};
constexpr uint32_t kPsmSettingTags[] = {1, 2, 3};
constexpr const char* kPsmSettingNames[] = {"prefix_email", "prefix_phone", "signin_delay"};
constexpr const APMPBMessageDescriptor* kPsmSettingChildren[3] = {};

// ---- SstgSetting ----
constexpr int32_t kSstgSettingTypes[] = {S, S, S, I32};
constexpr uint32_t kSstgSettingTags[] = {1, 2, 3, 4};
constexpr const char* kSstgSettingNames[] = {"unnamed_1", "unnamed_2", "unnamed_3", "unnamed_4"};
constexpr const APMPBMessageDescriptor* kSstgSettingChildren[4] = {};

// ---- MeasurementConfig ----
// Tags 12 and 13 are not used.
constexpr int32_t kMeasurementConfigTypes[] = {I64, S,  I32, RM, RM, RM, S, B,
                                               RM,  RM, S,   S,  M,  M,  M, M};
constexpr uint32_t kMeasurementConfigTags[] = {1, 2,  3,  4,  5,  6,  7,  8,
                                               9, 10, 11, 14, 15, 16, 17, 18};
constexpr const char* kMeasurementConfigNames[] = {
    "version",        "devuvo_app_id",    "unnamed_3",
    "settings",       "event_config",     "audiences",
    "rozar_app_id",   "unnamed_8",        "dynamic_event_editing",
    "data_controls",  "upload_subdomain", "unnamed_14",
    "consent_config", "psm_setting",      "sstg_setting",
    "region"};
constexpr const APMPBMessageDescriptor* kMeasurementConfigChildren[] = {
    nullptr,
    nullptr,
    nullptr,
    &kAPMPBSettingDescriptor,
    &kAPMPBEventConfigDescriptor,
    &kAPMPBAudienceDescriptor,
    nullptr,
    nullptr,
    &kAPMPBProgramDescriptor,
    &kAPMPBDataControlDescriptor,
    nullptr,
    nullptr,
    &kAPMPBConsentConfigDescriptor,
    &kAPMPBPsmSettingDescriptor,
    &kAPMPBSstgSettingDescriptor,
    &kAPMPBRegionDescriptor};

static_assert(count(kMeasurementBundleTypes) == 53);

}  // namespace

#define APMPB_SCHEMA(Message, nanopbType, className)                                          \
  APMPBMessageDescriptor::Schema {                                                            \
    #Message, className,                                                                      \
        fieldCount(k##Message##Types, k##Message##Tags, k##Message##Names, k##Message##Children), \
        k##Message##Types, k##Message##Tags, k##Message##Names, k##Message##Children,         \
        &nanopbType##_msg, sizeof(nanopbType)                                                 \
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
const APMPBMessageDescriptor kAPMPBCustomPropertyDescriptor(
    APMPB_SCHEMA(CustomProperty, measurement_CustomProperty, "APMPBCustomProperty"),
    apmpb::detail::functionsOf<kAPMPBCustomPropertyDescriptor>());
const APMPBMessageDescriptor kAPMPBClientPropertyDescriptor(
    APMPB_SCHEMA(ClientProperty, measurement_ClientProperty, "APMPBClientProperty"),
    apmpb::detail::functionsOf<kAPMPBClientPropertyDescriptor>());
const APMPBMessageDescriptor kAPMPBAppPropertyDescriptor(
    APMPB_SCHEMA(AppProperty, measurement_AppProperty, "APMPBAppProperty"),
    apmpb::detail::functionsOf<kAPMPBAppPropertyDescriptor>());
const APMPBMessageDescriptor kAPMPBExperimentDescriptor(
    APMPB_SCHEMA(Experiment, measurement_Experiment, "APMPBExperiment"),
    apmpb::detail::functionsOf<kAPMPBExperimentDescriptor>());
const APMPBMessageDescriptor kAPMPBSnapshotDescriptor(
    APMPB_SCHEMA(Snapshot, measurement_Snapshot, "APMPBSnapshot"),
    apmpb::detail::functionsOf<kAPMPBSnapshotDescriptor>());
const APMPBMessageDescriptor kAPMPBSdkResponseDescriptor(
    APMPB_SCHEMA(SdkResponse, measurement_SdkResponse, "APMPBSdkResponse"),
    apmpb::detail::functionsOf<kAPMPBSdkResponseDescriptor>());
const APMPBMessageDescriptor kAPMPBExperimentRequestDescriptor(
    APMPB_SCHEMA(ExperimentRequest, measurement_ExperimentRequest, "APMPBExperimentRequest"),
    apmpb::detail::functionsOf<kAPMPBExperimentRequestDescriptor>());
const APMPBMessageDescriptor kAPMPBExperimentResponseDescriptor(
    APMPB_SCHEMA(ExperimentResponse, measurement_ExperimentResponse, "APMPBExperimentResponse"),
    apmpb::detail::functionsOf<kAPMPBExperimentResponseDescriptor>());
const APMPBMessageDescriptor kAPMPBSkAdNetworkConversionValueRequestDescriptor(
    APMPB_SCHEMA(SkAdNetworkConversionValueRequest, measurement_SkAdNetworkConversionValueRequest,
                 "APMPBSkAdNetworkConversionValueRequest"),
    apmpb::detail::functionsOf<kAPMPBSkAdNetworkConversionValueRequestDescriptor>());
const APMPBMessageDescriptor kAPMPBSkAdNetworkConversionValueResponseDescriptor(
    APMPB_SCHEMA(SkAdNetworkConversionValueResponse, measurement_SkAdNetworkConversionValueResponse,
                 "APMPBSkAdNetworkConversionValueResponse"),
    apmpb::detail::functionsOf<kAPMPBSkAdNetworkConversionValueResponseDescriptor>());
const APMPBMessageDescriptor kAPMPBNumberFilterDescriptor(
    APMPB_SCHEMA(NumberFilter, measurement_NumberFilter, "APMPBNumberFilter"),
    apmpb::detail::functionsOf<kAPMPBNumberFilterDescriptor>());
const APMPBMessageDescriptor kAPMPBStringFilterDescriptor(
    APMPB_SCHEMA(StringFilter, measurement_StringFilter, "APMPBStringFilter"),
    apmpb::detail::functionsOf<kAPMPBStringFilterDescriptor>());
const APMPBMessageDescriptor kAPMPBFilterDescriptor(
    APMPB_SCHEMA(Filter, measurement_Filter, "APMPBFilter"),
    apmpb::detail::functionsOf<kAPMPBFilterDescriptor>());
const APMPBMessageDescriptor kAPMPBPropertyFilterDescriptor(
    APMPB_SCHEMA(PropertyFilter, measurement_PropertyFilter, "APMPBPropertyFilter"),
    apmpb::detail::functionsOf<kAPMPBPropertyFilterDescriptor>());
const APMPBMessageDescriptor kAPMPBEventFilterDescriptor(
    APMPB_SCHEMA(EventFilter, measurement_EventFilter, "APMPBEventFilter"),
    apmpb::detail::functionsOf<kAPMPBEventFilterDescriptor>());
const APMPBMessageDescriptor kAPMPBAudienceDescriptor(
    APMPB_SCHEMA(Audience, measurement_Audience, "APMPBAudience"),
    apmpb::detail::functionsOf<kAPMPBAudienceDescriptor>());
const APMPBMessageDescriptor kAPMPBConsentDefaultEntryDescriptor(
    APMPB_SCHEMA(ConsentDefaultEntry, measurement_ConsentDefaultEntry, "APMPBConsentDefaultEntry"),
    apmpb::detail::functionsOf<kAPMPBConsentDefaultEntryDescriptor>());
const APMPBMessageDescriptor kAPMPBConsentDelegationEntryDescriptor(
    APMPB_SCHEMA(ConsentDelegationEntry, measurement_ConsentDelegationEntry,
                 "APMPBConsentDelegationEntry"),
    apmpb::detail::functionsOf<kAPMPBConsentDelegationEntryDescriptor>());
const APMPBMessageDescriptor kAPMPBCorePlatformServiceEntryDescriptor(
    APMPB_SCHEMA(CorePlatformServiceEntry, measurement_CorePlatformServiceEntry,
                 "APMPBCorePlatformServiceEntry"),
    apmpb::detail::functionsOf<kAPMPBCorePlatformServiceEntryDescriptor>());
const APMPBMessageDescriptor kAPMPBConsentConfigDescriptor(
    APMPB_SCHEMA(ConsentConfig, measurement_ConsentConfig, "APMPBConsentConfig"),
    apmpb::detail::functionsOf<kAPMPBConsentConfigDescriptor>());
const APMPBMessageDescriptor kAPMPBRuntimeEntityDescriptor(
    APMPB_SCHEMA(RuntimeEntity, measurement_RuntimeEntity, "APMPBRuntimeEntity"),
    apmpb::detail::functionsOf<kAPMPBRuntimeEntityDescriptor>());
const APMPBMessageDescriptor kAPMPBOgtActivityDescriptor(
    APMPB_SCHEMA(OgtActivity, measurement_OgtActivity, "APMPBOgtActivity"),
    apmpb::detail::functionsOf<kAPMPBOgtActivityDescriptor>());
const APMPBMessageDescriptor kAPMPBOgtActivitiesDescriptor(
    APMPB_SCHEMA(OgtActivities, measurement_OgtActivities, "APMPBOgtActivities"),
    apmpb::detail::functionsOf<kAPMPBOgtActivitiesDescriptor>());
const APMPBMessageDescriptor kAPMPBProgramDescriptor(
    APMPB_SCHEMA(Program, measurement_Program, "APMPBProgram"),
    apmpb::detail::functionsOf<kAPMPBProgramDescriptor>());
const APMPBMessageDescriptor kAPMPBSettingDescriptor(
    APMPB_SCHEMA(Setting, measurement_Setting, "APMPBSetting"),
    apmpb::detail::functionsOf<kAPMPBSettingDescriptor>());
const APMPBMessageDescriptor kAPMPBEventConfigDescriptor(
    APMPB_SCHEMA(EventConfig, measurement_EventConfig, "APMPBEventConfig"),
    apmpb::detail::functionsOf<kAPMPBEventConfigDescriptor>());
const APMPBMessageDescriptor kAPMPBRegionDescriptor(
    APMPB_SCHEMA(Region, measurement_Region, nullptr),
    apmpb::detail::functionsOf<kAPMPBRegionDescriptor>());
const APMPBMessageDescriptor kAPMPBDataControlDescriptor(
    APMPB_SCHEMA(DataControl, measurement_DataControl, "APMPBDataControl"),
    apmpb::detail::functionsOf<kAPMPBDataControlDescriptor>());
const APMPBMessageDescriptor kAPMPBPsmSettingDescriptor(
    APMPB_SCHEMA(PsmSetting, measurement_PsmSetting, "APMPBPsmSetting"),
    apmpb::detail::functionsOf<kAPMPBPsmSettingDescriptor>());
const APMPBMessageDescriptor kAPMPBSstgSettingDescriptor(
    APMPB_SCHEMA(SstgSetting, measurement_SstgSetting, nullptr),
    apmpb::detail::functionsOf<kAPMPBSstgSettingDescriptor>());
const APMPBMessageDescriptor kAPMPBMeasurementConfigDescriptor(
    APMPB_SCHEMA(MeasurementConfig, measurement_MeasurementConfig, "APMPBMeasurementConfig"),
    apmpb::detail::functionsOf<kAPMPBMeasurementConfigDescriptor>());

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
      &kAPMPBCustomPropertyDescriptor,
      &kAPMPBClientPropertyDescriptor,
      &kAPMPBAppPropertyDescriptor,
      &kAPMPBExperimentDescriptor,
      &kAPMPBSnapshotDescriptor,
      &kAPMPBSdkResponseDescriptor,
      &kAPMPBExperimentRequestDescriptor,
      &kAPMPBExperimentResponseDescriptor,
      &kAPMPBSkAdNetworkConversionValueRequestDescriptor,
      &kAPMPBSkAdNetworkConversionValueResponseDescriptor,
      &kAPMPBNumberFilterDescriptor,
      &kAPMPBStringFilterDescriptor,
      &kAPMPBFilterDescriptor,
      &kAPMPBPropertyFilterDescriptor,
      &kAPMPBEventFilterDescriptor,
      &kAPMPBAudienceDescriptor,
      &kAPMPBConsentDefaultEntryDescriptor,
      &kAPMPBConsentDelegationEntryDescriptor,
      &kAPMPBCorePlatformServiceEntryDescriptor,
      &kAPMPBConsentConfigDescriptor,
      &kAPMPBRuntimeEntityDescriptor,
      &kAPMPBOgtActivityDescriptor,
      &kAPMPBOgtActivitiesDescriptor,
      &kAPMPBProgramDescriptor,
      &kAPMPBSettingDescriptor,
      &kAPMPBEventConfigDescriptor,
      &kAPMPBRegionDescriptor,
      &kAPMPBDataControlDescriptor,
      &kAPMPBPsmSettingDescriptor,
      &kAPMPBSstgSettingDescriptor,
      &kAPMPBMeasurementConfigDescriptor,
  };
  if (count != nullptr) *count = sizeof(descriptors) / sizeof(descriptors[0]);
  return descriptors;
}

}  // namespace apmpb::detail
