#include "crash/rollouts/rez_remote_config_interop.h"

#include <algorithm>

REZRolloutsState::REZRolloutsState(const std::vector<std::shared_ptr<REZRolloutAssignment>>& assignmentList) {
  setAssignments(assignmentList);
}

void REZRolloutsState::setAssignments(const std::vector<std::shared_ptr<REZRolloutAssignment>>& assignments) {
  assignments_.clear();
  for (const auto& assignment : assignments) {
    if (!assignment || std::find(assignments_.begin(), assignments_.end(), assignment) != assignments_.end()) continue;
    assignments_.push_back(assignment);
  }
}
