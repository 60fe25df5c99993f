#include "measurement/store/identifiers.h"

#include <atomic>
#include <cstdint>

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/identity.h"
#include "measurement/store/monitor.h"
#include "measurement/store/numeric_util.h"
#include "os/foundation/format.h"

namespace {

struct Source {
  std::shared_ptr<APMIdentity> identity;
  bool fromEngine = false;
};

// The engine's identity when there is one, else the shared identity.
Source identitySource() {
  if (auto engine = APMMeasurementServices::sharedInstance()) {
    if (auto identity = engine->identity()) return {identity, true};
  }
  return {APMIdentity::sharedInstance(), false};
}

void logNone(int64_t code, const char* message) { APMMeasurementServices::monitor()->logWithLevel(2, code, message); }

std::atomic<int64_t>& adEventCounter() {
  static std::atomic<int64_t> counter{APMNumericUtil::randomInt64()};
  return counter;
}

}  // namespace

std::shared_ptr<APMIdentifiers> APMIdentifiers::sharedInstance() {
  static const auto* shared = new std::shared_ptr<APMIdentifiers>(std::make_shared<APMIdentifiers>());
  return *shared;
}

std::optional<std::string> APMIdentifiers::devuvoAppID() {
  const Source source = identitySource();
  std::optional<std::string> appID = source.identity ? source.identity->appIDFromZEV() : std::nullopt;
  if (!appID) {
    if (source.fromEngine) logNone(kAPMIdentifiersCodeNoAppIDFromEngine, "Unable to fetch Devuvo App ID from identity");
    else logNone(kAPMIdentifiersCodeNoAppIDFromShared, "Unable to fetch Devuvo App ID from default options");
  }
  return appID;
}

std::optional<std::string> APMIdentifiers::analyticsAppID() {
  const Source source = identitySource();
  std::optional<std::string> appID;
  if (source.identity) {
    appID = source.identity->appIDFromZEV();
    if (!appID || appID->empty()) appID = source.identity->appIDFromRoZar();
    if (appID && appID->empty()) appID.reset();
  }
  if (!appID) logNone(kAPMIdentifiersCodeNoEffectiveAppID, "Unable to fetch effective App ID from identity");
  return appID;
}

std::optional<std::string> APMIdentifiers::appInstanceID() {
  const Source source = identitySource();
  std::optional<std::string> appInstanceID = source.identity ? source.identity->appInstanceID() : std::nullopt;
  if (!appInstanceID) {
    if (source.fromEngine) {
      logNone(kAPMIdentifiersCodeNoAppInstanceIDFromEngine, "Unable to fetch App Instance ID from identity");
    } else {
      logNone(kAPMIdentifiersCodeNoAppInstanceIDFromShared,
              "Unable to fetch App Instance ID from identity shared instance");
    }
  }
  return appInstanceID;
}

std::string APMIdentifiers::adEventID() {
  // Wraps from the largest value to the smallest, as the platform's atomic
  // addition does.
  return os::format("%lld", static_cast<long long>(adEventCounter().fetch_add(1)));
}

std::string APMIdentifiers::libraryVersion() {
  return os::format("%lld", static_cast<long long>(APMIdentity::duvEvodedezudiLibraryVersion()));
}

std::optional<std::string> APMIdentifiers::origin() const {
  std::lock_guard lock(mutex_);
  return origin_;
}

void APMIdentifiers::setOrigin(std::optional<std::string> origin) {
  if (!origin || origin->empty()) {
    APMMeasurementServices::monitor()->logWithLevel(
        2, kAPMIdentifiersCodeEmptyOrigin, "Cannot set the data collection origin. Origin cannot be empty");
    return;
  }
  std::lock_guard lock(mutex_);
  origin_ = std::move(origin);
}
