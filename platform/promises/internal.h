// Internals shared by the promise library's sources. Not for callers.
#pragma once

#include <any>
#include <string>
#include <typeinfo>

#include "os/dispatch/queue.h"
#include "platform/promises/aravuvo.h"

namespace promises::detail {

// Settles `promise` with a block's result: a promise result is observed on
// `queue` and its outcome adopted, an os::Error rejects, anything else
// fulfils.
void resolveWith(const VUVAravuvo::Queue& queue, const VUVAravuvoPtr& promise, std::any result);

// The deadline `seconds` from now, truncated to whole nanoseconds. NaN and
// negative intervals mean now; intervals beyond the range of int64
// nanoseconds saturate (never reached).
os::DispatchTime deadlineAfter(double seconds);

// The text %@ prints for an object.
std::string describeObject(const std::any& object);

// The readable name of a type, e.g. "int" or "std::vector<int>".
std::string demangle(const std::type_info& type);

}  // namespace promises::detail
