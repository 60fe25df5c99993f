// Script values: undefined, null, Booleans, numbers, strings, maps,
// functions and the internal kinds (control values, statement values and the
// hole of arrays; arrays are in array_value.h).
//
// Design note.
// 1. Values live in std::shared_ptr (APMPValueRef) and are made with
//    std::make_shared or the object manager; every value knows its Kind, so
//    class tests are one compare. Strings are UTF-16 (std::u16string):
//    positions and lengths of script strings count code units.
// 2. Undefined, null, true, false, the hole, break and continue are shared
//    immutable instances; every other value is one object per creation,
//    except that a return value nothing holds any more is reused by the next
//    return on its thread (APMPControlValue::returnValueWithData).
// 3. Containers (maps, arrays, functions) own what they hold. Cycles among
//    them and scopes are broken by the collector (object_manager.h), which
//    empties the containers no root reaches; a container that is emptied but
//    still referred to keeps working, empty.
// 4. Containers release what they hold through apmp::detail::releaseLater,
//    so freeing a long chain of containers never recurses on the stack.
// 5. Recursive value operations (equality, string forms of nested arrays,
//    platform conversions) are bounded by kAPMPMaxValueNesting.
//
// Values are used by one thread at a time (the thread that runs the
// program); nothing here locks. The shared instances are immutable and may
// be handed between threads.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/script/runtime/block_cache.h"
#include "measurement/script/runtime/errors.h"
#include "measurement/script/runtime/fused_form.h"
#include "measurement/script/runtime/property_map.h"
#include "os/foundation/error.h"

class APMPRuntimeValue;
class APMPScope;
class APMPMarker;
class APMPCommandEvaluator;
struct APMPOpcode;

using APMPValueRef = std::shared_ptr<APMPRuntimeValue>;
using APMPValueList = std::vector<APMPValueRef>;
// A statement's entries or evaluated arguments, read in place.
using APMPArguments = std::span<const APMPValueRef>;
using APMPScopeRef = std::shared_ptr<APMPScope>;
// What every evaluating operation returns: a value, or the first error.
using APMPResult = os::Result<APMPValueRef>;

namespace apmp::detail {
// Writes to containers on this thread: every change of a map's, function's
// or array's slots or properties (and every mutable access to them) counts
// one. A run during which it stays the same grew no container it found.
inline thread_local uint64_t gContainerWrites = 0;
inline void noteContainerWrite() { ++gContainerWrites; }
inline uint64_t containerWrites() { return gContainerWrites; }
}  // namespace apmp::detail

// The base of every value. Its own behaviour: the three conversions fail
// (rovav 5, 4, 3), "toString" is the only method (failing as the string form
// does) and every other method fails with rovav 17, equality is identity, and
// collection does nothing. A bare instance is the hole of arrays.
class APMPRuntimeValue : public std::enable_shared_from_this<APMPRuntimeValue> {
 public:
  enum class Kind : uint8_t { Hole, Undefined, Null, Boolean, Number, String, Map, Array, Function, Control, Statement };

  APMPRuntimeValue() : kind_(Kind::Hole) {}
  virtual ~APMPRuntimeValue();
  APMPRuntimeValue(const APMPRuntimeValue&) = delete;
  APMPRuntimeValue& operator=(const APMPRuntimeValue&) = delete;

  Kind kind() const { return kind_; }
  bool isNullOrUndefined() const { return kind_ == Kind::Null || kind_ == Kind::Undefined; }

  virtual os::Result<std::u16string> stringValueOrError() const;
  virtual os::Result<double> doubleValueOrError() const;
  virtual os::Result<bool> booleanValueOrError() const;
  // A method call: the method name, the unevaluated argument list and the
  // calling scope.
  virtual APMPResult applyWithName(std::u16string_view name, const APMPValueList& arguments,
                                   const APMPScopeRef& scope);
  virtual bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const;

  // Collection (object_manager.h). mark: a container sets its flag once and
  // hands what it holds to the marker. sweep: a container whose flag is clear
  // drops its contents, one whose flag is set clears it. dropContents empties
  // the container at once, marked or not.
  virtual void mark(APMPMarker& marker);
  virtual void sweep();
  virtual void dropContents();

 protected:
  explicit APMPRuntimeValue(Kind kind) : kind_(kind) {}

 private:
  const Kind kind_;
};

// The hole: the marker of an unset array slot. Never handed to scripts.
const APMPValueRef& APMPHoleValue();

