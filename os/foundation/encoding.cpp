#include "os/foundation/encoding.h"

#include <unicode/uchar.h>

#include <array>
#include <cstdint>

namespace os {
namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase64URLAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr char kLowerHex[] = "0123456789abcdef";
constexpr char kUpperHex[] = "0123456789ABCDEF";

// Maps a character to its 6-bit value in `alphabet`, -1 when absent.
using DecodeTable = std::array<int8_t, 256>;
constexpr DecodeTable makeDecodeTable(const char* alphabet) {
  DecodeTable t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 64; ++i) t[static_cast<uint8_t>(alphabet[i])] = static_cast<int8_t>(i);
  return t;
}
constexpr DecodeTable kBase64Decode = makeDecodeTable(kBase64Alphabet);
constexpr DecodeTable kBase64URLDecode = makeDecodeTable(kBase64URLAlphabet);

std::string encodeBase64(const Data& data, const char* alphabet, bool pad) {
  const uint8_t* p = data.bytes();
  size_t n = data.length();
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t v = uint32_t(p[i]) << 16 | uint32_t(p[i + 1]) << 8 | p[i + 2];
    out.push_back(alphabet[v >> 18 & 63]);
    out.push_back(alphabet[v >> 12 & 63]);
    out.push_back(alphabet[v >> 6 & 63]);
    out.push_back(alphabet[v & 63]);
  }
  size_t rest = n - i;
  if (rest > 0) {
    uint32_t v = uint32_t(p[i]) << 16 | (rest == 2 ? uint32_t(p[i + 1]) << 8 : 0);
    out.push_back(alphabet[v >> 18 & 63]);
    out.push_back(alphabet[v >> 12 & 63]);
    if (rest == 2) out.push_back(alphabet[v >> 6 & 63]);
    if (pad) out.append(rest == 2 ? "=" : "==");
  }
  return out;
}

// Decodes unpadded base64 digits (all already known to be in the alphabet).
// A length of 1 modulo 4 cannot occur in valid text, and the bits a final
// partial quantum leaves unused must be zero (canonical encoding).
std::optional<Data> decodeDigits(std::string_view digits, const DecodeTable& table) {
  if (digits.size() % 4 == 1) return std::nullopt;
  Data out;
  out.vector().reserve(digits.size() / 4 * 3 + 2);
  uint32_t acc = 0;
  int bits = 0;
  for (char c : digits) {
    acc = (acc << 6) | static_cast<uint32_t>(table[static_cast<uint8_t>(c)]);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      uint8_t byte = static_cast<uint8_t>(acc >> bits);
      out.append(&byte, 1);
      acc &= (1u << bits) - 1;
    }
  }
  if (acc != 0) return std::nullopt;
  return out;
}

// Splits `text` into its alphabet digits and a count of trailing "=".
// Returns false on a character outside the alphabet (unless skipped) or a
// "=" followed by anything but "=".
bool splitPadding(std::string_view text, const DecodeTable& table, bool skipUnknown, std::string& digits,
                  size_t& padding) {
  digits.clear();
  padding = 0;
  for (char c : text) {
    if (c == '=') {
      ++padding;
      continue;
    }
    if (table[static_cast<uint8_t>(c)] < 0) {
      if (skipUnknown) continue;
      return false;
    }
    if (padding > 0) return false;  // digits after padding
    digits.push_back(c);
  }
  return true;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

CharacterSet asciiAlphanumericsPlus(std::string_view extra) {
  return CharacterSet::characterSetWithCharactersInString(
             "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")
      .addingCharactersInString(extra);
}

}  // namespace

std::string base64EncodedString(const Data& data) { return encodeBase64(data, kBase64Alphabet, true); }

std::optional<Data> base64DecodedData(std::string_view text, Base64DecodingOptions options) {
  bool skipUnknown = options == Base64DecodingOptions::IgnoreUnknownCharacters;
  std::string digits;
  size_t padding = 0;
  if (!splitPadding(text, kBase64Decode, skipUnknown, digits, padding)) return std::nullopt;
  // Padding is required, and exactly enough of it to complete the quantum.
  size_t total = digits.size() + padding;
  if (total % 4 != 0 || padding > 2) return std::nullopt;
  if (padding != (4 - digits.size() % 4) % 4) return std::nullopt;
  return decodeDigits(digits, kBase64Decode);
}

