#include "measurement/store/engine_services/event_parameters.h"

#include <algorithm>
#include <vector>

#include "measurement/store/data_type_labels.h"
#include "measurement/store/engine_services/data_type_validator.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/event_names.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/foundation_extensions.h"
#include "measurement/store/monitor.h"
#include "os/foundation/encoding.h"
#include "os/foundation/format.h"
#include "os/foundation/text.h"

namespace {

constexpr const char* kValueParameter = "value";
constexpr const char* kCurrencyParameter = "currency";
constexpr int kNameTooLongForError = kAPMErrorNameMaxLength + 1;

using apm_shorthands::monitor;

// The error code a refused array parameter records, by the array check's
// failure code; 0 for none.
int64_t arrayErrorCode(int64_t failureCode) {
  switch (failureCode) {
    case kAPMFailureCodeArrayNotEcommerce:
      return kAPMErrorCodeInvalidArrayParamEventName;
    case kAPMFailureCodeArrayNotItems:
      return kAPMErrorCodeInvalidArrayParamName;
    case kAPMFailureCodeTooManyItems:
      return kAPMErrorCodeTooManyExtraParamEvents;
    case kAPMFailureCodeNestedArray:
      return kAPMErrorCodeInvalidArrayParamNesting;
    default:
      return 0;
  }
}

bool isCustomName(const std::string& name, bool isItem) {
  return APMIsPublicName(name) && !(isItem && APMItemParameterNames().contains(name));
}

}  // namespace

// ---- Error parameters and error events ----

void APMAddErrorDescription(APMEventParameters& parameters, std::optional<std::string_view> name, int maxLength,
                            const os::Value* value) {
  if (parameters.contains(kAPMErrorValueParameter) || parameters.contains(kAPMErrorLengthParameter)) return;
  const std::string_view text = name.value_or(kAPMErrorNoName);
  const size_t limit = static_cast<size_t>(std::max(maxLength, 0));
  parameters.insert_or_assign(kAPMErrorValueParameter,
                              *APMValue::initWithString(apm_UTF32Length(text) > limit ? APMStringByTrimming(text, limit)
                                                                                      : std::string(text)));
  int64_t length = 0;
  if (value != nullptr) {
    if (const std::string* string = value->string()) {
      length = static_cast<int64_t>(apm_UTF32Length(*string));
    } else if (const os::Array* array = value->array()) {
      length = static_cast<int64_t>(array->size());
    }
  }
  parameters.insert_or_assign(kAPMErrorLengthParameter, APMValue::initWithInt64(length));
}

void APMSetErrorCode(APMEventParameters& parameters, int64_t code) {
  if (!parameters.contains(kAPMErrorCodeParameter)) {
    parameters.insert_or_assign(kAPMErrorCodeParameter, APMValue::initWithInt64(code));
  }
}

void APMRecordError(APMEventParameters& parameters, int64_t code, std::optional<std::string_view> name,
                    int maxLength, const os::Value* value) {
  if (parameters.contains(kAPMErrorCodeParameter) || parameters.contains(kAPMErrorValueParameter) ||
      parameters.contains(kAPMErrorLengthParameter)) {
    return;
  }
  parameters.insert_or_assign(kAPMErrorCodeParameter, APMValue::initWithInt64(code));
  APMAddErrorDescription(parameters, name, maxLength, value);
}

namespace {

void logErrorParameters(const APMEventParameters& parameters) {
  auto analytics = APMAnalyticsServices::sharedInstance();
  if (analytics == nullptr) return;
  analytics->logInternalEventWithOrigin("auto", kAPMErrorEventName, APMPlainParameters(parameters));
}

}  // namespace

void APMLogErrorEvent(int64_t code) {
  if (code == kAPMErrorCodeNoError) return;
  logErrorParameters({{kAPMErrorCodeParameter, APMValue::initWithInt64(code)}});
}

