#include "crash/reporting/zoz_url_builder.h"

#include "crash/core/zoz_sdk_log.h"
#include "os/foundation/encoding.h"

ZOZURLBuilder ZOZURLBuilder::URLWithBase(std::string base) { return ZOZURLBuilder(std::move(base)); }

void ZOZURLBuilder::appendComponent(std::string_view component) {
  if (component.empty()) {
    ZOZErrorLog("URLBuilder parameter component must not be empty");
    return;
  }
  URLString_ += component;
}

void ZOZURLBuilder::escapeAndAppendComponent(std::string_view component) { appendComponent(escapeString(component)); }

void ZOZURLBuilder::appendValue(const std::optional<os::Value>& value, std::string_view queryParam) {
  if (!value || value->isNull()) return;
  const std::string text = value->isString() ? *value->string() : value->description();
  URLString_ += queryParams_++ == 0 ? "?" : "&";
  URLString_ += queryParam;
  URLString_ += "=";
  URLString_ += escapeString(text);
}

std::string ZOZURLBuilder::escapeString(std::string_view text) {
  // "&" would end the parameter, "=" start a value, "+" read as a space.
  static const os::CharacterSet allowed = os::CharacterSet::URLQueryAllowedCharacterSet().removingCharactersInString("&=+");
  return os::stringByAddingPercentEncodingWithAllowedCharacters(text, allowed);
}

std::optional<os::URL> ZOZURLBuilder::URL() const { return os::URL::URLWithString(URLString_); }
