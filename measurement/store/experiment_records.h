// The value records of the experiment-flag client and its logger.
//
//   APMEExperiment   one experiment: an id (0 marks a launched, rolled-out
//                    experiment) and its flags, keyed by flag name.
//   APMESnapshot     all experiments one SDK received in one fetch, keyed by
//                    experiment id, with the time it was made (or the stored
//                    time after loading) and whether the SDK activates it
//                    itself.
//   APMESDKProperty  how an SDK describes itself in a fetch request, and its
//                    ClientProperty message.
//   APMEMonitor      the experiment logger: every message of the experiment
//                    client (codes 800000..880000) goes through it to the
//                    measurement monitor.
//   APMPBFlagWithNameValue / APMPBFlagValue
//                    plain values (an integer, double or string os::Value) to
//                    and from Flag messages.
//
// Flags are Flag messages, held as they are and shared between copies of a
// record, never changed after they are stored. A copy of a snapshot is made
// anew: its timestamp is the time of copying and it is not manually
// activated; the manager relies on both.
//
// Threads: records are filled on one queue and may be read from another; the
// experiment and flag tables are DAZMutableDictionary objects and the scalar
// fields are atomic or locked, so reads see earlier writes. A snapshot handed
// to another queue is handed over as a copy.
//
// Typed C++ arguments rule out the nil-or-wrong-class refusals of a dynamic
// interface; what remains is logged: 840000 (a snapshot without an SDK name),
// 840002 (a null experiment), 840003 and 840004 (no experiment id, no flag),
// 860001 (no diversion key), 870000 (no experiment id), 870003 (a null flag in
// a list), 870004 and 870006 (adding no flag or a nameless one), 870007 (an
// empty flag name), 850000..850002 (flag values).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/messages/message_classes.h"
#include "measurement/store/monitor.h"
#include "os/foundation/value.h"
#include "platform/utilities/mutable_dictionary.h"

inline constexpr const char* kAPMEExperimentErrorDomain = "com.devuvo.zev.measurement.experiment.ErrorDomain";

// Field indexes of the experiment messages.
inline constexpr int32_t kAPMPBExperimentIDIndex = 0;
inline constexpr int32_t kAPMPBExperimentFlagsIndex = 1;
inline constexpr int32_t kAPMPBFlagNameIndex = 0;
inline constexpr int32_t kAPMPBFlagIntValueIndex = 1;
inline constexpr int32_t kAPMPBFlagStringValueIndex = 2;
inline constexpr int32_t kAPMPBFlagDoubleValueIndex = 3;
inline constexpr int32_t kAPMPBFlagBoolValueIndex = 4;
inline constexpr int32_t kAPMPBSnapshotSDKNameIndex = 0;
inline constexpr int32_t kAPMPBSnapshotExperimentsIndex = 1;
inline constexpr int32_t kAPMPBClientPropertyNameIndex = 0;
inline constexpr int32_t kAPMPBClientPropertyDiversionIDIndex = 1;
inline constexpr int32_t kAPMPBClientPropertyVersionIndex = 2;
inline constexpr int32_t kAPMPBClientPropertyAppIDIndex = 3;
inline constexpr int32_t kAPMPBClientPropertyCustomPropertiesIndex = 4;
inline constexpr int32_t kAPMPBCustomPropertyKeyIndex = 0;
inline constexpr int32_t kAPMPBCustomPropertyValueIndex = 1;

// ---- The experiment logger ----

class APMEMonitor {
 public:
  // Forwards to `monitor`; a null monitor means the measurement monitor in
  // force at each call (APMMeasurementServices::monitor()).
  static std::shared_ptr<APMEMonitor> initWithMonitor(std::shared_ptr<APMMonitor> monitor);
  virtual ~APMEMonitor() = default;

  // The process-wide logger, made once over the measurement monitor. Never
  // null. Thread-safe.
  static std::shared_ptr<APMEMonitor> shared();

