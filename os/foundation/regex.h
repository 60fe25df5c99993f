// os::RegularExpression: ICU regular expressions over UTF-8 text, each match
// bounded by a time limit.
//
// What it offers: compiling a pattern (ICU syntax) with options, asking
// whether the expression matches somewhere in a text or the text as a whole,
// and finding the first match in UTF-16 text with its position and length in
// code units. Captured groups are not offered yet.
//
// Every match runs under a time limit, counted in ICU's match steps (one
// step is a fixed amount of matching work, a fraction of a millisecond on
// current hardware; the default limit is a few hundred milliseconds at most). There is no unlimited form: a pattern that backtracks without
// end, such as one that came from a server, ends with the error
// kTimeLimitExceeded instead of holding the caller's thread. Callers that
// treat text from outside count that error as a failed match.
//
// Errors are in kRegularExpressionErrorDomain (codes below) with a
// localized description naming the ICU status.
//
// A compiled expression is immutable and may be used from any thread at
// once: each match runs in a matcher of its own over the shared pattern.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "os/foundation/error.h"

struct UText;

namespace os {

inline constexpr const char* kRegularExpressionErrorDomain = "os.foundation.RegularExpression";

enum class RegularExpressionError : int64_t {
  InvalidPattern = 1,     // the pattern does not compile; user info kRegularExpressionPatternKey
  TimeLimitExceeded = 2,  // a match ran out of time
  MatchFailed = 3,        // any other failure of the match engine (e.g. its backtrack stack is full)
};
inline constexpr const char* kRegularExpressionPatternKey = "pattern";

class RegularExpression {
 public:
  enum class Options : uint32_t {
    None = 0,
    CaseInsensitive = 1u << 0,
  };
  // Steps a match may take unless the caller gives another limit.
  static constexpr int32_t kDefaultTimeLimit = 1000;

  // Compiles the pattern. A time limit of zero or less gives the default.
  static Result<std::shared_ptr<const RegularExpression>> create(std::string_view pattern,
                                                                 Options options = Options::None,
                                                                 int32_t timeLimit = kDefaultTimeLimit);
  ~RegularExpression();
  RegularExpression(const RegularExpression&) = delete;
  RegularExpression& operator=(const RegularExpression&) = delete;

  const std::string& pattern() const { return pattern_; }
  Options options() const { return options_; }
  int32_t timeLimit() const { return timeLimit_; }

  // Whether the expression matches some part of the text.
  Result<bool> containsMatch(std::string_view text) const;
  // Whether the expression matches the whole text.
  Result<bool> matchesEntireString(std::string_view text) const;

  // A match's place in the text searched, in UTF-16 code units.
  struct Range {
    size_t location = 0;
    size_t length = 0;
    friend bool operator==(const Range&, const Range&) = default;
  };
  // The first match in the text (the leftmost, as the expression prefers it);
  // nullopt when there is none. The text's start and end are the anchors'.
  // When stepsTaken is given it receives the time-limit steps the match took
  // (0 for a quick one), so a caller can bound many matches together.
  Result<std::optional<Range>> firstMatch(std::u16string_view text, int32_t* stepsTaken = nullptr) const;

 private:
  struct Impl;
  RegularExpression(std::string pattern, Options options, int32_t timeLimit, std::unique_ptr<Impl> impl);
  Result<bool> run(std::string_view text, bool wholeText) const;
  // Runs one match over the text (owned by the caller); the range when asked.
  Result<bool> match(UText* text, bool wholeText, Range* range, int32_t* stepsTaken = nullptr) const;

  std::string pattern_;
  Options options_;
  int32_t timeLimit_;
  std::unique_ptr<Impl> impl_;  // the compiled pattern
};

constexpr RegularExpression::Options operator|(RegularExpression::Options a, RegularExpression::Options b) {
  return RegularExpression::Options(uint32_t(a) | uint32_t(b));
}

}  // namespace os
