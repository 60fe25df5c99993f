#include "os/foundation/format.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

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

}  // namespace

std::string formatv(std::string_view fmt, std::span<const FormatArg> args) {
  std::string out;
  out.reserve(fmt.size() + 16);
  size_t next = 0;  // next argument
  size_t i = 0;
  const size_t n = fmt.size();
  while (i < n) {
    char c = fmt[i];
    if (c != '%') {
      size_t j = fmt.find('%', i);
      if (j == std::string_view::npos) j = n;
      out.append(fmt.substr(i, j - i));
      i = j;
      continue;
    }
    size_t start = i++;
    if (i < n && fmt[i] == '%') {
      out.push_back('%');
      ++i;
      continue;
    }
    // Flags.
    std::string flags;
    while (i < n && std::strchr("-+ #0'", fmt[i])) {
      if (fmt[i] != '\'') flags.push_back(fmt[i]);
      ++i;
    }
    // Width.
    int width = -1;
    bool bad = false;
    if (i < n && fmt[i] == '*') {
      ++i;
      if (next < args.size()) {
        int64_t w = args[next++].asSigned();
        if (w < 0) {
          flags.push_back('-');
          w = -w;
        }
        width = static_cast<int>(std::min<int64_t>(w, 4096));
      } else {
        bad = true;
      }
    } else {
      int w = 0;
      bool any = false;
      while (i < n && fmt[i] >= '0' && fmt[i] <= '9') {
        w = std::min(w * 10 + (fmt[i] - '0'), 4096);
        any = true;
        ++i;
      }
      if (any) width = w;
    }
    // Precision.
    int precision = -1;
    if (i < n && fmt[i] == '.') {
      ++i;
      if (i < n && fmt[i] == '*') {
        ++i;
        if (next < args.size()) {
          int64_t p = args[next++].asSigned();
          precision = p < 0 ? -1 : static_cast<int>(std::min<int64_t>(p, 4096));
        } else {
          bad = true;
        }
      } else {
        int p = 0;
        while (i < n && fmt[i] >= '0' && fmt[i] <= '9') {
          p = std::min(p * 10 + (fmt[i] - '0'), 4096);
          ++i;
        }
        precision = p;
      }
    }
    // Length modifiers: the argument's own type decides.
    while (i < n && std::strchr("hlqzjtL", fmt[i])) ++i;
    if (i >= n) {
      out.append(fmt.substr(start));
      break;
    }
    char conv = fmt[i++];
    if (!std::strchr("diuxXocspfFeEgGaA@", conv) || bad || next >= args.size()) {
      out.append(fmt.substr(start, i - start));
      continue;
    }
    const FormatArg& arg = args[next++];
    bool left = flags.find('-') != std::string::npos;

    if (conv == '@' || conv == 's') {
      std::string text = arg.asText();
      if (precision >= 0 && size_t(precision) < text.size()) text.resize(size_t(precision));
      pad(out, text, width, left);
      continue;
    }
    if (conv == 'c') {
      std::string text(1, static_cast<char>(arg.asSigned()));
      pad(out, text, width, left);
      continue;
    }
    if (conv == 'p') {
      const void* p = arg.asPointer();
      char buf[32];
      std::snprintf(buf, sizeof buf, "%p", p);
      pad(out, p ? std::string(buf) : std::string("0x0"), width, left);
      continue;
    }

    // Numeric conversions through the C library with a rebuilt conversion string.
    std::string spec = "%" + flags;
    if (width >= 0) spec += std::to_string(width);
    if (precision >= 0) spec += "." + std::to_string(precision);
    char buf[512];
    int written = 0;
    if (std::strchr("di", conv)) {
      spec += "lld";
      written = std::snprintf(buf, sizeof buf, spec.c_str(), static_cast<long long>(arg.asSigned()));
    } else if (std::strchr("uxXo", conv)) {
      spec += "ll";
      spec.push_back(conv);
      written = std::snprintf(buf, sizeof buf, spec.c_str(), static_cast<unsigned long long>(arg.asUnsigned()));
    } else {
      spec.push_back(conv);
      written = std::snprintf(buf, sizeof buf, spec.c_str(), arg.asDouble());
    }
    if (written < 0) continue;
    if (size_t(written) < sizeof buf) {
      out.append(buf, size_t(written));
    } else {
      std::string big(size_t(written) + 1, '\0');
      if (std::strchr("di", conv))
        std::snprintf(big.data(), big.size(), spec.c_str(), static_cast<long long>(arg.asSigned()));
      else if (std::strchr("uxXo", conv))
        std::snprintf(big.data(), big.size(), spec.c_str(), static_cast<unsigned long long>(arg.asUnsigned()));
      else
        std::snprintf(big.data(), big.size(), spec.c_str(), arg.asDouble());
      big.resize(size_t(written));
      out += big;
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
