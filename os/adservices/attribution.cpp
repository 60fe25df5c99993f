#include "os/adservices/attribution.h"

#include <mutex>

#include "os/foundation/process_info.h"

namespace {

struct AttributionState {
  std::mutex mutex;
  os::Result<std::string> answer = std::string(kAAAttributionDefaultToken);  // guarded by mutex
  int64_t requests = 0;                                                       // guarded by mutex
};

AttributionState& state() {
  static auto& s = *new AttributionState();  // never destroyed
  return s;
}

const os::runtime::ClassRegistration kAttributionClass{
    kAAAttributionClassName, "NSObject", [](os::runtime::Class& c) {
      c.addClassMethod(kAAAttributionTokenSelector, os::runtime::makeClassImp<os::Result<std::string>>(
                                                        [](os::runtime::Class&) {
                                                          return AAAttribution::attributionTokenWithError();
                                                        }));
    }};

}  // namespace

os::Result<std::string> AAAttribution::attributionTokenWithError() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  ++s.requests;
  if (!os::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({14, 3, 0}))
    return os::fail(AAAttributionErrorDomain, AAAttributionErrorCodePlatformNotSupported,
                    "Attribution is not supported on this system.");
  return s.answer;
}

void AAAttribution::TEST_setAnswer(os::Result<std::string> answer) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.answer = std::move(answer);
}

int64_t AAAttribution::TEST_requestCount() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  return s.requests;
}

void AAAttribution::TEST_reset() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.answer = std::string(kAAAttributionDefaultToken);
  s.requests = 0;
}