std::string base64URLEncodedString(const Data& data) { return encodeBase64(data, kBase64URLAlphabet, false); }

std::optional<Data> base64URLDecodedData(std::string_view text) {
  std::string digits;
  size_t padding = 0;
  if (!splitPadding(text, kBase64URLDecode, false, digits, padding)) return std::nullopt;
  if (padding > 0 && padding != (4 - digits.size() % 4) % 4) return std::nullopt;
  return decodeDigits(digits, kBase64URLDecode);
}

std::string hexString(const void* bytes, size_t length) {
  auto* p = static_cast<const uint8_t*>(bytes);
  std::string out;
  out.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    out.push_back(kLowerHex[p[i] >> 4]);
    out.push_back(kLowerHex[p[i] & 0x0F]);
  }
  return out;
}

std::string hexString(const Data& data) { return hexString(data.bytes(), data.length()); }

std::optional<Data> hexDecodedData(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Data out;
  out.resize(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = hexValue(text[i]);
    int lo = hexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.mutableBytes()[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return out;
}

// ---- CharacterSet ----

// The RFC 3986 component sets as the platform defines them: ASCII letters and
// digits plus the punctuation listed. Never destroyed: requests are encoded on
// other threads during exit.
const CharacterSet& CharacterSet::URLQueryAllowedCharacterSet() {
  static const auto& set = *new CharacterSet(asciiAlphanumericsPlus("!$&'()*+,-./:;=?@_~"));
  return set;
}
const CharacterSet& CharacterSet::URLPathAllowedCharacterSet() {
  static const auto& set = *new CharacterSet(asciiAlphanumericsPlus("!$&'()*+,-./:=@_~"));
  return set;
}
const CharacterSet& CharacterSet::URLHostAllowedCharacterSet() {
  static const auto& set = *new CharacterSet(asciiAlphanumericsPlus("!$&'()*+,-.:;=[]_~"));
  return set;
}
const CharacterSet& CharacterSet::URLFragmentAllowedCharacterSet() {
  static const auto& set = *new CharacterSet(asciiAlphanumericsPlus("!$&'()*+,-./:;=?@_~"));
  return set;
}
const CharacterSet& CharacterSet::URLUserAllowedCharacterSet() {
  static const auto& set = *new CharacterSet(asciiAlphanumericsPlus("!$&'()*+,-.;=_~"));
  return set;
}
const CharacterSet& CharacterSet::URLPasswordAllowedCharacterSet() {
  static const auto& set = *new CharacterSet(asciiAlphanumericsPlus("!$&'()*+,-.;=_~"));
  return set;
}
const CharacterSet& CharacterSet::alphanumericCharacterSet() {
  static const auto& set = *new CharacterSet([] {
    CharacterSet s = asciiAlphanumericsPlus("");
    s.unicodeCategories_ = U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK;
    return s;
  }());
  return set;
}
const CharacterSet& CharacterSet::letterCharacterSet() {
  static const auto& set = *new CharacterSet([] {
    CharacterSet s = characterSetWithCharactersInString("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    s.unicodeCategories_ = U_GC_L_MASK | U_GC_M_MASK;
    return s;
  }());
  return set;
}
const CharacterSet& CharacterSet::nonBaseCharacterSet() {
  static const auto& set = *new CharacterSet([] {
    CharacterSet s;  // no ASCII character is a combining mark
    s.unicodeCategories_ = U_GC_M_MASK;
    return s;
  }());
  return set;
}
const CharacterSet& CharacterSet::decimalDigitCharacterSet() {
  static const auto& set = *new CharacterSet([] {
    CharacterSet s = characterSetWithCharactersInString("0123456789");
    s.unicodeCategories_ = U_GC_ND_MASK;
    return s;
  }());
  return set;
}

CharacterSet CharacterSet::characterSetWithCharactersInString(std::string_view characters) {
  return CharacterSet().addingCharactersInString(characters);
}

CharacterSet CharacterSet::addingCharactersInString(std::string_view characters) const {
  CharacterSet s = *this;
  for (char c : characters) {
    if (static_cast<unsigned char>(c) < 128) s.ascii_.set(static_cast<unsigned char>(c));
  }
  return s;
}

CharacterSet CharacterSet::removingCharactersInString(std::string_view characters) const {
  CharacterSet s = *this;
  for (char c : characters) {
    if (static_cast<unsigned char>(c) < 128) s.ascii_.reset(static_cast<unsigned char>(c));
  }
  return s;
}

CharacterSet CharacterSet::unioning(const CharacterSet& other) const {
  CharacterSet s = *this;
  s.ascii_ |= other.ascii_;
  s.unicodeCategories_ |= other.unicodeCategories_;
  return s;
}

CharacterSet CharacterSet::subtracting(const CharacterSet& other) const {
  CharacterSet s = *this;
  s.ascii_ &= ~other.ascii_;
  s.unicodeCategories_ &= ~other.unicodeCategories_;
  return s;
}

bool CharacterSet::characterIsMember(char32_t c) const {
  if (c < 128) return ascii_.test(c);
  if (unicodeCategories_ == 0 || c > 0x10FFFF) return false;
  return (U_GET_GC_MASK(static_cast<UChar32>(c)) & unicodeCategories_) != 0;
}

// ---- percent-encoding ----


std::string stringByAddingPercentEncodingWithAllowedCharacters(std::string_view text,
                                                               const CharacterSet& allowed) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t c = 0;
    size_t n = nextUTF8(text, i, c);
    if (n > 0 && allowed.characterIsMember(c)) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
    // A disallowed character has each of its bytes encoded; a byte that starts
    // no well-formed sequence is encoded on its own.
    size_t count = n > 0 ? n : 1;
    for (size_t k = i; k < i + count; ++k) {
      uint8_t b = static_cast<uint8_t>(text[k]);
      out.push_back('%');
      out.push_back(kUpperHex[b >> 4]);
      out.push_back(kUpperHex[b & 0x0F]);
    }
    i += count;
  }
  return out;
}

std::optional<std::string> stringByRemovingPercentEncoding(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (text.size() - i < 3) return std::nullopt;
    int hi = hexValue(text[i + 1]);
    int lo = hexValue(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi << 4 | lo));
    i += 2;
  }
  // The decoded bytes must be well-formed UTF-8.
  if (!isValidUTF8(out)) return std::nullopt;
  return out;
}

