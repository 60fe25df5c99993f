// os::format: the platform's string formatting, with printf semantics and %@.
//
// Conversions: %d %i %u %x %X %o %c %s %p %f %F %e %E %g %G %a %% and %@, with
// flags (-+ #0), width and precision as C does them ("*" included), and the
// length modifiers hh h l ll q z t j L, which are accepted and ignored: the
// argument's own type decides. %@ prints an os::Value's description, a string,
// an os::Error's description, or any argument as %@ would. A conversion with
// no argument left, or an unknown conversion, is copied to the output verbatim;
// a malformed format never crashes.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "os/foundation/error.h"
#include "os/foundation/value.h"

namespace os {

class FormatArg {
 public:
  enum class Kind { Signed, Unsigned, Double, CString, String, Pointer, Object };

  template <class T>
    requires(std::is_integral_v<T> && std::is_signed_v<T>)
  FormatArg(T v) : kind_(Kind::Signed), i_(v) {}
  template <class T>
    requires(std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
  FormatArg(T v) : kind_(Kind::Unsigned), u_(v) {}
  FormatArg(bool v) : kind_(Kind::Signed), i_(v ? 1 : 0) {}
  template <class T>
    requires std::is_enum_v<T>
  FormatArg(T v) : kind_(Kind::Signed), i_(static_cast<int64_t>(v)) {}
  FormatArg(double v) : kind_(Kind::Double), d_(v) {}
  FormatArg(float v) : kind_(Kind::Double), d_(v) {}
  FormatArg(long double v) : kind_(Kind::Double), d_(static_cast<double>(v)) {}
  FormatArg(const char* s) : kind_(Kind::CString), s_(s) {}
  FormatArg(char* s) : kind_(Kind::CString), s_(s) {}
  FormatArg(const std::string& s) : kind_(Kind::String), sv_(s) {}
  FormatArg(std::string_view s) : kind_(Kind::String), sv_(s) {}
  FormatArg(const void* p) : kind_(Kind::Pointer), p_(p) {}
  FormatArg(std::nullptr_t) : kind_(Kind::Pointer), p_(nullptr) {}
  FormatArg(const Value& v) : kind_(Kind::Object), obj_(v.description()) {}
  FormatArg(const Number& n) : kind_(Kind::Object), obj_(n.description()) {}
  FormatArg(const Error& e) : kind_(Kind::Object), obj_(e.description()) {}

  Kind kind() const { return kind_; }
  int64_t asSigned() const;
  uint64_t asUnsigned() const;
  double asDouble() const;
  // The text %@ or %s prints for this argument.
  std::string asText() const;
  const void* asPointer() const;

 private:
  Kind kind_;
  union {
    int64_t i_;
    uint64_t u_;
    double d_;
    const char* s_;
    const void* p_;
  };
  std::string_view sv_;
  std::string obj_;
};

std::string formatv(std::string_view format, std::span<const FormatArg> args);

template <class... Args>
std::string format(std::string_view fmt, const Args&... args) {
  std::array<FormatArg, sizeof...(Args)> list{FormatArg(args)...};
  return formatv(fmt, std::span<const FormatArg>(list.data(), list.size()));
}

// Swift's description of a Double: "150.0", "0.1", "1e-07", "inf", "nan".
std::string swiftDescription(double value);

}  // namespace os