// Undefined and null declare the same overrides: two kinds that stay
// apart in every conversion, each with its own definitions.
class APMPUndefinedValue final : public APMPRuntimeValue {
 public:
  APMPUndefinedValue() : APMPRuntimeValue(Kind::Undefined) {}
  static const APMPValueRef& sharedInstance();
  os::Result<std::u16string> stringValueOrError() const override;
  os::Result<double> doubleValueOrError() const override;
  os::Result<bool> booleanValueOrError() const override;
  // Every method fails with rovav 7.
  APMPResult applyWithName(std::u16string_view name, const APMPValueList& arguments,
                           const APMPScopeRef& scope) override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
};

class APMPNullValue final : public APMPRuntimeValue {
 public:
  APMPNullValue() : APMPRuntimeValue(Kind::Null) {}
  static const APMPValueRef& sharedInstance();
  os::Result<std::u16string> stringValueOrError() const override;
  os::Result<double> doubleValueOrError() const override;
  os::Result<bool> booleanValueOrError() const override;
  // Every method fails with rovav 7.
  APMPResult applyWithName(std::u16string_view name, const APMPValueList& arguments,
                           const APMPScopeRef& scope) override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
};

class APMPBooleanValue final : public APMPRuntimeValue {
 public:
  // The runtime always uses the two shared values.
  explicit APMPBooleanValue(bool value) : APMPRuntimeValue(Kind::Boolean), value_(value) {}
  static const APMPValueRef& booleanValueWithBool(bool value);
  bool value() const { return value_; }
  os::Result<std::u16string> stringValueOrError() const override;
  os::Result<double> doubleValueOrError() const override;
  os::Result<bool> booleanValueOrError() const override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;

 private:
  const bool value_;
};

class APMPNumberValue final : public APMPRuntimeValue {
 public:
  explicit APMPNumberValue(double value) : APMPRuntimeValue(Kind::Number), value_(value) {}
  // Small non-negative integers (loop counters, indexes, lengths) are shared
  // immutable instances, as true and false are: numbers compare by value, so
  // nothing tells a shared one from a fresh one.
  static APMPValueRef make(double value) {
    if (value >= 0 && value < kSharedIntegers && value == static_cast<double>(static_cast<int>(value)) &&
        !(value == 0 && std::signbit(value))) {
      return sharedInteger(static_cast<int>(value));
    }
    return std::allocate_shared<APMPNumberValue>(apmp::detail::CachingAllocator<APMPNumberValue>(), value);
  }
  double value() const { return value_; }
  // Gives a number that only one variable holds a new value: an assignment
  // of a computed number reuses it, as nobody else can see it.
  void reuseForValue(double value) { value_ = value; }
  // The number formatting of number_forms.h.
  os::Result<std::u16string> stringValueOrError() const override;
  os::Result<double> doubleValueOrError() const override;
  // True unless 0 or NaN.
  os::Result<bool> booleanValueOrError() const override;
  // A number with the same value; two NaNs are equal here.
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;

 private:
  static constexpr int kSharedIntegers = 1024;
  static const APMPValueRef& sharedInteger(int value);
  double value_;
};

class APMPStringValue final : public APMPRuntimeValue {
 public:
  explicit APMPStringValue(std::u16string value) : APMPRuntimeValue(Kind::String), value_(std::move(value)) {}
  static APMPValueRef make(std::u16string value) { return std::make_shared<APMPStringValue>(std::move(value)); }
  const std::u16string& value() const { return value_; }
  // The text as a name key; its hash is computed on first use and kept (a
  // name literal is looked up on every evaluation).
  APMPNameKey nameKey() const {
    if (!hashed_) {
      nameHash_ = std::hash<std::u16string_view>()(value_);
      hashed_ = true;
    }
    return APMPNameKey(value_, nameHash_);
  }
  os::Result<std::u16string> stringValueOrError() const override;
  // The string parsing of number_forms.h.
  os::Result<double> doubleValueOrError() const override;
  // True when not empty.
  os::Result<bool> booleanValueOrError() const override;
  // Handed to the string methods (APMPStringCommandEvaluator).
  APMPResult applyWithName(std::u16string_view name, const APMPValueList& arguments,
                           const APMPScopeRef& scope) override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;

 private:
  const std::u16string value_;
  mutable size_t nameHash_ = 0;
  mutable bool hashed_ = false;
};

// A container with a collector flag: maps, arrays and functions.
class APMPContainerValue : public APMPRuntimeValue {
 public:
  bool isMarked() const { return marked_; }
  void unmark() { marked_ = false; }
  void sweep() override;

 protected:
  explicit APMPContainerValue(Kind kind) : APMPRuntimeValue(kind) {}
  // Sets the flag; false when it was already set (the container is done).
  bool setMarked() {
    if (marked_) return false;
    marked_ = true;
    return true;
  }
  void clearMark() { marked_ = false; }

