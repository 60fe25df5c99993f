// Text encodings of bytes (base64, base64url, hex) and percent-encoding of
// strings with the platform's URL character sets.
//
// Decoders never throw and never read out of bounds: malformed input gives
// nullopt.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os/foundation/data.h"

namespace os {

// ---- base64 (RFC 4648 section 4, with "=" padding) ----

enum class Base64DecodingOptions {
  None,
  // Characters outside the alphabet (line breaks, spaces, anything else) are
  // skipped; the remaining characters must still form valid base64.
  IgnoreUnknownCharacters,
};

// Standard base64 with padding, no line breaks.
std::string base64EncodedString(const Data& data);
// Strict by default: only the 64-character alphabet, length a multiple of 4,
// at most two "=" and only at the end, and zero unused bits in the last
// quantum. Empty text decodes to empty data.
std::optional<Data> base64DecodedData(std::string_view text,
                                      Base64DecodingOptions options = Base64DecodingOptions::None);

// ---- base64url (RFC 4648 section 5: "-" and "_", no padding) ----

// URL-safe alphabet, padding removed (as used in HTTP headers and tokens).
std::string base64URLEncodedString(const Data& data);
// Accepts the URL-safe alphabet with or without trailing "=" padding; a
// character of the standard alphabet ("+" or "/") or a length of 1 modulo 4
// is rejected.
std::optional<Data> base64URLDecodedData(std::string_view text);

// ---- hex ----

// Two lower-case hex digits per byte.
std::string hexString(const Data& data);
std::string hexString(const void* bytes, size_t length);
// Pairs of hex digits of either case; odd length or a non-hex character gives
// nullopt.
std::optional<Data> hexDecodedData(std::string_view text);

// ---- percent-encoding ----

// A set of characters as the platform's URL-encoding and text-checking APIs
// use it. Membership of ASCII characters is explicit; a non-ASCII character
// is a member by its Unicode general category, which only the category sets
// below (and sets made from them) admit. Percent-encoding therefore always
// encodes a non-ASCII character as its UTF-8 bytes unless the allowed set is
// one of those.
class CharacterSet {
 public:
  CharacterSet() = default;

  // The platform's predefined sets (RFC 3986 components).
  static const CharacterSet& URLQueryAllowedCharacterSet();
  static const CharacterSet& URLPathAllowedCharacterSet();
  static const CharacterSet& URLHostAllowedCharacterSet();
  static const CharacterSet& URLFragmentAllowedCharacterSet();
  static const CharacterSet& URLUserAllowedCharacterSet();
  static const CharacterSet& URLPasswordAllowedCharacterSet();
  // Unicode categories L*, M* and N*.
  static const CharacterSet& alphanumericCharacterSet();
  // Unicode categories L* and M*.
  static const CharacterSet& letterCharacterSet();
  // Unicode categories M* (combining marks).
  static const CharacterSet& nonBaseCharacterSet();
  // Unicode category Nd.
  static const CharacterSet& decimalDigitCharacterSet();
  // The ASCII characters of `characters` (other characters are ignored).
  static CharacterSet characterSetWithCharactersInString(std::string_view characters);

  // Copies with the ASCII characters of `characters` added or removed.
  CharacterSet addingCharactersInString(std::string_view characters) const;
  CharacterSet removingCharactersInString(std::string_view characters) const;
  // Copies holding the characters of either set, or of this set but not the
  // other.
  CharacterSet unioning(const CharacterSet& other) const;
  CharacterSet subtracting(const CharacterSet& other) const;

  // Whether a Unicode code point is in the set.
  bool characterIsMember(char32_t c) const;

 private:
  std::bitset<128> ascii_;
  uint32_t unicodeCategories_ = 0;  // ICU general-category mask for non-ASCII
};

// Percent-encodes, as "%XX" with upper-case hex, every UTF-8 byte of every
// character not in `allowed` (including "%" itself unless allowed). Bytes that
// are not valid UTF-8 are each encoded.
std::string stringByAddingPercentEncodingWithAllowedCharacters(std::string_view text,
                                                               const CharacterSet& allowed);
// Replaces each "%XX" (either case) by its byte. nullopt when a "%" is not
// followed by two hex digits, or when the result is not valid UTF-8.
std::optional<std::string> stringByRemovingPercentEncoding(std::string_view text);

// ---- UTF-8 ----

// Decodes one well-formed UTF-8 sequence at s[i]. Returns its length and sets
// `c`; returns 0 when the bytes there are not a well-formed sequence (overlong
// forms, surrogates and values above U+10FFFF included).
size_t nextUTF8(std::string_view s, size_t i, char32_t& c);
// True when the whole text is well-formed UTF-8.
bool isValidUTF8(std::string_view s);

// ---- UTF-32 ----
// Bytes that start no well-formed UTF-8 sequence count, each, as one U+FFFD.

// The code points of the text: the byte length of its UTF-32LE form divided
// by 4 (a character outside the basic plane counts once, where UTF-16 counts
// it twice).
size_t utf32Length(std::string_view text);
// Writes the UTF-32LE form of the text from its start into `buffer`, whole
// code points only and at most `maxBytes` bytes, and stops when the next code
// point does not fit. Returns whether any code point was written (false for
// empty text or a buffer under 4 bytes); *usedBytes, when given, receives the
// bytes written.
bool getUTF32LEBytes(std::string_view text, void* buffer, size_t maxBytes, size_t* usedBytes = nullptr);

}  // namespace os
