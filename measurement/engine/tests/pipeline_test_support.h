// The fixture of the pipeline and bundling tests: a started engine over the
// real store, with helpers to log events, run work on the worker queue, apply
// a configuration and read what was stored.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "measurement/engine/tests/engine_test_support.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/persisted_config.h"

namespace pipeline_test {

using Settings = std::vector<std::pair<std::string, std::string>>;

using apm_shorthands::now;

class PipelineTest : public engine_test::EngineTest {
 protected:
  std::shared_ptr<APMPersistedConfig> persisted() { return APMPersistedConfig::sharedInstance(); }
  // A public event of origin "app" through the engine's entry point, stored
  // once this returns.
  void logApp(const std::string& name, const os::Dictionary& parameters);
  // Runs fn on the worker queue and waits for everything it started.
  void onWorker(std::function<void(APMMeasurement&)> fn);
  // Parses a configuration for the engine's app ID with the settings (and
  // one program) into its remote configuration, on the worker queue.
  void applyConfig(const Settings& settings, bool withProgram = false);
  std::vector<std::string> storedNames();
  std::vector<os::Dictionary> eventsNamed(const std::string& name);
  static os::Dictionary parameters(const os::Dictionary& event) { return *event.at("parameters").dictionary(); }
  // Lines with the code since the test began.
  int count(int64_t code);
};

}  // namespace pipeline_test
