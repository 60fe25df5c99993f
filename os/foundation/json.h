// os::JSONSerialization: JSON text to and from os::Value.
//
// Reading keeps number kinds: integers that fit are Int64, larger positive
// ones UInt64, anything else a Double; true/false are Bool; null is a null
// Value. Input is UTF-8 (a leading byte-order mark is skipped). Writing: strings
// are escaped as the platform does ("/" as "\/" unless told otherwise, control
// characters as \n, \t, ... or \u00XX, other text as UTF-8); dictionary keys
// come out in key order (os::Dictionary is ordered), so SortedKeys changes
// nothing but is accepted; pretty printing indents by two spaces and
// separates keys as "key" : value.
//
// Errors: domain "NSCocoaErrorDomain", code 3840, with a description in
// NSLocalizedDescription and the detail in NSDebugDescription.
#pragma once

#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/foundation/value.h"

namespace os {

enum JSONReadingOptions : unsigned {
  JSONReadingNone = 0,
  JSONReadingMutableContainers = 1u << 0,  // accepted; every Value is mutable
  JSONReadingMutableLeaves = 1u << 1,      // accepted; every Value is mutable
  JSONReadingFragmentsAllowed = 1u << 2,   // a top level other than array/object
};
enum JSONWritingOptions : unsigned {
  JSONWritingNone = 0,
  JSONWritingPrettyPrinted = 1u << 0,
  JSONWritingSortedKeys = 1u << 1,
  JSONWritingFragmentsAllowed = 1u << 2,
  JSONWritingWithoutEscapingSlashes = 1u << 3,
};
constexpr JSONReadingOptions operator|(JSONReadingOptions a, JSONReadingOptions b) {
  return JSONReadingOptions(unsigned(a) | unsigned(b));
}
constexpr JSONWritingOptions operator|(JSONWritingOptions a, JSONWritingOptions b) {
  return JSONWritingOptions(unsigned(a) | unsigned(b));
}

class JSONSerialization {
 public:
  // Arrays and objects nest at most this deep, reading or writing.
  static constexpr int kMaximumDepth = 512;

  // Parses JSON text. Without FragmentsAllowed the top level must be an array
  // or an object. Empty, truncated or malformed text, invalid UTF-8, trailing
  // garbage and nesting beyond kMaximumDepth are errors. A key repeated in an
  // object keeps its last value.
  static Result<Value> JSONObjectWithData(const Data& data, JSONReadingOptions options = JSONReadingNone);
  // Writes JSON text (UTF-8, no trailing newline). Errors: data or date
  // values, NaN or infinite numbers, a top level other than array/object
  // without FragmentsAllowed, nesting beyond kMaximumDepth.
  static Result<Data> dataWithJSONObject(const Value& object, JSONWritingOptions options = JSONWritingNone);
  // Whether dataWithJSONObject would accept `object` without FragmentsAllowed.
  static bool isValidJSONObject(const Value& object);
};

}  // namespace os
