#include "measurement/messages/message_info.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdlib>
#include <cstring>

#include "measurement/messages/record_arena.h"
#include "os/foundation/console.h"

namespace {

// Allocates at least one byte so that an empty value still has data.
void* allocateBytes(size_t length) { return std::malloc(length ? length : 1); }

template <class T>
void setCell(void** slot, T value, const char* nullMessage) {
  if (slot == nullptr) {
    os::Console::writeLine(nullMessage);
    return;
  }
  if (*slot == nullptr) {
    *slot = std::calloc(1, sizeof(T));
    if (*slot == nullptr) return;
  }
  std::memcpy(*slot, &value, sizeof(T));
}

}  // namespace

void APMPBResetArray(APMPBArray* array) {
  if (array == nullptr) {
    os::Console::writeLine("<ERROR> Unable to initialize the array. Array pointer is NULL");
    return;
  }
  if (!array->dataInArena) std::free(array->data);
  array->data = nullptr;
  array->dataInArena = 0;
  array->fillCursor = 0;
  array->size = 0;
}

void APMPBFreeString(APMPBArray* string) {
  if (string == nullptr) {
    os::Console::writeLine("<ERROR> Unable to dealloc string field. String struct is NULL");
    return;
  }
  if (!string->dataInArena) std::free(string->data);
  string->data = nullptr;
  string->dataInArena = 0;
  string->fillCursor = 0;
  string->size = 0;
}

// Bool and 32-bit values live zero-extended in 8-byte cells.
void APMPBSetBoolCell(void** slot, uint32_t value) {
  setCell<uint64_t>(slot, value, "<ERROR> Unable to set bool. Destination pointer is NULL");
}

void APMPBSetUInt32Cell(void** slot, uint32_t value) {
  setCell<uint64_t>(slot, value, "<ERROR> Unable to set uint32. Destination pointer is NULL");
}

void APMPBSetUInt64Cell(void** slot, uint64_t value) {
  setCell<uint64_t>(slot, value, "<ERROR> Unable to set uint64. Destination pointer is NULL");
}

void APMPBSetFloatCell(void** slot, float value) {
  setCell<float>(slot, value, "<ERROR> Unable to set float. Destination pointer is NULL");
}

void APMPBSetDoubleCell(void** slot, double value) {
  setCell<double>(slot, value, "<ERROR> Unable to set double. Destination pointer is NULL");
}

void APMPBSetStringCell(void** slot, const void* bytes, size_t length) {
  if (slot == nullptr) {
    os::Console::writeLine("<ERROR> Unable to set string. Destination array is NULL");
    return;
  }
  auto* cell = static_cast<APMPBArray*>(*slot);
  if (cell == nullptr) {
    cell = static_cast<APMPBArray*>(std::calloc(1, sizeof(APMPBArray)));
    if (cell == nullptr) return;
    *slot = cell;
  } else if (cell->data != nullptr) {
    APMPBFreeString(cell);
  }
  auto* copy = static_cast<uint8_t*>(std::calloc(length + 1, 1));
  if (copy == nullptr) return;
  if (length > 0) std::memcpy(copy, bytes, length);
  cell->data = copy;
  cell->size = static_cast<uint32_t>(length);
}

bool APMPBDecodeRepeatedVarint(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto* array = arg ? static_cast<APMPBArray*>(*arg) : nullptr;
  if (array == nullptr) return false;
  return apmpb::detail::decodeRepeatedVarintCell(stream, array, nullptr);
}

bool APMPBDecodeString(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto** slot = arg ? static_cast<void**>(*arg) : nullptr;
  if (slot == nullptr) return false;
  return apmpb::detail::decodeStringCell(stream, slot, nullptr);
}

bool APMPBDecodeRepeatedString(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto* array = arg ? static_cast<APMPBArray*>(*arg) : nullptr;
  if (array == nullptr) return false;
  return apmpb::detail::decodeRepeatedStringCell(stream, array, nullptr);
}

bool APMPBEncodeRepeatedVarint(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  auto* array = arg ? static_cast<const APMPBArray*>(*arg) : nullptr;
  if (array == nullptr || array->data == nullptr) return false;
  auto* const* elements = static_cast<void* const*>(array->data);
  for (uint32_t i = 0; i < array->size; i++) {
    if (elements[i] == nullptr) return false;
    uint64_t value;
    std::memcpy(&value, elements[i], sizeof(value));
    if (!pb_encode_tag_for_field(stream, field) || !pb_encode_varint(stream, value)) return false;
  }
  return true;
}