void APMLogErrorEventWithValue(int64_t code, std::optional<std::string_view> name, int maxLength,
                               const os::Value* value) {
  if (code == kAPMErrorCodeNoError) return;
  APMEventParameters parameters{{kAPMErrorCodeParameter, APMValue::initWithInt64(code)}};
  const os::Value* counted = nullptr;
  if (value != nullptr && !value->isNull()) {
    const std::string* string = value->string();
    const bool longer = string != nullptr && apm_UTF32Length(*string) > static_cast<size_t>(std::max(maxLength, 0));
    if (longer || code == kAPMErrorCodeInvalidParameterValue || code == kAPMErrorCodeUserPropertyValueTooLong) {
      counted = value;
    }
  }
  APMAddErrorDescription(parameters, name, maxLength, counted);
  logErrorParameters(parameters);
}

os::Dictionary APMPlainParameters(const APMEventParameters& parameters) {
  os::Dictionary plain;
  for (const auto& [name, value] : parameters) plain.emplace(name, value.value());
  return plain;
}

// ---- Events and names ----

bool APMIsErrorEvent(const APMEvent& event) {
  if (event.name().empty()) {
    monitor()->logWithLevel(2, kAPMCleaningCodeEventNameEmpty, "Cannot check the event name. Name is empty");
    return false;
  }
  return event.name() == kAPMErrorEventName;
}

bool APMIsNotErrorEventName(std::string_view name) { return name != kAPMErrorEventName; }

bool APMIsSubscriptionEvent(const APMEvent& event) {
  const std::string& name = event.name();
  if (name == "_assc" || name == "_assr") return true;
  if (name != "_iap") return false;
  auto subscription = event.parameters().find("subscription");
  return subscription != event.parameters().end() && subscription->second.isInt64() &&
         subscription->second.int64Value() == 1;
}

int64_t APMEffectiveEventCount(const APMEvent& event) {
  int64_t count = 0;
  for (const auto& [name, value] : event.parameters()) {
    if (auto items = value.arrayValue()) count += static_cast<int64_t>(items->size());
  }
  return count;
}

bool APMHasScreenParameters(const APMParameterObjects& parameters) {
  return std::any_of(APMScreenParameterNames().begin(), APMScreenParameterNames().end(),
                     [&](const std::string& name) { return parameters.contains(name); });
}

APMParameterObjects APMScreenParametersFrom(const APMParameterObjects& parameters) {
  APMParameterObjects screen;
  for (const std::string& name : APMScreenParameterNames()) {
    auto found = parameters.find(name);
    if (found != parameters.end()) screen.insert(*found);
  }
  return screen;
}

// ---- Cleaning ----

int64_t APMCustomParameterCount(const APMEventParameters& parameters, bool isItem) {
  int64_t count = 0;
  for (const auto& [name, value] : parameters) {
    if (isCustomName(name, isItem)) ++count;
  }
  return count;
}

void APMTrimParameters(APMEventParameters& parameters, int64_t limit, bool isItem) {
  int64_t count = APMCustomParameterCount(parameters, isItem);
  if (count <= limit) return;
  std::vector<std::string> names;
  for (const auto& [name, value] : parameters) names.push_back(name);
  std::stable_sort(names.begin(), names.end(),
                   [](const std::string& a, const std::string& b) { return os::compareStrings(a, b) < 0; });
  for (auto name = names.rbegin(); name != names.rend() && count > limit; ++name) {
    if (!isCustomName(*name, isItem)) continue;
    parameters.erase(*name);
    --count;
  }
}

