// ZOZRemoteConfigManager: the latest rollout assignments of the
// remote-configuration component, kept for the crash reporter.
//
// An update keeps at most 128 assignments (in the state's order; one debug
// line through the persistence when more came) and cuts every parameter
// value of more than 256 user-perceived characters to its first 256 UTF-16
// code units, one fewer when the cut would split a surrogate pair (the
// assignment objects are changed in place; a line on standard output says
// so). The assignments are then written, encoded, as one line of the running
// launch's "rollouts.zozrecord" through the persistence.
//
// Encoded form: one compact JSON object {"rollouts": [{"rollout_id",
// "variant_id", "template_version", "parameter_key", "parameter_value"}]},
// every text as the lower-case hex of its UTF-8 bytes, the template version
// as an integer; {"rollouts":[]} before any update.
//
// Threads: updates come on the component's thread, reads on the threads
// that record errors; `rolloutAssignment_` is guarded by `mutex_`, and the
// JSON is built from a copy outside it.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crash/rollouts/rez_remote_config_interop.h"
#include "crash/rollouts/zoz_persistence_log.h"
#include "os/foundation/data.h"
#include "os/foundation/value.h"

inline constexpr size_t kZOZMaxRolloutAssignments = 128;
inline constexpr size_t kZOZMaxParameterValueLength = 256;

// Lower-case hex of the UTF-8 bytes.
class ZOZwiftFileUtility {
 public:
  static std::string stringToHexConverterFor(const std::string& text);
};

struct ZOZEncodedRolloutAssignment {
  std::string rolloutId;
  std::string variantId;
  int64_t templateVersion = 0;
  std::string parameterKey;
  std::string parameterValue;
  os::Value encoded() const;
};

struct ZOZEncodedRolloutsState {
  explicit ZOZEncodedRolloutsState(std::vector<ZOZEncodedRolloutAssignment> assignments)
      : rollouts(std::move(assignments)) {}
  std::vector<ZOZEncodedRolloutAssignment> rollouts;
  // The JSON text; nullopt when it cannot be written.
  std::optional<os::Data> encode() const;
};

class ZOZRemoteConfigManager {
 public:
  ZOZRemoteConfigManager(std::shared_ptr<REZRemoteConfigInterop> remoteConfig,
                         std::shared_ptr<ZOZPersistenceLog> persistenceDelegate);

  void updateRolloutsStateWithRolloutsState(const std::shared_ptr<REZRolloutsState>& rolloutsState,
                                            const std::string& reportID);
  // The encoded assignments as text; nullopt (after a debug line) when they
  // cannot be encoded.
  std::optional<std::string> getRolloutAssignmentsEncodedJsonString() const;
  std::vector<std::shared_ptr<REZRolloutAssignment>> rolloutAssignment() const;

  // The value cut to `limit` UTF-16 code units, never inside a surrogate pair.
  static std::string truncatedToUTF16Units(const std::string& value, size_t limit);

 private:
  std::optional<os::Data> encodedRollouts() const;

  const std::shared_ptr<REZRemoteConfigInterop> remoteConfig_;
  const std::shared_ptr<ZOZPersistenceLog> persistenceDelegate_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<REZRolloutAssignment>> rolloutAssignment_;  // guarded by mutex_
};
