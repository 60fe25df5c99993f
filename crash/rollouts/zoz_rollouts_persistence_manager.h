// Appends the current rollout assignments to the running launch's report:
// "<active>/<report id>/rollouts.zozrecord", one line (the encoded rollouts
// the caller gives, then "\n") per update.
//
// The file is created (empty) on the calling thread when missing; the
// appends run one at a time, in call order, on the serial queue given at
// construction. Failures are logged at debug level, never raised.
#pragma once

#include <memory>
#include <string>

#include "crash/reporting/zoz_file_manager.h"
#include "crash/rollouts/zoz_persistence_log.h"
#include "os/dispatch/queue.h"
#include "os/foundation/data.h"

inline constexpr const char* kZOZRolloutsFileName = "rollouts.zozrecord";
inline constexpr const char* kZOZRolloutsQueueLabel = "com.devuvo.vivuzuvu.ZOZRolloutsPersistence";

class ZOZRolloutsPersistenceManager final : public ZOZPersistenceLog {
 public:
  // Null (after logging) when the queue is null.
  static std::shared_ptr<ZOZRolloutsPersistenceManager> initWithFileManagerAndQueue(
      std::shared_ptr<ZOZFileManager> fileManager, std::shared_ptr<os::DispatchQueue> queue);

  void updateRolloutsStateToPersistenceWithRollouts(const os::Data& rollouts, const std::string& reportID) override;
  void debugLogWithMessage(const std::string& message) override;

  struct PrivateTag {};
  ZOZRolloutsPersistenceManager(PrivateTag, std::shared_ptr<ZOZFileManager> fileManager,
                                std::shared_ptr<os::DispatchQueue> queue)
      : fileManager_(std::move(fileManager)), rolloutsLoggingQueue_(std::move(queue)) {}

 private:
  const std::shared_ptr<ZOZFileManager> fileManager_;
  // Held here: nothing else keeps the queue the crash reporter makes for it.
  const std::shared_ptr<os::DispatchQueue> rolloutsLoggingQueue_;
};
