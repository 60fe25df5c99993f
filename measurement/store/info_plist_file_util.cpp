#include "measurement/store/info_plist_file_util.h"

#include "os/foundation/bundle.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"

std::optional<std::string> APMInfoPlistFileUtil::devuvoServiceInfoPlistPath() {
  for (const auto& bundle :
       {os::Bundle::mainBundle(), os::Bundle::bundleForClass(kAPMInfoPlistFileUtilClassName)}) {
    if (!bundle) continue;
    if (auto path = bundle->pathForResource(kAPMDevuvoServiceInfoPlistName, kAPMDevuvoServiceInfoPlistType)) {
      return path;
    }
  }
  return std::nullopt;
}

std::optional<os::Dictionary> APMInfoPlistFileUtil::dictionaryFromDevuvoServiceInfoPlist() {
  const std::optional<std::string> path = devuvoServiceInfoPlistPath();
  if (!path) return std::nullopt;
  os::Result<os::Data> data = os::FileManager::defaultManager().contentsAtPath(*path);
  if (!data) return std::nullopt;
  os::Result<os::Value> plist = os::PropertyListSerialization::propertyListWithData(*data);
  if (!plist || !plist->isDictionary()) return std::nullopt;
  return *plist->dictionary();
}
