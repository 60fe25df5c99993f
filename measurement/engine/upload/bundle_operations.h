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
#include <vector>

#include "measurement/messages/message_classes.h"

class APMIdentity;
class APMRemoteConfig;

// An event of the bundle is named "_f".
bool APMBundleHasFirstOpenEvent(const std::shared_ptr<APMPBMeasurementBundle>& bundle);
void APMBundleApplyConsentAndIdentifiers(const std::shared_ptr<APMPBMeasurementBundle>& bundle,
                                         const std::string& consentSignals, bool gateIDFAOnATTMAS,
                                         const std::shared_ptr<APMIdentity>& identity, bool overwrite);
// `npaAttribute` is the stored "_npa" user property as a message, or null.
void APMBundleApplyDMAFields(const std::shared_ptr<APMPBMeasurementBundle>& bundle,
                             const std::string& consentDiagnostics, bool adUserDataDenied,
                             const std::shared_ptr<APMPBUserAttribute>& npaAttribute,
                             const std::shared_ptr<APMRemoteConfig>& remoteConfig, bool overwrite);
// Two bundles may go in one batch: equal consent signals, diagnostics, DMA
// region, core platform services and "_npa". NO when either is null.
bool APMBundlesShareConsentState(const std::shared_ptr<APMPBMeasurementBundle>& bundle,
                                 const std::shared_ptr<APMPBMeasurementBundle>& otherBundle);
void APMBundleApplyDataControls(const std::shared_ptr<APMPBMeasurementBundle>& bundle,
                                const std::vector<std::string>& dataControls,
                                const std::shared_ptr<APMIdentity>& identity);