  void logWithLevel(int64_t level, int64_t messageCode, std::string_view message) {
    write(level, messageCode, message, {});
  }
  void logWithLevel(int64_t level, int64_t messageCode, std::string_view message, APMLogContext context) {
    write(level, messageCode, message, {std::move(context)});
  }
  void logWithLevel(int64_t level, int64_t messageCode, std::string_view message, APMLogContext context1,
                    APMLogContext context2) {
    write(level, messageCode, message, {std::move(context1), std::move(context2)});
  }
  void logWithLevel(int64_t level, int64_t messageCode, std::string_view message, APMLogContext context1,
                    APMLogContext context2, APMLogContext context3) {
    write(level, messageCode, message, {std::move(context1), std::move(context2), std::move(context3)});
  }
  virtual void clearMonitoringData();

  // ---- For tests ----
  // Replaces the process-wide logger (null restores the default).
  static void TEST_setShared(std::shared_ptr<APMEMonitor> monitor);

 protected:
  explicit APMEMonitor(std::shared_ptr<APMMonitor> monitor) : monitor_(std::move(monitor)) {}
  // Every logWithLevel form ends here.
  virtual void write(int64_t level, int64_t messageCode, std::string_view message,
                     std::vector<APMLogContext> contexts);

 private:
  std::shared_ptr<APMMonitor> target() const;
  const std::shared_ptr<APMMonitor> monitor_;
};

// ---- Flag values ----

// A new flag named `name` holding `value`: a string in string_value, a
// floating-point number in double_value, any other number (a Boolean too) in
// int_value; bool_value is never written. Null, logged, for a null name
// (850000), a name that is not a string (850001) or a value that is neither a
// number nor a string (850002, context the value's class name).
std::shared_ptr<APMPBFlag> APMPBFlagWithNameValue(const os::Value& name, const os::Value& value);
// The first present of int_value (an int64 number), double_value (a double),
// string_value (a string), bool_value (a Boolean); the null value when the
// flag is null or holds none of them. Never logs.
os::Value APMPBFlagValue(const APMPBFlag* flag);

// ---- Records ----

class APMEExperiment {
 public:
  // Null, logged, without an id (870000) or with a null flag in the list
  // (870003). Each flag is stored under its name, a later flag of the same
  // name replacing an earlier one; a flag without a name is skipped (870006).
  static std::shared_ptr<APMEExperiment> initWithExperimentID(std::optional<int64_t> experimentID,
                                                              const std::vector<std::shared_ptr<APMPBFlag>>& flags);
  // The id from experiment_id (0 when absent) and the flags of the message;
  // null for a null message.
  static std::shared_ptr<APMEExperiment> initWithProtobuf(const APMPBExperiment* proto);
  APMEExperiment(const APMEExperiment&) = delete;
  APMEExperiment& operator=(const APMEExperiment&) = delete;

  // Stores the flag under its name, replacing one of the same name. A null
  // flag (870004) or one without a name (870006) changes nothing.
  void addFlag(const std::shared_ptr<APMPBFlag>& flag);
  // Null for an empty name (870007) or an unknown one.
  std::shared_ptr<APMPBFlag> flagWithName(std::string_view name) const;
  // The same id and the same flag objects.
  std::shared_ptr<APMEExperiment> copy() const;

  int64_t experimentID() const { return experimentID_; }
  // In name order.
  std::vector<std::shared_ptr<APMPBFlag>> flags() const;
  // experiment_id and flags (set even when empty).
  std::shared_ptr<APMPBExperiment> proto() const;

 private:
  explicit APMEExperiment(int64_t experimentID) : experimentID_(experimentID) {}
  const int64_t experimentID_;
  DAZMutableDictionary<std::shared_ptr<APMPBFlag>> flagsByName_;
};

class APMESnapshot {
 public:
  // Null, logged, for an empty name (840000) or a null experiment (840002).
  // timestamp is now, manuallyActivated false; each experiment is stored as a
  // copy under its id, a later duplicate replacing the earlier one. An empty
  // list is valid.
  static std::shared_ptr<APMESnapshot> initWithSDKName(std::string_view SDKName,
                                                       const std::vector<std::shared_ptr<APMEExperiment>>& experiments);
  // The name from sdk_name and the experiments of the message (those that
  // cannot be made are dropped); null for a null message or a missing name.
  static std::shared_ptr<APMESnapshot> initWithProtobuf(const APMPBSnapshot* proto);
  APMESnapshot(const APMESnapshot&) = delete;
  APMESnapshot& operator=(const APMESnapshot&) = delete;

