// The string methods. Positions and lengths count UTF-16 code units; every
// method returns a new value and leaves the receiver as it was. Text
// services (comparison, case mapping, whitespace) come from the os layer,
// regular expressions from the time-limited ones of regular_expressions.h.
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "measurement/script/commands/command_support.h"
#include "measurement/script/commands/method_handlers.h"
#include "measurement/script/commands/regular_expressions.h"
#include "measurement/script/runtime/limits.h"
#include "measurement/script/runtime/number_forms.h"
#include "measurement/script/runtime/object_manager.h"
#include "os/foundation/device_profile.h"
#include "os/foundation/text.h"

namespace {

using apmp::commands::asFunction;
using apmp::commands::clampPosition;
using apmp::commands::findLastText;
using apmp::commands::findText;
using apmp::commands::integerArgument;

constexpr size_t npos = std::u16string_view::npos;

os::Status pay(const APMPScopeRef& scope, size_t units) { return APMPChargeBulkWork(scope, units); }

// The string form of argument i, or "undefined" when it is absent.
os::Result<std::u16string> textArgument(const APMPValueList& arguments, size_t i) {
  if (i >= arguments.size()) return std::u16string(u"undefined");
  return arguments[i]->stringValueOrError();
}

APMPValueRef number(double value) { return APMPNumberValue::make(value); }

// A new array of string values, tracked by the scope's object manager.
APMPResult stringArray(std::vector<std::u16string> pieces, const APMPScopeRef& scope) {
  APMPValueList values;
  values.reserve(pieces.size());
  for (auto& piece : pieces) values.push_back(APMPStringValue::make(std::move(piece)));
  auto array = APMPObjectManager::arrayValueWithArray(std::move(values), scope);
  if (!array) return std::unexpected(array.error());
  return APMPValueRef(std::move(*array));
}

// A position argument for slice: negative counts from the end.
int64_t slicePosition(double position, int64_t length) {
  if (position < 0) return clampPosition(position + static_cast<double>(length), 0, length);
  return clampPosition(position, 0, length);
}

enum class Case { Lower, Upper };

APMPResult mapCase(const std::u16string& string, const APMPScopeRef& scope, Case which, bool localized) {
  if (auto paid = pay(scope, string.size()); !paid) return std::unexpected(paid.error());
  std::string locale = localized ? os::DeviceProfile::current().localeIdentifier : std::string();
  std::u16string mapped =
      which == Case::Lower ? os::lowercaseString(string, locale) : os::uppercaseString(string, locale);
  return APMPMakeString(std::move(mapped));
}

// The first regular-expression match of the pattern in the text: an error
// of the regular-expression layer when the pattern does not compile or the
// match runs out of time. The steps the match took are paid to the budget.
os::Result<std::optional<os::RegularExpression::Range>> firstMatch(std::u16string_view pattern,
                                                                   const std::u16string& string,
                                                                   const APMPScopeRef& scope) {
  if (auto paid = pay(scope, string.size() + pattern.size()); !paid) return std::unexpected(paid.error());
  int32_t steps = 0;
  auto match = APMPFirstMatch(pattern, string, &steps);
  if (!match) return match;
  if (auto paid = pay(scope, static_cast<size_t>(steps) * kAPMPInstructionsPerRegularExpressionStep *
                                 kAPMPBulkUnitsPerInstruction);
      !paid) {
    return std::unexpected(paid.error());
  }
  return match;
}

}  // namespace

APMPResult APMPStringCharAt(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef&) {
  double position = 0;
  if (!arguments.empty()) {
    auto integer = integerArgument(*arguments[0]);
    if (!integer) return std::unexpected(integer.error());
    position = *integer;
  }
  if (position < 0 || position >= static_cast<double>(string.size())) return APMPStringValue::make(u"");
  return APMPStringValue::make(std::u16string(1, string[static_cast<size_t>(position)]));
}

APMPResult APMPStringConcat(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope) {
  std::u16string text = string;
  for (const APMPValueRef& argument : arguments) {
    auto part = argument->stringValueOrError();
    if (!part) return std::unexpected(part.error());
    if (text.size() + part->size() > kAPMPMaxStringLength) return APMPFail(APMPRovavError::BudgetExhausted);
    text += *part;
  }
  if (auto paid = pay(scope, text.size()); !paid) return std::unexpected(paid.error());
  return APMPMakeString(std::move(text));
}

APMPResult APMPStringHasOwnProperty(const std::u16string& string, const APMPValueList& arguments,
                                    const APMPScopeRef& scope) {
  auto key = arguments[0]->stringValueOrError();
  if (!key) return std::unexpected(key.error());
  if (auto paid = pay(scope, key->size()); !paid) return std::unexpected(paid.error());
  if (*key == u"length") return APMPBooleanValue::booleanValueWithBool(true);
  auto index = arguments[0]->doubleValueOrError();
  if (!index) return std::unexpected(index.error());
  bool present = std::trunc(*index) == *index && *index >= 0 && *index < static_cast<double>(string.size());
  return APMPBooleanValue::booleanValueWithBool(present);
}

