#include "measurement/messages/codec.h"

#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "measurement/messages/record_arena.h"
#include "os/foundation/console.h"


// Design note.
//
// A decode of message M over bytes B, at nesting depth d (0 for the outermost):
//   1. Every field of the record is cleared (a fresh record has nothing).
//   2. SetDecoders: one zeroed nanopb struct; every repeated field gets its
//      element callback with its array cell, every singular string gets
//      APMPBDecodeString with its slot, every singular sub-message gets a
//      fresh child record whose decoders go into the nested struct.
//   3. For a message with a repeated field (directly or in a singular
//      sub-message), scanFields walks B's tags once: it checks each known
//      field's wire type against the schema and counts the elements of each
//      repeated field; allocateArrays then gives each array its exact element
//      array (and fails on a record missing an array cell).
//   4. One nanopb pass decodes B and fills the arrays; every array must end
//      full (filledArrays).
//   5. StoreDecodedScalars copies the static scalars into cells and drops the
//      child records of absent sub-messages.
// Wire types: nanopb checks its static fields itself, but hands a callback
// the raw bytes of a varint as readily as a length-delimited body. A
// length-delimited body is a sub-stream of the input, while any other value
// is copied to nanopb's stack first, so a string or element callback refuses
// a stream that does not read from the input (fromInput); that covers the
// messages scanFields does not walk.
// A repeated-message element is decoded in place from the input buffer by a
// full decode of its own at depth d+1; deeper than kAPMPBMaxNestingDepth is
// refused, so hostile input cannot exhaust the stack.
// The records, cells, string bytes and element arrays a decode makes come
// from the arena of the record decoded into (record_arena.h); the freeing
// functions skip what an arena holds, and the arena's owner releases it whole.
//
// An encode sizes first, then writes. A repeated-message element records its
// body size in the sizing pass (MessageInfo::encodedSize) and the writing pass
// reuses it, so each level is encoded twice at most instead of twice per
// level of nesting (nanopb's pb_encode_submessage sizes every level again).

namespace {

using Layout = APMPBMessageDescriptor::FieldLayout;
using apmpb::detail::Arena;
using apmpb::detail::releaseBlock;

// The first arena chunk of a decode, per byte of input: a tree of small
// fields takes about seven times its encoded size in records and cells.
constexpr size_t kArenaBytesPerInputByte = 8;

constexpr int32_t kKindMask = 0xFFF0;

int32_t kindOf(int32_t type) { return type & kKindMask; }
bool isRepeated(int32_t type) { return (type & kAPMPBTypeRepeated) != 0; }
bool isVarintKind(int32_t kind) {
  return kind == kAPMPBTypeBool || kind == kAPMPBTypeEnum || kind == kAPMPBTypeInt32 ||
         kind == kAPMPBTypeUInt32 || kind == kAPMPBTypeInt64 || kind == kAPMPBTypeUInt64;
}
bool isStringKind(int32_t kind) { return kind == kAPMPBTypeString || kind == kAPMPBTypeBytes; }

// The argument of a field's callback: its array cell (a repeated field) or
// its slot (a singular string), with what a decode needs to fill it.
// The bytes one decode reads; callbacks check their streams against it.
struct InputRange {
  uintptr_t begin;
  uintptr_t end;
};

struct ElementArgument {
  APMPBArray* array;
  void** slot;
  const APMPBMessageDescriptor* descriptor;  // a repeated message's element message
  Arena* arena;
  const InputRange* input;  // decode only
  int depth;
};

// Zeroed scratch for one nanopb struct and its element arguments; on the stack
// when it is small, which it is for every message but the largest.
class Scratch {
 public:
  explicit Scratch(size_t size) {
    if (size <= sizeof(local_)) {
      std::memset(local_, 0, size);
      base_ = local_;
    } else {
      heap_.reset(static_cast<unsigned char*>(std::calloc(1, size)));
      base_ = heap_.get();
    }
  }
  unsigned char* base() const { return base_; }

