#include "measurement/engine/core/stand_in_record.h"

#include <map>
#include <mutex>

namespace {

struct Record {
  std::mutex mutex;
  std::vector<APMStandInCall> calls;                        // guarded by mutex
  std::map<std::string, os::Value, std::less<>> answers;  // guarded by mutex
};

Record& state() {
  static auto* record = new Record();  // never destroyed: stand-ins may run during exit
  return *record;
}

}  // namespace

void APMStandInRecord::record(std::string name, os::Dictionary arguments) {
  Record& r = state();
  std::lock_guard lock(r.mutex);
  r.calls.push_back({std::move(name), std::move(arguments)});
}

std::vector<APMStandInCall> APMStandInRecord::calls() {
  Record& r = state();
  std::lock_guard lock(r.mutex);
  return r.calls;
}

std::vector<APMStandInCall> APMStandInRecord::callsNamed(std::string_view name) {
  std::vector<APMStandInCall> out;
  for (auto& call : calls()) {
    if (call.name == name) out.push_back(std::move(call));
  }
  return out;
}

std::vector<std::string> APMStandInRecord::callNames() {
  std::vector<std::string> out;
  for (auto& call : calls()) out.push_back(std::move(call.name));
  return out;
}

std::optional<os::Value> APMStandInRecord::answer(std::string_view name) {
  Record& r = state();
  std::lock_guard lock(r.mutex);
  const auto found = r.answers.find(name);
  if (found == r.answers.end()) return std::nullopt;
  return found->second;
}

void APMStandInRecord::setAnswer(std::string name, os::Value value) {
  Record& r = state();
  std::lock_guard lock(r.mutex);
  r.answers[std::move(name)] = std::move(value);
}

void APMStandInRecord::TEST_reset() {
  Record& r = state();
  std::lock_guard lock(r.mutex);
  r.calls.clear();
  r.answers.clear();
}
