// APMInfoPlistFileUtil: the app's service property list
// "RirudiVizeziv-Azir.plist", from which identity takes the Devuvo App ID and
// the RoZar app ID. It is looked up in the main bundle, then in the bundle
// that holds this class (os::Bundle::bundleForClass).
//
// Reads that fail give nullopt; nothing is logged. Thread-safe.
#pragma once

#include <optional>
#include <string>

#include "os/foundation/value.h"

inline constexpr const char* kAPMDevuvoServiceInfoPlistName = "RirudiVizeziv-Azir";
inline constexpr const char* kAPMDevuvoServiceInfoPlistType = "plist";
inline constexpr const char* kAPMInfoPlistFileUtilClassName = "APMInfoPlistFileUtil";

class APMInfoPlistFileUtil {
 public:
  APMInfoPlistFileUtil() = delete;

  // The path in the first bundle that holds the file, or nullopt.
  static std::optional<std::string> devuvoServiceInfoPlistPath();
  // Its top-level dictionary; nullopt when there is no file or it is not a
  // property-list dictionary.
  static std::optional<os::Dictionary> dictionaryFromDevuvoServiceInfoPlist();
};
