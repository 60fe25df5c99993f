// os::URLRequest, os::HTTPURLResponse and their header fields.
//
// Header names are matched without regard to case and keep the spelling they
// were first set with. Value types.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "os/foundation/data.h"
#include "os/foundation/url.h"

namespace os {

// Ordered header fields with case-insensitive names.
class HTTPHeaderFields {
 public:
  using Field = std::pair<std::string, std::string>;

  // The value, or nullopt.
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const;
  // Sets (replacing any value of that name); nullopt removes the field.
  void setValue(std::optional<std::string> value, std::string_view name);
  // Appends to an existing value with ", ", or sets.
  void addValue(std::string_view value, std::string_view name);
  const std::vector<Field>& fields() const { return fields_; }
  bool empty() const { return fields_.empty(); }

 private:
  std::vector<Field> fields_;
};

// How a request may use cached data. Raw values are the platform's.
enum class URLRequestCachePolicy : unsigned {
  UseProtocolCachePolicy = 0,
  ReloadIgnoringLocalCacheData = 1,
  ReturnCacheDataElseLoad = 2,
  ReturnCacheDataDontLoad = 3,
};

inline constexpr double kURLRequestDefaultTimeoutInterval = 60.0;

class URLRequest {
 public:
  explicit URLRequest(URL url, URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy,
                      double timeoutInterval = kURLRequestDefaultTimeoutInterval)
      : url_(std::move(url)), cachePolicy_(cachePolicy), timeoutInterval_(timeoutInterval) {}

  const URL& url() const { return url_; }
  void setURL(URL url) { url_ = std::move(url); }
  // "GET" unless set.
  const std::string& HTTPMethod() const { return method_; }
  void setHTTPMethod(std::string method) { method_ = std::move(method); }
  const std::optional<Data>& HTTPBody() const { return body_; }
  void setHTTPBody(std::optional<Data> body) { body_ = std::move(body); }
  // Seconds without progress after which the request fails with a time-out.
  double timeoutInterval() const { return timeoutInterval_; }
  void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
  URLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
  void setCachePolicy(URLRequestCachePolicy policy) { cachePolicy_ = policy; }

  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const {
    return headers_.valueForHTTPHeaderField(name);
  }
  void setValue(std::optional<std::string> value, std::string_view field) { headers_.setValue(std::move(value), field); }
  void addValue(std::string_view value, std::string_view field) { headers_.addValue(value, field); }
  const HTTPHeaderFields& allHTTPHeaderFields() const { return headers_; }
  void setAllHTTPHeaderFields(HTTPHeaderFields headers) { headers_ = std::move(headers); }

 private:
  URL url_;
  std::string method_ = "GET";
  std::optional<Data> body_;
  HTTPHeaderFields headers_;
  URLRequestCachePolicy cachePolicy_;
  double timeoutInterval_;
};

class HTTPURLResponse {
 public:
  HTTPURLResponse(URL url, int statusCode, HTTPHeaderFields headers)
      : url_(std::move(url)), statusCode_(statusCode), headers_(std::move(headers)) {}

  // The URL the response came from (after redirects).
  const URL& url() const { return url_; }
  int statusCode() const { return statusCode_; }
  const HTTPHeaderFields& allHeaderFields() const { return headers_; }
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const {
    return headers_.valueForHTTPHeaderField(name);
  }
  // Content-Length, or -1 when unknown.
  long long expectedContentLength() const;

 private:
  URL url_;
  int statusCode_;
  HTTPHeaderFields headers_;
};

}  // namespace os
