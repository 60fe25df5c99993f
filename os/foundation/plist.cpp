#include "os/foundation/plist.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "os/foundation/encoding.h"
#include "os/foundation/format.h"

namespace os {
namespace {

constexpr const char* kReadFailureDescription = "The data couldn’t be read because it isn’t in the correct format.";
constexpr const char* kWriteFailureDescription = "The data couldn’t be written because it isn’t in the correct format.";
constexpr const char* kUIDKey = "CF$UID";
constexpr const char kBinaryMagic[] = "bplist00";

Error readError(std::string detail) {
  Dictionary info;
  info[kLocalizedDescriptionKey] = Value(kReadFailureDescription);
  info[kDebugDescriptionErrorKey] = Value(std::move(detail));
  return Error(kCocoaErrorDomain, kPropertyListReadCorruptError, std::move(info));
}

Error writeError(std::string detail) {
  Dictionary info;
  info[kLocalizedDescriptionKey] = Value(kWriteFailureDescription);
  info[kDebugDescriptionErrorKey] = Value(std::move(detail));
  return Error(kCocoaErrorDomain, kPropertyListWriteInvalidError, std::move(info));
}

struct PlistDeleter {
  void operator()(plist_t p) const {
    if (p) plist_free(p);
  }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Strings the library takes as C strings: an embedded NUL would silently cut
// them short, and bytes that are not UTF-8 would make an unreadable file.
bool isWritableString(std::string_view s) {
  return s.find('\0') == std::string_view::npos && isValidUTF8(s);
}

// Whether the elements of an XML document nest deeper than `limit`, found by
// a linear scan that stops as soon as they do. Comments, processing
// instructions, declarations and CDATA sections are skipped; quoted attribute
// values may hold '>'. The library builds and frees its tree recursively, so
// input nesting deeper than toValue reads must never reach it.
bool xmlNestsDeeperThan(std::string_view xml, int limit) {
  auto skipPast = [&](size_t from, std::string_view end) {
    size_t at = xml.find(end, from);
    return at == std::string_view::npos ? at : at + end.size();
  };
  int depth = 0;
  size_t i = 0;
  while ((i = xml.find('<', i)) != std::string_view::npos) {
    std::string_view rest = xml.substr(i);
    if (rest.starts_with("<!--")) {
      i = skipPast(i + 4, "-->");
    } else if (rest.starts_with("<![CDATA[")) {
      i = skipPast(i + 9, "]]>");
    } else if (rest.starts_with("<?")) {
      i = skipPast(i + 2, "?>");
    } else if (rest.starts_with("<!")) {
      // A declaration; a document type may hold an internal subset in [...].
      int brackets = 0;
      size_t j = i + 2;
      for (; j < xml.size(); ++j) {
        if (xml[j] == '[') ++brackets;
        else if (xml[j] == ']' && brackets > 0) --brackets;
        else if (xml[j] == '>' && brackets == 0) break;
      }
      i = j < xml.size() ? j + 1 : std::string_view::npos;
    } else if (rest.starts_with("</")) {
      if (depth > 0) --depth;
      i = skipPast(i + 2, ">");
    } else {
      char quote = 0;
      size_t j = i + 1;
      for (; j < xml.size(); ++j) {
        const char c = xml[j];
        if (quote) {
          if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
          quote = c;
        } else if (c == '>') {
          break;
        }
      }
      if (j >= xml.size()) return false;  // unterminated: the library refuses it
      if (xml[j - 1] != '/' && ++depth > limit) return true;
      i = j + 1;
    }
    if (i == std::string_view::npos) return false;
  }
  return false;
}

Result<Value> toValue(plist_t node, int depth) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value(b != 0);
    }
    case PLIST_UINT: {
      // The library keeps integers as 64 bits; the formats store them signed.
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return Value(Number::int64(static_cast<int64_t>(u)));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value(Number::float64(d));
    }
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* s = plist_get_string_ptr(node, &length);
      if (!s) return fail(readError("Unreadable string."));
      // The XML parser passes the document's bytes through unchecked.
      if (!isValidUTF8(std::string_view(s, size_t(length)))) return fail(readError("String is not UTF-8."));
      return Value(std::string(s, size_t(length)));
    }
    case PLIST_DATA: {
      char* bytes = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &bytes, &length);
      Data data(bytes, bytes ? size_t(length) : 0);
      free(bytes);
      return Value(std::move(data));
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return Value(Date::fromTimeIntervalSinceReferenceDate(double(sec) + double(usec) / 1e6));
    }
    case PLIST_UID: {
      // A keyed-archive reference, shown as the XML form writes it.
      uint64_t uid = 0;
      plist_get_uid_val(node, &uid);
      return Value{{kUIDKey, Value(Number::int64(static_cast<int64_t>(uid)))}};
    }
    case PLIST_ARRAY: {
      if (depth >= PropertyListSerialization::kMaximumDepth) return fail(readError("Property list nests too deeply."));
      Array items;
      uint32_t count = plist_array_get_size(node);
      items.reserve(count);
      for (uint32_t i = 0; i < count; ++i) {
        plist_t item = plist_array_get_item(node, i);
        if (!item) return fail(readError("Missing array element."));
        auto v = toValue(item, depth + 1);
        if (!v) return v;
        items.push_back(std::move(*v));
      }
      return Value(std::move(items));
    }
    case PLIST_DICT: {
      if (depth >= PropertyListSerialization::kMaximumDepth) return fail(readError("Property list nests too deeply."));
      Dictionary dict;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      if (!it) return Value(std::move(dict));
      Result<Value> failure;
      for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, it, &key, &item);
        if (!item) {
          free(key);
          break;
        }
        std::string k = key ? key : "";
        free(key);
        if (!isValidUTF8(k)) {
          failure = fail(readError("Dictionary key is not UTF-8."));
          break;
        }
        auto v = toValue(item, depth + 1);
        if (!v) {
          failure = std::move(v);
          break;
        }
        dict[std::move(k)] = std::move(*v);
      }
      free(it);
      if (!failure) return failure;
      return Value(std::move(dict));
    }
    default:
      return fail(readError("Unknown object type."));
  }
}

