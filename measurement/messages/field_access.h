// Field access by index: how the rest of the measurement library reads and
// writes message fields. Every function takes the message object first and
// the field index (the schema position, not the wire tag) second.
//
// Misuse never throws: an uninitialised message, an index outside the
// message, or a field whose type word the operation does not accept is
// written to the system log (os::Log::defaultLog()), a getter then yields the
// absent value (false, 0, 0.0, nullopt, null) and a setter changes nothing.
// Sub-messages and arrays are copied in and out, never shared. Not locked: one
// thread uses a message at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "measurement/messages/message_classes.h"
#include "os/foundation/value.h"

// Present for a repeated field always; for a singular one when it holds a value.
bool APMPBHasField(const NANOMessageBase* message, int32_t index);
// Makes the field absent; a repeated field becomes empty.
void APMPBClearField(NANOMessageBase* message, int32_t index);

bool APMPBGetBool(const NANOMessageBase* message, int32_t index);
void APMPBSetBool(NANOMessageBase* message, int32_t index, bool value);
// Enum, int32 and uint32 fields.
int32_t APMPBGetInt32(const NANOMessageBase* message, int32_t index);
void APMPBSetInt32(NANOMessageBase* message, int32_t index, int32_t value);
// Int64 and uint64 fields.
int64_t APMPBGetInt64(const NANOMessageBase* message, int32_t index);
void APMPBSetInt64(NANOMessageBase* message, int32_t index, int64_t value);
// Singular double fields only (float fields are refused).
double APMPBGetDouble(const NANOMessageBase* message, int32_t index);
void APMPBSetDouble(NANOMessageBase* message, int32_t index, double value);
// Singular string fields; nullopt when absent, without bytes, or not UTF-8.
std::optional<std::string> APMPBGetString(const NANOMessageBase* message, int32_t index);
// nullopt clears the field.
void APMPBSetString(NANOMessageBase* message, int32_t index, std::optional<std::string_view> value);

// Stores a deep copy of the message; null clears the field. A message of
// another type than the field's schema names is refused.
void APMPBSetMessage(NANOMessageBase* message, int32_t index, const NANOMessageBase* value);

// A repeated field of numbers (as os::Number of the field's kind), strings or
// bytes (os::Data). Elements that cannot be converted are skipped. A field of
// messages yields no elements here: use the typed form below.
std::optional<os::Array> APMPBGetArray(const NANOMessageBase* message, int32_t index);
// Replaces the field with the elements, or empties it. An element of the wrong
// kind empties the field and logs; no partial array is left.
void APMPBSetArray(NANOMessageBase* message, int32_t index, const os::Array& values);
void APMPBSetArray(NANOMessageBase* message, int32_t index, std::nullptr_t);

namespace apmpb::detail {

// The record of a singular message field, after the access checks; null when
// absent or refused.
const MessageInfo* messageField(const NANOMessageBase* message, int32_t index);

using MessageFactory = std::shared_ptr<NANOMessageBase> (*)(const MessageInfo* record);
using Element = std::variant<os::Value, std::shared_ptr<NANOMessageBase>>;
// The elements of a repeated field; message elements are built by the factory
// (a null factory skips them with a log line).
std::optional<std::vector<Element>> arrayField(const NANOMessageBase* message, int32_t index,
                                               MessageFactory factory);
// One element given to a setter: a value or a message (exactly one non-null,
// or both null for a missing message).
struct ElementRef {
  const os::Value* value = nullptr;
  const NANOMessageBase* message = nullptr;
};
void setArrayField(NANOMessageBase* message, int32_t index, const std::span<const ElementRef>* values);

}  // namespace apmpb::detail

// A new message of class M from a singular message field; null when absent or
// when the field holds another message.
template <class M>
std::shared_ptr<M> APMPBGetMessage(const NANOMessageBase* message, int32_t index) {
  const MessageInfo* record = apmpb::detail::messageField(message, index);
  if (record == nullptr) return nullptr;
  return M::initWithMessageInfo(record);
}

// The elements of a repeated message field as messages of class M.
template <class M>
std::optional<std::vector<std::shared_ptr<M>>> APMPBGetArray(const NANOMessageBase* message,
                                                             int32_t index) {
  auto factory = [](const MessageInfo* record) -> std::shared_ptr<NANOMessageBase> {
    return M::initWithMessageInfo(record);
  };
  auto elements = apmpb::detail::arrayField(message, index, factory);
  if (!elements) return std::nullopt;
  std::vector<std::shared_ptr<M>> result;
  result.reserve(elements->size());
  for (auto& element : *elements) {
    if (auto* object = std::get_if<std::shared_ptr<NANOMessageBase>>(&element)) {
      result.push_back(std::static_pointer_cast<M>(*object));
    }
  }
  return result;
}

template <class M>
void APMPBSetArray(NANOMessageBase* message, int32_t index, const std::vector<std::shared_ptr<M>>& values) {
  std::vector<apmpb::detail::ElementRef> refs;
  refs.reserve(values.size());
  for (const auto& value : values) refs.push_back({nullptr, value.get()});
  std::span<const apmpb::detail::ElementRef> span(refs);
  apmpb::detail::setArrayField(message, index, &span);
}
