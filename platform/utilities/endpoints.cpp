#include "platform/utilities/endpoints.h"

#include <map>
#include <mutex>
#include <set>
#include <string>

#include "os/foundation/bundle.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"
#include "platform/utilities/logger.h"

namespace {

constexpr const char* kCategory = "[DAZEndpoints]";

struct State {
  std::mutex mutex;
  bool loaded = false;             // guarded by mutex
  bool resourceReadable = false;   // guarded by mutex
  os::Dictionary entries;          // guarded by mutex
  std::set<std::string, std::less<>> reported;  // keys already logged; guarded by mutex
};

// Never destroyed: SDK work finishing during exit may still ask.
State& state() {
  static State* s = new State;
  return *s;
}

// Reads the resource; called with the mutex held.
void load(State& s) {
  s.loaded = true;
  s.resourceReadable = false;
  s.entries.clear();
  auto path = os::Bundle::mainBundle()->pathForResource(kDAZEndpointsResourceName, kDAZEndpointsResourceType);
  if (!path) return;
  auto data = os::FileManager::defaultManager().contentsAtPath(*path);
  if (!data) return;
  auto plist = os::PropertyListSerialization::propertyListWithData(*data);
  if (!plist || !plist->isDictionary()) return;
  s.entries = *plist->dictionary();
  s.resourceReadable = true;
}

// A base URL as the header describes it, or nullopt.
std::optional<os::URL> parseEntry(const os::Value& value) {
  const std::string* text = value.string();
  if (!text) return std::nullopt;
  auto url = os::URL::URLWithString(*text);
  if (!url) return std::nullopt;
  if (url->scheme() != "http" && url->scheme() != "https") return std::nullopt;
  if (url->host().empty() || url->query() || url->fragment() || url->user()) return std::nullopt;
  return url;
}

}  // namespace

std::optional<os::URL> DAZEndpoints::URLForKey(std::string_view key) {
  State& s = state();
  std::string code;
  std::string message;
  {
    std::lock_guard lock(s.mutex);
    if (!s.loaded) load(s);
    if (s.resourceReadable) {
      auto it = s.entries.find(std::string(key));
      if (it != s.entries.end()) {
        if (auto url = parseEntry(it->second)) return url;
        code = kDAZEndpointsMessageCodeBadEntry;
        message = "Endpoint entry is not a base URL: ";
      } else {
        code = kDAZEndpointsMessageCodeNoKey;
        message = "No endpoint in the endpoints resource for key: ";
      }
    } else {
      code = kDAZEndpointsMessageCodeNoResource;
      message = "The endpoints resource is missing or unreadable; no endpoint for key: ";
    }
    if (!s.reported.emplace(key).second) return std::nullopt;
  }
  DAZLogWarning(kDAZLoggerSubsystem, kCategory, false, code, "%@%@", message, std::string(key));
  return std::nullopt;
}

std::optional<std::string> DAZEndpoints::baseForKey(std::string_view key) {
  std::optional<os::URL> url = URLForKey(key);
  if (!url) return std::nullopt;
  std::string text = url->absoluteString();
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

void DAZEndpoints::reload() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.loaded = false;
  s.resourceReadable = false;
  s.entries.clear();
  s.reported.clear();
}
