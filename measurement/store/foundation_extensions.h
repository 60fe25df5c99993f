// Helpers the measurement library adds to data, dictionaries and strings:
// MD5 digests and their low 64 bits (bundle checksums, fingerprints), URL
// query strings to and from dictionaries (the configuration fetch), a bit
// test on "0"/"1" strings, URL-argument unescaping and UTF-32 measures.
// Pure functions, thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os/foundation/data.h"
#include "os/foundation/value.h"

// ---- Data ----

// The 16-byte MD5 digest.
os::Data apm_MD5Data(const os::Data& data);
// The last eight bytes read as a big-endian 64-bit integer, bit pattern kept
// in a signed value; shorter data is read whole (right-aligned), empty data
// gives 0.
int64_t apm_64LeastSignificantBits(const os::Data& data);
// apm_64LeastSignificantBits of the MD5 digest: its second half.
int64_t apm_64LSBMD5(const os::Data& data);

// ---- Dictionaries ----

// "key=value" pairs in the dictionary's order joined by "&", key and value
// (as their descriptions) percent-encoded with the URL query character set,
// which leaves "&", "=" and "+" as they are. "" for an empty dictionary.
std::string apm_queryString(const os::Dictionary& dictionary);
// The string values of a query string: pieces split at "&", empty pieces
// skipped, each split at its first "=" (none: an empty value), key and value
// unescaped (apm_stringByUnescapingFromURLArgument; one that fails becomes
// ""). Of a repeated key, the first occurrence wins.
os::Dictionary apm_dictionaryWithHttpArgumentsString(std::string_view string);

// ---- Strings ----

// The platform's Boolean reading of a string: after leading white space, one
// optional sign and leading zeros, true when it begins with "Y", "y", "T",
// "t" or a digit 1 to 9.
bool apm_stringBoolValue(std::string_view text);

// True when 0 <= index < the string's length in UTF-16 units and the unit at
// the index is "1".
bool isBitEnabledAtIndex(std::string_view string, int64_t index);
// 32 lower-case hex digits of the MD5 digest of the UTF-8 bytes; nullopt for
// text that is not well-formed UTF-8.
std::optional<std::string> apm_MD5String(std::string_view string);
// Every "+" made a space, then percent-decoded; nullopt for a malformed
// escape.
std::optional<std::string> apm_stringByUnescapingFromURLArgument(std::string_view string);
// The number of code points (a character outside the basic plane counts
// once).
size_t apm_UTF32Length(std::string_view string);
// The UTF-32LE form from the start of the string, whole code points, at most
// maxBytes bytes; true when at least one code point was written.
bool apm_getUTF32Bytes(std::string_view string, void* buffer, size_t maxBytes);
