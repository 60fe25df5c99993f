#include "os/foundation/json.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <vector>

#include "os/foundation/encoding.h"
#include "os/foundation/format.h"

namespace os {
namespace {

constexpr const char* kReadFailureDescription = "The data couldn’t be read because it isn’t in the correct format.";
constexpr const char* kWriteFailureDescription = "The data couldn’t be written because it isn’t in the correct format.";

Error jsonError(const char* description, std::string detail) {
  Dictionary info;
  info[kLocalizedDescriptionKey] = Value(description);
  info[kDebugDescriptionErrorKey] = Value(std::move(detail));
  return Error(kCocoaErrorDomain, kPropertyListReadCorruptError, std::move(info));
}

Error readError(std::string detail) { return jsonError(kReadFailureDescription, std::move(detail)); }
Error writeError(std::string detail) { return jsonError(kWriteFailureDescription, std::move(detail)); }

// Builds a Value from nlohmann's SAX events with an explicit stack, so that
// depth is bounded by kMaximumDepth rather than by the C++ stack.
class ValueBuilder {
 public:
  using number_integer_t = int64_t;
  using number_unsigned_t = uint64_t;
  using number_float_t = double;
  using string_t = std::string;
  using binary_t = std::vector<uint8_t>;

  bool null() { return add(Value()); }
  bool boolean(bool v) { return add(Value(v)); }
  bool number_integer(int64_t v) { return add(Value(Number::int64(v))); }
  bool number_unsigned(uint64_t v) {
    if (v <= uint64_t(std::numeric_limits<int64_t>::max())) return add(Value(Number::int64(int64_t(v))));
    return add(Value(Number::uint64(v)));
  }
  bool number_float(double v, const std::string& text) {
    if (!std::isfinite(v)) return fail(os::format("Number %@ is out of range.", text));
    return add(Value(Number::float64(v)));
  }
  bool string(std::string& v) { return add(Value(std::move(v))); }
  bool binary(binary_t&) { return fail("Unexpected binary value."); }

  bool start_object(size_t) { return push(Value(Dictionary{})); }
  bool key(std::string& k) {
    key_ = std::move(k);
    return true;
  }
  bool end_object() { return pop(); }
  bool start_array(size_t) { return push(Value(Array{})); }
  bool end_array() { return pop(); }

  bool parse_error(size_t position, const std::string&, const nlohmann::detail::exception& e) {
    if (detail_.empty()) {
      // nlohmann's message names the byte position and what it expected.
      detail_ = os::format("Invalid JSON around byte %zu: %s", position, e.what());
    }
    return false;
  }

  Value take() { return std::move(root_); }
  const std::string& detail() const { return detail_; }

 private:
  struct Frame {
    Value container;
    std::string key;  // the key under which the container goes into its parent
  };

  bool fail(std::string detail) {
    detail_ = std::move(detail);
    return false;
  }
  bool add(Value v) {
    if (stack_.empty()) {
      root_ = std::move(v);
    } else if (auto* d = stack_.back().container.dictionary()) {
      (*d)[key_] = std::move(v);  // a repeated key keeps its last value
    } else {
      stack_.back().container.array()->push_back(std::move(v));
    }
    return true;
  }
  bool push(Value container) {
    if (stack_.size() >= size_t(JSONSerialization::kMaximumDepth))
      return fail(os::format("Too many nested arrays or dictionaries (more than %d).", JSONSerialization::kMaximumDepth));
    stack_.push_back(Frame{std::move(container), key_});
    return true;
  }
  bool pop() {
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    key_ = std::move(frame.key);
    return add(std::move(frame.container));
  }

  std::vector<Frame> stack_;
  std::string key_;
  Value root_;
  std::string detail_;
};

class Writer {
 public:
  explicit Writer(JSONWritingOptions options)
      : pretty_(options & JSONWritingPrettyPrinted), escapeSlashes_(!(options & JSONWritingWithoutEscapingSlashes)) {}