APMPResult APMPStringIndexOf(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope) {
  auto search = textArgument(arguments, 0);
  if (!search) return std::unexpected(search.error());
  const auto length = static_cast<int64_t>(string.size());
  int64_t start = 0;
  if (arguments.size() == 2) {
    auto integer = integerArgument(*arguments[1]);
    if (!integer) return std::unexpected(integer.error());
    start = clampPosition(*integer, 0, length);
  }
  if (search->empty()) return number(-1);
  if (auto paid = pay(scope, string.size() + search->size()); !paid) return std::unexpected(paid.error());
  size_t found = findText(string, *search, static_cast<size_t>(start));
  return number(found == npos ? -1 : static_cast<double>(found));
}

APMPResult APMPStringLastIndexOf(const std::u16string& string, const APMPValueList& arguments,
                                 const APMPScopeRef& scope) {
  auto search = textArgument(arguments, 0);
  if (!search) return std::unexpected(search.error());
  const auto length = static_cast<int64_t>(string.size());
  double position = std::numeric_limits<double>::infinity();
  if (arguments.size() == 2) {
    auto value = arguments[1]->doubleValueOrError();
    if (!value) return std::unexpected(value.error());
    if (!std::isnan(*value)) position = APMPToInteger(*value);
  }
  if (search->empty()) return number(-1);
  auto start = static_cast<size_t>(clampPosition(position, 0, length));
  // Occurrences that begin at or before the position end before this.
  size_t end = std::min(string.size(), start + search->size());
  if (auto paid = pay(scope, end + search->size()); !paid) return std::unexpected(paid.error());
  size_t found = findLastText(std::u16string_view(string).substr(0, end), *search);
  return number(found == npos ? -1 : static_cast<double>(found));
}

APMPResult APMPStringMatch(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope) {
  std::u16string pattern;
  if (!arguments.empty()) {
    auto text = arguments[0]->stringValueOrError();
    if (!text) return std::unexpected(text.error());
    pattern = std::move(*text);
  }
  if (pattern.empty()) return stringArray({u""}, scope);
  auto match = firstMatch(pattern, string, scope);
  if (!match) return std::unexpected(match.error());
  if (!*match) return APMPNullValue::sharedInstance();
  return stringArray({string.substr((*match)->location, (*match)->length)}, scope);
}

APMPResult APMPStringSearch(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope) {
  auto pattern = textArgument(arguments, 0);
  if (!pattern) return std::unexpected(pattern.error());
  if (pattern->empty()) return number(0);
  auto match = firstMatch(*pattern, string, scope);
  if (!match) return std::unexpected(match.error());
  return number(*match ? static_cast<double>((*match)->location) : -1);
}

// Replaces the first plain-text occurrence of the pattern. The replacement
// is inserted as it stands; a function makes it from (match, position, text)
// and is called only when there is a match.
APMPResult APMPStringReplace(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope) {
  auto pattern = textArgument(arguments, 0);
  if (!pattern) return std::unexpected(pattern.error());
  if (auto paid = pay(scope, string.size() + pattern->size()); !paid) return std::unexpected(paid.error());
  size_t position = pattern->empty() ? 0 : findText(string, *pattern);
  if (position == npos) return APMPStringValue::make(string);
  std::u16string replacement;
  if (arguments.size() < 2) {
    replacement = u"undefined";
  } else if (auto function = asFunction(arguments[1])) {
    APMPResult made = function->invokeWithArguments(
        {APMPStringValue::make(*pattern), number(static_cast<double>(position)), APMPStringValue::make(string)}, scope);
    if (!made) return made;
    auto text = (*made)->stringValueOrError();
    if (!text) return std::unexpected(text.error());
    replacement = std::move(*text);
  } else {
    auto text = arguments[1]->stringValueOrError();
    if (!text) return std::unexpected(text.error());
    replacement = std::move(*text);
  }
  if (string.size() - pattern->size() + replacement.size() > kAPMPMaxStringLength) {
    return APMPFail(APMPRovavError::BudgetExhausted);
  }
  if (auto paid = pay(scope, replacement.size()); !paid) return std::unexpected(paid.error());
  std::u16string result = string.substr(0, position);
  result += replacement;
  result.append(string, position + pattern->size());
  return APMPMakeString(std::move(result));
}

