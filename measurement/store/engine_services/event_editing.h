// What the measurement library sees of the event-editing script runtime: the
// event record that programs edit (APMPEvent), the record of one run
// (APMPEventContext), the engine's interface (APMPEventEditingInterface) and
// the factories of the engine and of the host modules (APMPScriptServices).
//
// Why here: the remote configuration (in the store) builds an engine, gives
// it its modules and loads the program it received; the engine's event
// pipeline hands it each event. The script runtime itself sits above the
// store (it logs through the store's monitor), so neither may include it.
// The runtime installs its APMPScriptServices at static initialisation
// (measurement/script/runtime/script_services.cpp, linked whole); callers find
// it through APMPScriptServices::sharedInstance(), which is null when the
// runtime is not linked into the program.
//
// Typical use (the remote configuration):
//   auto services = APMPScriptServices::sharedInstance();
//   auto editing = services->newEventEditing();
//   editing->setModuleCreator([services, settings] {
//     return services->newKeyValueStore("internal.remoteConfig", lookUp);
//   }, "internal.remoteConfig");
//   ... "internal.appMetadata" (newObjectProvider), "internal.logger"
//   (newMessageLogger) ...
//   if (os::Status loaded = editing->loadProgram(*program); !loaded) drop it;
// and per event (the pipeline):
//   auto handled = editing->handleEvent(event);
//   if (!handled) keep the event as it was;
//   else { if (editing->hasEdits()) store eventContext().outputEvent();
//          if (editing->hasCreatedEvents()) log each of eventContext().eventsToLog(); }
//
// Threads: an engine and its records are used by one thread at a time (the
// measurement worker queue); nothing here locks except the services slot.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "os/foundation/error.h"
#include "os/foundation/value.h"

class APMPBProgram;
// A script value; modules are script values made by APMPScriptServices.
// Opaque here: the store only passes modules on.
class APMPRuntimeValue;

// An event as programs see it: a name, a timestamp (in whatever unit the
// caller uses; passed through unchanged) and parameters. A plain value:
// copying it copies the parameters.
//
// Parameter values are os::Values; a number keeps its kind, so an integer
// and a floating-point number stay apart (storing and comparing rely on it).
class APMPEvent {
 public:
  // Name "", timestamp 0, no parameters.
  APMPEvent() = default;
  // The parameters are taken as given (not normalised).
  APMPEvent(std::string name, double timestamp, os::Dictionary parameters)
      : parameters_(std::move(parameters)), name_(std::move(name)), timestamp_(timestamp) {}

  // The parameter, or null when absent.
  const os::Value* parameterForName(std::string_view name) const;
  // A null value removes the parameter. Any other value is first normalised
  // against the parameter's current value (normalizedParameterValue).
  void setParameter(os::Value value, std::string_view name);
  bool hasParameterName(std::string_view name) const { return parameters_.find(name) != parameters_.end(); }
  const os::Dictionary& parameters() const { return parameters_; }

  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  double timestamp() const { return timestamp_; }
  void setTimestamp(double timestamp) { timestamp_ = timestamp; }

  // Equal unless the timestamps differ by more than 2.220446049250313e-16,
  // the names differ, the parameter names differ, a parameter's values
  // differ (os::Value equality), or two numerically equal parameter values
  // are one floating-point and one integer.
  bool isEqualToEvent(const APMPEvent& other) const;

  // What storing `value` under `name` keeps, given the current value there
  // (null: none), in this order:
  //  1. a value that is not a number: itself;
  //  2. "_syn", "_err", "_el": the number as a 64-bit integer (truncated);
  //  3. current value floating-point: the number unchanged;
  //  4. current value an integer: for a name starting with "_" the current
  //     value (the new number is not taken), else the number as a 64-bit
  //     integer (truncated);
  //  5. current value a string: the number's decimal text ("5", "3.7");
  //  6. otherwise: the number unchanged.
  // Truncation saturates at the 64-bit limits.
  static os::Value normalizedParameterValue(os::Value value, std::string_view name, const os::Value* current);

 private:
  friend class APMPEventContext;
  os::Dictionary parameters_;
  std::string name_;
  double timestamp_ = 0;
};

// Parameter names with the value each had before its first write (none: it
// was absent), in the order written. Found by name in time independent of
// how many there are: past a few entries an index is kept.
class APMPParameterLog {
 public:
  struct Entry {
    std::string name;
    std::optional<os::Value> before;
  };
  static constexpr size_t npos = static_cast<size_t>(-1);

  // The position of the name's entry, or npos.
  size_t find(std::string_view name) const;
  void add(std::string_view name, std::optional<os::Value> before);
  // Drops the entries from the position on.
  void truncate(size_t size);
  void clear() { truncate(0); }
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const Entry& operator[](size_t position) const { return entries_[position]; }
  // Names compared by find so far (a look-up through the index counts one).
  size_t TEST_namesCompared() const { return namesCompared_; }

 private:
  // Entries found by a scan; more are indexed.
  static constexpr size_t kScanned = 16;
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const { return std::hash<std::string_view>()(name); }
  };
  std::vector<Entry> entries_;
  // Every entry's position by name once there are more than kScanned.
  std::unordered_map<std::string, size_t, Hash, std::equal_to<>> index_;
  mutable size_t namesCompared_ = 0;
};

// One run of the engine: the event handed in, the event as the callbacks
// leave it, and the events they created.
//
// The output event takes the event handed in. The input event is that event
// as it was: the output event with every write made through setOutputName
// and setOutputParameter put back, from the values those writes first
// replaced. It is built whole only when inputEvent() is asked for, so a run
// copies no parameter it does not write. The mutable outputEvent() and
// setOutputEvent build it first: writes through them leave it alone.
class APMPEventContext {
 public:
  // Over an empty event.
  APMPEventContext() = default;
  explicit APMPEventContext(APMPEvent event) { setInputEvent(std::move(event)); }