// ---- UTF-8 ----

size_t nextUTF8(std::string_view s, size_t i, char32_t& c) {
  auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t b0 = byte(i);
  if (b0 < 0x80) {
    c = b0;
    return 1;
  }
  size_t n;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    n = 2, min = 0x80, c = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3, min = 0x800, c = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4, min = 0x10000, c = b0 & 0x07;
  } else {
    return 0;
  }
  if (s.size() - i < n) return 0;
  for (size_t k = 1; k < n; ++k) {
    uint8_t b = byte(i + k);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return n;
}

bool isValidUTF8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    char32_t c;
    size_t n = nextUTF8(s, i, c);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// ---- UTF-32 ----

namespace {

// The code point at s[i] and the bytes it takes; an ill-formed byte is one
// U+FFFD.
size_t nextCodePoint(std::string_view s, size_t i, char32_t& c) {
  size_t n = nextUTF8(s, i, c);
  if (n > 0) return n;
  c = 0xFFFD;
  return 1;
}

}  // namespace

size_t utf32Length(std::string_view text) {
  size_t count = 0;
  char32_t c;
  for (size_t i = 0; i < text.size(); i += nextCodePoint(text, i, c)) ++count;
  return count;
}

bool getUTF32LEBytes(std::string_view text, void* buffer, size_t maxBytes, size_t* usedBytes) {
  auto* out = static_cast<uint8_t*>(buffer);
  size_t used = 0;
  for (size_t i = 0; i < text.size() && maxBytes - used >= 4;) {
    char32_t c;
    i += nextCodePoint(text, i, c);
    for (int k = 0; k < 4; ++k) out[used + k] = static_cast<uint8_t>(uint32_t(c) >> (8 * k));
    used += 4;
  }
  if (usedBytes != nullptr) *usedBytes = used;
  return used > 0;
}

}  // namespace os
