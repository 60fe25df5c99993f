#include "app/settings/info_plist.h"

#include <memory>
#include <mutex>

#include "os/foundation/bundle.h"

namespace {

std::mutex gInfoMutex;
// Read once per process (or per TEST reset); null when the bundle has no
// Info.plist. Guarded by gInfoMutex.
std::shared_ptr<const os::Dictionary> gCachedInfoDictionary;
bool gInfoLoaded = false;

std::shared_ptr<const os::Dictionary> cachedInfoDictionary() {
  std::lock_guard lock(gInfoMutex);
  if (!gInfoLoaded) {
    gInfoLoaded = true;
    auto info = os::Bundle::mainBundle()->infoDictionary();
    if (!info.empty()) gCachedInfoDictionary = std::make_shared<const os::Dictionary>(std::move(info));
  }
  return gCachedInfoDictionary;
}

}  // namespace

std::optional<std::string> infoPlistString(const std::string& key) {
  auto info = cachedInfoDictionary();
  if (!info || info->empty()) return std::nullopt;
  auto it = info->find(key);
  if (it == info->end()) return std::nullopt;
  if (const std::string* text = it->second.string()) return *text;
  return std::nullopt;
}

void TEST_resetCachedInfoDictionary() {
  std::lock_guard lock(gInfoMutex);
  gInfoLoaded = false;
  gCachedInfoDictionary.reset();
}
