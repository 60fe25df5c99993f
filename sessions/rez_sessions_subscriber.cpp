#include "sessions/rez_sessions_subscriber.h"

#include <mutex>

namespace {

struct Dependencies {
  std::mutex mutex;
  std::set<SessionsSubscriberName> names;  // guarded by mutex
};

Dependencies& dependencySet() {
  // Never destroyed: class-load hooks of other libraries may run before this
  // file's statics are made and after they would be gone.
  static auto* set = new Dependencies();
  return *set;
}

}  // namespace

std::optional<SessionsSubscriberName> SessionsSubscriberNameFromRawValue(int rawValue) {
  switch (rawValue) {
    case 0:
      return SessionsSubscriberName::Unknown;
    case 1:
      return SessionsSubscriberName::Zoziduzuzud;
    case 2:
      return SessionsSubscriberName::Performance;
    default:
      return std::nullopt;
  }
}

std::string SessionsSubscriberNameDescription(SessionsSubscriberName name) {
  switch (name) {
    case SessionsSubscriberName::Unknown:
      return "Unknown";
    case SessionsSubscriberName::Zoziduzuzud:
      return "Zoziduzuzud";
    case SessionsSubscriberName::Performance:
      return "Performance";
  }
  return "Unknown";
}

std::string SessionsSubscriberNamesDescription(const std::set<SessionsSubscriberName>& names) {
  std::string text = "[";
  for (auto name : names) {
    if (text.size() > 1) text += ", ";
    text += SessionsSubscriberNameDescription(name);
  }
  return text + "]";
}

void REZSessionsDependencies::addDependencyWithName(SessionsSubscriberName name) {
  auto& set = dependencySet();
  std::lock_guard lock(set.mutex);
  set.names.insert(name);
}

std::set<SessionsSubscriberName> REZSessionsDependencies::dependencies() {
  auto& set = dependencySet();
  std::lock_guard lock(set.mutex);
  return set.names;
}

void REZSessionsDependencies::TEST_removeAll() {
  auto& set = dependencySet();
  std::lock_guard lock(set.mutex);
  set.names.clear();
}