 private:
  struct FreeDeleter {
    void operator()(unsigned char* p) const { std::free(p); }
  };
  alignas(std::max_align_t) unsigned char local_[384];
  std::unique_ptr<unsigned char, FreeDeleter> heap_;
  unsigned char* base_ = nullptr;
};

size_t argumentsOffset(const APMPBMessageDescriptor& d) {
  size_t align = alignof(ElementArgument);
  return (d.nanopbStructSize() + align - 1) / align * align;
}
size_t scratchSize(const APMPBMessageDescriptor& d) {
  return argumentsOffset(d) + static_cast<size_t>(d.argumentSlots()) * sizeof(ElementArgument);
}

const char* streamError(const pb_istream_t& stream) {
  return stream.errmsg != nullptr ? stream.errmsg : "(none)";
}

// The read function of nanopb's buffer streams: elements of such a stream are
// decoded where they lie instead of being copied out first.
bool (*bufferReadCallback())(pb_istream_t*, pb_byte_t*, size_t) {
  static const auto callback = pb_istream_from_buffer(nullptr, 0).callback;
  return callback;
}

// Reads a scalar cell as the low bits the kind needs.
uint64_t cellBits(const void* cell) {
  uint64_t value;
  std::memcpy(&value, cell, sizeof(value));
  return value;
}

void storeScalar(int32_t kind, const unsigned char* member, void** slot) {
  switch (kind) {
    case kAPMPBTypeBool: {
      bool value;
      std::memcpy(&value, member, sizeof(value));
      APMPBSetBoolCell(slot, value ? 1 : 0);
      break;
    }
    case kAPMPBTypeEnum:
    case kAPMPBTypeInt32:
    case kAPMPBTypeUInt32: {
      uint32_t value;
      std::memcpy(&value, member, sizeof(value));
      APMPBSetUInt32Cell(slot, value);
      break;
    }
    case kAPMPBTypeInt64:
    case kAPMPBTypeUInt64: {
      uint64_t value;
      std::memcpy(&value, member, sizeof(value));
      APMPBSetUInt64Cell(slot, value);
      break;
    }
    case kAPMPBTypeFloat: {
      float value;
      std::memcpy(&value, member, sizeof(value));
      APMPBSetFloatCell(slot, value);
      break;
    }
    case kAPMPBTypeDouble: {
      double value;
      std::memcpy(&value, member, sizeof(value));
      APMPBSetDoubleCell(slot, value);
      break;
    }
    default:
      break;
  }
}

void loadScalar(int32_t kind, const void* cell, unsigned char* member) {
  switch (kind) {
    case kAPMPBTypeBool: {
      bool value = (cellBits(cell) & 0xFF) != 0;
      std::memcpy(member, &value, sizeof(value));
      break;
    }
    case kAPMPBTypeEnum:
    case kAPMPBTypeInt32:
    case kAPMPBTypeUInt32: {
      auto value = static_cast<uint32_t>(cellBits(cell));
      std::memcpy(member, &value, sizeof(value));
      break;
    }
    case kAPMPBTypeInt64:
    case kAPMPBTypeUInt64: {
      uint64_t value = cellBits(cell);
      std::memcpy(member, &value, sizeof(value));
      break;
    }
    case kAPMPBTypeFloat:
      std::memcpy(member, cell, sizeof(float));
      break;
    case kAPMPBTypeDouble:
      std::memcpy(member, cell, sizeof(double));
      break;
    default:
      break;
  }
}

MessageInfo* newRecord(const APMPBMessageDescriptor& d) {
  auto* record = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
  if (record == nullptr) return nullptr;
  if (!apmpb::detail::initRecord(d, record)) {
    apmpb::detail::freeRecord(d, record);
    return nullptr;
  }
  return record;
}

// An initialised record in one arena block: the record, its slots and the
// array cells of its repeated fields. Without an arena, newRecord.
MessageInfo* newRecordIn(const APMPBMessageDescriptor& d, Arena* arena) {
  if (arena == nullptr) return newRecord(d);
  auto n = static_cast<size_t>(d.fieldCount());
  auto repeated = static_cast<size_t>(d.repeatedCount());
  static_assert(sizeof(MessageInfo) % alignof(void*) == 0 && sizeof(void*) % alignof(APMPBArray) == 0);
  auto* block = static_cast<unsigned char*>(
      arena->allocate(sizeof(MessageInfo) + n * sizeof(void*) + repeated * sizeof(APMPBArray)));
  if (block == nullptr) return nullptr;
  auto* record = reinterpret_cast<MessageInfo*>(block);
  record->name = d.name();
  record->types = d.types();
  record->values = reinterpret_cast<void**>(block + sizeof(MessageInfo));
  record->arena = arena;
  auto* arrays = reinterpret_cast<APMPBArray*>(block + sizeof(MessageInfo) + n * sizeof(void*));
  for (int32_t i = 0; repeated > 0 && i < d.fieldCount(); i++) {
    if (isRepeated(d.type(i))) record->values[i] = arrays++;
  }
  return record;
}

// A zeroed scalar cell in the slot, from the arena when there is one; the
// cell setters then reuse it.
void placeScalarCell(void** slot, Arena* arena) {
  if (*slot == nullptr && arena != nullptr) *slot = arena->allocate(sizeof(uint64_t));
}

// ---- wire-type check ----

// The wire type a field of this type word travels with; -1 accepts both
// varint and length-delimited (a repeated number may come packed).
int expectedWireType(int32_t type) {
  int32_t kind = kindOf(type);
  if (isVarintKind(kind)) return isRepeated(type) ? -1 : PB_WT_VARINT;
  if (kind == kAPMPBTypeFloat) return isRepeated(type) ? -2 : PB_WT_32BIT;
  if (kind == kAPMPBTypeDouble) return isRepeated(type) ? -3 : PB_WT_64BIT;
  return PB_WT_STRING;
}

bool wireTypeMatches(int expected, pb_wire_type_t actual) {
  switch (expected) {
    case -1:
      return actual == PB_WT_VARINT || actual == PB_WT_STRING;
    case -2:
      return actual == PB_WT_32BIT || actual == PB_WT_STRING;
    case -3:
      return actual == PB_WT_64BIT || actual == PB_WT_STRING;
    default:
      return actual == static_cast<pb_wire_type_t>(expected);
  }
}

// The elements a packed body of varints holds: one per byte that ends a
// varint. Exact when the body decodes; a damaged one fails in nanopb.
uint32_t packedVarints(const uint8_t* body, size_t size) {
  uint32_t count = 0;
  for (size_t k = 0; k < size; k++) count += (body[k] & 0x80) == 0 ? 1 : 0;
  return count;
}

// A varint of at most 32 bits at p, as pb_decode_varint32 reads it; p moves
// past it. The one- to four-byte case is read here, the rest by nanopb.
bool readVarint32(const uint8_t*& p, const uint8_t* end, uint32_t& value) {
  uint32_t result = 0;
  for (int shift = 0; shift < 28 && end - p > shift / 7; shift += 7) {
    uint8_t byte = p[shift / 7];
    result |= static_cast<uint32_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) {
      p += shift / 7 + 1;
      value = result;
      return true;
    }
  }
  pb_istream_t stream = pb_istream_from_buffer(p, static_cast<size_t>(end - p));
  if (!pb_decode_varint32(&stream, &value)) return false;
  p = static_cast<const uint8_t*>(stream.state);
  return true;
}

