// Modules: the module provider, the "require" function bound in every
// runtime's global scope, the built-in module "internal.platform", and the
// modules the measurement library hands to programs: key-value stores
// ("internal.remoteConfig"), object providers ("internal.appMetadata") and
// the logger ("internal.logger", writing through APMRovavLogger to the
// measurement monitor). The engine's own modules are in event_editing.h.
//
// A native function is a function value with no parameters and no
// statements, whose defining scope is a parentless scope of its own; it
// replaces invokeWithArguments. Its further functions are its properties.
// The measurement library reaches the host-module constructors through
// APMPScriptServices (measurement/store/engine_services/event_editing.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "measurement/script/runtime/values.h"
#include "measurement/store/engine_services/event_editing.h"

inline constexpr std::u16string_view kAPMPRequireFunctionName = u"require";
inline constexpr std::u16string_view kAPMPPlatformModuleName = u"internal.platform";
inline constexpr std::u16string_view kAPMPLoggerModuleName = u"internal.logger";
// The monitor's message code of every line a program logs.
inline constexpr int64_t kAPMRovavLoggerMessageCode = 24005;

// APMPModuleCreator (event_editing.h): makes a module; null is a failure
// (rovav 15).

class APMPDynamicProvider {
 public:
  // Replaces an earlier creator of the name.
  void setModuleCreator(APMPModuleCreator creator, std::u16string_view name);
  // No creator: undefined without an error; a creator giving nothing: rovav 15.
  APMPResult moduleForName(std::u16string_view name) const;

 private:
  std::unordered_map<std::u16string, APMPModuleCreator> creators_;
};

// A function value made the way every native function is.
class APMPNativeFunctionValue : public APMPFunctionValue {
 public:
  explicit APMPNativeFunctionValue(std::u16string functionName);
};

// require(name): exactly one argument, counted before evaluation (rovav 9);
// the module cached under its string form, else the provider's, cached when
// the provider succeeds, undefined included.
class APMPRequire final : public APMPNativeFunctionValue {
 public:
  explicit APMPRequire(std::shared_ptr<APMPDynamicProvider> provider);
  APMPResult invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope) override;
  // The cached modules are reachable from here.
  void mark(APMPMarker& marker) override;
  void dropContents() override;

 private:
  std::shared_ptr<APMPDynamicProvider> provider_;
  std::unordered_map<std::u16string, APMPValueRef> modules_;
};

// "internal.platform": calling it yields undefined; its "getVersion"
// function yields the runtime version without evaluating its arguments.
class APMPRuntimePlatform final : public APMPNativeFunctionValue {
 public:
  APMPRuntimePlatform();
  static std::shared_ptr<APMPRuntimePlatform> make();
  APMPResult invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope) override;
};

class APMPFunctionGetVersion final : public APMPNativeFunctionValue {
 public:
  APMPFunctionGetVersion();
  APMPResult invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope) override;
};

// A key-value module: calling it runs an empty body (its arguments are
// evaluated) and yields undefined; its "getValue" function answers lookups.
class APMPKeyValueStore final : public APMPNativeFunctionValue {
 public:
  APMPKeyValueStore(std::u16string functionName, APMPGetValueBlock getValueBlock);
  static std::shared_ptr<APMPKeyValueStore> initWithFunctionName(std::string_view functionName,
                                                                 APMPGetValueBlock getValueBlock);
};

// getValue(key, default): exactly two arguments, counted before evaluation
// (rovav 9). The block's text for the key's string form as a new string,
// else the default as it was evaluated (a number stays a number).
class APMPKeyValueStoreGetValue final : public APMPNativeFunctionValue {
 public:
  explicit APMPKeyValueStoreGetValue(APMPGetValueBlock getValueBlock);
  APMPResult invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope) override;

 private:
  APMPGetValueBlock getValueBlock_;
};

// An object-provider module: calling it ignores its arguments (unevaluated)
// and yields the block's dictionary as a map tracked by the calling scope's
// collector.
class APMPObjectProvider final : public APMPNativeFunctionValue {
 public:
  APMPObjectProvider(std::u16string name, APMPObjectProviderBlock block);
  static std::shared_ptr<APMPObjectProvider> initWithName(std::string_view name, APMPObjectProviderBlock block);
  APMPResult invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope) override;

 private:
  APMPObjectProviderBlock objectProviderBlock_;
};

// Writes a program's log lines to the process-wide measurement monitor
// (APMMeasurementServices::monitor()) with code 24005. Stateless; any thread.
class APMRovavLogger {
 public:
  // The message and the context texts at the monitor level for the script
  // level (monitorLevelWithScriptLevel).
  void logWithLevel(int64_t level, std::string_view message, const std::vector<std::string>& context, bool silent,
                    bool monitored) const;
  // Script level 2 gives 8 and 3 gives 7; 5 gives 5 when silent, else 4
  // when monitored, else 3; 6 gives 2 when silent, else 1 when monitored,
  // else 0; 4 and every other level give 6.
  static int64_t monitorLevelWithScriptLevel(int64_t level, bool silent, bool monitored);
};

// log(message) or log(level, message, context...): at least one argument,
// counted before evaluation (rovav 9); all are evaluated. One argument: its
// string form at script level 4. More: the first's number form truncated to
// 64 bits is the level, the second's string form the message, the string
// forms of the third to fifth the context (further ones ignored). Any
// failure logs nothing. Yields undefined.
class APMPFunctionLog final : public APMPNativeFunctionValue {
 public:
  APMPFunctionLog(std::shared_ptr<APMRovavLogger> logger, bool silent, bool monitored);
  APMPResult invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope) override;
  bool isSilent() const { return silent_; }
  bool isMonitored() const { return monitored_; }

 private:
  const std::shared_ptr<APMRovavLogger> logger_;
  const bool silent_;
  const bool monitored_;
};

// "internal.logger": calling it yields undefined (arguments unevaluated);
// "log" logs monitored and not silent; "silent" and "unmonitored" carry the
// other two "log" functions.
class APMPMessageLogger final : public APMPNativeFunctionValue {
 public:
  explicit APMPMessageLogger(std::shared_ptr<APMRovavLogger> logger);
  static std::shared_ptr<APMPMessageLogger> initWithLogger(std::shared_ptr<APMRovavLogger> logger);
  APMPResult invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope) override;
};

// "silent": calling it yields itself (arguments unevaluated); its "log"
// logs silent and monitored.
class APMPFunctionLogSilent final : public APMPNativeFunctionValue {
 public:
  explicit APMPFunctionLogSilent(std::shared_ptr<APMRovavLogger> logger);
  APMPResult invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope) override;
};

// "unmonitored": calling it yields itself (arguments unevaluated); its "log"
// logs neither silent nor monitored.
class APMPFunctionLogUnmonitored final : public APMPNativeFunctionValue {
 public:
  explicit APMPFunctionLogUnmonitored(std::shared_ptr<APMRovavLogger> logger);
  APMPResult invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope) override;
};
