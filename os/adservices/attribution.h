// AAAttribution: the system's attribution token for the app's install,
// which the app hands to the search-ads attribution service. The class
// "AAAttribution" registers itself with the runtime at static initialisation
// and is found by name; its class method "attributionTokenWithError:" (an
// implementation of the signature AAAttributionTokenImp) answers as the C++
// function does.
//
// Headless, the token or the error is what a test set (TEST_setAnswer); by
// default the token kAAAttributionDefaultToken. On a system older than 14.3
// (the device profile's version) the framework is not there: the answer is
// AAAttributionErrorCodePlatformNotSupported.
//
// Thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "os/foundation/error.h"
#include "os/runtime/runtime.h"

inline constexpr const char* AAAttributionErrorDomain = "AAAttributionErrorDomain";
enum AAAttributionErrorCode : int64_t {
  AAAttributionErrorCodeNetworkError = 1,
  AAAttributionErrorCodeInternalError = 2,
  AAAttributionErrorCodePlatformNotSupported = 3,
};

inline constexpr const char* kAAAttributionClassName = "AAAttribution";
inline constexpr const char* kAAAttributionTokenSelector = "attributionTokenWithError:";
using AAAttributionTokenImp = os::Result<std::string>(os::runtime::Class&);

inline constexpr const char* kAAAttributionDefaultToken = "ZHJvc2lsLWF0dHJpYnV0aW9uLXRva2Vu";

class AAAttribution {
 public:
  // attributionTokenWithError:
  static os::Result<std::string> attributionTokenWithError();

  // The answer from now on: a token or an error.
  static void TEST_setAnswer(os::Result<std::string> answer);
  // Tokens asked for since the last reset (refusals included).
  static int64_t TEST_requestCount();
  // Back to the default token and a count of 0.
  static void TEST_reset();
};
