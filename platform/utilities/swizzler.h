// DAZSwizzler: replaces method implementations of runtime classes and reads
// the implementations in force.
//
// Every replacement and look-up runs synchronously on one process-wide serial
// queue, "com.devuvo.DAZSwizzler", so a look-up never sees another caller's
// replacement half made. A caller's read-then-replace is two separate steps.
// Callable from any thread.
#pragma once

#include <string>

#include "os/runtime/runtime.h"

inline constexpr const char* kDAZSwizzlerQueueLabel = "com.devuvo.DAZSwizzler";

class DAZSwizzler {
 public:
  // Replaces the method of `cls` (its class method when `isClassSelector`)
  // with `block`. An inherited method gets an override in `cls` only; the
  // superclass keeps its own. A null class, an empty selector or a method that
  // does not exist is a programming error of the caller: it is logged as an
  // internal-consistency failure and nothing is replaced (false).
  static bool swizzleClass(os::runtime::Class* cls, const std::string& selector, bool isClassSelector,
                           os::runtime::Imp block);

  // The implementation in force (inherited ones included), or an empty Imp.
  static os::runtime::Imp currentImplementationForClass(os::runtime::Class* cls, const std::string& selector,
                                                        bool isClassSelector);

  // Whether the class (or, for a class method, its metaclass) has the method,
  // inherited ones included.
  static bool selector(const std::string& selector, os::runtime::Class* cls, bool isClassSelector);
};
