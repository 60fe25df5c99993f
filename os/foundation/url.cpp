#include "os/foundation/url.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>

#include "os/foundation/encoding.h"

namespace os {
namespace {

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// Characters allowed unencoded anywhere in a URL reference (RFC 3986
// unreserved, reserved and "%").
bool isURLCharacter(char c) {
  if (std::isalnum(static_cast<unsigned char>(c))) return true;
  static constexpr std::string_view kAllowed = "-._~:/?#[]@!$&'()*+,;=%";
  return kAllowed.find(c) != std::string_view::npos;
}

bool validPercentEscapes(std::string_view s) {
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') continue;
    if (i + 2 >= s.size()) return false;
    if (!isHex(s[i + 1]) || !isHex(s[i + 2])) return false;
    i += 2;
  }
  return true;
}

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

}  // namespace

std::optional<URL> URL::URLWithString(std::string_view text) {
  if (text.empty()) return URL();
  return parse(std::string(text));
}

std::optional<URL> URL::parse(std::string text) {
  for (char c : text) {
    if (!isURLCharacter(c)) return std::nullopt;
  }
  if (!validPercentEscapes(text)) return std::nullopt;

  URL url;
  std::string_view rest(text);

  // Fragment and query come off the end first.
  if (auto hash = rest.find('#'); hash != std::string_view::npos) {
    url.fragment_ = std::string(rest.substr(hash + 1));
    rest = rest.substr(0, hash);
  }
  if (auto q = rest.find('?'); q != std::string_view::npos) {
    url.query_ = std::string(rest.substr(q + 1));
    rest = rest.substr(0, q);
  }

  // Scheme: ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ) ":" before any "/".
  auto colon = rest.find(':');
  auto slash = rest.find('/');
  if (colon != std::string_view::npos && colon > 0 && (slash == std::string_view::npos || colon < slash)) {
    std::string_view scheme = rest.substr(0, colon);
    bool valid = std::isalpha(static_cast<unsigned char>(scheme[0])) != 0;
    for (char c : scheme) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') valid = false;
    }
    if (valid) {
      url.scheme_ = lower(scheme);
      rest = rest.substr(colon + 1);
    }
  }

  if (rest.starts_with("//")) {
    url.hasAuthority_ = true;
    rest = rest.substr(2);
    auto end = rest.find('/');
    std::string_view authority = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    if (auto at = authority.rfind('@'); at != std::string_view::npos) {
      url.user_ = std::string(authority.substr(0, authority.find(':') < at ? authority.find(':') : at));
      authority = authority.substr(at + 1);
    }
    std::string_view hostPort = authority;
    std::string_view portText;
    if (authority.starts_with('[')) {
      auto close = authority.find(']');
      if (close == std::string_view::npos) return std::nullopt;
      url.host_ = std::string(authority.substr(1, close - 1));
      std::string_view after = authority.substr(close + 1);
      if (!after.empty()) {
        if (after[0] != ':') return std::nullopt;
        portText = after.substr(1);
      }
    } else {
      if (hostPort.find_first_of("[]") != std::string_view::npos) return std::nullopt;
      if (auto c = hostPort.rfind(':'); c != std::string_view::npos) {
        portText = hostPort.substr(c + 1);
        hostPort = hostPort.substr(0, c);
      }
      url.host_ = std::string(hostPort);
    }
    if (!portText.empty()) {
      if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
          })) {
        return std::nullopt;
      }
      int port = std::atoi(std::string(portText).c_str());
      if (port > 65535) return std::nullopt;
      url.port_ = port;
    }
  }
  if (rest.find_first_of("[]") != std::string_view::npos) return std::nullopt;
  url.path_ = std::string(rest);
  url.text_ = std::move(text);
  return url;
}

URL URL::fileURLWithPath(std::string_view path, bool isDirectory) {
  std::string absolute(path);
  if (absolute.empty() || absolute[0] != '/') {
    char buffer[PATH_MAX];
    std::string cwd = getcwd(buffer, sizeof buffer) ? buffer : "/";
    absolute = cwd + (cwd.ends_with('/') ? "" : "/") + absolute;
  }
  if (isDirectory && !absolute.ends_with('/')) absolute += '/';
  std::string encoded = stringByAddingPercentEncodingWithAllowedCharacters(
      absolute, CharacterSet::URLPathAllowedCharacterSet());
  return *parse("file://" + encoded);
}

std::string URL::path() const {
  std::string p = path_;
  if (p.size() > 1 && p.ends_with('/')) p.pop_back();
  auto decoded = stringByRemovingPercentEncoding(p);
  return decoded ? *decoded : p;
}

std::string URL::lastPathComponent() const {
  std::string p = path();
  if (p == "/") return p;
  auto slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

URL URL::URLByAppendingPathComponent(std::string_view component, bool isDirectory) const {
  // "/" inside a component stays a separator, as on the platform.
  std::string encoded = stringByAddingPercentEncodingWithAllowedCharacters(
      component, CharacterSet::URLPathAllowedCharacterSet());
  std::string path = path_;
  if (!path.ends_with('/')) path += '/';
  while (encoded.starts_with('/')) encoded.erase(0, 1);
  path += encoded;
  if (isDirectory && !path.ends_with('/')) path += '/';
  return withPath(path);
}

URL URL::URLByDeletingLastPathComponent() const {
  std::string path = path_;
  if (path.size() > 1 && path.ends_with('/')) path.pop_back();
  auto slash = path.rfind('/');
  path = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  return withPath(path);
}

URL URL::withPath(const std::string& path) const {
  // Everything before the path stays as written.
  size_t pathStart = scheme_.empty() ? 0 : scheme_.size() + 1;
  if (hasAuthority_) {
    size_t authorityEnd = text_.find_first_of("/?#", pathStart + 2);
    pathStart = authorityEnd == std::string::npos ? text_.size() : authorityEnd;
  }
  std::string out = text_.substr(0, pathStart) + path;
  if (query_) out += "?" + *query_;
  if (fragment_) out += "#" + *fragment_;
  auto parsed = parse(out);
  return parsed ? *parsed : *this;
}

}  // namespace os