bool APMCheckValueAndCurrency(APMEventParameters& parameters) {
  auto value = parameters.find(kValueParameter);
  if (value == parameters.end()) return true;
  const int maxLength = APMDataTypeValidator::maxInternalEventParameterValueLength();
  if (!APMDataTypeValidator::isValidNumericValue(value->second, nullptr)) {
    parameters.erase(value);
    APMRecordError(parameters, kAPMErrorCodeValueIsNotNumeric, kValueParameter, maxLength, nullptr);
    return false;
  }
  auto currency = parameters.find(kCurrencyParameter);
  const APMObject currencyObject = currency != parameters.end() ? APMObject(currency->second) : APMObject();
  if (!APMDataTypeValidator::isValidCurrencyCode(currencyObject, nullptr)) {
    monitor()->logWithLevel(3, kAPMCleaningCodeCurrencyMissing,
                            "Value parameter discarded. You must also supply a 3-letter ISO_4217 currency code in the "
                            "currency parameter.");
    parameters.erase(kValueParameter);
    APMRecordError(parameters, kAPMErrorCodeCurrencyCodeIsMissingOrInvalid, kCurrencyParameter, maxLength, nullptr);
    return false;
  }
  return true;
}

APMEventParameters APMCleanParameters(const APMParameterObjects& parameters, std::string_view eventName,
                                      bool isPublic, bool isItem) {
  const bool internalRules = APMEventNameMap().contains(eventName) || eventName.starts_with('_');
  const size_t maxValueLength = static_cast<size_t>(APMDataTypeValidator::maxInternalEventParameterValueLength());
  APMEventParameters kept;
  APMEventParameters errors;
  for (const auto& [name, object] : parameters) {
    const APMValue* given = std::get_if<APMValue>(&object);
    const APMObject asObject = given != nullptr ? APMObject(*given) : APMObject(std::get<os::Value>(object));

    int64_t failureCode = kAPMFailureCodeValid;
    const APMObject nameObject(name);
    const bool validName = (!isPublic || APMDataTypeValidator::isValidPublicEventParameterName(nameObject, &failureCode)) &&
                           APMDataTypeValidator::isValidInternalEventParameterName(nameObject, &failureCode);
    if (!validName) {
      if (failureCode != kAPMFailureCodeValid) {
        const os::Value nameValue(name);
        APMRecordError(errors,
                       failureCode == kAPMFailureCodeReserved ? kAPMErrorCodeParameterNameIsReserved
                                                              : kAPMErrorCodeInvalidParameterName,
                       name, kAPMErrorNameMaxLength,
                       apm_UTF32Length(name) >= kNameTooLongForError ? &nameValue : nullptr);
      }
      continue;
    }

    std::optional<APMValue> value = APMValue::valueFromObject(asObject, true);
    if (!value) {
      monitor()->logWithLevel(3, kAPMCleaningCodeUnsupportedValue,
                              "Event parameter value must be of type NSString, NSNumber or NSArray. Type",
                              asObject.className());
      continue;
    }

    auto refuseValue = [&](int64_t code) {
      if (code != kAPMFailureCodeTooLong || errors.contains(kAPMErrorCodeParameter)) return;
      const os::Value* string = value->isString() ? &value->value() : nullptr;
      APMRecordError(errors, kAPMErrorCodeInvalidParameterValue, name, kAPMErrorNameMaxLength, string);
    };
    if (isPublic && !APMDataTypeValidator::isValidPublicEventParameterValue(*value, &failureCode)) {
      refuseValue(failureCode);
      continue;
    }
    if (name == kAPMErrorValueParameter) {
      // Kept unchecked; only an overlong "_ev" not already cut is cut here.
      if (auto text = value->stringValue()) {
        const size_t length = apm_UTF32Length(*text);
        const bool alreadyCut = length == maxValueLength + 3 && text->ends_with(kAPMTrimmingEllipsis);
        if (length > maxValueLength && !alreadyCut) {
          value = APMValue::initWithString(APMStringByTrimming(*text, maxValueLength));
          kept.insert_or_assign(kAPMErrorLengthParameter, APMValue::initWithInt64(static_cast<int64_t>(length)));
        }
      }
      kept.insert_or_assign(name, *value);
      continue;
    }
    if (internalRules && !APMDataTypeValidator::isValidInternalEventParameterValue(*value, &failureCode)) {
      refuseValue(failureCode);
      continue;
    }
    if (value->isArray() && given == nullptr) {
      int64_t arrayFailure = kAPMFailureCodeValid;
      auto items = APMCleanArrayParameter(*value->arrayValue(), name, eventName, errors, isItem, isPublic,
                                          &arrayFailure);
      if (const int64_t code = arrayErrorCode(arrayFailure); code != 0) {
        const bool namesEvent = arrayFailure == kAPMFailureCodeArrayNotEcommerce;
        std::optional<std::string_view> errorName = name;
        if (namesEvent) errorName = eventName.empty() ? std::nullopt : std::optional<std::string_view>(eventName);
        APMRecordError(errors, code, errorName, kAPMErrorNameMaxLength, nullptr);
      }
      if (!items) continue;
      value = std::move(items);
    }
    kept.insert_or_assign(name, *value);
  }

  if (kept.empty()) return errors;
  for (auto& [name, value] : errors) kept.insert_or_assign(name, value);

  auto settings = APMMeasurementServices::remoteConfig();
  if (isItem) {
    const int64_t limit = settings->itemScopedCustomParameterEnabled() ? settings->maxItemScopedCustomParameters() : 0;
    if (APMCustomParameterCount(kept, true) > limit) {
      APMTrimParameters(kept, limit, true);
      APMSetErrorCode(kept, limit != 0 ? kAPMErrorCodeItemScopedCustomParameterLimitReached
                                       : kAPMErrorCodeCustomParamsInArrayElement);
      monitor()->logWithLevel(0, kAPMCleaningCodeItemCustomParameters, "Item cannot contain custom parameters");
    }
  } else {
    const int64_t limit = settings->maxPublicEventParams();
    if (APMCustomParameterCount(kept, false) > limit) {
      APMTrimParameters(kept, limit, false);
      APMSetErrorCode(kept, kAPMErrorCodeParameterLimitReached);
      monitor()->logWithLevel(1, kAPMCleaningCodeTooManyParameters,
                              os::format("Event cannot contain more than %d parameters", limit));
    }
  }
  return kept;
}

