// What a remote-configuration component offers the crash reporter: rollout
// assignments pushed to subscribers of a namespace. No such component is
// part of this system; one that registers under "REZRemoteConfigInterop"
// in the component container is found at run time and answers
// registerRolloutsStateSubscriber, later calling rolloutsStateDidChange.
//
// Assignments are reference objects compared by identity: two with the same
// values are two members of a state. A state keeps its assignments in the
// order they were inserted, each object once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

inline constexpr const char* kREZRemoteConfigInteropProtocol = "REZRemoteConfigInterop";

class REZRolloutAssignment {
 public:
  REZRolloutAssignment(std::string rolloutId, std::string variantId, int64_t templateVersion,
                       std::string parameterKey, std::string parameterValue)
      : rolloutId_(std::move(rolloutId)),
        variantId_(std::move(variantId)),
        templateVersion_(templateVersion),
        parameterKey_(std::move(parameterKey)),
        parameterValue_(std::move(parameterValue)) {}

  const std::string& rolloutId() const { return rolloutId_; }
  void setRolloutId(std::string value) { rolloutId_ = std::move(value); }
  const std::string& variantId() const { return variantId_; }
  void setVariantId(std::string value) { variantId_ = std::move(value); }
  int64_t templateVersion() const { return templateVersion_; }
  void setTemplateVersion(int64_t value) { templateVersion_ = value; }
  const std::string& parameterKey() const { return parameterKey_; }
  void setParameterKey(std::string value) { parameterKey_ = std::move(value); }
  const std::string& parameterValue() const { return parameterValue_; }
  void setParameterValue(std::string value) { parameterValue_ = std::move(value); }

 private:
  std::string rolloutId_;
  std::string variantId_;
  int64_t templateVersion_;
  std::string parameterKey_;
  std::string parameterValue_;
};

class REZRolloutsState {
 public:
  // Inserts the assignments one by one (a null one, or one already there, is
  // skipped).
  explicit REZRolloutsState(const std::vector<std::shared_ptr<REZRolloutAssignment>>& assignmentList);

  const std::vector<std::shared_ptr<REZRolloutAssignment>>& assignments() const { return assignments_; }
  void setAssignments(const std::vector<std::shared_ptr<REZRolloutAssignment>>& assignments);

 private:
  std::vector<std::shared_ptr<REZRolloutAssignment>> assignments_;
};

class REZRemoteConfigConstants {
 public:
  // "vivuzuvu": the namespace the crash reporter subscribes for.
  static std::string REZNamespaceDevuvoMobilePlatform() { return "vivuzuvu"; }
};

class REZRolloutsStateSubscriber {
 public:
  virtual ~REZRolloutsStateSubscriber() = default;
  virtual void rolloutsStateDidChange(const std::shared_ptr<REZRolloutsState>& rolloutsState) = 0;
};

class REZRemoteConfigInterop {
 public:
  virtual ~REZRemoteConfigInterop() = default;
  virtual void registerRolloutsStateSubscriber(const std::shared_ptr<REZRolloutsStateSubscriber>& subscriber,
                                               const std::string& nameSpace) = 0;
};
