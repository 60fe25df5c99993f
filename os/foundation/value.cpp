#include "os/foundation/value.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <functional>
#include <limits>
#include <ostream>

namespace os {

bool Number::boolValue() const {
  if (isFloatingPoint()) return d_ != 0.0;
  return i_ != 0;
}

int64_t Number::int64Value() const {
  if (isFloatingPoint()) {
    if (std::isnan(d_)) return 0;
    if (d_ >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
    if (d_ <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d_);
  }
  return i_;  // UInt64 wraps, as the platform's longLongValue does
}

uint64_t Number::uint64Value() const {
  if (isFloatingPoint()) {
    if (std::isnan(d_) || d_ <= -1.0) return static_cast<uint64_t>(int64Value());
    if (d_ >= 1.8446744073709552e19) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(d_);
  }
  return u_;
}

double Number::doubleValue() const {
  if (isFloatingPoint()) return d_;
  if (kind_ == Kind::UInt64) return static_cast<double>(u_);
  return static_cast<double>(i_);
}

int Number::compare(const Number& o) const {
  if (isInteger() && o.isInteger()) {
    bool aBig = kind_ == Kind::UInt64 && u_ > uint64_t(std::numeric_limits<int64_t>::max());
    bool bBig = o.kind_ == Kind::UInt64 && o.u_ > uint64_t(std::numeric_limits<int64_t>::max());
    if (aBig || bBig) {
      if (aBig && bBig) return u_ < o.u_ ? -1 : (u_ > o.u_ ? 1 : 0);
      return aBig ? 1 : -1;
    }
    return i_ < o.i_ ? -1 : (i_ > o.i_ ? 1 : 0);
  }
  double a = doubleValue(), b = o.doubleValue();
  if (a < b) return -1;
  if (a > b) return 1;
  if (a == b) return 0;
  // NaN sorts below every number and equals itself, as the platform does.
  bool an = std::isnan(a), bn = std::isnan(b);
  if (an && bn) return 0;
  return an ? -1 : 1;
}

size_t Number::hash() const {
  // Equal numbers must hash alike across kinds: integral values hash as int64.
  if (isFloatingPoint()) {
    double d = d_;
    if (std::isfinite(d) && d == std::trunc(d) && d >= -9.2233720368547758e18 && d < 9.2233720368547758e18)
      return std::hash<int64_t>()(static_cast<int64_t>(d));
    return std::hash<double>()(d);
  }
  if (kind_ == Kind::UInt64 && u_ > uint64_t(std::numeric_limits<int64_t>::max()))
    return std::hash<double>()(static_cast<double>(u_));
  return std::hash<int64_t>()(i_);
}

std::string Number::description() const {
  char buf[64];
  std::to_chars_result r;
  if (isFloatingPoint()) {
    if (std::isnan(d_)) return "nan";
    if (std::isinf(d_)) return d_ > 0 ? "inf" : "-inf";
    if (kind_ == Kind::Float)
      r = std::to_chars(buf, buf + sizeof buf, static_cast<float>(d_));
    else
      r = std::to_chars(buf, buf + sizeof buf, d_);
  } else if (kind_ == Kind::UInt64) {
    r = std::to_chars(buf, buf + sizeof buf, u_);
  } else {
    r = std::to_chars(buf, buf + sizeof buf, i_);
  }
  return std::string(buf, r.ptr);
}

namespace {
const Value& nullValue() {
  static const Value& v = *new Value();  // never destroyed: read on any thread during exit
  return v;
}

void appendIndent(std::string& out, int level) { out.append(size_t(level) * 4, ' '); }

bool needsQuotes(const std::string& s) {
  if (s.empty()) return true;
  for (unsigned char c : s) {
    if (!(std::isalnum(c) || c == '_' || c == '.' || c == '$' || c == '/' || c == ':' || c == '-'))
      return true;
  }
  return false;
}

std::string quoted(const std::string& s) {
  if (!needsQuotes(s)) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out.push_back('\\');
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

void describe(const Value& v, std::string& out, int level, bool nested) {
  switch (v.type()) {
    case Value::Type::Null:
      out += "<null>";
      break;
    case Value::Type::Number:
      out += v.number()->description();
      break;
    case Value::Type::String:
      out += nested ? quoted(*v.string()) : *v.string();
      break;
    case Value::Type::Data: {
      static const char* hex = "0123456789abcdef";
      out += "{length = " + std::to_string(v.data()->length()) + ", bytes = 0x";
      for (size_t i = 0; i < v.data()->length(); ++i) {
        uint8_t b = (*v.data())[i];
        out.push_back(hex[b >> 4]);
        out.push_back(hex[b & 15]);
      }
      out += "}";
      break;
    }
    case Value::Type::Date: {
      char buf[64];
      auto r = std::to_chars(buf, buf + sizeof buf, v.date()->timeIntervalSince1970());
      out += std::string(buf, r.ptr);
      break;
    }
    case Value::Type::Array: {
      out += "(\n";
      const auto& a = *v.array();
      for (size_t i = 0; i < a.size(); ++i) {
        appendIndent(out, level + 1);
        describe(a[i], out, level + 1, true);
        if (i + 1 < a.size()) out += ",";
        out += "\n";
      }
      appendIndent(out, level);
      out += ")";
      break;
    }
    case Value::Type::Dictionary: {
      out += "{\n";
      for (const auto& [k, item] : *v.dictionary()) {
        appendIndent(out, level + 1);
        out += quoted(k) + " = ";
        describe(item, out, level + 1, true);
        out += ";\n";
      }
      appendIndent(out, level);
      out += "}";
      break;
    }
  }
}
}  // namespace

bool Value::boolValue(bool fallback) const {
  if (auto n = number()) return n->boolValue();
  if (auto s = string()) {
    // As the platform's boolValue of a string: leading Y, y, T, t or a non-zero digit.
    for (char c : *s) {
      if (c == ' ' || c == '\t') continue;
      if (c == '+' || c == '-') continue;
      if (c == 'Y' || c == 'y' || c == 'T' || c == 't') return true;
      if (c >= '1' && c <= '9') return true;
      if (c == '0') continue;
      return false;
    }
    return false;
  }
  return fallback;
}

int64_t Value::int64Value(int64_t fallback) const {
  if (auto n = number()) return n->int64Value();
  if (auto s = string()) {
    int64_t v = 0;
    const char* b = s->data();
    const char* e = b + s->size();
    while (b < e && (*b == ' ' || *b == '\t')) ++b;
    if (b < e && *b == '+') ++b;
    auto r = std::from_chars(b, e, v);
    if (r.ec == std::errc()) return v;
    if (r.ec == std::errc::result_out_of_range)
      return (b < e && *b == '-') ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    return 0;
  }
  return fallback;
}

double Value::doubleValue(double fallback) const {
  if (auto n = number()) return n->doubleValue();
  if (auto s = string()) {
    double v = 0;
    const char* b = s->data();
    const char* e = b + s->size();
    while (b < e && (*b == ' ' || *b == '\t')) ++b;
    if (b < e && *b == '+') ++b;
    auto r = std::from_chars(b, e, v);
    return r.ec == std::errc() ? v : 0.0;
  }
  return fallback;
}

std::string Value::stringValue(std::string_view fallback) const {
  if (auto s = string()) return *s;
  if (auto n = number()) return n->description();
  return std::string(fallback);
}

const Value& Value::operator[](std::string_view key) const {
  const Value* v = find(key);
  return v ? *v : nullValue();
}

const Value& Value::operator[](size_t index) const {
  auto a = array();
  if (!a || index >= a->size()) return nullValue();
  return (*a)[index];
}

const Value* Value::find(std::string_view key) const {
  auto d = dictionary();
  if (!d) return nullptr;
  auto it = d->find(key);
  return it == d->end() ? nullptr : &it->second;
}

void Value::set(std::string key, Value value) {
  if (isNull()) v_ = os::Dictionary{};
  if (auto d = dictionary()) (*d)[std::move(key)] = std::move(value);
}

void Value::erase(std::string_view key) {
  if (auto d = dictionary()) {
    auto it = d->find(key);
    if (it != d->end()) d->erase(it);
  }
}

void Value::push_back(Value value) {
  if (isNull()) v_ = os::Array{};
  if (auto a = array()) a->push_back(std::move(value));
}

size_t Value::count() const {
  switch (type()) {
    case Type::Array: return array()->size();
    case Type::Dictionary: return dictionary()->size();
    case Type::String: return string()->size();
    case Type::Data: return data()->length();
    default: return 0;
  }
}

std::string Value::description() const {
  std::string out;
  describe(*this, out, 0, false);
  return out;
}

size_t Value::hash() const {
  switch (type()) {
    case Type::Null: return 0;
    case Type::Number: return number()->hash();
    case Type::String: return std::hash<std::string>()(*string());
    case Type::Data: return std::hash<std::string_view>()(data()->view());
    case Type::Date: return std::hash<double>()(date()->timeIntervalSince1970());
    // As the platform: a collection hashes by its count.
    case Type::Array: return array()->size();
    case Type::Dictionary: return dictionary()->size();
  }
  return 0;
}

bool operator==(const Value& a, const Value& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Value::Type::Null: return true;
    case Value::Type::Number: return *a.number() == *b.number();
    case Value::Type::String: return *a.string() == *b.string();
    case Value::Type::Data: return *a.data() == *b.data();
    case Value::Type::Date: return *a.date() == *b.date();
    case Value::Type::Array: return *a.array() == *b.array();
    case Value::Type::Dictionary: return *a.dictionary() == *b.dictionary();
  }
  return false;
}

std::ostream& operator<<(std::ostream& out, const Value& value) { return out << value.description(); }

}  // namespace os
