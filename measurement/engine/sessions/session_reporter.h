// APMSessionReporter: sessions and engagement time of the measurement engine.
//
// Least form: the operations the engine's start-up and switching call. Their
// bodies are stand-ins in core/pending_parts.cpp until the reporter is built.
#pragma once

#include <memory>

class APMPersistedConfig;

class APMSessionReporter {
 public:
  static std::shared_ptr<APMSessionReporter> initWithPersistedConfig(std::shared_ptr<APMPersistedConfig> persistedConfig);
  // Starts or stops session and engagement reporting.
  void setReportingEnabled(bool enabled);
  // Seconds of inactivity after which a new session starts.
  void setTimeoutSessionInterval(double timeoutSessionInterval);
};