 private:
  bool marked_ = false;
};

// Maps and functions share a property map and the method rule over it: a
// property holding a function is invoked, any other property fails with
// rovav 17, else "hasOwnProperty", else the base ("toString" or rovav 17).
class APMPPropertyHolderValue : public APMPContainerValue {
 public:
  bool hasProperty(std::u16string_view name) const { return propertyMap_.hasName(name); }
  void setValue(APMPValueRef value, std::u16string_view property) {
    apmp::detail::noteContainerWrite();
    propertyMap_.setValue(std::move(value), property);
  }
  // The undefined value when absent.
  const APMPValueRef& valueForProperty(std::u16string_view name) const { return propertyMap_.valueForName(name); }
  void removeValueForProperty(std::u16string_view name) {
    apmp::detail::noteContainerWrite();
    propertyMap_.removeValueForName(name);
  }
  std::vector<std::u16string> allPropertyNames() const { return propertyMap_.allNames(); }
  // Mutable access counts as a write (apmp::detail::noteContainerWrite).
  APMPPropertyMap& propertyMap() {
    apmp::detail::noteContainerWrite();
    return propertyMap_;
  }
  const APMPPropertyMap& propertyMap() const { return propertyMap_; }

  APMPResult applyWithName(std::u16string_view name, const APMPValueList& arguments,
                           const APMPScopeRef& scope) override;
  void dropContents() override;

 protected:
  explicit APMPPropertyHolderValue(Kind kind) : APMPContainerValue(kind) {}
  APMPPropertyMap propertyMap_;
};

// A script object. Made through APMPObjectManager::mapValueWithScope so the
// collector tracks it; subclasses made otherwise are never collected.
class APMPMapValue : public APMPPropertyHolderValue {
 public:
  APMPMapValue() : APMPPropertyHolderValue(Kind::Map) {}
  // "[object Object]", NaN, true.
  os::Result<std::u16string> stringValueOrError() const override;
  os::Result<double> doubleValueOrError() const override;
  os::Result<bool> booleanValueOrError() const override;
  // The same object, or a map with the same property names whose values are
  // pairwise equal (recursively, up to kAPMPMaxValueNesting).
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
  void mark(APMPMarker& marker) override;
};

// A function: a name, parameter names, a body of unevaluated statements and
// the scope it was made in. Script functions are made through
// APMPObjectManager::functionValueWithFunctionName; native functions derive
// from this class and replace invokeWithArguments.
class APMPFunctionValue : public APMPPropertyHolderValue {
 public:
  APMPFunctionValue(std::u16string functionName, std::vector<std::u16string> parameterNames,
                    APMPValueList statements, APMPScopeRef definingScope);
  ~APMPFunctionValue() override;

  const std::u16string& functionName() const { return functionName_; }
  const std::vector<std::u16string>& parameters() const { return parameters_; }
  const APMPValueList& statements() const { return statements_; }
  const APMPScopeRef& definingScope() const { return definingScope_; }

  // Evaluates the arguments in order in the calling scope (stopping at the
  // first error), then invokeWithEvaluatedArguments.
  virtual APMPResult invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope);
  // Runs the body in a new child of the defining scope with the parameters
  // declared (missing ones undefined, extra arguments dropped). A return
  // yields its data; otherwise the body's result, which may be a break or
  // continue value that ended it.
  virtual APMPResult invokeWithEvaluatedArguments(APMPArguments arguments);
  // invokeWithArguments for a caller that holds a reference to the function
  // for the whole call (a call by name): a script function runs its body
  // without taking a reference of its own; any other class goes through its
  // invokeWithArguments.
  APMPResult invokeHeld(const APMPValueList& arguments, const APMPScopeRef& scope);

  // Its name, NaN, true.
  os::Result<std::u16string> stringValueOrError() const override;
  os::Result<double> doubleValueOrError() const override;
  os::Result<bool> booleanValueOrError() const override;
  // The same object, or a function with the same non-empty name.
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
  void mark(APMPMarker& marker) override;
  void dropContents() override;

 private:
  // invokeWithEvaluatedArguments without its own reference: the caller
  // keeps the function alive.
  APMPResult runBody(APMPArguments arguments);
  const std::u16string functionName_;
  const std::vector<std::u16string> parameters_;
  // The parameters' name hashes, for binding them at every call.
  const std::vector<size_t> parameterHashes_;
  APMPValueList statements_;
  APMPScopeRef definingScope_;
};

// Carries break, continue and return outward through nested statements.
class APMPControlValue final : public APMPRuntimeValue {
 public:
  enum class Type { Break, Continue, Return };
  APMPControlValue(Type type, APMPValueRef data);