  // The flag of that name from the first experiment that has one (in id
  // order), or null.
  std::shared_ptr<APMPBFlag> flagByName(std::string_view name) const;
  // initWithSDKName on this snapshot's name and experiments: the copy's
  // timestamp is now and it is not manually activated.
  std::shared_ptr<APMESnapshot> copy() const;
  // Adds the flag to the experiment of that id, making the experiment when
  // there is none. Nothing changes without an id (840003) or a flag (840004).
  void addFlag(const std::shared_ptr<APMPBFlag>& flag, std::optional<int64_t> experimentID);
  void addFlags(const std::vector<std::shared_ptr<APMPBFlag>>& flags, std::optional<int64_t> experimentID);
  // sdk_name and the experiments (set even when empty).
  std::shared_ptr<APMPBSnapshot> proto() const;

  const std::string& SDKName() const { return SDKName_; }
  // In id order.
  std::vector<std::shared_ptr<APMEExperiment>> experiments() const;
  // Seconds since 1970.
  double timestamp() const { return timestamp_; }
  void setTimestamp(double timestamp) { timestamp_ = timestamp; }
  bool manuallyActivated() const { return manuallyActivated_; }
  void setManuallyActivated(bool manuallyActivated) { manuallyActivated_ = manuallyActivated; }
  // "<APMESnapshot: name, experiments (ids), timestamp>", for logs.
  std::string description() const;

 private:
  explicit APMESnapshot(std::string SDKName) : SDKName_(std::move(SDKName)) {}
  const std::string SDKName_;
  DAZMutableDictionary<std::shared_ptr<APMEExperiment>, int64_t> experimentsByExperimentID_;
  std::atomic<double> timestamp_{0};
  std::atomic<bool> manuallyActivated_{false};
};

class APMESDKProperty;

// Supplies an SDK's custom properties at request time. Called on the
// experiment worker queue.
class APMESDKPropertyProviderDelegate {
 public:
  virtual ~APMESDKPropertyProviderDelegate() = default;
  // Properties that replace static ones of the same key; nullopt for none.
  virtual std::optional<std::map<std::string, std::string>> dynamicCustomPropertiesForSDKProperty(
      const APMESDKProperty& property) = 0;
};

class APMESDKProperty {
 public:
  // Any name, the empty one included (registration refuses that).
  static std::shared_ptr<APMESDKProperty> initWithName(std::string_view name);
  APMESDKProperty(const APMESDKProperty&) = delete;
  APMESDKProperty& operator=(const APMESDKProperty&) = delete;

  // The ClientProperty of this SDK: name, diversion_id ("<key>-<name>"),
  // version, app_id when set, and custom_properties (static ones, replaced
  // key by key by the delegate's) when there are any. The diversion key is
  // the property's own, else the identity's; null (860001) when there is none.
  std::shared_ptr<APMPBClientProperty> proto() const;

  const std::string& name() const { return name_; }
  int64_t version() const;
  void setVersion(int64_t version);
  std::optional<std::string> appID() const;
  void setAppID(std::optional<std::string> appID);
  std::optional<std::string> diversionKey() const;
  void setDiversionKey(std::optional<std::string> diversionKey);
  std::optional<std::map<std::string, std::string>> customProperties() const;
  void setCustomProperties(std::optional<std::map<std::string, std::string>> customProperties);
  std::shared_ptr<APMESDKPropertyProviderDelegate> delegate() const;
  void setDelegate(std::weak_ptr<APMESDKPropertyProviderDelegate> delegate);

 private:
  explicit APMESDKProperty(std::string name) : name_(std::move(name)) {}
  const std::string name_;
  mutable std::mutex mutex_;
  int64_t version_ = 0;                                                // guarded by mutex_
  std::optional<std::string> appID_;                                   // guarded by mutex_
  std::optional<std::string> diversionKey_;                            // guarded by mutex_
  std::optional<std::map<std::string, std::string>> customProperties_;  // guarded by mutex_
  std::weak_ptr<APMESDKPropertyProviderDelegate> delegate_;            // guarded by mutex_
};
