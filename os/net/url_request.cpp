#include "os/net/url_request.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>

namespace os {
namespace {
bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}
}  // namespace

std::optional<std::string> HTTPHeaderFields::valueForHTTPHeaderField(std::string_view name) const {
  for (const auto& [key, value] : fields_) {
    if (sameName(key, name)) return value;
  }
  return std::nullopt;
}

void HTTPHeaderFields::setValue(std::optional<std::string> value, std::string_view name) {
  auto it = std::find_if(fields_.begin(), fields_.end(), [&](const Field& f) { return sameName(f.first, name); });
  if (!value) {
    if (it != fields_.end()) fields_.erase(it);
    return;
  }
  if (it != fields_.end()) {
    it->second = std::move(*value);
  } else {
    fields_.emplace_back(std::string(name), std::move(*value));
  }
}

void HTTPHeaderFields::addValue(std::string_view value, std::string_view name) {
  auto it = std::find_if(fields_.begin(), fields_.end(), [&](const Field& f) { return sameName(f.first, name); });
  if (it != fields_.end()) {
    it->second += ", ";
    it->second += value;
  } else {
    fields_.emplace_back(std::string(name), std::string(value));
  }
}

long long HTTPURLResponse::expectedContentLength() const {
  auto length = valueForHTTPHeaderField("Content-Length");
  if (!length || length->empty()) return -1;
  char* end = nullptr;
  long long n = std::strtoll(length->c_str(), &end, 10);
  return (end && *end == '\0' && n >= 0) ? n : -1;
}

}  // namespace os
