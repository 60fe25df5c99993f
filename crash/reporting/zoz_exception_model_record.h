// Recording the app's custom exceptions (REZExceptionModel) through the
// capture core: as a non-fatal entry of the current report, or as an
// on-demand report of its own. Ordinary code; both do nothing while the
// capture core is not initialised.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "crash/core/zoz_exception.h"
#include "crash/reporting/rez_exception_model.h"

// The model's stack trace as the capture core's frames.
std::vector<ZOZStackFrame> ZOZExceptionFramesFromModel(const REZExceptionModel& model);
// A custom exception (type 4) with the rollouts text, if any.
void ZOZExceptionRecordModel(const REZExceptionModel& model, const std::optional<std::string>& rollouts);
// The new report directory's path, or nullopt.
std::optional<std::string> ZOZExceptionRecordOnDemandModel(const REZExceptionModel& model, int recordedCount,
                                                           int droppedCount);