// Moves p past a field's value as pb_skip_field does; false on damage.
bool skipValue(const uint8_t*& p, const uint8_t* end, uint32_t wireType) {
  switch (wireType) {
    case PB_WT_VARINT:
      while (p < end) {
        if ((*p++ & 0x80) == 0) return true;
      }
      return false;
    case PB_WT_64BIT:
      if (end - p < 8) return false;
      p += 8;
      return true;
    case PB_WT_32BIT:
      if (end - p < 4) return false;
      p += 4;
      return true;
    case PB_WT_STRING: {
      uint32_t size;
      if (!readVarint32(p, end, size) || size > static_cast<size_t>(end - p)) return false;
      p += size;
      return true;
    }
    default:
      return false;
  }
}

// Walks the fields of one message body once: checks each known field's wire
// type, and adds the elements of each repeated field to its array's size
// (those of singular sub-messages with repeated fields too, into their child
// records). It reads the bytes directly, as nanopb's tag and skip functions
// would. Structural damage ends the walk and is left for nanopb to report at
// the same place; only a known field with the wrong wire type, or a list past
// kAPMPBMaxElements, fails here.
bool scanFields(const APMPBMessageDescriptor& d, MessageInfo* record, const uint8_t* bytes,
                size_t length) {
  const uint8_t* p = bytes;
  const uint8_t* const end = bytes + length;
  while (p < end) {
    uint32_t key;
    if (!readVarint32(p, end, key)) return true;
    auto wireType = static_cast<pb_wire_type_t>(key & 7);
    int32_t index = d.indexOfTag(key >> 3);
    if (index < 0) {
      if (!skipValue(p, end, wireType)) return true;
      continue;
    }
    int32_t type = d.type(index);
    if (!wireTypeMatches(expectedWireType(type), wireType)) return false;
    int32_t kind = kindOf(type);
    bool nested = !isRepeated(type) && kind == kAPMPBTypeMessage && d.child(index) != nullptr &&
                  d.child(index)->isTwoPass() && record->values[index] != nullptr;
    auto* array = isRepeated(type) ? static_cast<APMPBArray*>(record->values[index]) : nullptr;
    if (wireType != PB_WT_STRING || (array == nullptr && !nested)) {
      if (array != nullptr) {
        if (array->size >= kAPMPBMaxElements) return false;
        array->size++;
      }
      if (!skipValue(p, end, wireType)) return true;
      continue;
    }
    uint32_t size;
    if (!readVarint32(p, end, size) || size > static_cast<size_t>(end - p)) return true;
    if (nested) {
      if (!scanFields(*d.child(index), static_cast<MessageInfo*>(record->values[index]), p, size)) {
        return false;
      }
    } else {
      uint32_t elements = isVarintKind(kind) ? packedVarints(p, size) : 1;
      if (elements > kAPMPBMaxElements - array->size) return false;
      array->size += elements;
    }
    p += size;
  }
  return true;
}

// ---- decode ----

// True when the stream reads a length-delimited body of the input: nanopb
// copies a value of any other wire type to its stack (never empty) first.
bool fromInput(const pb_istream_t* stream, const InputRange* input) {
  if (stream->callback != bufferReadCallback() || input == nullptr) return false;
  if (stream->bytes_left == 0) return true;
  auto at = reinterpret_cast<uintptr_t>(stream->state);
  return at >= input->begin && at < input->end && stream->bytes_left <= input->end - at;
}

bool decodeStringField(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto* argument = arg ? static_cast<ElementArgument*>(*arg) : nullptr;
  if (argument == nullptr || argument->slot == nullptr) return false;
  if (!fromInput(stream, argument->input)) PB_RETURN_ERROR(stream, "wrong wire type");
  return apmpb::detail::decodeStringCell(stream, argument->slot, argument->arena);
}

// The repeated fields' callbacks fill arrays that allocateArrays sized: one
// without its element array has no element to take.
bool decodeRepeatedStringField(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto* argument = arg ? static_cast<ElementArgument*>(*arg) : nullptr;
  if (argument == nullptr || argument->array == nullptr || argument->array->data == nullptr) return false;
  if (!fromInput(stream, argument->input)) PB_RETURN_ERROR(stream, "wrong wire type");
  return apmpb::detail::decodeRepeatedStringCell(stream, argument->array, argument->arena);
}

bool decodeRepeatedVarintField(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto* argument = arg ? static_cast<ElementArgument*>(*arg) : nullptr;
  if (argument == nullptr || argument->array == nullptr || argument->array->data == nullptr) return false;
  return apmpb::detail::decodeRepeatedVarintCell(stream, argument->array, argument->arena);
}

bool decodeElement(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto* argument = arg ? static_cast<ElementArgument*>(*arg) : nullptr;
  if (argument == nullptr || argument->array == nullptr || argument->descriptor == nullptr) {
    os::Console::writef("<ERROR> %s decoder failed: Invalid arg parameter\n",
                argument && argument->descriptor ? argument->descriptor->name() : "(unknown)");
    return false;
  }
  const APMPBMessageDescriptor& d = *argument->descriptor;
  APMPBArray* array = argument->array;
  if (array->data == nullptr || array->fillCursor >= array->size) return false;
  if (!fromInput(stream, argument->input)) PB_RETURN_ERROR(stream, "wrong wire type");
  // The element is decoded where it lies in the input.
  size_t length = stream->bytes_left;
  const auto* bytes = static_cast<const uint8_t*>(stream->state);
  auto** elements = static_cast<void**>(array->data);
  // Stored before decoding, so that a failed element is freed with the record.
  MessageInfo* element = newRecordIn(d, argument->arena);
  if (element == nullptr) {
    os::Console::writef("<ERROR> %s decoder failed: Unable to initialize MessageInfo\n", d.name());
    return false;
  }
  elements[array->fillCursor] = element;
  if (!apmpb::detail::decodeRecord(d, bytes, length, element, argument->depth)) {
    os::Console::writef("<ERROR> %s decoder failed: Unable to decode repeated %s\n", d.name(), d.name());
    return false;
  }
  array->fillCursor++;
  return pb_read(stream, nullptr, length);
}