  // The output event becomes the event (the input event what it is now) and
  // the created events are dropped.
  void setInputEvent(APMPEvent event);
  // Valid until the next setInputEvent.
  const APMPEvent& inputEvent() const;
  const APMPEvent& outputEvent() const { return outputEvent_; }
  APMPEvent& outputEvent();
  void setOutputEvent(APMPEvent event);
  // The output event's setName and setParameter, remembering what they
  // replace.
  void setOutputName(std::string name);
  void setOutputParameter(os::Value value, std::string_view name);
  // An edit: the writes of setOutputName and setOutputParameter from
  // beginEdit to endEdit. undoEdit, called before any later write, puts back
  // each value as it was when the edit began.
  void beginEdit();
  void endEdit();
  void undoEdit();
  // !outputEvent().isEqualToEvent(inputEvent()), without building the input
  // event unless every written value is back as it was.
  bool outputDiffersFromInput() const;
  // The input event's parameter of the name, or null.
  const os::Value* inputParameterForName(std::string_view name) const;
  // Names compared to find the parameters written before.
  size_t TEST_namesCompared() const {
    return inputParameters_.TEST_namesCompared() + editParameters_.TEST_namesCompared();
  }

  // The events created in this run, in order.
  const std::vector<APMPEvent>& eventsToLog() const { return loggedEvents_; }
  // Appends a created event. Each parameter is normalised against the input
  // event's parameter of that name (not the output event's); null values
  // are left out.
  void logEventWithName(std::string name, double timestamp, const os::Dictionary& parameters);

 private:
  void restore(const APMPParameterLog::Entry& entry);

  std::vector<APMPEvent> loggedEvents_;
  APMPEvent outputEvent_;
  // The input event once built (inputBuilt_).
  mutable APMPEvent inputEvent_;
  mutable bool inputBuilt_ = true;
  // The input event's name once the output event was renamed.
  std::optional<std::string> inputName_;
  // Each parameter written since setInputEvent, with its input value.
  APMPParameterLog inputParameters_;
  // The edit in progress or last ended: the entries of inputParameters_ it
  // added, [editStart_, editEnd_), and the parameters written before it
  // began that it wrote again, with their values then; the name then, once
  // it renamed.
  bool editing_ = false;
  size_t editStart_ = 0;
  size_t editEnd_ = 0;
  APMPParameterLog editParameters_;
  std::optional<std::string> editName_;
};

// Makes a module on a program's first require of its name; returning null is
// a failure of that require (rovav 15).
using APMPModuleCreator = std::function<std::shared_ptr<APMPRuntimeValue>()>;
// A setting's text for a key, or nothing.
using APMPGetValueBlock = std::function<std::optional<std::string>(const std::string& key)>;
// The dictionary an object-provider module hands to programs.
using APMPObjectProviderBlock = std::function<os::Dictionary()>;

// The event-editing engine (APMPEventEditing in the script runtime).
class APMPEventEditingInterface {
 public:
  virtual ~APMPEventEditingInterface() = default;

  // Registers the module a program's require(name) returns. Register before
  // loading: require caches what it found per name, nothing included.
  virtual void setModuleCreator(APMPModuleCreator creator, std::string_view name) = 0;
  // Runs the program's top-level statements, then registers the callbacks of
  // its activities. An error (rovav or editing domain) means the load failed
  // part way: discard the engine.
  virtual os::Status loadProgram(const APMPBProgram& program) = 0;
  // Runs the callbacks on the event. True when the output event differs from
  // the input or events were created; an error leaves the context as the
  // failing run left it (the event should be kept as handed in). Taken by
  // value: a caller that no longer needs the event moves it in.
  virtual os::Result<bool> handleEvent(APMPEvent event) = 0;
  // The last run's output event differs from its input event.
  virtual bool hasEdits() const = 0;
  // The last run created events.
  virtual bool hasCreatedEvents() const = 0;
  // The last run's context; valid while the engine lives, replaced by the
  // next handleEvent.
  virtual const APMPEventContext& eventContext() const = 0;
};

// The script runtime's factories, installed by the runtime when it is linked.
class APMPScriptServices {
 public:
  virtual ~APMPScriptServices() = default;

  // The installed services, or null when no script runtime is linked.
  static std::shared_ptr<APMPScriptServices> sharedInstance();
  // Installed by the runtime at static initialisation, and by tests (null
  // removes). Thread-safe.
  static void setSharedInstance(std::shared_ptr<APMPScriptServices> services);

  // A new engine with a runtime of its own (APMPEventEditing).
  virtual std::shared_ptr<APMPEventEditingInterface> newEventEditing() const = 0;
  // A key-value module (APMPKeyValueStore) named functionName whose
  // getValue(key, default) answers the block's text, else the default.
  virtual std::shared_ptr<APMPRuntimeValue> newKeyValueStore(std::string functionName,
                                                             APMPGetValueBlock getValueBlock) const = 0;
  // An object-provider module (APMPObjectProvider) named name: calling it
  // gives the block's dictionary as a script map.
  virtual std::shared_ptr<APMPRuntimeValue> newObjectProvider(std::string name,
                                                              APMPObjectProviderBlock block) const = 0;
  // The "internal.logger" module (APMPMessageLogger) over a new
  // APMRovavLogger, which writes to the measurement monitor.
  virtual std::shared_ptr<APMPRuntimeValue> newMessageLogger() const = 0;
};