namespace {

// The start and end positions of slice and substring: 0 and the length
// unless given, each read by ToInteger and placed by positionOf.
// The end is read only when exactly two arguments are given.
template <class PositionOf>
os::Result<std::pair<int64_t, int64_t>> rangeArguments(const APMPValueList& arguments, int64_t length,
                                                      PositionOf positionOf) {
  std::pair<int64_t, int64_t> range{0, length};
  if (!arguments.empty()) {
    auto integer = integerArgument(*arguments[0]);
    if (!integer) return std::unexpected(integer.error());
    range.first = positionOf(*integer);
  }
  if (arguments.size() == 2) {
    auto integer = integerArgument(*arguments[1]);
    if (!integer) return std::unexpected(integer.error());
    range.second = positionOf(*integer);
  }
  return range;
}

APMPResult paidSubstring(const std::u16string& string, int64_t start, int64_t end, const APMPScopeRef& scope) {
  if (auto paid = pay(scope, static_cast<size_t>(end - start)); !paid) return std::unexpected(paid.error());
  return APMPMakeString(string.substr(static_cast<size_t>(start), static_cast<size_t>(end - start)));
}

}  // namespace

APMPResult APMPStringSlice(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope) {
  const auto length = static_cast<int64_t>(string.size());
  auto range = rangeArguments(arguments, length, [length](double position) { return slicePosition(position, length); });
  if (!range) return std::unexpected(range.error());
  auto [start, end] = *range;
  if (end <= start) return APMPStringValue::make(u"");
  return paidSubstring(string, start, end, scope);
}

APMPResult APMPStringSubstring(const std::u16string& string, const APMPValueList& arguments,
                               const APMPScopeRef& scope) {
  const auto length = static_cast<int64_t>(string.size());
  auto range =
      rangeArguments(arguments, length, [length](double position) { return clampPosition(position, 0, length); });
  if (!range) return std::unexpected(range.error());
  auto [start, end] = *range;
  if (end < start) std::swap(start, end);
  return paidSubstring(string, start, end, scope);
}

// Pieces between occurrences of the separator (empty pieces kept), or single
// code units for an empty separator, at most limit of them. More pieces than
// an array may hold fail with rovav 11 before they are all made.
APMPResult APMPStringSplit(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope) {
  if (string.empty() || arguments.empty()) return stringArray({string}, scope);
  auto separator = arguments[0]->stringValueOrError();
  if (!separator) return std::unexpected(separator.error());
  size_t limit = std::numeric_limits<size_t>::max();
  if (arguments.size() == 2) {
    auto value = arguments[1]->doubleValueOrError();
    if (!value) return std::unexpected(value.error());
    limit = APMPToUint32(*value);
  }
  // One past the cap is enough to know the result cannot be made.
  limit = std::min(limit, kAPMPMaxArraySlots + 1);
  if (auto paid = pay(scope, string.size() + separator->size()); !paid) return std::unexpected(paid.error());
  std::vector<std::u16string> pieces;
  if (separator->empty()) {
    for (size_t i = 0; i < string.size() && pieces.size() < limit; ++i) pieces.emplace_back(1, string[i]);
  } else {
    size_t from = 0;
    while (pieces.size() < limit) {
      size_t found = findText(string, *separator, from);
      if (found == npos) {
        pieces.push_back(string.substr(from));
        break;
      }
      pieces.push_back(string.substr(from, found - from));
      from = found + separator->size();
    }
  }
  if (auto paid = APMPChargeSlots(scope, pieces.size()); !paid) return std::unexpected(paid.error());
  return stringArray(std::move(pieces), scope);
}

APMPResult APMPStringToLowerCase(const std::u16string& string, const APMPValueList&, const APMPScopeRef& scope) {
  return mapCase(string, scope, Case::Lower, false);
}
APMPResult APMPStringToUpperCase(const std::u16string& string, const APMPValueList&, const APMPScopeRef& scope) {
  return mapCase(string, scope, Case::Upper, false);
}
APMPResult APMPStringToLocaleLowerCase(const std::u16string& string, const APMPValueList&,
                                       const APMPScopeRef& scope) {
  return mapCase(string, scope, Case::Lower, true);
}
APMPResult APMPStringToLocaleUpperCase(const std::u16string& string, const APMPValueList&,
                                       const APMPScopeRef& scope) {
  return mapCase(string, scope, Case::Upper, true);
}

APMPResult APMPStringToString(const std::u16string& string, const APMPValueList&, const APMPScopeRef& scope) {
  if (auto paid = pay(scope, string.size()); !paid) return std::unexpected(paid.error());
  return APMPStringValue::make(string);
}

APMPResult APMPStringTrim(const std::u16string& string, const APMPValueList&, const APMPScopeRef& scope) {
  if (auto paid = pay(scope, string.size()); !paid) return std::unexpected(paid.error());
  return APMPStringValue::make(std::u16string(os::trimmingWhitespaceAndNewlines(string)));
}
