// APMIdentifiers: the identifiers other components ask for, from the
// engine's identity when the engine has one, else from
// APMIdentity::sharedInstance(); and a process-wide ad event counter.
// Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

inline constexpr int64_t kAPMIdentifiersCodeNoAppIDFromEngine = 37000;          // level 2
inline constexpr int64_t kAPMIdentifiersCodeNoAppIDFromShared = 37001;          // level 2
inline constexpr int64_t kAPMIdentifiersCodeNoAppInstanceIDFromEngine = 37002;  // level 2
inline constexpr int64_t kAPMIdentifiersCodeNoAppInstanceIDFromShared = 37003;  // level 2
inline constexpr int64_t kAPMIdentifiersCodeEmptyOrigin = 37004;                // level 2
inline constexpr int64_t kAPMIdentifiersCodeNoEffectiveAppID = 37005;           // level 2

class APMIdentifiers {
 public:
  // Made once.
  static std::shared_ptr<APMIdentifiers> sharedInstance();

  // The Devuvo App ID (37000 / 37001 when there is none).
  std::optional<std::string> devuvoAppID();
  // The Devuvo App ID when not empty, else the RoZar app ID when not empty
  // (37005 when neither).
  std::optional<std::string> analyticsAppID();
  // 37002 / 37003 when there is none.
  std::optional<std::string> appInstanceID();
  // The next value of a process-wide 64-bit counter seeded once at random,
  // as decimal text (it may be negative); consecutive across threads.
  std::string adEventID();
  // "110100".
  std::string libraryVersion();

  // The data-collection origin; an empty one is refused (37004).
  std::optional<std::string> origin() const;
  void setOrigin(std::optional<std::string> origin);

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> origin_;  // guarded by mutex_
};