bool setDecoders(const APMPBMessageDescriptor& d, MessageInfo* record, unsigned char* base,
                 ElementArgument* arguments, int& nextArgument, int depth, Arena* arena,
                 const InputRange* input) {
  if (record == nullptr || base == nullptr) return false;
  for (int32_t i = 0; i < d.fieldCount(); i++) {
    int32_t type = d.type(i);
    int32_t kind = kindOf(type);
    const Layout& layout = d.layout(i);
    if (isRepeated(type)) {
      auto* array = static_cast<APMPBArray*>(record->values[i]);
      // Without its array cell the field gets no callback (nanopb skips it),
      // and AllocateArrays names it and fails the decode.
      if (array == nullptr) continue;
      APMPBResetArray(array);
      auto* callback = reinterpret_cast<pb_callback_t*>(base + layout.dataOffset);
      ElementArgument& argument = arguments[nextArgument++];
      argument = {array, nullptr, nullptr, arena, input, depth};
      callback->arg = &argument;
      if (kind == kAPMPBTypeMessage) {
        argument.descriptor = d.child(i);
        argument.depth = depth + 1;
        callback->funcs.decode = &decodeElement;
      } else if (isStringKind(kind)) {
        callback->funcs.decode = &decodeRepeatedStringField;
      } else {
        callback->funcs.decode = &decodeRepeatedVarintField;
      }
    } else if (isStringKind(kind)) {
      auto* callback = reinterpret_cast<pb_callback_t*>(base + layout.dataOffset);
      ElementArgument& argument = arguments[nextArgument++];
      argument = {nullptr, &record->values[i], nullptr, arena, input, depth};
      callback->funcs.decode = &decodeStringField;
      callback->arg = &argument;
    } else if (kind == kAPMPBTypeMessage) {
      const APMPBMessageDescriptor& child = *d.child(i);
      MessageInfo* childRecord = newRecordIn(child, arena);
      if (childRecord == nullptr) return false;
      record->values[i] = childRecord;
      if (!setDecoders(child, childRecord, base + layout.dataOffset, arguments, nextArgument,
                       depth + 1, arena, input)) {
        return false;
      }
    }
  }
  return true;
}

bool allocateArrays(const APMPBMessageDescriptor& d, MessageInfo* record, Arena* arena) {
  for (int32_t i = 0; i < d.fieldCount(); i++) {
    if (!isRepeated(d.type(i))) continue;
    auto* array = static_cast<APMPBArray*>(record->values[i]);
    if (array == nullptr) {
      os::Console::writef("<ERROR> Cannot allocate %s arrays. Missing params field (%s)\n", d.name(),
                  d.fieldName(i));
      return false;
    }
    if (array->size > 0) {
      size_t bytes = size_t{array->size} * sizeof(void*);
      array->data = arena ? arena->allocate(bytes) : std::calloc(array->size, sizeof(void*));
      if (array->data == nullptr) return false;
      array->dataInArena = arena != nullptr;
    }
    array->fillCursor = 0;
  }
  for (int32_t i = 0; i < d.fieldCount(); i++) {
    int32_t type = d.type(i);
    if (isRepeated(type) || kindOf(type) != kAPMPBTypeMessage) continue;
    auto* child = static_cast<MessageInfo*>(record->values[i]);
    if (child != nullptr && !allocateArrays(*d.child(i), child, arena)) return false;
  }
  return true;
}

// True when every array of the record and of its singular sub-messages got
// the elements scanFields counted; none is left with an empty slot.
bool filledArrays(const APMPBMessageDescriptor& d, const MessageInfo* record) {
  for (int32_t i = 0; i < d.fieldCount(); i++) {
    int32_t type = d.type(i);
    if (isRepeated(type)) {
      auto* array = static_cast<const APMPBArray*>(record->values[i]);
      if (array != nullptr && array->fillCursor != array->size) return false;
    } else if (kindOf(type) == kAPMPBTypeMessage && record->values[i] != nullptr &&
               !filledArrays(*d.child(i), static_cast<const MessageInfo*>(record->values[i]))) {
      return false;
    }
  }
  return true;
}

void storeDecodedScalars(const APMPBMessageDescriptor& d, const unsigned char* base,
                         MessageInfo* record, Arena* arena) {
  for (int32_t i = 0; i < d.fieldCount(); i++) {
    int32_t type = d.type(i);
    int32_t kind = kindOf(type);
    if (isRepeated(type) || isStringKind(kind)) continue;
    const Layout& layout = d.layout(i);
    bool present = layout.hasOffset >= 0 && base[layout.hasOffset] != 0;
    if (kind == kAPMPBTypeMessage) {
      auto* child = static_cast<MessageInfo*>(record->values[i]);
      if (present && child != nullptr) {
        storeDecodedScalars(*d.child(i), base + layout.dataOffset, child, arena);
      } else {
        apmpb::detail::clearField(d, record, i);
      }
    } else if (present) {
      placeScalarCell(&record->values[i], arena);
      storeScalar(kind, base + layout.dataOffset, &record->values[i]);
    }
  }
}

// ---- encode ----

bool prepareEncode(const APMPBMessageDescriptor& d, const MessageInfo* record, unsigned char* base,
                   ElementArgument* arguments, int& nextArgument);

