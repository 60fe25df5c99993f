#include "measurement/engine/tests/pipeline_test_support.h"

#include <algorithm>

#include "measurement/messages/field_access.h"
#include "measurement/store/remote_config.h"
#include "os/dispatch/queue.h"
#include "os/foundation/date.h"

namespace pipeline_test {

void PipelineTest::logApp(const std::string& name, const os::Dictionary& parameters) {
  engine()->logEventWithOrigin("app", true, name, parameters, now(), true, false, false, nullptr, {});
  settle();
}

void PipelineTest::onWorker(std::function<void(APMMeasurement&)> fn) {
  auto engine = this->engine();
  engine->scheduler()->workerQueue()->async([engine, fn = std::move(fn)] { fn(*engine); });
  settle();
}

void PipelineTest::applyConfig(const Settings& settings, bool withProgram) {
  auto config = apm_test::measurementConfig(engine_test::kAppID, settings, 3);
  if (withProgram) APMPBSetArray(config.get(), 8, std::vector{APMPBProgram::initWithMessageInfo(nullptr)});
  onWorker([config](APMMeasurement& engine) { engine.remoteConfigInstance()->parseRemoteConfigFromMeasurementConfig(config); });
}

std::vector<std::string> PipelineTest::storedNames() {
  std::vector<std::string> names;
  for (const auto& event : storedEvents()) names.push_back(event.at("name").stringValue());
  return names;
}

std::vector<os::Dictionary> PipelineTest::eventsNamed(const std::string& name) {
  auto events = storedEvents();
  std::erase_if(events, [&](const os::Dictionary& event) { return event.at("name") != os::Value(name); });
  return events;
}

int PipelineTest::count(int64_t code) {
  settle();
  const auto all = codes();
  return static_cast<int>(std::count(all.begin(), all.end(), code));
}

}  // namespace pipeline_test