Result<PlistPtr> fromValue(const Value& v, int depth) {
  switch (v.type()) {
    case Value::Type::Null:
      return fail(writeError("Property list invalid for format (null is not a property-list type)."));
    case Value::Type::Number: {
      const Number& n = *v.number();
      if (n.isBool()) return PlistPtr(plist_new_bool(n.boolValue() ? 1 : 0));
      if (n.isFloatingPoint()) return PlistPtr(plist_new_real(n.doubleValue()));
      if (n.kind() == Number::Kind::UInt64 && n.uint64Value() > uint64_t(std::numeric_limits<int64_t>::max())) {
        // The writer stores 64 signed bits: such a value would read back negative.
        return fail(writeError(os::format("Integer %llu is out of range for a property list.", n.uint64Value())));
      }
      return PlistPtr(plist_new_uint(static_cast<uint64_t>(n.int64Value())));
    }
    case Value::Type::String:
      if (!isWritableString(*v.string()))
        return fail(writeError("Property list invalid for format (string is not UTF-8 or holds NUL)."));
      return PlistPtr(plist_new_string(v.string()->c_str()));
    case Value::Type::Data:
      return PlistPtr(plist_new_data(reinterpret_cast<const char*>(v.data()->bytes()), v.data()->length()));
    case Value::Type::Date: {
      double t = v.date()->timeIntervalSinceReferenceDate();
      double sec = std::floor(t);
      if (!std::isfinite(t) || sec < double(std::numeric_limits<int32_t>::min()) ||
          sec > double(std::numeric_limits<int32_t>::max()))
        return fail(writeError("Property list invalid for format (date out of range)."));
      auto usec = static_cast<int32_t>(std::lround((t - sec) * 1e6));
      int32_t whole = static_cast<int32_t>(sec);
      if (usec >= 1000000) {
        if (whole == std::numeric_limits<int32_t>::max())
          return fail(writeError("Property list invalid for format (date out of range)."));
        ++whole, usec -= 1000000;
      }
      return PlistPtr(plist_new_date(whole, usec));
    }
    case Value::Type::Array: {
      if (depth >= PropertyListSerialization::kMaximumDepth)
        return fail(writeError("Property list invalid for format (nests too deeply)."));
      PlistPtr array(plist_new_array());
      for (const Value& item : *v.array()) {
        auto node = fromValue(item, depth + 1);
        if (!node) return node;
        plist_array_append_item(array.get(), node->release());
      }
      return array;
    }
    case Value::Type::Dictionary: {
      if (depth >= PropertyListSerialization::kMaximumDepth)
        return fail(writeError("Property list invalid for format (nests too deeply)."));
      PlistPtr dict(plist_new_dict());
      for (const auto& [key, item] : *v.dictionary()) {
        if (!isWritableString(key))
          return fail(writeError("Property list invalid for format (key is not UTF-8 or holds NUL)."));
        auto node = fromValue(item, depth + 1);
        if (!node) return node;
        plist_dict_set_item(dict.get(), key.c_str(), node->release());
      }
      return dict;
    }
  }
  return fail(writeError("Property list invalid for format."));
}

