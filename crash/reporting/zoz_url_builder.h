// ZOZURLBuilder: a URL put together from a base, path components and query
// parameters.
//
// Path components are appended as given (appendComponent) or percent-encoded
// (escapeAndAppendComponent); query values are always percent-encoded, with
// "&", "=" and "+" encoded as well, so a value never ends its parameter or
// reads as a space. A parameter with no value is left out. Not thread-safe:
// one builder per URL.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "os/foundation/url.h"
#include "os/foundation/value.h"

class ZOZURLBuilder {
 public:
  static ZOZURLBuilder URLWithBase(std::string base);

  // An empty component is refused ("URLBuilder parameter component must not
  // be empty").
  void appendComponent(std::string_view component);
  void escapeAndAppendComponent(std::string_view component);
  // "?" before the first parameter, "&" before later ones; the name as it is,
  // "=", the value escaped. A number is written as its description.
  void appendValue(const std::optional<os::Value>& value, std::string_view queryParam);

  // The query-allowed characters of the platform less "&", "=" and "+".
  static std::string escapeString(std::string_view text);

  const std::string& URLString() const { return URLString_; }
  // The accumulated text parsed; nullopt when it is no valid URL.
  std::optional<os::URL> URL() const;

 private:
  explicit ZOZURLBuilder(std::string base) : URLString_(std::move(base)) {}
  std::string URLString_;
  size_t queryParams_ = 0;
};