bool APMPBEncodeString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  auto* cell = arg ? static_cast<const APMPBArray*>(*arg) : nullptr;
  if (cell == nullptr || cell->data == nullptr) return false;
  return pb_encode_tag_for_field(stream, field) &&
         pb_encode_string(stream, static_cast<const pb_byte_t*>(cell->data), cell->size);
}

bool APMPBEncodeRepeatedString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  auto* array = arg ? static_cast<const APMPBArray*>(*arg) : nullptr;
  if (array == nullptr || array->data == nullptr) return false;
  auto* const* elements = static_cast<void* const*>(array->data);
  for (uint32_t i = 0; i < array->size; i++) {
    void* element = elements[i];
    if (!APMPBEncodeString(stream, field, &element)) return false;
  }
  return true;
}

uint32_t APMPBEncodeToBuffer(const pb_msgdesc_t* fields, const void* source, uint8_t** buffer) {
  if (buffer == nullptr) return kAPMPBEncodeFailure;
  *buffer = nullptr;
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  if (!pb_encode(&sizing, fields, source) || sizing.bytes_written >= kAPMPBEncodeFailure) {
    return kAPMPBEncodeFailure;
  }
  auto* bytes = static_cast<uint8_t*>(std::calloc(sizing.bytes_written ? sizing.bytes_written : 1, 1));
  if (bytes == nullptr) return kAPMPBEncodeFailure;
  pb_ostream_t output = pb_ostream_from_buffer(bytes, sizing.bytes_written);
  if (!pb_encode(&output, fields, source)) {
    std::free(bytes);
    return kAPMPBEncodeFailure;
  }
  *buffer = bytes;
  return static_cast<uint32_t>(output.bytes_written);
}

namespace apmpb::detail {

bool decodeRepeatedVarintCell(pb_istream_t* stream, APMPBArray* array, Arena* arena) {
  uint64_t value = 0;
  if (!pb_decode_varint(stream, &value)) return false;
  if (array->data == nullptr) {
    if (array->size >= kAPMPBMaxElements) return false;
    array->size++;
    return true;
  }
  // The filling pass never sees more elements than the counting pass did;
  // the check keeps a record that breaks that rule from being overrun.
  if (array->fillCursor >= array->size) return false;
  void** slot = &static_cast<void**>(array->data)[array->fillCursor];
  if (*slot == nullptr && arena != nullptr) *slot = arena->allocate(sizeof(uint64_t));
  APMPBSetUInt64Cell(slot, value);
  if (*slot == nullptr) return false;
  array->fillCursor++;
  return true;
}

bool decodeRepeatedStringCell(pb_istream_t* stream, APMPBArray* array, Arena* arena) {
  if (array->data == nullptr) {
    if (!pb_read(stream, nullptr, stream->bytes_left)) return false;
    if (array->size >= kAPMPBMaxElements) return false;
    array->size++;
    return true;
  }
  if (array->fillCursor >= array->size) return false;
  void** slot = &static_cast<void**>(array->data)[array->fillCursor++];
  return decodeStringCell(stream, slot, arena);
}

bool decodeStringCell(pb_istream_t* stream, void** slot, Arena* arena) {
  auto* cell = static_cast<APMPBArray*>(*slot);
  size_t length = stream->bytes_left;
  if (cell == nullptr) {
    void* block = arena ? arena->allocate(sizeof(APMPBArray)) : std::calloc(1, sizeof(APMPBArray));
    cell = static_cast<APMPBArray*>(block);
    if (cell == nullptr) return false;
    *slot = cell;
    if (length > kAPMPBMaxStringLength) {
      os::Console::writef("Unable to process proto stream. Buffer is too big. %zu > %d", length,
                  static_cast<int>(kAPMPBMaxStringLength));
      return false;
    }
    auto* bytes = static_cast<uint8_t*>(arena ? arena->allocateUninitialized(length ? length : 1)
                                              : allocateBytes(length));
    if (bytes == nullptr) return false;
    if (!pb_read(stream, bytes, length)) {
      if (arena == nullptr) std::free(bytes);
      return false;
    }
    cell->data = bytes;
    cell->size = static_cast<uint32_t>(length);
    cell->dataInArena = arena != nullptr;
    return true;
  }
  if (cell->data != nullptr) {
    // A later occurrence: the first is kept.
    return pb_read(stream, nullptr, length);
  }
  os::Console::writeLine("<ERROR> String decoder failed: string data is NULL");
  return false;
}

}  // namespace apmpb::detail
