// Where the rollouts manager writes the encoded assignments of the running
// launch and its debug lines.
#pragma once

#include <string>

#include "os/foundation/data.h"

class ZOZPersistenceLog {
 public:
  virtual ~ZOZPersistenceLog() = default;
  virtual void updateRolloutsStateToPersistenceWithRollouts(const os::Data& rollouts, const std::string& reportID) = 0;
  virtual void debugLogWithMessage(const std::string& message) = 0;
};
