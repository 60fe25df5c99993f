#include "os/foundation/regex.h"

#include <unicode/regex.h>
#include <unicode/utext.h>

namespace os {

struct RegularExpression::Impl {
  std::unique_ptr<icu::RegexPattern> pattern;
};

namespace {

Error regexError(RegularExpressionError code, std::string description, Dictionary userInfo = {}) {
  userInfo[kLocalizedDescriptionKey] = Value(std::move(description));
  return Error(kRegularExpressionErrorDomain, int64_t(code), std::move(userInfo));
}

// Closes a UText when it leaves scope.
struct UTextCloser {
  void operator()(UText* text) const { utext_close(text); }
};
using UTextPtr = std::unique_ptr<UText, UTextCloser>;

}  // namespace

RegularExpression::RegularExpression(std::string pattern, Options options, int32_t timeLimit,
                                     std::unique_ptr<Impl> impl)
    : pattern_(std::move(pattern)), options_(options), timeLimit_(timeLimit), impl_(std::move(impl)) {}

RegularExpression::~RegularExpression() = default;

Result<std::shared_ptr<const RegularExpression>> RegularExpression::create(std::string_view pattern, Options options,
                                                                           int32_t timeLimit) {
  UErrorCode status = U_ZERO_ERROR;
  UTextPtr text(utext_openUTF8(nullptr, pattern.data(), int64_t(pattern.size()), &status));
  if (U_FAILURE(status)) {
    return fail(regexError(RegularExpressionError::InvalidPattern,
                           std::string("The pattern cannot be read: ") + u_errorName(status),
                           {{kRegularExpressionPatternKey, Value(pattern)}}));
  }
  uint32_t flags = 0;
  if ((uint32_t(options) & uint32_t(Options::CaseInsensitive)) != 0) flags |= UREGEX_CASE_INSENSITIVE;
  UParseError parseError{};
  auto impl = std::make_unique<Impl>();
  impl->pattern.reset(icu::RegexPattern::compile(text.get(), flags, parseError, status));
  if (U_FAILURE(status) || !impl->pattern) {
    return fail(regexError(RegularExpressionError::InvalidPattern,
                           std::string("The pattern is invalid (") + u_errorName(status) + " at offset " +
                               std::to_string(parseError.offset) + ")",
                           {{kRegularExpressionPatternKey, Value(pattern)}}));
  }
  return std::shared_ptr<const RegularExpression>(new RegularExpression(
      std::string(pattern), options, timeLimit > 0 ? timeLimit : kDefaultTimeLimit, std::move(impl)));
}

Result<bool> RegularExpression::containsMatch(std::string_view text) const { return run(text, false); }

Result<bool> RegularExpression::matchesEntireString(std::string_view text) const { return run(text, true); }

Result<bool> RegularExpression::run(std::string_view text, bool wholeText) const {
  UErrorCode status = U_ZERO_ERROR;
  UTextPtr input(utext_openUTF8(nullptr, text.data(), int64_t(text.size()), &status));
  if (U_FAILURE(status)) input.reset();
  return match(input.get(), wholeText, nullptr);
}

Result<std::optional<RegularExpression::Range>> RegularExpression::firstMatch(std::u16string_view text,
                                                                               int32_t* stepsTaken) const {
  UErrorCode status = U_ZERO_ERROR;
  UTextPtr input(utext_openUChars(nullptr, text.data(), int64_t(text.size()), &status));
  if (U_FAILURE(status)) input.reset();
  Range range;
  auto found = match(input.get(), false, &range, stepsTaken);
  if (!found) return fail(found.error());
  if (!*found) return std::optional<Range>();
  return std::optional<Range>(range);
}

namespace {

// ICU calls it once per time-limit step with the steps taken so far.
UBool U_CALLCONV countSteps(const void* context, int32_t steps) {
  *static_cast<int32_t*>(const_cast<void*>(context)) = steps;
  return true;
}

}  // namespace

Result<bool> RegularExpression::match(UText* text, bool wholeText, Range* range, int32_t* stepsTaken) const {
  UErrorCode status = text != nullptr ? U_ZERO_ERROR : U_MEMORY_ALLOCATION_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher;
  if (stepsTaken != nullptr) *stepsTaken = 0;
  if (U_SUCCESS(status)) matcher.reset(impl_->pattern->matcher(status));
  if (U_SUCCESS(status) && matcher) {
    matcher->reset(text);
    matcher->setTimeLimit(timeLimit_, status);
    if (stepsTaken != nullptr) matcher->setMatchCallback(&countSteps, stepsTaken, status);
  }
  bool found = false;
  if (U_SUCCESS(status) && matcher) found = wholeText ? matcher->matches(status) : matcher->find(status);
  if (status == U_REGEX_TIME_OUT) {
    return fail(regexError(RegularExpressionError::TimeLimitExceeded,
                           "The match ran out of time (" + std::to_string(timeLimit_) + " steps)",
                           {{kRegularExpressionPatternKey, Value(pattern_)}}));
  }
  if (U_SUCCESS(status) && matcher && found && range != nullptr) {
    // Native indexes of a UTF-16 text are its code-unit positions.
    int64_t start = matcher->start64(status);
    int64_t end = matcher->end64(status);
    if (U_SUCCESS(status)) *range = Range{size_t(start), size_t(end - start)};
  }
  if (U_FAILURE(status) || !matcher) {
    return fail(regexError(RegularExpressionError::MatchFailed,
                           std::string("The match failed: ") + u_errorName(U_FAILURE(status) ? status
                                                                                                : U_MEMORY_ALLOCATION_ERROR),
                           {{kRegularExpressionPatternKey, Value(pattern_)}}));
  }
  return found;
}

}  // namespace os
