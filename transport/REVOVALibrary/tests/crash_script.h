// What the crash-test child stores, so that the parent can check it.
#pragma once

#include <cstdint>
#include <string>

#include "os/foundation/date.h"

namespace revova_crash {

// The manual clock's default start; the parent checks expiry two hours on.
inline const os::Date kStart = os::Date::fromTimeIntervalSince1970(1'700'000'000);

inline std::string mappingIDFor(int index) { return index % 3 == 0 ? "12-06" : "1974"; }
inline int64_t qosTierFor(int index) { return index % 2 == 0 ? 3 : 4; }
// Even events expire an hour after the start, odd ones in 30 days.
inline os::Date expirationFor(int index) {
  return kStart.addingTimeInterval(index % 2 == 0 ? 3'600 : 30 * 86'400);
}
inline os::Date batchExpiration() { return kStart.addingTimeInterval(86'400); }
// Long enough that a torn write could not pass for a whole one.
inline std::string payloadFor(const std::string& eventID) {
  std::string payload = "payload of " + eventID + ":";
  while (payload.size() < 4'000) payload += eventID;
  return payload;
}

}  // namespace revova_crash
