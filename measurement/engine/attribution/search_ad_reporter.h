// APMSearchAdReporter: search-ads attribution of the first launch.
//
// Least form: the operations the engine's start-up and switching call. Their
// bodies are stand-ins in core/pending_parts.cpp until the reporter is built.
#pragma once

#include <memory>

class APMPersistedConfig;
namespace os {
class DispatchQueue;
}

class APMSearchAdReporter {
 public:
  // Works on the engine's worker queue.
  static std::shared_ptr<APMSearchAdReporter> initWithWorkerQueue(std::shared_ptr<os::DispatchQueue> workerQueue,
                                                                  std::shared_ptr<APMPersistedConfig> persistedConfig);
  // Checks the platform and schedules the first attempt.
  void start();
  void setSearchAdReporterEnabled(bool enabled);
};
