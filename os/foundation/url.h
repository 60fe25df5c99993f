// os::URL: an absolute URL as the platform's URL object keeps it.
//
// A URL is parsed from its text (RFC 3986: scheme ":" ["//" authority] path
// ["?" query] ["#" fragment]) and keeps that text as its absoluteString. The
// components are read from it, percent-encoding left as it is. A file URL
// is "file://" and an absolute path, percent-encoded. The empty URL (no text)
// exists, as the platform lets callers build one; it has no scheme and no host.
//
// Value type; thread-safe to read.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace os {

class URL {
 public:
  // The empty URL.
  URL() = default;

  // The URL of that text; nullopt when it is not a valid URL reference (a
  // character that must be percent-encoded, such as a space, a "%" without
  // two hex digits, a bad port, an unbalanced IPv6 bracket). "" gives the
  // empty URL.
  static std::optional<URL> URLWithString(std::string_view text);
  // "file://" + the path percent-encoded; a relative path is taken from the
  // current directory. A trailing "/" is added for a directory.
  static URL fileURLWithPath(std::string_view path, bool isDirectory = false);

  const std::string& absoluteString() const { return text_; }
  bool empty() const { return text_.empty(); }
  // Lower-case scheme ("https"), or "".
  const std::string& scheme() const { return scheme_; }
  // Host without IPv6 brackets, or "".
  const std::string& host() const { return host_; }
  std::optional<int> port() const { return port_; }
  // Percent-encoded path as written ("" when there is none).
  const std::string& percentEncodedPath() const { return path_; }
  // The path with percent-encoding removed (as written when that fails).
  std::string path() const;
  std::optional<std::string> query() const { return query_; }
  std::optional<std::string> fragment() const { return fragment_; }
  std::optional<std::string> user() const { return user_; }
  bool isFileURL() const { return scheme_ == "file"; }
  // The last path component, percent-decoded ("/" for the root path).
  std::string lastPathComponent() const;

  // A copy with "/" and the component (percent-encoded for a path) added to
  // the path; query and fragment are kept.
  URL URLByAppendingPathComponent(std::string_view component, bool isDirectory = false) const;
  // A copy with the last path component removed.
  URL URLByDeletingLastPathComponent() const;

  friend bool operator==(const URL& a, const URL& b) { return a.text_ == b.text_; }

 private:
  static std::optional<URL> parse(std::string text);
  // This URL with its path replaced; scheme, authority, query and fragment
  // stay as written. This URL itself when the result does not parse.
  URL withPath(const std::string& path) const;
  std::string text_;
  std::string scheme_;
  std::string host_;
  std::optional<std::string> user_;
  std::optional<int> port_;
  std::string path_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
  bool hasAuthority_ = false;
};

}  // namespace os
