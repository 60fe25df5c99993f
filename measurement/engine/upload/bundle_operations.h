// Bundle-level operations the uploader applies to queued bundles before a
// batch goes: consent and device identifiers, the DMA fields, data-control
// redaction, the first-open test and the batch-compatibility test. Bundles
// are changed in place.
//
// Bundling owns these operations; until it is built their bodies are
// stand-ins (core/pending_parts.cpp).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/messages/message_classes.h"

class APMIdentity;
class APMRemoteConfig;

bool APMBundleHasFirstOpenEvent(const APMPBMeasurementBundle& bundle);
void APMBundleApplyConsentAndIdentifiers(APMPBMeasurementBundle& bundle, std::string_view consentSignals,
                                         bool gateIDFAOnTrackingAuthorization, APMIdentity& identity,
                                         bool overwrite);
// `npaAttribute` is the stored "_npa" user property as a message, or null.
void APMBundleApplyDMAFields(APMPBMeasurementBundle& bundle, std::string_view consentDiagnostics,
                             bool adUserDataDenied, const std::shared_ptr<APMPBUserAttribute>& npaAttribute,
                             APMRemoteConfig& remoteConfig, bool overwrite);
// Two bundles may go in one batch: equal consent signals, diagnostics, DMA
// region, core platform services and "_npa". NO when either is null.
bool APMBundlesShareConsentState(const APMPBMeasurementBundle* a, const APMPBMeasurementBundle* b);
void APMBundleApplyDataControls(APMPBMeasurementBundle& bundle, const std::vector<std::string>& dataControls,
                                APMIdentity& identity);
