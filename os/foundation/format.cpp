#include "os/foundation/format.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

namespace os {

int64_t FormatArg::asSigned() const {
  switch (kind_) {
    case Kind::Signed: return i_;
    case Kind::Unsigned: return static_cast<int64_t>(u_);
    case Kind::Double: return std::isfinite(d_) ? static_cast<int64_t>(d_) : 0;
    case Kind::Pointer: return static_cast<int64_t>(reinterpret_cast<uintptr_t>(p_));
    default: return 0;
  }
}

uint64_t FormatArg::asUnsigned() const {
  switch (kind_) {
    case Kind::Signed: return static_cast<uint64_t>(i_);
    case Kind::Unsigned: return u_;
    case Kind::Double: return std::isfinite(d_) ? static_cast<uint64_t>(static_cast<int64_t>(d_)) : 0;
    case Kind::Pointer: return reinterpret_cast<uintptr_t>(p_);
    default: return 0;
  }
}

double FormatArg::asDouble() const {
  switch (kind_) {
    case Kind::Signed: return static_cast<double>(i_);
    case Kind::Unsigned: return static_cast<double>(u_);
    case Kind::Double: return d_;
    default: return 0;
  }
}

std::string FormatArg::asText() const {
  switch (kind_) {
    case Kind::Signed: return std::to_string(i_);
    case Kind::Unsigned: return std::to_string(u_);
    case Kind::Double: return Number::float64(d_).description();
    case Kind::CString: return s_ ? std::string(s_) : std::string("(null)");
    case Kind::String: return std::string(sv_);
    case Kind::Pointer: {
      if (!p_) return "(null)";
      char buf[32];
      std::snprintf(buf, sizeof buf, "%p", p_);
      return buf;
    }
    case Kind::Object: return obj_;
  }
  return {};
}

const void* FormatArg::asPointer() const {
  switch (kind_) {
    case Kind::Pointer: return p_;
    case Kind::CString: return s_;
    case Kind::Signed: return reinterpret_cast<const void*>(static_cast<uintptr_t>(i_));
    case Kind::Unsigned: return reinterpret_cast<const void*>(static_cast<uintptr_t>(u_));
    default: return nullptr;
  }
}

namespace {

void pad(std::string& out, const std::string& body, int width, bool left) {
  if (width > 0 && body.size() < size_t(width)) {
    if (left) {
      out += body;
      out.append(size_t(width) - body.size(), ' ');
    } else {
      out.append(size_t(width) - body.size(), ' ');
      out += body;
    }
  } else {
    out += body;
  }
}

// One conversion as written after its '%'.
struct Conversion {
  std::string flags;   // of "-+ #0" (the "'" grouping flag is dropped)
  int width = -1;      // none when negative; at most 4096
  int precision = -1;  // none when negative; at most 4096
  char letter = 0;
  bool missingArgument = false;  // a "*" found no argument left
};

// Reads the conversion that starts at fmt[i], just after its '%': flags,
// width, precision (either may be "*", which takes an argument from
// args[next]), length modifiers (skipped: the argument's own type decides)
// and the conversion letter. Advances `i` past it and `next` past the
// arguments "*" took; nullopt when the format ends inside it.
std::optional<Conversion> parseConversion(std::string_view fmt, size_t& i, std::span<const FormatArg> args,
                                          size_t& next) {
  const size_t n = fmt.size();
  Conversion c;
  while (i < n && std::strchr("-+ #0'", fmt[i])) {
    if (fmt[i] != '\'') c.flags.push_back(fmt[i]);
    ++i;
  }
  if (i < n && fmt[i] == '*') {
    ++i;
    if (next < args.size()) {
      int64_t w = args[next++].asSigned();
      if (w < 0) {
        c.flags.push_back('-');
        w = -w;
      }
      c.width = static_cast<int>(std::min<int64_t>(w, 4096));
    } else {
      c.missingArgument = true;
    }
  } else {
    int w = 0;
    bool any = false;
    while (i < n && fmt[i] >= '0' && fmt[i] <= '9') {
      w = std::min(w * 10 + (fmt[i] - '0'), 4096);
      any = true;
      ++i;
    }
    if (any) c.width = w;
  }
  if (i < n && fmt[i] == '.') {
    ++i;
    if (i < n && fmt[i] == '*') {
      ++i;
      if (next < args.size()) {
        int64_t p = args[next++].asSigned();
        c.precision = p < 0 ? -1 : static_cast<int>(std::min<int64_t>(p, 4096));
      } else {
        c.missingArgument = true;
      }
    } else {
      int p = 0;
      while (i < n && fmt[i] >= '0' && fmt[i] <= '9') {
        p = std::min(p * 10 + (fmt[i] - '0'), 4096);
        ++i;
      }
      c.precision = p;
    }
  }
  while (i < n && std::strchr("hlqzjtL", fmt[i])) ++i;
  if (i >= n) return std::nullopt;
  c.letter = fmt[i++];
  return c;
}

// The C library's expansion of one value; "" when it refuses.
template <class T>
std::string cFormat(const std::string& spec, T value) {
  char buf[512];
  const int written = std::snprintf(buf, sizeof buf, spec.c_str(), value);
  if (written < 0) return {};
  if (size_t(written) < sizeof buf) return std::string(buf, size_t(written));
  std::string big(size_t(written) + 1, '\0');
  std::snprintf(big.data(), big.size(), spec.c_str(), value);
  big.resize(size_t(written));
  return big;
}

// A numeric conversion (d i u x X o, or f F e E g G a A) of the argument,
// through the C library with the conversion rebuilt for the argument's width.
std::string formatNumber(const Conversion& c, const FormatArg& arg) {
  std::string spec = "%" + c.flags;
  if (c.width >= 0) spec += std::to_string(c.width);
  if (c.precision >= 0) spec += "." + std::to_string(c.precision);
  if (std::strchr("di", c.letter)) return cFormat(spec + "lld", static_cast<long long>(arg.asSigned()));
  if (std::strchr("uxXo", c.letter)) {
    return cFormat(spec + "ll" + c.letter, static_cast<unsigned long long>(arg.asUnsigned()));
  }
  return cFormat(spec + c.letter, arg.asDouble());
}

}  // namespace

std::string formatv(std::string_view fmt, std::span<const FormatArg> args) {
  std::string out;
  out.reserve(fmt.size() + 16);
  size_t next = 0;  // next argument
  size_t i = 0;
  const size_t n = fmt.size();
  while (i < n) {
    if (fmt[i] != '%') {
      size_t j = fmt.find('%', i);
      if (j == std::string_view::npos) j = n;
      out.append(fmt.substr(i, j - i));
      i = j;
      continue;
    }
    const size_t start = i++;
    if (i < n && fmt[i] == '%') {
      out.push_back('%');
      ++i;
      continue;
    }
    const std::optional<Conversion> c = parseConversion(fmt, i, args, next);
    if (!c) {
      out.append(fmt.substr(start));
      break;
    }
    if (!std::strchr("diuxXocspfFeEgGaA@", c->letter) || c->missingArgument || next >= args.size()) {
      out.append(fmt.substr(start, i - start));
      continue;
    }
    const FormatArg& arg = args[next++];
    const bool left = c->flags.find('-') != std::string::npos;
    switch (c->letter) {
      case '@':
      case 's': {
        std::string text = arg.asText();
        if (c->precision >= 0 && size_t(c->precision) < text.size()) text.resize(size_t(c->precision));
        pad(out, text, c->width, left);
        break;
      }
      case 'c': pad(out, std::string(1, static_cast<char>(arg.asSigned())), c->width, left); break;
      case 'p': {
        const void* p = arg.asPointer();
        char buf[32];
        std::snprintf(buf, sizeof buf, "%p", p);
        pad(out, p ? std::string(buf) : std::string("0x0"), c->width, left);
        break;
      }
      default: out += formatNumber(*c, arg);
    }
  }
  return out;
}

std::string swiftDescription(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  double mag = std::fabs(value);
  char buf[64];
  if (mag < 1e-4 || mag >= 1e16) {
    // Shortest digits in exponent form, with a two-digit exponent at least.
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string s(buf, r.ptr);
    return s;
  }
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  std::string s(buf, r.ptr);
  if (s.find('.') == std::string::npos) s += ".0";
  return s;
}

}  // namespace os
