#include "os/dispatch/lock.h"

#include <memory>
#include <unordered_map>

namespace os::dispatch::detail {

namespace {
struct MonitorTable {
  struct Entry {
    std::recursive_mutex mutex;
    int users = 0;  // holders and waiters; guarded by MonitorTable::mutex
  };
  std::mutex mutex;
  std::unordered_map<const void*, std::unique_ptr<Entry>> entries;  // guarded by mutex
};

MonitorTable& table() {
  static MonitorTable* t = new MonitorTable();
  return *t;
}
}  // namespace

void monitorEnter(const void* object) {
  auto& t = table();
  MonitorTable::Entry* e;
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    auto& slot = t.entries[object];
    if (!slot) slot = std::make_unique<MonitorTable::Entry>();
    ++slot->users;
    e = slot.get();
  }
  e->mutex.lock();
}

void monitorExit(const void* object) {
  auto& t = table();
  MonitorTable::Entry* e;
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.entries.find(object);
    if (it == t.entries.end()) return;
    e = it->second.get();
  }
  e->mutex.unlock();
  std::lock_guard<std::mutex> lock(t.mutex);
  // Users counted under the table lock keep the entry alive until they leave.
  if (--e->users == 0) t.entries.erase(object);
}

}  // namespace os::dispatch::detail