  static const APMPValueRef& breakValue();
  static const APMPValueRef& continueValue();
  // A return value; null data stands for undefined. Each thread keeps one
  // return value for reuse: it is handed out again only once nothing else
  // holds it, so a return value that is kept never changes.
  static APMPValueRef returnValueWithData(APMPValueRef data);
  // The data of a return value. When it is the thread's reusable one and
  // only the caller's reference is left besides the thread's, the data is
  // moved out: the caller drops its reference without reading it again.
  static APMPValueRef takeReturnData(const APMPValueRef& returnValue);

  Type type() const { return type_; }
  // "break", "continue" or "return".
  std::u16string_view typeName() const;
  const APMPValueRef& data() const { return data_; }
  // A control value of the same type with equal data.
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
  void mark(APMPMarker& marker) override;

 private:
  const Type type_;
  // Changed only while no one but the thread's reuse slot holds the value;
  // null only then, after takeReturnData.
  APMPValueRef data_;
};

// An unevaluated statement: an opcode (a decimal number such as "12", or a
// function name) and its unevaluated arguments. Immutable. The evaluator
// that owns the opcode is found once, when the statement is made.
class APMPStatementValue final : public APMPRuntimeValue {
 public:
  APMPStatementValue(std::u16string functionName, APMPValueList arguments);

  const std::u16string& functionName() const { return functionName_; }
  // The opcode as a name key, hashed once (a call by name looks it up).
  APMPNameKey functionNameKey() const { return APMPNameKey(functionName_, functionNameHash_); }
  const APMPValueList& arguments() const { return arguments_; }
  // The command family owning the opcode, or the function evaluator.
  const APMPCommandEvaluator& evaluator() const { return *evaluator_; }
  // What the evaluator resolved for the opcode when the statement was made.
  const void* resolvedCommand() const { return resolved_; }
  // The opcode table row it resolved to; null for calls by name and for
  // evaluators without rows.
  const APMPOpcode* row() const { return row_; }
  // The row when the evaluator is one of the registrar's own families, which
  // run every row in its family's mode; the registrar then runs it directly.
  const APMPOpcode* builtInRow() const { return builtInRow_; }
  // The statement's fused form (commands/fused_statements.h), if it has one.
  const APMPFusedForm& fused() const { return fused_; }

  // The same object, or equal opcodes and pairwise equal arguments.
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;

 private:
  const std::u16string functionName_;
  const size_t functionNameHash_;
  const APMPValueList arguments_;
  const APMPCommandEvaluator* evaluator_;
  const void* resolved_;
  const APMPOpcode* row_;
  const APMPOpcode* builtInRow_;
  APMPFusedForm fused_;
};

// ---- shared comparison routines ----

// Same class, then: numbers and Booleans by number form (NaN never equal),
// strings by text, anything else by identity.
bool APMPIsStrictlyEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b);
// The string forms are equal; a conversion failure is that error.
os::Result<bool> APMPIsStringEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b);
// The number forms are equal; a conversion failure is that error.
os::Result<bool> APMPIsNumberEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b);

// A new string value, or rovav 18 when the text is longer than
// kAPMPMaxStringLength. Every operation that builds a longer text from
// shorter ones (concatenation, joining, replacing, case mapping) makes its
// result through this.
APMPResult APMPMakeString(std::u16string text);
// a followed by b, within kAPMPMaxStringLength (else rovav 18).
os::Result<std::u16string> APMPConcatenate(std::u16string_view a, std::u16string_view b);

namespace apmp::detail {

// Drops a reference without recursing: while a release runs on this thread,
// references that destructors give up are queued and dropped one by one by
// the outermost call.
void releaseLater(std::shared_ptr<void> reference);
// The same for a value: one that holds no other values (or is not the last
// reference) is dropped in place.
inline void releaseValueLater(APMPValueRef value) {
  if (!value) return;
  if (value->kind() <= APMPRuntimeValue::Kind::String || value.use_count() > 1) return;
  releaseLater(std::move(value));
}
void releaseAllLater(APMPValueList& values);

// Bulk work done by value operations beneath the commands (the string forms
// of nested arrays), kept on this thread until the statement evaluation that
// caused it pays it to the budget (evaluator.cpp).
void addBulkWork(size_t units);
size_t takeBulkWork();
// The pending units themselves, for the evaluator's hot path.
inline thread_local size_t gPendingBulkWork = 0;
inline size_t& pendingBulkWork() { return gPendingBulkWork; }

// Bounds the recursion of value operations: ok() is false once more than
// kAPMPMaxValueNesting guards are alive on this thread.
class NestingGuard {
 public:
  NestingGuard();
  ~NestingGuard();
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

}  // namespace apmp::detail
