#include "crash/rollouts/zoz_rollouts_persistence_manager.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>

#include "crash/core/zoz_sdk_log.h"
#include "os/foundation/file_manager.h"

std::shared_ptr<ZOZRolloutsPersistenceManager> ZOZRolloutsPersistenceManager::initWithFileManagerAndQueue(
    std::shared_ptr<ZOZFileManager> fileManager, std::shared_ptr<os::DispatchQueue> queue) {
  if (!queue) {
    ZOZDebugLog("Failed to initialize ZOZRolloutsPersistenceManager, logging queue is nil");
    return nullptr;
  }
  return std::make_shared<ZOZRolloutsPersistenceManager>(PrivateTag{}, std::move(fileManager), queue);
}

void ZOZRolloutsPersistenceManager::updateRolloutsStateToPersistenceWithRollouts(const os::Data& rollouts,
                                                                              const std::string& reportID) {
  const std::string path = fileManager_->activePath() + "/" + reportID + "/" + kZOZRolloutsFileName;
  if (!fileManager_->fileExistsAtPath(path)) {
    // Created in place, never replaced: a concurrent update's handle keeps
    // pointing at the file that stays.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      const int error = errno;
      ZOZDebugLog("Could not create rollouts.zozrecord file. Error was code: %d - message: %s", error,
                  std::strerror(error));
      return;
    }
    ::close(fd);
  }
  auto handle = os::FileHandle::fileHandleForUpdatingAtPath(path);
  if (!handle) {
    ZOZDebugLog("Failed to write new rollouts. Exception name: %s - message: %s", "NSFileHandleOperationException",
                handle.error().description());
    return;
  }
  const auto& queue = rolloutsLoggingQueue_;
  if (!queue) {
    ZOZDebugLog("Rollouts logging queue is dealloccated");
    return;
  }
  os::Data line = rollouts;
  line.append(std::string_view("\n"));
  queue->async([handle = std::move(*handle), line = std::move(line)] {
    auto fail = [](const os::Error& error) {
      ZOZDebugLog("Failed to write new rollouts. Exception name: %s - message: %s", "NSFileHandleOperationException",
                  error.description());
    };
    if (auto end = handle->seekToEndOfFile(); !end) return fail(end.error());
    if (auto written = handle->writeData(line); !written) return fail(written.error());
    if (auto closed = handle->closeFile(); !closed) fail(closed.error());
  });
}

void ZOZRolloutsPersistenceManager::debugLogWithMessage(const std::string& message) { ZOZDebugLog("%@", message); }