bool encodeElementBody(const APMPBMessageDescriptor& d, const MessageInfo* element,
                       pb_ostream_t* stream) {
  Scratch scratch(scratchSize(d));
  unsigned char* base = scratch.base();
  if (base == nullptr) return false;
  auto* arguments = reinterpret_cast<ElementArgument*>(base + argumentsOffset(d));
  int next = 0;
  return prepareEncode(d, element, base, arguments, next) &&
         pb_encode(stream, d.nanopbFields(), base);
}

bool encodeElements(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  auto* argument = arg ? static_cast<const ElementArgument*>(*arg) : nullptr;
  if (argument == nullptr || argument->array == nullptr) return false;
  const APMPBArray* array = argument->array;
  if (array->size == 0) return true;
  if (array->data == nullptr) return false;
  const APMPBMessageDescriptor& d = *argument->descriptor;
  auto* const* elements = static_cast<void* const*>(array->data);
  for (uint32_t k = 0; k < array->size; k++) {
    auto* element = static_cast<MessageInfo*>(elements[k]);
    if (element == nullptr) return false;
    if (!pb_encode_tag_for_field(stream, field)) return false;
    if (stream->callback == nullptr) {
      pb_ostream_t sizing = PB_OSTREAM_SIZING;
      if (!encodeElementBody(d, element, &sizing) || sizing.bytes_written >= UINT32_MAX) {
        return false;
      }
      element->encodedSize = static_cast<uint32_t>(sizing.bytes_written);
      if (!pb_encode_varint(stream, element->encodedSize) ||
          !pb_write(stream, nullptr, element->encodedSize)) {
        return false;
      }
      continue;
    }
    // Writing pass: the size comes from the sizing pass of this encode; a
    // body of another size fails the encode instead of corrupting it.
    size_t size = element->encodedSize;
    if (!pb_encode_varint(stream, size)) return false;
    if (stream->bytes_written + size > stream->max_size) return false;
    pb_ostream_t body = *stream;
    body.max_size = size;
    body.bytes_written = 0;
    bool ok = encodeElementBody(d, element, &body);
    stream->state = body.state;
    stream->bytes_written += body.bytes_written;
    if (!ok || body.bytes_written != size) return false;
  }
  return true;
}

bool prepareEncode(const APMPBMessageDescriptor& d, const MessageInfo* record, unsigned char* base,
                   ElementArgument* arguments, int& nextArgument) {
  if (record == nullptr || base == nullptr) return false;
  if (!d.describes(record) || record->values == nullptr) {
    os::Console::writef("<ERROR> %s Encoder: record of message %s\n", d.name(),
                record->name ? record->name : "(null)");
    return false;
  }
  for (int32_t i = 0; i < d.fieldCount(); i++) {
    int32_t type = d.type(i);
    int32_t kind = kindOf(type);
    const Layout& layout = d.layout(i);
    void* value = record->values[i];
    if (isRepeated(type)) {
      auto* array = static_cast<APMPBArray*>(value);
      if (array == nullptr) {
        os::Console::writef("<ERROR> %s Encoder: '%s' should have been allocated\n", d.name(),
                    d.fieldName(i));
        return false;
      }
      if (array->size == 0) continue;
      auto* callback = reinterpret_cast<pb_callback_t*>(base + layout.dataOffset);
      if (kind == kAPMPBTypeMessage) {
        ElementArgument& argument = arguments[nextArgument++];
        argument = {array, nullptr, d.child(i), nullptr, nullptr, 0};
        callback->funcs.encode = &encodeElements;
        callback->arg = &argument;
      } else if (isStringKind(kind)) {
        callback->funcs.encode = &APMPBEncodeRepeatedString;
        callback->arg = array;
      } else {
        callback->funcs.encode = &APMPBEncodeRepeatedVarint;
        callback->arg = array;
      }
      continue;
    }
    if (value == nullptr) continue;
    if (isStringKind(kind)) {
      auto* callback = reinterpret_cast<pb_callback_t*>(base + layout.dataOffset);
      callback->funcs.encode = &APMPBEncodeString;
      callback->arg = value;
    } else if (kind == kAPMPBTypeMessage) {
      base[layout.hasOffset] = 1;
      if (!prepareEncode(*d.child(i), static_cast<const MessageInfo*>(value),
                         base + layout.dataOffset, arguments, nextArgument)) {
        return false;
      }
    } else {
      base[layout.hasOffset] = 1;
      loadScalar(kind, value, base + layout.dataOffset);
    }
  }
  return true;
}

uint8_t* mallocAllocate(size_t size, void*) {
  return static_cast<uint8_t*>(std::calloc(size ? size : 1, 1));
}

// ---- layout ----

