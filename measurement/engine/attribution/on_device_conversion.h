// On-device conversion measurement: names, the client contract and monitor
// codes of the engine's part (APMMeasurement, on_device_conversion.cpp).
//
// The client is an optional component, a runtime class named
// "APMPrivateSetMembershipClient" found by name (none is built here). An
// instance comes from the class's factory and is set up with one of the
// initialisers below, which answer whether it took the identifier; the
// engine then asks it for the query URL, the kind of identifier, an
// optional debug key and the match in the answer.
//
// Design note.
// 1. An attempt (setUserData) takes the first identifier that passes its
//    test (e-mail, phone, hashed e-mail, hashed phone): a client class, the
//    feature on, within the sign-in window after first open, no request in
//    flight, below the per-run start limit, no stored match, below the
//    retry limit.
// 2. Each request counts one "_psmcount*" property; a failure retries after
//    PSMRetryInterval x 2^n up to the retry limit; a match sets "_psmvalue"
//    and logs a real-time "_fx" with "_fxs" = "psm".
// 3. A match expires after 90 days, taking the counts with it.
//
// Everything runs on the worker queue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "os/foundation/data.h"
#include "os/foundation/url.h"
#include "os/runtime/runtime.h"

inline constexpr const char* kAPMPSMRetryAlarmName = "On-device conversion measurement timer";
inline constexpr const char* kAPMPSMDebugArgument = "-DebugOnDeviceConversionMeasurement";
inline constexpr const char* kAPMPSMDebugKeyParameter = "debug_psm_key";
inline constexpr const char* kAPMPSMFirstOpenParameter = "timestamp_first_open";
// Seconds a stored match is kept.
inline constexpr double kAPMPSMValueLifetime = 7'776'000;

// Keys of the user-data dictionary.
inline constexpr const char* kAPMUserDataEmailAddress = "email_address";
inline constexpr const char* kAPMUserDataPhoneNumber = "phone_number";
inline constexpr const char* kAPMUserDataHashedEmailAddress = "hashed_email_address";
inline constexpr const char* kAPMUserDataHashedPhoneNumber = "hashed_phone_number";

// User properties (origin "auto").
inline constexpr const char* kAPMPSMOrigin = "auto";
inline constexpr const char* kAPMPSMValueProperty = "_psmvalue";
inline constexpr const char* kAPMPSMCountEmailProperty = "_psmcount";
inline constexpr const char* kAPMPSMCountPhoneProperty = "_psmcountph";
inline constexpr const char* kAPMPSMCountHashedEmailProperty = "_psmcounth";
inline constexpr const char* kAPMPSMCountHashedPhoneProperty = "_psmcounthph";
// The event of a match.
inline constexpr const char* kAPMPSMMatchEventName = "_fx";
inline constexpr const char* kAPMPSMMatchSourceParameter = "_fxs";
inline constexpr const char* kAPMPSMMatchSource = "psm";

// ---- The client's operations ----
// Initialisers: (identifier, app ID[, prefix bit length]) -> whether the
// instance took them. A hashed identifier is the digest's bytes.
inline constexpr const char* kAPMPSMInitEmailWithPrefix = "initWithEmailAddress:appID:prefixBitLength:";
inline constexpr const char* kAPMPSMInitEmail = "initWithEmailAddress:appID:";
inline constexpr const char* kAPMPSMInitPhoneWithPrefix = "initWithPhoneNumber:appID:prefixBitLength:";
inline constexpr const char* kAPMPSMInitPhone = "initWithPhoneNumber:appID:";
inline constexpr const char* kAPMPSMInitHashedEmail = "initWithHashedEmailAddress:appID:prefixBitLength:";
inline constexpr const char* kAPMPSMInitHashedPhone = "initWithHashedPhoneNumber:appID:prefixBitLength:";
using APMPSMInitWithPrefixImp = bool(os::runtime::Object&, std::string, std::string, int64_t);
using APMPSMInitImp = bool(os::runtime::Object&, std::string, std::string);
// (retry count) -> the query URL, or none.
inline constexpr const char* kAPMPSMRequestURLSelector = "PSMRequestURLWithRetryCount:";
using APMPSMRequestURLImp = std::optional<os::URL>(os::runtime::Object&, int64_t);
// -> 2 phone number, 3 hashed e-mail, 4 hashed phone number, else e-mail.
inline constexpr const char* kAPMPSMInputTypeSelector = "inputType";
using APMPSMInputTypeImp = int64_t(os::runtime::Object&);
inline constexpr int64_t kAPMPSMInputTypePhone = 2;
inline constexpr int64_t kAPMPSMInputTypeHashedEmail = 3;
inline constexpr int64_t kAPMPSMInputTypeHashedPhone = 4;
// Optional: -> the debug key.
inline constexpr const char* kAPMPSMDebugKeySelector = "debugKey";
using APMPSMDebugKeyImp = std::optional<std::string>(os::runtime::Object&);
// (answer body) -> the match; none or empty: no match.
inline constexpr const char* kAPMPSMParseSelector = "parsedPSMValueFromResponse:";
using APMPSMParseImp = std::optional<std::string>(os::runtime::Object&, os::Data);

// Monitor codes (level in the comment).
inline constexpr int64_t kAPMPSMCodeInitiated = 23225;             // 7
inline constexpr int64_t kAPMPSMCodeInvalidURL = 23227;            // 1
inline constexpr int64_t kAPMPSMCodeRequestFailed = 23228;         // 1
inline constexpr int64_t kAPMPSMCodeMatch = 23229;                 // 7
inline constexpr int64_t kAPMPSMCodeNoMatch = 23230;               // 7
inline constexpr int64_t kAPMPSMCodeRetryLimitReached = 23231;     // 4
inline constexpr int64_t kAPMPSMCodePostponed = 23232;             // 7
inline constexpr int64_t kAPMPSMCodeNotLinked = 23233;             // 1
inline constexpr int64_t kAPMPSMCodeEmptyEmail = 23234;            // 1
inline constexpr int64_t kAPMPSMCodeInProgress = 23235;            // 1
inline constexpr int64_t kAPMPSMCodeStartLimit = 23236;            // 1
inline constexpr int64_t kAPMPSMCodeExistingMatch = 23237;         // 1
inline constexpr int64_t kAPMPSMCodeRetryLimit = 23238;            // 1
inline constexpr int64_t kAPMPSMCodeEmptyPhone = 23239;            // 1
inline constexpr int64_t kAPMPSMCodeLinked = 23253;                // 7
inline constexpr int64_t kAPMPSMCodeNotLinkedWithCounts = 23254;   // 4
inline constexpr int64_t kAPMPSMCodeOutsideWindow = 23261;         // 1
inline constexpr int64_t kAPMPSMCodePhoneUnsupported = 23262;      // 1
inline constexpr int64_t kAPMPSMCodeEmptyHashed = 23264;           // 1
inline constexpr int64_t kAPMPSMCodeHashedUnsupported = 23265;     // 1
