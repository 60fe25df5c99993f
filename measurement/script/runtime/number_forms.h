// Number forms shared by the values and the commands: the string form of a
// number, the number form of a string, and the integer conversions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// "NaN", "Infinity", "-Infinity", "0" for either zero; decimal notation
// ("en_US", at most 17 significant digits, half up, no grouping) when
// 0.000001 <= |value| < 1e21; otherwise scientific with "e+" or "e-" before
// the exponent ("1e+21", "1e-7").
std::u16string APMPNumberToString(double value);

// The text trimmed of whitespace and newlines: "" gives 0; "NaN", "Infinity"
// and "-Infinity" their values; otherwise one decimal number (optional sign,
// digits, optional fraction, optional exponent, "." as separator) that must
// use the whole trimmed text, else NaN. So " 42 " is 42, "42abc" and "0x10"
// are NaN.
double APMPParseNumber(std::u16string_view text);

// NaN and both infinities give 0; otherwise truncated toward zero and reduced
// modulo 2^32, read as two's complement (ToInt32) or unsigned (ToUint32).
int32_t APMPToInt32(double value);
uint32_t APMPToUint32(double value);
// NaN gives 0; zeros and infinities are returned unchanged; otherwise
// truncated toward zero.
double APMPToInteger(double value);
