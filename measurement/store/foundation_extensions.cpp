#include "measurement/store/foundation_extensions.h"

#include "os/foundation/crypto.h"
#include "os/foundation/encoding.h"

os::Data apm_MD5Data(const os::Data& data) { return os::md5(data); }

int64_t apm_64LeastSignificantBits(const os::Data& data) {
  const size_t length = data.length();
  const size_t start = length > 8 ? length - 8 : 0;
  uint64_t bits = 0;
  for (size_t i = start; i < length; ++i) bits = (bits << 8) | data.bytes()[i];
  return static_cast<int64_t>(bits);
}

int64_t apm_64LSBMD5(const os::Data& data) { return apm_64LeastSignificantBits(apm_MD5Data(data)); }

std::string apm_queryString(const os::Dictionary& dictionary) {
  const os::CharacterSet& allowed = os::CharacterSet::URLQueryAllowedCharacterSet();
  std::string query;
  for (const auto& [key, value] : dictionary) {
    if (!query.empty()) query += '&';
    query += os::stringByAddingPercentEncodingWithAllowedCharacters(key, allowed);
    query += '=';
    query += os::stringByAddingPercentEncodingWithAllowedCharacters(value.description(), allowed);
  }
  return query;
}

os::Dictionary apm_dictionaryWithHttpArgumentsString(std::string_view string) {
  os::Dictionary arguments;
  size_t end = string.size();
  // Backwards, so that the first occurrence of a key is stored last.
  while (true) {
    const size_t ampersand = end == 0 ? std::string_view::npos : string.rfind('&', end - 1);
    const size_t begin = ampersand == std::string_view::npos ? 0 : ampersand + 1;
    const std::string_view piece = string.substr(begin, end - begin);
    if (!piece.empty()) {
      const size_t equals = piece.find('=');
      const std::string_view key = piece.substr(0, equals);
      const std::string_view value = equals == std::string_view::npos ? std::string_view() : piece.substr(equals + 1);
      arguments[apm_stringByUnescapingFromURLArgument(key).value_or("")] =
          os::Value(apm_stringByUnescapingFromURLArgument(value).value_or(""));
    }
    if (ampersand == std::string_view::npos) break;
    end = ampersand;
  }
  return arguments;
}

bool isBitEnabledAtIndex(std::string_view string, int64_t index) {
  if (index < 0) return false;
  int64_t position = 0;  // in UTF-16 units
  for (size_t i = 0; i < string.size();) {
    char32_t c;
    size_t n = os::nextUTF8(string, i, c);
    if (n == 0) c = 0xFFFD, n = 1;
    if (position == index) return c == U'1';
    position += c > 0xFFFF ? 2 : 1;
    if (position > index) return false;  // inside a surrogate pair
    i += n;
  }
  return false;
}

std::optional<std::string> apm_MD5String(std::string_view string) {
  if (!os::isValidUTF8(string)) return std::nullopt;
  return os::hexString(os::md5(string));
}

std::optional<std::string> apm_stringByUnescapingFromURLArgument(std::string_view string) {
  std::string spaced(string);
  for (char& c : spaced) {
    if (c == '+') c = ' ';
  }
  return os::stringByRemovingPercentEncoding(spaced);
}

size_t apm_UTF32Length(std::string_view string) { return os::utf32Length(string); }

bool apm_getUTF32Bytes(std::string_view string, void* buffer, size_t maxBytes) {
  return os::getUTF32LEBytes(string, buffer, maxBytes);
}

bool apm_stringBoolValue(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  while (i < text.size() && text[i] == '0') ++i;
  if (i == text.size()) return false;
  const char c = text[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}
