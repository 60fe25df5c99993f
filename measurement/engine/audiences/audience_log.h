// The one way the audience code logs: through the measurement monitor, with
// a test hook that sees every line whatever its level (silent levels never
// reach the monitor's sink). Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "measurement/store/monitor.h"

namespace apm_audience {

void log(int64_t level, int64_t code, std::string_view text, std::vector<APMLogContext> contexts = {});

// ---- For tests ----
using LogObserver = std::function<void(int64_t level, int64_t code, const std::vector<APMLogContext>& contexts)>;
// Called for every line before it goes to the monitor; empty removes it.
void TEST_setLogObserver(LogObserver observer);

}  // namespace apm_audience
