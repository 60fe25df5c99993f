#include "measurement/engine/audiences/audience_filter_matching.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <vector>

#include "measurement/messages/field_access.h"
#include "measurement/store/engine_services/debug_description.h"
#include "measurement/engine/audiences/audience_log.h"
#include "measurement/store/numeric_util.h"
#include "os/foundation/string_search.h"
#include "os/foundation/text.h"

namespace {

using ComparisonType = APMNumberFilterComparisonType;
using MatchType = APMStringFilterMatchType;

using apm_audience::log;

// "{name: value, ...}" for log contexts.
std::string describe(const APMEventParameters& parameters) {
  std::string text = "{";
  for (const auto& [name, value] : parameters) {
    if (text.size() > 1) text += ", ";
    text += name + ": " + value.description();
  }
  return text + "}";
}

std::string describe(const NANOMessageBase& message) { return message.className(); }

bool has(const NANOMessageBase& message, int32_t index) { return APMPBHasField(&message, index); }

// A comparison string that passes the decimal-number pattern, as a double
// (the nearest one); nullopt when it is not one or lies beyond the doubles.
std::optional<double> parseDouble(std::optional<std::string> text) {
  if (!text || !APMIsDecimalNumberString(*text)) return std::nullopt;
  std::string_view digits = *text;
  if (digits.starts_with('+')) digits.remove_prefix(1);
  double value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

// Whether the comparison string at `index` is present and a decimal number.
bool isDecimalComparisonValue(const APMPBNumberFilter& filter, int32_t index) {
  const auto text = APMPBGetString(&filter, index);
  return text && APMIsDecimalNumberString(*text);
}

bool equalIgnoringCaseAnchoredAtStart(std::string_view string, std::string_view expression) {
  return os::rangeOfString(string, expression, os::StringSearchOptions::CaseInsensitive |
                                                   os::StringSearchOptions::Anchored)
             .has_value() &&
         os::utf16Length(string) == os::utf16Length(expression);
}

bool exactMatch(std::string_view string, std::string_view expression, bool caseSensitive) {
  return caseSensitive ? string == expression : equalIgnoringCaseAnchoredAtStart(string, expression);
}

}  // namespace

// ---- Entry points ----

APMFilterOutcome APMEvaluateEventFilterRecord(const APMEventFilter& record, const APMEventParameters& parameters,
                                              const APMEventAggregates* aggregates) {
  auto filter = record.data().length() > 0 ? APMPBEventFilter::initWithBuffer(record.data()) : nullptr;
  if (!filter) {
    log(1, kAPMAudienceCodeCorruptEventFilter,
        "Event filter contains no data or corrupt data. Event will not be evaluated. Event name, filter ID, "
        "audience ID, dynamic",
        {APMEventNameDebugDescription(record.eventName()), record.filterID(), record.audienceID(),
         record.isDynamic()});
    return std::nullopt;
  }
  return APMEvaluateEventFilter(*filter, record.eventName(), parameters, aggregates);
}

APMFilterOutcome APMEvaluatePropertyFilterRecord(const APMPropertyFilter& record, const APMUserAttribute* property) {
  auto filter = record.data().length() > 0 ? APMPBPropertyFilter::initWithBuffer(record.data()) : nullptr;
  if (!filter) {
    log(1, kAPMAudienceCodeCorruptPropertyFilter,
        "User property filter contains no data or corrupt data. User property will not be evaluated. User "
        "property name, filter ID, audience ID, dynamic",
        {APMParameterNameDebugDescription(record.propertyName()), record.filterID(), record.audienceID(),
         record.isDynamic()});
    return std::nullopt;
  }
  return APMEvaluatePropertyFilter(filter.get(), property);
}

// ---- Events and properties ----

APMFilterOutcome APMEvaluateEventFilter(const APMPBEventFilter& filter, std::string_view eventName,
                                        const APMEventParameters& parameters, const APMEventAggregates* aggregates) {
  if (eventName.empty()) {
    log(1, kAPMAudienceCodeEventNameNil, "Event name is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const auto filterEventName = APMPBGetString(&filter, kAPMEventFilterEventName);
  if (!filterEventName || *filterEventName != eventName) {
    log(1, kAPMAudienceCodeEventNameMismatch,
        "Event filter name does not match event name. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const auto parameterFilters =
      APMPBGetArray<APMPBFilter>(&filter, kAPMEventFilterParameterFilters).value_or(std::vector<std::shared_ptr<APMPBFilter>>{});
  const bool hasCountFilter = has(filter, kAPMEventFilterCountFilter);
  if (!hasCountFilter && parameterFilters.empty()) return true;

  if (hasCountFilter) {
    if (aggregates == nullptr || aggregates->name() != eventName) {
      log(1, kAPMAudienceCodeAggregatesNameMismatch,
          "Event aggregates name does not match event name. Audience filter will not be evaluated",
          {aggregates ? APMLogContext(APMEventNameDebugDescription(aggregates->name())) : APMLogContext(),
           APMEventNameDebugDescription(eventName), describe(filter)});
      return std::nullopt;
    }
    const auto countFilter = APMPBGetMessage<APMPBNumberFilter>(&filter, kAPMEventFilterCountFilter);
    const int64_t count = APMPBGetBool(&filter, kAPMEventFilterSessionScoped) ? aggregates->currentSessionCount()
                                                                               : aggregates->lifetimeCount();
    const APMFilterOutcome outcome = countFilter ? APMCompareInt64WithNumberFilter(*countFilter, count) : std::nullopt;
    if (outcome != true) return outcome;
  }

  for (const auto& parameterFilter : parameterFilters) {
    const auto parameterName = APMPBGetString(parameterFilter.get(), kAPMFilterParameterName);
    if (!parameterName) {
      log(1, kAPMAudienceCodeNoParameterName,
          "Event filter does not have parameter name. Audience filter will not be evaluated");
      return std::nullopt;
    }
    const auto parameter = parameters.find(*parameterName);
    if (parameter == parameters.end()) {
      log(3, kAPMAudienceCodeMissingParameter,
          "Event does not have parameter required by filter. Audience filter will not be evaluated",
          {APMEventNameDebugDescription(eventName), describe(parameters), describe(*parameterFilter)});
      return std::nullopt;
    }
    if (parameter->second.isString() && !has(*parameterFilter, kAPMFilterStringFilter)) {
      log(3, kAPMAudienceCodeStringParameterNoStringFilter,
          "Event param is a string and the filter does not have a string filter. Audience filter will not be "
          "evaluated. Event name, event params, filter",
          {APMEventNameDebugDescription(eventName), describe(parameters), describe(*parameterFilter)});
      return std::nullopt;
    }
    const APMFilterOutcome outcome = APMEvaluateFilter(*parameterFilter, parameter->second);
    if (outcome != true) return outcome;
  }
  return true;
}

APMFilterOutcome APMEvaluatePropertyFilter(const APMPBPropertyFilter* filter, const APMUserAttribute* property) {
  if (filter == nullptr) {
    log(1, kAPMAudienceCodePropertyFilterNil, "Property filter is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  if (property == nullptr) {
    log(1, kAPMAudienceCodeUserPropertyNil, "User property is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const auto name = APMPBGetString(filter, kAPMPropertyFilterPropertyName);
  if (!name || *name != property->name()) {
    log(1, kAPMAudienceCodePropertyNameMismatch,
        "User property name does not match property filter name. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const auto valueFilter = APMPBGetMessage<APMPBFilter>(filter, kAPMPropertyFilterValueFilter);
  if (!valueFilter) {
    log(1, kAPMAudienceCodePropertyFilterNoFilter,
        "Property filter does not have filter. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const APMValue& value = property->value();
  if (!value.isString() && !value.isInt64() && !value.isDouble()) {
    log(1, kAPMAudienceCodeUnknownPropertyType,
        "Unknown user property type. Audience filter will not be evaluated. Property Name",
        {APMParameterNameDebugDescription(property->name())});
    return std::nullopt;
  }
  return APMEvaluateFilter(*valueFilter, value);
}

APMFilterOutcome APMEvaluateFilter(const APMPBFilter& filter, const APMValue& value) {
  const auto numberFilter = APMPBGetMessage<APMPBNumberFilter>(&filter, kAPMFilterNumberFilter);
  const auto stringFilter = APMPBGetMessage<APMPBStringFilter>(&filter, kAPMFilterStringFilter);
  APMFilterOutcome outcome;
  if (!numberFilter && !stringFilter) {
    log(1, kAPMAudienceCodeNoNumberOrStringFilter,
        "Filter has neither a number nor string filter. Audience filter will not be evaluated",
        {value.description(), describe(filter)});
    return std::nullopt;
  }
  if (numberFilter) {
    if (value.isString()) {
      const std::string text = value.stringValue().value_or("");
      if (!APMIsDecimalNumberString(text)) {
        log(3, kAPMAudienceCodeStringNotNumeric,
            "String value is not a numeric value. Audience filter will not be evaluated. Value, filter",
            {text, describe(filter)});
        return std::nullopt;
      }
      const auto decimal = APMDecimalNumberFromString(text);
      if (!decimal) return std::nullopt;
      outcome = APMCompareDecimalWithNumberFilter(*numberFilter, *decimal);
    } else if (value.isDouble()) {
      const double number = value.doubleValue();
      if (!std::isfinite(number)) {
        log(3, kAPMAudienceCodeDoubleOutOfRange,
            "Value is not within double range. Audience filter will not be evaluated");
        return std::nullopt;
      }
      outcome = APMCompareDoubleWithNumberFilter(*numberFilter, number);
    } else if (value.isInt64()) {
      outcome = APMCompareInt64WithNumberFilter(*numberFilter, value.int64Value());
    } else {
      return std::nullopt;
    }
  } else {
    if (!value.isString()) {
      log(3, kAPMAudienceCodeValueNotAString, "Value is not a string. Audience filter will not be evaluated");
      return std::nullopt;
    }
    const std::string text = value.stringValue().value_or("");
    outcome = APMMatchStringFilter(*stringFilter, &text);
  }
  if (!outcome) return std::nullopt;
  return APMPBGetBool(&filter, kAPMFilterComplement) ? !*outcome : *outcome;
}

// ---- Number filters ----

bool APMIsValidNumberFilter(const APMPBNumberFilter& filter) {
  if (!has(filter, kAPMNumberFilterComparisonType)) {
    log(1, kAPMAudienceCodeNoComparisonType, "Number filter has no comparison type");
    return false;
  }
  switch (ComparisonType(APMPBGetInt32(&filter, kAPMNumberFilterComparisonType))) {
    case ComparisonType::LessThan:
    case ComparisonType::GreaterThan:
    case ComparisonType::Equal:
      if (!isDecimalComparisonValue(filter, kAPMNumberFilterComparisonValue)) {
        log(1, kAPMAudienceCodeInvalidComparisonValue, "Numeric filter does not have a valid comparison value. Filter",
            {describe(filter)});
        return false;
      }
      return true;
    case ComparisonType::Between: {
      bool valid = true;
      if (!isDecimalComparisonValue(filter, kAPMNumberFilterMinComparisonValue)) {
        log(1, kAPMAudienceCodeInvalidMinComparisonValue,
            "Numeric filter does not have a valid min comparison value. Filter", {describe(filter)});
        valid = false;
      }
      if (!isDecimalComparisonValue(filter, kAPMNumberFilterMaxComparisonValue)) {
        log(1, kAPMAudienceCodeInvalidMaxComparisonValue,
            "Numeric filter does not have a valid max comparison value. Filter", {describe(filter)});
        valid = false;
      }
      return valid;
    }
    case ComparisonType::Unknown:
      log(1, kAPMAudienceCodeUnknownComparisonType, "Number filter has unknown comparison type");
      return false;
  }
  log(1, kAPMAudienceCodeRealUnknownComparisonType, "Number filter has a real unknown comparison type");
  return false;
}

APMFilterOutcome APMCompareDecimalWithNumberFilter(const APMPBNumberFilter& filter, const os::Decimal& value) {
  if (!APMIsValidNumberFilter(filter)) return std::nullopt;
  const auto type = ComparisonType(APMPBGetInt32(&filter, kAPMNumberFilterComparisonType));
  APMAudienceComparisonValues values;
  values.setValid(true);
  // Parses the string at `index`; logs `missing` or `notANumber` and marks
  // the values not valid when it cannot.
  auto parse = [&](int32_t index, int64_t notANumber, const char* notANumberText) -> os::Decimal {
    const auto decimal = APMDecimalNumberFromString(APMPBGetString(&filter, index).value_or(""));
    if (!decimal) {
      log(1, notANumber, notANumberText);
      values.setValid(false);
      return os::Decimal::notANumber();
    }
    return *decimal;
  };
  if (type == ComparisonType::Between) {
    if (!has(filter, kAPMNumberFilterMinComparisonValue) || !has(filter, kAPMNumberFilterMaxComparisonValue)) {
      log(1, kAPMAudienceCodeNoMinAndMax, "Number filter does not have both min and max comparison values");
      values.setValid(false);
    } else {
      values.setMinComparisonValue(parse(kAPMNumberFilterMinComparisonValue, kAPMAudienceCodeMinNotANumber,
                                         "Number filter min comparison value is not a number"));
      values.setMaxComparisonValue(parse(kAPMNumberFilterMaxComparisonValue, kAPMAudienceCodeMaxNotANumber,
                                         "Number filter max comparison value is not a number"));
    }
  } else if (!has(filter, kAPMNumberFilterComparisonValue)) {
    log(1, kAPMAudienceCodeNoComparisonValue, "Number filter has no comparison value");
    values.setValid(false);
  } else {
    values.setComparisonValue(parse(kAPMNumberFilterComparisonValue, kAPMAudienceCodeComparisonValueNotANumber,
                                    "Number filter comparison value is not a number"));
  }
  if (!values.isValid()) {
    log(1, kAPMAudienceCodeInvalidParsedDecimals,
        "Parsed decimal number comparison values are not valid. Audience filter will not be evaluated. Filter",
        {describe(filter)});
    return std::nullopt;
  }
  switch (type) {
    case ComparisonType::LessThan: return value < values.comparisonValue();
    case ComparisonType::GreaterThan: return value > values.comparisonValue();
    case ComparisonType::Equal: return value == values.comparisonValue();
    case ComparisonType::Between:
      return !(value < values.minComparisonValue()) && !(value > values.maxComparisonValue());
    case ComparisonType::Unknown: break;
  }
  return std::nullopt;
}

APMFilterOutcome APMCompareInt64WithNumberFilter(const APMPBNumberFilter& filter, int64_t value) {
  return APMCompareDecimalWithNumberFilter(filter, os::Decimal(value));
}

APMFilterOutcome APMCompareDoubleWithNumberFilter(const APMPBNumberFilter& filter, double value) {
  if (!APMIsValidNumberFilter(filter)) return std::nullopt;
  const auto type = ComparisonType(APMPBGetInt32(&filter, kAPMNumberFilterComparisonType));
  std::optional<double> comparison, minimum, maximum;
  bool parsed;
  if (type == ComparisonType::Between) {
    minimum = parseDouble(APMPBGetString(&filter, kAPMNumberFilterMinComparisonValue));
    maximum = parseDouble(APMPBGetString(&filter, kAPMNumberFilterMaxComparisonValue));
    parsed = minimum && maximum;
  } else {
    comparison = parseDouble(APMPBGetString(&filter, kAPMNumberFilterComparisonValue));
    parsed = comparison.has_value();
  }
  if (!parsed) {
    log(1, kAPMAudienceCodeInvalidDoubleComparison,
        "Number filter is invalid, the comparison filter is not valid. Audience filter will not be evaluated");
    return std::nullopt;
  }
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  switch (type) {
    case ComparisonType::LessThan: return value < *comparison;
    case ComparisonType::GreaterThan: return value > *comparison;
    case ComparisonType::Equal: {
      // Within one representable step: strictly between two steps down and
      // two steps up.
      const double below = std::nextafter(std::nextafter(*comparison, -kInfinity), -kInfinity);
      const double above = std::nextafter(std::nextafter(*comparison, kInfinity), kInfinity);
      return below < value && value < above;
    }
    case ComparisonType::Between: return *minimum <= value && value <= *maximum;
    case ComparisonType::Unknown: break;
  }
  return std::nullopt;
}

// ---- String filters ----

bool APMValidateStringFilter(const APMPBStringFilter& filter, std::shared_ptr<const os::RegularExpression>* regex) {
  if (!has(filter, kAPMStringFilterMatchType)) {
    log(1, kAPMAudienceCodeNoMatchType, "String filter has no match type");
    return false;
  }
  const auto type = MatchType(APMPBGetInt32(&filter, kAPMStringFilterMatchType));
  if (type == MatchType::InList) {
    const auto list = APMPBGetArray(&filter, kAPMStringFilterExpressionList);
    if (!list || list->empty()) {
      log(1, kAPMAudienceCodeNoExpressionList, "String filter has no expression list");
      return false;
    }
    return true;
  }
  if (type == MatchType::Unknown) {
    log(1, kAPMAudienceCodeUnknownMatchType, "String filter has unknown match type");
    return false;
  }
  const auto expression = APMPBGetString(&filter, kAPMStringFilterExpression);
  if (!expression) {
    log(1, kAPMAudienceCodeNoExpression, "String filter has no expression");
    return false;
  }
  if (type != MatchType::RegularExpression) return true;
  const auto options = APMPBGetBool(&filter, kAPMStringFilterCaseSensitive)
                           ? os::RegularExpression::Options::None
                           : os::RegularExpression::Options::CaseInsensitive;
  auto compiled = os::RegularExpression::create(*expression, options);
  if (!compiled) {
    log(1, kAPMAudienceCodeRegexUnparsable, "Unable to parse regular expression", {describe(filter), compiled.error()});
    return false;
  }
  if (regex != nullptr) *regex = std::move(*compiled);
  return true;
}

APMFilterOutcome APMMatchStringFilter(const APMPBStringFilter& filter, const std::string* string) {
  if (string == nullptr) {
    log(1, kAPMAudienceCodeEvaluationStringNil, "Evaluation string is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  std::shared_ptr<const os::RegularExpression> regex;
  if (!APMValidateStringFilter(filter, &regex)) {
    log(1, kAPMAudienceCodeInvalidStringFilter, "String filter is invalid. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const int32_t type = APMPBGetInt32(&filter, kAPMStringFilterMatchType);
  if (type < int32_t(MatchType::RegularExpression) || type > int32_t(MatchType::InList)) return false;

  const bool caseSensitive = APMPBGetBool(&filter, kAPMStringFilterCaseSensitive);
  const std::string expression = APMPBGetString(&filter, kAPMStringFilterExpression).value_or("");
  using os::StringSearchOptions;
  const StringSearchOptions ignoringCase = StringSearchOptions::CaseInsensitive;
  switch (MatchType(type)) {
    case MatchType::RegularExpression: {
      // A server-given expression runs under the time limit; one that runs
      // out (or fails otherwise) has no outcome instead of stalling the queue.
      auto found = regex->containsMatch(*string);
      if (!found) {
        log(1, kAPMAudienceCodeInvalidStringFilter, "String filter is invalid. Audience filter will not be evaluated",
            {found.error()});
        return std::nullopt;
      }
      return *found;
    }
    case MatchType::BeginsWith:
      return os::rangeOfString(*string, expression,
                               caseSensitive ? StringSearchOptions::Anchored
                                             : ignoringCase | StringSearchOptions::Anchored)
          .has_value();
    case MatchType::EndsWith: {
      if (caseSensitive) {
        return os::rangeOfString(*string, expression, StringSearchOptions::Anchored | StringSearchOptions::Backwards)
            .has_value();
      }
      // The last expression-length units of the string; an expression longer
      // than the string cannot end it.
      const std::u16string text = os::utf16(*string);
      const std::u16string suffix = os::utf16(expression);
      if (suffix.size() > text.size()) return false;
      return os::rangeOfString(std::u16string_view(text).substr(text.size() - suffix.size()), suffix,
                               ignoringCase | StringSearchOptions::Anchored | StringSearchOptions::Backwards)
          .has_value();
    }
    case MatchType::Contains:
      return os::rangeOfString(*string, expression, caseSensitive ? StringSearchOptions::None : ignoringCase)
          .has_value();
    case MatchType::Exact: return exactMatch(*string, expression, caseSensitive);
    case MatchType::InList: {
      for (const os::Value& entry : APMPBGetArray(&filter, kAPMStringFilterExpressionList).value_or(os::Array{})) {
        if (entry.isString() && exactMatch(*string, entry.stringValue(), caseSensitive)) return true;
      }
      return false;
    }
    case MatchType::Unknown: break;
  }
  return false;
}