std::optional<APMValue> APMCleanArrayParameter(const os::Array& items, std::string_view paramName,
                                               std::string_view eventName, APMEventParameters& errors, bool isItem,
                                               bool isPublic, int64_t* failureCode) {
  int64_t code = kAPMFailureCodeValid;
  size_t count = items.size();
  const bool valid = APMDataTypeValidator::isValidArrayParamForEvent(eventName, paramName,
                                                                     static_cast<int64_t>(count), isItem, &code);
  if (failureCode != nullptr) *failureCode = code;
  if (!valid) {
    if (code != kAPMFailureCodeTooManyItems) return std::nullopt;
    count = static_cast<size_t>(kAPMArrayParameterMaxItems);
  }
  os::Array cleaned;
  for (size_t index = 0; index < count; ++index) {
    const os::Value& item = items[index];
    int64_t itemFailure = kAPMFailureCodeValid;
    if (!APMDataTypeValidator::isValidArrayParamItem(item, &itemFailure)) {
      APMRecordError(errors, kAPMErrorCodeInvalidParameterValue,
                     os::format("%@[%lu]", paramName, static_cast<unsigned long>(index)), kAPMErrorNameMaxLength,
                     nullptr);
      continue;
    }
    APMParameterObjects entries;
    for (const auto& [name, value] : *item.dictionary()) entries.emplace(name, value);
    cleaned.emplace_back(APMPlainParameters(APMCleanParameters(entries, eventName, isPublic, true)));
  }
  return APMValue::initWithArray(os::Value(std::move(cleaned)));
}

std::string APMStringByTrimming(std::string_view text, size_t maxLength) {
  size_t offset = 0;
  for (size_t taken = 0; taken < maxLength && offset < text.size(); ++taken) {
    char32_t c;
    const size_t n = os::nextUTF8(text, offset, c);
    if (n == 0) break;
    offset += n;
  }
  return std::string(text.substr(0, offset)) + kAPMTrimmingEllipsis;
}
