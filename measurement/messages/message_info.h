// Message records: the in-memory form of every measurement message, and the
// C primitives that create, fill, reset and stream their value cells.
//
// A record holds one value pointer per field index 0..N-1 (never per wire
// tag). A singular field is present exactly when its pointer is non-null; a
// repeated field always holds its array cell, from init to free. A record owns
// everything reachable from its values array; copies are deep. The name and the
// type words are static data shared by every record of the message.
// The cells, child records, string bytes and element arrays a decode makes
// share one block store (the record's arena): release them through the codec's
// clear-field and free functions, never with free(). A cell marks bytes or an
// element array that lie in an arena (dataInArena), so the primitives below
// work on any record.
//
// Misuse of a primitive (a null slot or cell) is printed to the console
// and otherwise ignored; the stream callbacks report failure to nanopb. No
// function here keeps global state or takes a lock (but the console's, when it
// prints): one record is used by one thread at a time.
#pragma once

#include <pb.h>

#include <cstddef>
#include <cstdint>

namespace apmpb::detail {
class Arena;
}

// Field type words: exactly one cardinality bit and one kind bit per field.
inline constexpr int32_t kAPMPBTypeSingular = 0x2;
inline constexpr int32_t kAPMPBTypeRepeated = 0x8;
inline constexpr int32_t kAPMPBTypeBool = 0x20;
inline constexpr int32_t kAPMPBTypeEnum = 0x40;
inline constexpr int32_t kAPMPBTypeInt32 = 0x80;
inline constexpr int32_t kAPMPBTypeUInt32 = 0x100;
inline constexpr int32_t kAPMPBTypeInt64 = 0x200;
inline constexpr int32_t kAPMPBTypeUInt64 = 0x400;
inline constexpr int32_t kAPMPBTypeFloat = 0x800;
inline constexpr int32_t kAPMPBTypeDouble = 0x1000;
inline constexpr int32_t kAPMPBTypeString = 0x2000;
inline constexpr int32_t kAPMPBTypeMessage = 0x4000;
inline constexpr int32_t kAPMPBTypeBytes = 0x8000;

// The longest string or bytes value a decode accepts (the length itself passes).
inline constexpr size_t kAPMPBMaxStringLength = 0x100000;
// The most elements a decode counts in one repeated field.
inline constexpr uint32_t kAPMPBMaxElements = 0x7FFFFFFF;
// What an encode returns on failure instead of a byte count.
inline constexpr uint32_t kAPMPBEncodeFailure = 0xFFFFFFFF;

// One record shape for two uses. As a string cell: size is the byte length and
// data the bytes (not reliably NUL-terminated; readers use size). As the array
// cell of a repeated field: size is the element count and data an array of
// size pointers to element cells; the fill cursor is used only while a decode
// fills the array. dataInArena: data lies in an arena and is dropped, never
// freed; only a decode sets it.
struct APMPBArray {
  uint32_t fillCursor : 31;
  uint32_t dataInArena : 1;
  uint32_t size;
  void* data;
};

struct MessageInfo {
  // N value pointers, indexed by field index; null means absent.
  void** values;
  // The message's N static type words.
  const int32_t* types;
  // The message's static name; also its identity.
  const char* name;
  // Encoder scratch: the body size the sizing pass found, read back by the
  // writing pass of the same encode. Meaningless outside an encode.
  uint32_t encodedSize;
  // The storage of the cells and child records a decode made in this tree
  // (record_arena.h); null for a record no decode has filled. Set by the codec.
  apmpb::detail::Arena* arena;
};

// Frees the element pointer array (not the elements) unless an arena holds
// it; the cell is kept, empty.
void APMPBResetArray(APMPBArray* array);
// Frees the bytes unless an arena holds them; the cell is kept, empty.
void APMPBFreeString(APMPBArray* string);

// Cell setters on a slot (the address of one value pointer): a cell is
// allocated when the slot is null, else reused.
void APMPBSetBoolCell(void** slot, uint32_t value);
void APMPBSetUInt32Cell(void** slot, uint32_t value);
void APMPBSetUInt64Cell(void** slot, uint64_t value);
void APMPBSetFloatCell(void** slot, float value);
void APMPBSetDoubleCell(void** slot, double value);
// Stores a copy of length bytes followed by a zero byte beyond size.
void APMPBSetStringCell(void** slot, const void* bytes, size_t length);

// nanopb decode callbacks. In the counting pass (array data null) repeated
// fields only count their elements; in the filling pass they store at the
// fill cursor. A singular string keeps its first occurrence.
// Argument: the field's array cell.
bool APMPBDecodeRepeatedVarint(pb_istream_t* stream, const pb_field_t* field, void** arg);
// Argument: the slot of one string value.
bool APMPBDecodeString(pb_istream_t* stream, const pb_field_t* field, void** arg);
// Argument: the field's array cell.
bool APMPBDecodeRepeatedString(pb_istream_t* stream, const pb_field_t* field, void** arg);

// nanopb encode callbacks; repeated numbers are written unpacked.
// Argument: the field's array cell.
bool APMPBEncodeRepeatedVarint(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
// Argument: the string cell.
bool APMPBEncodeString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
// Argument: the field's array cell.
bool APMPBEncodeRepeatedString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);

// Encodes a nanopb struct into one freshly malloc'd buffer of exactly the
// encoded size (non-null even for zero bytes), which the caller owns and frees
// with free(). Returns the byte count, or kAPMPBEncodeFailure with *buffer null.
uint32_t APMPBEncodeToBuffer(const pb_msgdesc_t* fields, const void* source, uint8_t** buffer);

namespace apmpb::detail {
// The decode callbacks' work, taking each new cell and string's bytes from
// the arena (calloc and malloc when the arena is null).
bool decodeRepeatedVarintCell(pb_istream_t* stream, APMPBArray* array, Arena* arena);
bool decodeStringCell(pb_istream_t* stream, void** slot, Arena* arena);
bool decodeRepeatedStringCell(pb_istream_t* stream, APMPBArray* array, Arena* arena);
}  // namespace apmpb::detail
