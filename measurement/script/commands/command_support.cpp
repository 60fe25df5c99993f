#include "measurement/script/commands/command_support.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "measurement/script/runtime/number_forms.h"

namespace apmp::commands {

APMPResult runStatementArray(const std::shared_ptr<APMPArrayValue>& statements, const APMPScopeRef& scope) {
  APMPValueRef result = APMPUndefinedValue::sharedInstance();
  for (size_t i = 0; i < statements->count(); ++i) {
    APMPValueRef statement = statements->slotAtIndex(i);  // held: the statement may change the array
    if (statement->kind() == Kind::Hole) statement = APMPUndefinedValue::sharedInstance();
    APMPResult value = APMPEvaluator::evaluateStatement(statement, scope);
    if (!value) return value;
    result = std::move(*value);
    if (isControl(result)) break;
  }
  return result;
}

LoopStep afterBody(APMPResult& result) {
  if (!result) return LoopStep::Stop;
  if (isControl(*result, APMPControlValue::Type::Break)) {
    result = APMPUndefinedValue::sharedInstance();
    return LoopStep::Stop;
  }
  if (isControl(*result, APMPControlValue::Type::Return)) return LoopStep::Stop;
  return LoopStep::Next;
}

os::Result<double> integerArgument(const APMPRuntimeValue& value) {
  auto number = value.doubleValueOrError();
  if (!number) return std::unexpected(number.error());
  return APMPToInteger(*number);
}

int64_t clampPosition(double position, int64_t low, int64_t high) {
  if (!(position > static_cast<double>(low))) return low;
  if (position >= static_cast<double>(high)) return high;
  return static_cast<int64_t>(position);
}

namespace {

// failure[i]: the length of the longest proper border of pattern[0..i].
std::vector<size_t> failureTable(std::u16string_view pattern) {
  std::vector<size_t> failure(pattern.size(), 0);
  for (size_t i = 1, k = 0; i < pattern.size(); ++i) {
    while (k > 0 && pattern[i] != pattern[k]) k = failure[k - 1];
    if (pattern[i] == pattern[k]) ++k;
    failure[i] = k;
  }
  return failure;
}

// Calls found(start) for each occurrence at or after from, in order, until
// it returns false.
template <class Found>
void forEachOccurrence(std::u16string_view text, std::u16string_view pattern, size_t from, Found found) {
  if (pattern.empty() || from > text.size() || pattern.size() > text.size() - from) return;
  std::vector<size_t> failure = failureTable(pattern);
  for (size_t i = from, k = 0; i < text.size(); ++i) {
    while (k > 0 && text[i] != pattern[k]) k = failure[k - 1];
    if (text[i] == pattern[k]) ++k;
    if (k == pattern.size()) {
      if (!found(i + 1 - k)) return;
      k = failure[k - 1];
    }
  }
}

}  // namespace

size_t findText(std::u16string_view text, std::u16string_view pattern, size_t from) {
  size_t result = std::u16string_view::npos;
  forEachOccurrence(text, pattern, from, [&](size_t start) {
    result = start;
    return false;
  });
  return result;
}

size_t findLastText(std::u16string_view text, std::u16string_view pattern) {
  size_t result = std::u16string_view::npos;
  forEachOccurrence(text, pattern, 0, [&](size_t start) {
    result = start;
    return true;
  });
  return result;
}

os::Result<StringPair> stringForms(const APMPRuntimeValue& first, const APMPRuntimeValue& second) {
  auto a = first.stringValueOrError();
  if (!a) return std::unexpected(a.error());
  auto b = second.stringValueOrError();
  if (!b) return std::unexpected(b.error());
  return StringPair{std::move(*a), std::move(*b)};
}

}  // namespace apmp::commands