// Reader of the binary format ("bplist00"): a header, objects, an offset
// table and a 32-byte trailer. Every offset, count and reference is checked
// against the buffer before use; a reference cycle or nesting beyond
// kMaximumDepth is an error.
class BinaryReader {
 public:
  explicit BinaryReader(const Data& data) : p_(data.bytes()), n_(data.length()) {}

  Result<Value> read() {
    constexpr size_t kHeader = 8, kTrailer = 32;
    if (n_ < kHeader + kTrailer + 1) return corrupt("too short");
    const uint8_t* t = p_ + n_ - kTrailer;
    offsetSize_ = t[6];
    refSize_ = t[7];
    uint64_t objectCount = be(t + 8, 8), top = be(t + 16, 8), tableOffset = be(t + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return corrupt("bad trailer sizes");
    size_t tableEnd = n_ - kTrailer;
    if (objectCount == 0 || top >= objectCount || tableOffset < kHeader || tableOffset > tableEnd ||
        objectCount > (tableEnd - tableOffset) / offsetSize_)
      return corrupt("bad trailer");
    objectCount_ = objectCount;
    table_ = p_ + tableOffset;
    objectsEnd_ = tableOffset;
    onPath_.assign(objectCount, false);
    // Shared references let a small file expand exponentially; legitimate
    // writers share only a little, so the work is capped well above that.
    budget_ = objectCount * 64 + 100000;
    return object(top, 0);
  }

 private:
  static uint64_t be(const uint8_t* p, size_t size) {
    uint64_t v = 0;
    for (size_t i = 0; i < size; ++i) v = v << 8 | p[i];
    return v;
  }
  static std::unexpected<Error> corrupt(const char* what) { return fail(readError(os::format("Corrupt binary property list (%s).", what))); }

  // Reads `size` bytes at `offset` into `out`, checking bounds.
  bool span(uint64_t offset, uint64_t size, const uint8_t*& out) const {
    if (offset > objectsEnd_ || size > objectsEnd_ - offset) return false;
    out = p_ + offset;
    return true;
  }

  // The element count of the object whose marker is at `offset`; moves
  // `offset` past the marker and any extended count.
  bool count(uint64_t& offset, uint8_t marker, uint64_t& out) const {
    ++offset;
    uint8_t low = marker & 0x0F;
    if (low != 0x0F) {
      out = low;
      return true;
    }
    const uint8_t* q;
    if (!span(offset, 1, q) || (q[0] & 0xF0) != 0x10) return false;
    size_t size = size_t(1) << (q[0] & 0x0F);
    if (size > 8 || !span(offset + 1, size, q)) return false;
    out = be(q, size);
    offset += 1 + size;
    return true;
  }

  Result<Value> object(uint64_t index, int depth) {
    if (index >= objectCount_) return corrupt("object reference out of range");
    if (budget_ == 0) return corrupt("too many shared references");
    --budget_;
    uint64_t offset = be(table_ + index * offsetSize_, offsetSize_);
    const uint8_t* q;
    if (!span(offset, 1, q)) return corrupt("object offset out of range");
    uint8_t marker = q[0];
    switch (marker >> 4) {
      case 0x0:
        if (marker == 0x08) return Value(false);
        if (marker == 0x09) return Value(true);
        return corrupt("unsupported object");
      case 0x1: {
        size_t size = size_t(1) << (marker & 0x0F);
        if (size > 16 || !span(offset + 1, size, q)) return corrupt("bad integer");
        if (size == 16) {
          // 128-bit: only the unsigned 64-bit range is written this way.
          if (be(q, 8) != 0) return corrupt("integer out of range");
          uint64_t u = be(q + 8, 8);
          if (u > uint64_t(INT64_MAX)) return Value(Number::uint64(u));
          return Value(Number::int64(int64_t(u)));
        }
        uint64_t u = be(q, size);
        // 8-byte integers are signed; shorter ones are unsigned.
        return Value(Number::int64(static_cast<int64_t>(u)));
      }
      case 0x2: {
        size_t size = size_t(1) << (marker & 0x0F);
        if ((size != 4 && size != 8) || !span(offset + 1, size, q)) return corrupt("bad real");
        uint64_t bits = be(q, size);
        if (size == 4) {
          float f;
          auto b32 = static_cast<uint32_t>(bits);
          std::memcpy(&f, &b32, 4);
          return Value(Number::float64(f));
        }
        double d;
        std::memcpy(&d, &bits, 8);
        return Value(Number::float64(d));
      }
      case 0x3: {
        if (marker != 0x33 || !span(offset + 1, 8, q)) return corrupt("bad date");
        uint64_t bits = be(q, 8);
        double d;
        std::memcpy(&d, &bits, 8);
        return Value(Date::fromTimeIntervalSinceReferenceDate(d));
      }
      case 0x4: {
        uint64_t length;
        if (!count(offset, marker, length) || !span(offset, length, q)) return corrupt("bad data");
        return Value(Data(q, size_t(length)));
      }
      case 0x5: {
        uint64_t length;
        if (!count(offset, marker, length) || !span(offset, length, q)) return corrupt("bad string");
        std::string s(reinterpret_cast<const char*>(q), size_t(length));
        for (char c : s) {
          if (static_cast<unsigned char>(c) >= 0x80) return corrupt("non-ASCII byte in ASCII string");
        }
        return Value(std::move(s));
      }
      case 0x6: {
        uint64_t units;
        if (!count(offset, marker, units) || units > objectsEnd_ || !span(offset, units * 2, q))
          return corrupt("bad string");
        auto text = utf16ToUTF8(q, size_t(units));
        if (!text) return corrupt("invalid UTF-16 string");
        return Value(std::move(*text));
      }
      case 0x8: {
        size_t size = (marker & 0x0F) + 1u;
        if (!span(offset + 1, size, q)) return corrupt("bad UID");
        return Value{{kUIDKey, Value(Number::int64(static_cast<int64_t>(be(q, size))))}};
      }
      case 0xA:
      case 0xD: {
        bool isDict = (marker >> 4) == 0xD;
        uint64_t items;
        if (!count(offset, marker, items)) return corrupt("bad collection");
        uint64_t refs = isDict ? items * 2 : items;
        if (items > objectsEnd_ || !span(offset, refs * refSize_, q)) return corrupt("bad collection");
        if (depth >= PropertyListSerialization::kMaximumDepth) return corrupt("nesting too deep");
        if (onPath_[index]) return corrupt("reference cycle");
        onPath_[index] = true;
        Result<Value> result = isDict ? dictionary(q, items, depth) : array(q, items, depth);
        onPath_[index] = false;
        return result;
      }
      default:
        return corrupt("unknown object type");
    }
  }

  Result<Value> array(const uint8_t* refs, uint64_t items, int depth) {
    Array a;
    a.reserve(size_t(items));
    for (uint64_t i = 0; i < items; ++i) {
      auto v = object(be(refs + i * refSize_, refSize_), depth + 1);
      if (!v) return v;
      a.push_back(std::move(*v));
    }
    return Value(std::move(a));
  }

  Result<Value> dictionary(const uint8_t* refs, uint64_t items, int depth) {
    Dictionary d;
    for (uint64_t i = 0; i < items; ++i) {
      auto key = object(be(refs + i * refSize_, refSize_), depth + 1);
      if (!key) return key;
      if (!key->isString()) return corrupt("dictionary key is not a string");
      auto v = object(be(refs + (items + i) * refSize_, refSize_), depth + 1);
      if (!v) return v;
      d[*key->string()] = std::move(*v);
    }
    return Value(std::move(d));
  }

  static std::optional<std::string> utf16ToUTF8(const uint8_t* q, size_t units) {
    std::string out;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
      uint32_t c = uint32_t(q[2 * i]) << 8 | q[2 * i + 1];
      if (c >= 0xD800 && c <= 0xDBFF) {
        if (i + 1 >= units) return std::nullopt;
        uint32_t lo = uint32_t(q[2 * i + 2]) << 8 | q[2 * i + 3];
        if (lo < 0xDC00 || lo > 0xDFFF) return std::nullopt;
        c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
        ++i;
      } else if (c >= 0xDC00 && c <= 0xDFFF) {
        return std::nullopt;
      }
      if (c < 0x80) {
        out.push_back(char(c));
      } else if (c < 0x800) {
        out.push_back(char(0xC0 | c >> 6));
        out.push_back(char(0x80 | (c & 0x3F)));
      } else if (c < 0x10000) {
        out.push_back(char(0xE0 | c >> 12));
        out.push_back(char(0x80 | (c >> 6 & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
      } else {
        out.push_back(char(0xF0 | c >> 18));
        out.push_back(char(0x80 | (c >> 12 & 0x3F)));
        out.push_back(char(0x80 | (c >> 6 & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
      }
    }
    return out;
  }

  const uint8_t* p_;
  size_t n_;
  size_t offsetSize_ = 0;
  size_t refSize_ = 0;
  uint64_t objectCount_ = 0;
  const uint8_t* table_ = nullptr;
  uint64_t objectsEnd_ = 0;  // objects lie in [8, objectsEnd_)
  uint64_t budget_ = 0;       // objects still to be read
  std::vector<bool> onPath_;  // collections on the current path, to refuse cycles
};

}  // namespace

Result<Value> PropertyListSerialization::propertyListWithData(const Data& data, Format* format) {
  if (data.empty()) return fail(readError("Cannot parse a NULL or zero-length data."));
  if (data.length() > std::numeric_limits<uint32_t>::max()) return fail(readError("Property list is too large."));
  const char* bytes = reinterpret_cast<const char*>(data.bytes());
  auto length = static_cast<uint32_t>(data.length());
  bool binary = data.length() >= 8 && std::memcmp(bytes, kBinaryMagic, 8) == 0;
  if (binary) {
    // Our own reader: the library's binary parser trusts lengths and offsets
    // in the file more than damaged input allows.
    auto value = BinaryReader(data).read();
    if (value && format) *format = Format::Binary;
    return value;
  }
  // <plist>, the collections toValue reads, and one element of text inside
  // the deepest: anything deeper would be refused by toValue anyway.
  if (xmlNestsDeeperThan(std::string_view(bytes, length), kMaximumDepth + 2))
    return fail(readError("Property list nests too deeply."));
  plist_t root = nullptr;
  plist_from_xml(bytes, length, &root);
  PlistPtr owner(root);
  if (!root) return fail(readError("Not a property list (neither XML nor binary)."));
  auto value = toValue(root, 0);
  if (value && format) *format = Format::XML;
  return value;
}

Result<Data> PropertyListSerialization::dataWithPropertyList(const Value& plist, Format format) {
  if (format != Format::XML && format != Format::Binary)
    return fail(writeError("Property list format not supported for writing."));
  auto root = fromValue(plist, 0);
  if (!root) return fail(root.error());
  char* out = nullptr;
  uint32_t length = 0;
  if (format == Format::XML) {
    plist_to_xml(root->get(), &out, &length);
  } else {
    plist_to_bin(root->get(), &out, &length);
  }
  if (!out) return fail(writeError("Property list could not be written."));
  Data data(out, length);
  free(out);
  return data;
}

bool PropertyListSerialization::propertyList(const Value& plist, Format isValidForFormat) {
  if (isValidForFormat != Format::XML && isValidForFormat != Format::Binary) return false;
  return fromValue(plist, 0).has_value();
}

}  // namespace os