bool nanopbKindMatches(int32_t type, const pb_field_iter_t& it, const APMPBMessageDescriptor* child,
                       std::string& why) {
  pb_type_t ltype = PB_LTYPE(it.type);
  pb_type_t atype = PB_ATYPE(it.type);
  pb_type_t htype = PB_HTYPE(it.type);
  int32_t kind = kindOf(type);
  if (isRepeated(type)) {
    if (htype != PB_HTYPE_REPEATED || atype != PB_ATYPE_CALLBACK) {
      why = "repeated field is not a repeated callback";
      return false;
    }
  } else if (isStringKind(kind)) {
    if (htype != PB_HTYPE_OPTIONAL || atype != PB_ATYPE_CALLBACK) {
      why = "string field is not an optional callback";
      return false;
    }
  } else if (htype != PB_HTYPE_OPTIONAL || atype != PB_ATYPE_STATIC || it.pSize == nullptr) {
    why = "singular field is not optional and static";
    return false;
  }
  size_t expectedSize = 0;
  bool ok = false;
  switch (kind) {
    case kAPMPBTypeBool:
      ok = ltype == PB_LTYPE_BOOL;
      expectedSize = sizeof(bool);
      break;
    case kAPMPBTypeEnum:
      // nanopb codes an enum without negative values as an unsigned varint.
      ok = ltype == PB_LTYPE_VARINT || ltype == PB_LTYPE_UVARINT;
      expectedSize = 4;
      break;
    case kAPMPBTypeInt32:
      ok = ltype == PB_LTYPE_VARINT;
      expectedSize = 4;
      break;
    case kAPMPBTypeInt64:
      ok = ltype == PB_LTYPE_VARINT;
      expectedSize = 8;
      break;
    case kAPMPBTypeUInt32:
      ok = ltype == PB_LTYPE_UVARINT;
      expectedSize = 4;
      break;
    case kAPMPBTypeUInt64:
      ok = ltype == PB_LTYPE_UVARINT;
      expectedSize = 8;
      break;
    case kAPMPBTypeFloat:
      ok = ltype == PB_LTYPE_FIXED32;
      expectedSize = 4;
      break;
    case kAPMPBTypeDouble:
      ok = ltype == PB_LTYPE_FIXED64;
      expectedSize = 8;
      break;
    case kAPMPBTypeString:
      ok = ltype == PB_LTYPE_STRING;
      break;
    case kAPMPBTypeBytes:
      ok = ltype == PB_LTYPE_BYTES;
      break;
    case kAPMPBTypeMessage:
      ok = PB_LTYPE_IS_SUBMSG(it.type) && child != nullptr && it.submsg_desc == child->nanopbFields();
      break;
    default:
      break;
  }
  if (!ok) {
    why = "kind differs from the nanopb field";
    return false;
  }
  if (!isRepeated(type) && expectedSize != 0 && it.data_size != expectedSize) {
    why = "member size differs";
    return false;
  }
  return true;
}

}  // namespace

APMPBMessageDescriptor::APMPBMessageDescriptor(const Schema& schema, const Functions& functions)
    : schema_(schema), functions_(functions) {
  const int32_t n = schema_.fieldCount;
  layout_.resize(static_cast<size_t>(n));
  uint32_t largestTag = 0;
  for (int32_t i = 0; i < n; i++) {
    largestTag = std::max(largestTag, schema_.tags[i]);
    if (isRepeated(schema_.types[i])) repeatedCount_++;
  }
  tagToIndex_.assign(largestTag + 1, -1);

  std::vector<unsigned char> probe(schema_.nanopbStructSize + 1);
  auto problem = [&](int32_t i, const std::string& why) {
    problems_.push_back(std::string(schema_.name) + " field " + std::to_string(i) + " (" +
                        schema_.fieldNames[i] + "): " + why);
  };
  if (schema_.nanopbFields == nullptr || schema_.nanopbFields->field_count != static_cast<pb_size_t>(n)) {
    problems_.push_back(std::string(schema_.name) + ": the nanopb table does not have " +
                        std::to_string(n) + " fields");
  }
  for (int32_t i = 0; i < n; i++) {
    int32_t type = schema_.types[i];
    if (tagToIndex_[schema_.tags[i]] != -1) problem(i, "duplicate tag");
    tagToIndex_[schema_.tags[i]] = i;
    const APMPBMessageDescriptor* child = schema_.children[i];
    if (kindOf(type) == kAPMPBTypeMessage) {
      if (child == nullptr) {
        problem(i, "message field without child descriptor");
        continue;
      }
      if (!isRepeated(type)) {
        // A singular child is built first; its derived facts are known.
        if (child->layout_.size() != static_cast<size_t>(child->fieldCount())) {
          problem(i, "child descriptor not built yet");
          continue;
        }
        twoPass_ = twoPass_ || child->twoPass_;
        argumentSlots_ += child->argumentSlots_;
      }
    }
    if (isRepeated(type) || isStringKind(kindOf(type))) argumentSlots_++;
    if (isRepeated(type)) twoPass_ = true;
    if (schema_.nanopbFields == nullptr) continue;
    pb_field_iter_t it;
    if (!pb_field_iter_begin(&it, schema_.nanopbFields, probe.data()) ||
        !pb_field_iter_find(&it, schema_.tags[i])) {
      problem(i, "tag " + std::to_string(schema_.tags[i]) + " missing from the nanopb table");
      continue;
    }
    std::string why;
    if (!nanopbKindMatches(type, it, child, why)) {
      problem(i, why);
      continue;
    }
    layout_[static_cast<size_t>(i)].dataOffset =
        static_cast<uint32_t>(static_cast<unsigned char*>(it.pData) - probe.data());
    if (!isRepeated(type) && !isStringKind(kindOf(type))) {
      layout_[static_cast<size_t>(i)].hasOffset =
          static_cast<int32_t>(static_cast<unsigned char*>(it.pSize) - probe.data());
    }
  }
}

bool APMPBMessageDescriptor::describes(const MessageInfo* record) const {
  if (record == nullptr || record->name == nullptr) return false;
  return record->name == schema_.name || std::strcmp(record->name, schema_.name) == 0;
}

