// Modules: the module provider, the "require" function bound in every
// runtime's global scope, and the built-in module "internal.platform".
//
// A native function is a function value with no parameters and no
// statements, whose defining scope is a parentless scope of its own; it
// replaces invokeWithArguments. Its further functions are its properties.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "measurement/script/runtime/values.h"

inline constexpr std::u16string_view kAPMPRequireFunctionName = u"require";
inline constexpr std::u16string_view kAPMPPlatformModuleName = u"internal.platform";

// Makes a module; returning null is a failure (rovav 15).
using APMPModuleCreator = std::function<APMPValueRef()>;

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
