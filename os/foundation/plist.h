// os::PropertyListSerialization: property lists (XML and binary) to and from
// os::Value, libplist underneath.
//
// A property list holds Booleans, integers, reals, strings, data, dates,
// arrays and dictionaries; null is not valid in one. Integers read back as
// Int64 (UInt64 only for a binary 128-bit value above INT64_MAX), reals as
// Double; an unsigned integer above INT64_MAX cannot be written (the library
// would store it as a negative number). Dates keep microseconds in binary and
// whole seconds in XML (as that format writes them), and must lie within about
// 68 years of 2001-01-01 to be written (the library's range). A keyed-archive
// UID reads as the dictionary {"CF$UID": n}. Strings must be UTF-8 without NUL
// to be written; a string or key read that is not UTF-8 makes the input
// malformed (NUL is read as it stands).
//
// Binary input is read by our own bounds-checked reader; XML input and all
// output go through libplist. XML whose elements nest deeper than a property
// list of kMaximumDepth can is refused before libplist sees it (the library
// recurses without a bound).
//
// Errors: domain "NSCocoaErrorDomain"; malformed input is code 3840, a value
// that cannot be written is code 3851; each with a description.
#pragma once

#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/foundation/value.h"

namespace os {

class PropertyListSerialization {
 public:
  // Raw values as the platform's.
  enum class Format { OpenStep = 1, XML = 100, Binary = 200 };
  // Collections nest at most this deep, reading or writing.
  static constexpr int kMaximumDepth = 512;

  // Reads an XML or binary property list (detected from its bytes). `format`,
  // when given, receives the detected format. Anything that is not a property
  // list is an error, never a crash.
  static Result<Value> propertyListWithData(const Data& data, Format* format = nullptr);
  // Writes `plist` as XML or binary. OpenStep cannot be written (error), nor
  // can null values or non-finite dates.
  static Result<Data> dataWithPropertyList(const Value& plist, Format format);
  // Whether dataWithPropertyList would accept `plist` in `format`.
  static bool propertyList(const Value& plist, Format isValidForFormat);
};

}  // namespace os