  Status write(const Value& v, int depth) {
    switch (v.type()) {
      case Value::Type::Null:
        out_.append("null");
        return {};
      case Value::Type::Number:
        return writeNumber(*v.number());
      case Value::Type::String:
        return writeString(*v.string());
      case Value::Type::Data:
        return fail(writeError("Invalid type in JSON write (data)."));
      case Value::Type::Date:
        return fail(writeError("Invalid type in JSON write (date)."));
      case Value::Type::Array:
      case Value::Type::Dictionary:
        break;
    }
    if (depth >= JSONSerialization::kMaximumDepth)
      return fail(writeError(os::format("Too many nested arrays or dictionaries (more than %d).",
                                        JSONSerialization::kMaximumDepth)));
    bool isArray = v.isArray();
    out_.push_back(isArray ? '[' : '{');
    bool first = true;
    auto separate = [&] {
      if (!first) out_.push_back(',');
      first = false;
      newline(depth + 1);
    };
    if (isArray) {
      for (const Value& item : *v.array()) {
        separate();
        if (auto s = write(item, depth + 1); !s) return s;
      }
    } else {
      for (const auto& [key, item] : *v.dictionary()) {
        separate();
        if (auto s = writeString(key); !s) return s;
        out_.append(pretty_ ? " : " : ":");
        if (auto s = write(item, depth + 1); !s) return s;
      }
    }
    if (pretty_ && first) out_.push_back('\n');  // an empty collection prints as "[\n\n]"
    newline(depth);
    out_.push_back(isArray ? ']' : '}');
    return {};
  }

  std::string& text() { return out_; }

 private:
  void newline(int depth) {
    if (!pretty_) return;
    out_.push_back('\n');
    out_.append(size_t(depth) * 2, ' ');
  }

  Status writeNumber(const Number& n) {
    char buf[64];
    std::to_chars_result r{};
    switch (n.kind()) {
      case Number::Kind::Bool:
        out_.append(n.boolValue() ? "true" : "false");
        return {};
      case Number::Kind::UInt8:
      case Number::Kind::UInt16:
      case Number::Kind::UInt32:
      case Number::Kind::UInt64:
        r = std::to_chars(buf, buf + sizeof buf, n.uint64Value());
        break;
      case Number::Kind::Float:
      case Number::Kind::Double: {
        double d = n.doubleValue();
        if (std::isnan(d)) return fail(writeError("Invalid number value (NaN) in JSON write."));
        if (std::isinf(d)) return fail(writeError("Invalid number value (infinite) in JSON write."));
        // Shortest text that reads back as the same value, in the number's width.
        r = n.kind() == Number::Kind::Float ? std::to_chars(buf, buf + sizeof buf, n.floatValue())
                                            : std::to_chars(buf, buf + sizeof buf, d);
        break;
      }
      default:
        r = std::to_chars(buf, buf + sizeof buf, n.int64Value());
        break;
    }
    out_.append(buf, r.ptr);
    return {};
  }

  Status writeString(const std::string& s) {
    if (!isValidUTF8(s)) return fail(writeError("Invalid string in JSON write (not UTF-8)."));
    static constexpr char kHex[] = "0123456789abcdef";
    out_.push_back('"');
    for (char ch : s) {
      auto c = static_cast<unsigned char>(ch);
      switch (c) {
        case '"': out_.append("\\\""); break;
        case '\\': out_.append("\\\\"); break;
        case '/': out_.append(escapeSlashes_ ? "\\/" : "/"); break;
        case '\b': out_.append("\\b"); break;
        case '\f': out_.append("\\f"); break;
        case '\n': out_.append("\\n"); break;
        case '\r': out_.append("\\r"); break;
        case '\t': out_.append("\\t"); break;
        default:
          if (c < 0x20) {
            out_.append("\\u00");
            out_.push_back(kHex[c >> 4]);
            out_.push_back(kHex[c & 0xF]);
          } else {
            out_.push_back(ch);
          }
      }
    }
    out_.push_back('"');
    return {};
  }

  bool pretty_;
  bool escapeSlashes_;
  std::string out_;
};

}  // namespace

Result<Value> JSONSerialization::JSONObjectWithData(const Data& data, JSONReadingOptions options) {
  if (data.empty()) return fail(readError("Unable to parse empty data."));
  ValueBuilder builder;
  bool ok = nlohmann::json::sax_parse(data.bytes(), data.bytes() + data.length(), &builder,
                                      nlohmann::json::input_format_t::json, /*strict=*/true);
  if (!ok) {
    std::string detail = builder.detail().empty() ? "Invalid JSON." : builder.detail();
    return fail(readError(std::move(detail)));
  }
  Value root = builder.take();
  if (!(options & JSONReadingFragmentsAllowed) && !root.isArray() && !root.isDictionary())
    return fail(readError("JSON text did not start with array or object and option to allow fragments not set."));
  return root;
}

Result<Data> JSONSerialization::dataWithJSONObject(const Value& object, JSONWritingOptions options) {
  if (!(options & JSONWritingFragmentsAllowed) && !object.isArray() && !object.isDictionary())
    return fail(writeError("Invalid top-level type in JSON write."));
  Writer writer(options);
  if (auto s = writer.write(object, 0); !s) return fail(s.error());
  return Data::fromString(writer.text());
}

bool JSONSerialization::isValidJSONObject(const Value& object) {
  return dataWithJSONObject(object, JSONWritingNone).has_value();
}

}  // namespace os