namespace apmpb::detail {

bool initRecord(const APMPBMessageDescriptor& d, MessageInfo* record) {
  if (record == nullptr) return false;
  record->name = d.name();
  record->types = d.types();
  record->values = static_cast<void**>(std::calloc(static_cast<size_t>(d.fieldCount()), sizeof(void*)));
  if (record->values == nullptr) return false;
  for (int32_t i = 0; i < d.fieldCount(); i++) {
    if (!isRepeated(d.type(i))) continue;
    record->values[i] = std::calloc(1, sizeof(APMPBArray));
    if (record->values[i] == nullptr) return false;
  }
  return true;
}

bool clearField(const APMPBMessageDescriptor& d, MessageInfo* record, int32_t index) {
  if (record == nullptr) return false;
  if (index < 0 || index >= d.fieldCount()) {
    os::Console::writef("<ERROR> %s: Cannot deallocate field %d: Unknown field\n", d.name(), index);
    return false;
  }
  if (record->values == nullptr) return false;
  void** slot = &record->values[index];
  int32_t type = d.type(index);
  int32_t kind = kindOf(type);
  if (isRepeated(type)) {
    auto* array = static_cast<APMPBArray*>(*slot);
    if (array == nullptr) return true;
    auto** elements = static_cast<void**>(array->data);
    for (uint32_t k = 0; elements != nullptr && k < array->size; k++) {
      if (elements[k] == nullptr) continue;
      if (kind == kAPMPBTypeMessage) {
        freeRecord(*d.child(index), static_cast<MessageInfo*>(elements[k]));
      } else if (isStringKind(kind)) {
        APMPBFreeString(static_cast<APMPBArray*>(elements[k]));
        releaseBlock(record->arena, elements[k]);
      } else {
        releaseBlock(record->arena, elements[k]);
      }
    }
    APMPBResetArray(array);
    return true;
  }
  if (*slot == nullptr) return true;
  if (isStringKind(kind)) {
    APMPBFreeString(static_cast<APMPBArray*>(*slot));
    releaseBlock(record->arena, *slot);
  } else if (kind == kAPMPBTypeMessage) {
    freeRecord(*d.child(index), static_cast<MessageInfo*>(*slot));
  } else {
    releaseBlock(record->arena, *slot);
  }
  *slot = nullptr;
  return true;
}

bool freeRecord(const APMPBMessageDescriptor& d, MessageInfo* record) {
  if (record == nullptr) return false;
  if (!d.describes(record) && record->name != nullptr) {
    // Not ours to walk: its fields follow another schema.
    os::Console::writef("<ERROR> %s: Cannot free a record of message %s\n", d.name(), record->name);
    return false;
  }
  bool ok = true;
  Arena* arena = record->arena;
  if (record->values != nullptr) {
    for (int32_t i = 0; i < d.fieldCount() && ok; i++) ok = clearField(d, record, i);
    if (!ok) return false;
    for (int32_t i = 0; i < d.fieldCount(); i++) {
      if (isRepeated(d.type(i))) releaseBlock(arena, record->values[i]);
    }
    releaseBlock(arena, record->values);
  }
  // The owner lies outside its arena; the records inside go with it.
  if (arena != nullptr && arena->owner() == record) {
    delete arena;
    arena = nullptr;
  }
  releaseBlock(arena, record);
  return true;
}

bool copyRecord(const APMPBMessageDescriptor& d, MessageInfo** destination, const MessageInfo* source) {
  if (destination == nullptr || source == nullptr) return false;
  if (!d.describes(source) || source->values == nullptr) return false;
  if (*destination != nullptr) {
    freeRecord(d, *destination);
    *destination = nullptr;
  }
  MessageInfo* target = newRecord(d);
  if (target == nullptr) return false;
  *destination = target;
  for (int32_t i = 0; i < d.fieldCount(); i++) {
    void* value = source->values[i];
    if (value == nullptr) continue;
    int32_t type = d.type(i);
    int32_t kind = kindOf(type);
    void** slot = &target->values[i];
    if (isRepeated(type)) {
      auto* from = static_cast<const APMPBArray*>(value);
      auto* to = static_cast<APMPBArray*>(*slot);
      if (from->size == 0 || from->data == nullptr) continue;
      to->data = std::calloc(from->size, sizeof(void*));
      if (to->data == nullptr) return false;
      to->size = from->size;
      auto* const* in = static_cast<void* const*>(from->data);
      auto** out = static_cast<void**>(to->data);
      for (uint32_t k = 0; k < from->size; k++) {
        if (in[k] == nullptr) continue;
        if (kind == kAPMPBTypeMessage) {
          auto* element = reinterpret_cast<MessageInfo**>(&out[k]);
          if (!copyRecord(*d.child(i), element, static_cast<const MessageInfo*>(in[k]))) return false;
        } else if (isStringKind(kind)) {
          auto* cell = static_cast<const APMPBArray*>(in[k]);
          APMPBSetStringCell(&out[k], cell->data, cell->data ? cell->size : 0);
        } else if (kind == kAPMPBTypeUInt32) {
          APMPBSetUInt32Cell(&out[k], static_cast<uint32_t>(cellBits(in[k])));
        } else if (kind == kAPMPBTypeFloat) {
          float f;
          std::memcpy(&f, in[k], sizeof(f));
          APMPBSetFloatCell(&out[k], f);
        } else if (kind == kAPMPBTypeDouble) {
          double v;
          std::memcpy(&v, in[k], sizeof(v));
          APMPBSetDoubleCell(&out[k], v);
        } else {
          APMPBSetUInt64Cell(&out[k], cellBits(in[k]));
        }
      }
      continue;
    }
    if (isStringKind(kind)) {
      auto* cell = static_cast<const APMPBArray*>(value);
      if (cell->data == nullptr) {
        // Present without bytes stays so.
        *slot = std::calloc(1, sizeof(APMPBArray));
      } else {
        APMPBSetStringCell(slot, cell->data, cell->size);
      }
    } else if (kind == kAPMPBTypeMessage) {
      auto** child = reinterpret_cast<MessageInfo**>(slot);
      if (!copyRecord(*d.child(i), child, static_cast<const MessageInfo*>(value))) return false;
    } else if (kind == kAPMPBTypeBool) {
      APMPBSetBoolCell(slot, (cellBits(value) & 0xFF) != 0 ? 1 : 0);
    } else if (kind == kAPMPBTypeFloat) {
      float f;
      std::memcpy(&f, value, sizeof(f));
      APMPBSetFloatCell(slot, f);
    } else if (kind == kAPMPBTypeDouble) {
      double v;
      std::memcpy(&v, value, sizeof(v));
      APMPBSetDoubleCell(slot, v);
    } else if (kind == kAPMPBTypeInt64 || kind == kAPMPBTypeUInt64) {
      APMPBSetUInt64Cell(slot, cellBits(value));
    } else {
      APMPBSetUInt32Cell(slot, static_cast<uint32_t>(cellBits(value)));
    }
  }
  return true;
}

bool decodeRecord(const APMPBMessageDescriptor& d, const uint8_t* bytes, size_t length,
                  MessageInfo* record, int depth) {
  if (record == nullptr || record->values == nullptr) {
    os::Console::writef("<ERROR> %s decoder failed: message_info is NULL\n", d.name());
    return false;
  }
  if (!d.problems().empty() || !d.describes(record)) {
    os::Console::writef("<ERROR> %s decoder failed: %s\n", d.name(), "record does not match the schema");
    return false;
  }
  if (depth > kAPMPBMaxNestingDepth) {
    os::Console::writef("<ERROR> %s decoder failed: %s\n", d.name(), "nesting too deep");
    return false;
  }
  if (bytes == nullptr) length = 0;
  // A decode replaces what the record held (a fresh record holds nothing).
  for (int32_t i = 0; i < d.fieldCount(); i++) {
    void* value = record->values[i];
    if (value == nullptr) continue;
    if (isRepeated(d.type(i)) && static_cast<APMPBArray*>(value)->data == nullptr) continue;
    clearField(d, record, i);
  }
  // The outermost decode keeps the tree in the record's arena; element
  // records were made in it already.
  Arena* arena = record->arena;
  if (depth == 0) {
    size_t hint = length * kArenaBytesPerInputByte;
    if (arena == nullptr) {
      // Without an arena (out of memory) every cell is malloc'd.
      arena = new (std::nothrow) Arena(record, hint);
      record->arena = arena;
    } else if (arena->owner() == record) {
      // The clearing above left nothing that refers into the arena.
      arena->reset(hint);
    }
  }

  Scratch scratch(scratchSize(d));
  unsigned char* base = scratch.base();
  auto* arguments = base ? reinterpret_cast<ElementArgument*>(base + argumentsOffset(d)) : nullptr;
  int next = 0;
  const InputRange input{reinterpret_cast<uintptr_t>(bytes), reinterpret_cast<uintptr_t>(bytes) + length};
  if (base == nullptr || !setDecoders(d, record, base, arguments, next, depth, arena, &input)) {
    os::Console::writef("<ERROR> %s decoder failed: Unable to set decoders\n", d.name());
    return false;
  }
  if (d.isTwoPass()) {
    if (!scanFields(d, record, bytes, length)) {
      os::Console::writef("<ERROR> %s decoder failed: %s\n", d.name(), "wrong wire type");
      return false;
    }
    if (!allocateArrays(d, record, arena)) {
      os::Console::writef("<ERROR> %s decoder failed: Unable to allocate arrays\n", d.name());
      return false;
    }
  }
  pb_istream_t stream = pb_istream_from_buffer(bytes, length);
  // The scratch struct starts zeroed, so nanopb need not reset it to defaults.
  if (!pb_decode_ex(&stream, d.nanopbFields(), base, PB_DECODE_NOINIT)) {
    os::Console::writef("<ERROR> %s decoder failed: %s\n", d.name(), streamError(stream));
    return false;
  }
  if (d.isTwoPass() && !filledArrays(d, record)) {
    os::Console::writef("<ERROR> %s decoder failed: %s\n", d.name(), "lists not filled");
    return false;
  }
  storeDecodedScalars(d, base, record, arena);
  return true;
}

uint32_t encodeRecord(const APMPBMessageDescriptor& d, const MessageInfo* record, Allocate allocate,
                      void* context) {
  if (!d.problems().empty()) return kAPMPBEncodeFailure;
  Scratch scratch(scratchSize(d));
  unsigned char* base = scratch.base();
  auto* arguments = base ? reinterpret_cast<ElementArgument*>(base + argumentsOffset(d)) : nullptr;
  int next = 0;
  if (base == nullptr || !prepareEncode(d, record, base, arguments, next)) return kAPMPBEncodeFailure;
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  if (!pb_encode(&sizing, d.nanopbFields(), base) || sizing.bytes_written >= kAPMPBEncodeFailure) {
    return kAPMPBEncodeFailure;
  }
  uint8_t* buffer = allocate(sizing.bytes_written, context);
  if (buffer == nullptr) return kAPMPBEncodeFailure;
  pb_ostream_t output = pb_ostream_from_buffer(buffer, sizing.bytes_written);
  if (!pb_encode(&output, d.nanopbFields(), base) || output.bytes_written != sizing.bytes_written) {
    return kAPMPBEncodeFailure;
  }
  return static_cast<uint32_t>(output.bytes_written);
}

uint32_t encodeRecordToMalloc(const APMPBMessageDescriptor& d, const MessageInfo* record,
                              uint8_t** buffer) {
  if (buffer == nullptr) return kAPMPBEncodeFailure;
  *buffer = nullptr;
  uint8_t* bytes = nullptr;
  auto allocate = [](size_t size, void* context) -> uint8_t* {
    auto** out = static_cast<uint8_t**>(context);
    *out = mallocAllocate(size, nullptr);
    return *out;
  };
  uint32_t count = encodeRecord(d, record, allocate, &bytes);
  if (count == kAPMPBEncodeFailure) {
    std::free(bytes);
    return kAPMPBEncodeFailure;
  }
  *buffer = bytes;
  return count;
}

}  // namespace apmpb::detail
