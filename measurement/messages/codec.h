// The message codec: one family of functions per message (init, clear field,
// free, copy, decode, encode) that moves a record's cells to and from the
// message's nanopb struct.
//
// Every family runs the same engine over the message's descriptor: its name,
// its type words, the wire tag of each field index, and the nanopb field table
// generated from our .proto files. When the message has a repeated field
// (directly or through a singular sub-message), a decode first counts the
// elements in one walk of the tags, then one nanopb pass fills arrays
// allocated at their exact size.
// Encoding sizes first and writes into one buffer of exactly that size.
//
// Diagnostics go to the console (os::Console); results are true/false, and
// kAPMPBEncodeFailure for an encoded size. Calls on different records may run
// on any threads at once; one record is used by one call at a time.
//
// Limits: a string of more than kAPMPBMaxStringLength bytes, or messages nested
// more than kAPMPBMaxNestingDepth levels below the outermost one, fail the
// decode. A field whose wire type does not match its schema fails it too.
#pragma once

#include <pb.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "measurement/messages/message_info.h"

// An event-editing program tree arrives from the server inside a
// configuration: MeasurementConfig > Program > OgtActivities > OgtActivity >
// RuntimeEntity, its root four levels below the outermost message. The bound
// leaves room for kAPMPBMaxProgramTreeNesting levels below that root.
inline constexpr int kAPMPBMaxProgramTreeNesting = 100;
inline constexpr int kAPMPBMaxNestingDepth = kAPMPBMaxProgramTreeNesting + 4;

using APMPBInitFn = bool (*)(MessageInfo* record);
using APMPBClearFieldFn = bool (*)(MessageInfo* record, int32_t index);
using APMPBCopyFn = bool (*)(MessageInfo** destination, const MessageInfo* source);
using APMPBFreeFn = bool (*)(MessageInfo* record);
using APMPBDecodeFn = bool (*)(const uint8_t* bytes, size_t length, MessageInfo* record);
using APMPBEncodeFn = uint32_t (*)(const MessageInfo* record, uint8_t** buffer);

// The static description of one message. Built once at start-up; the layout
// of the nanopb struct is read from the generated field table.
class APMPBMessageDescriptor {
 public:
  struct Schema {
    const char* name;       // "MeasurementBundle"
    const char* className;  // "APMPBMeasurementBundle"; null for a message without class
    int32_t fieldCount;
    const int32_t* types;      // N type words
    const uint32_t* tags;      // N wire tags
    const char* const* fieldNames;  // N names, for diagnostics
    // N entries: the descriptor of a message field's message, else null.
    const APMPBMessageDescriptor* const* children;
    const pb_msgdesc_t* nanopbFields;
    size_t nanopbStructSize;
  };
  struct Functions {
    APMPBInitFn init;
    APMPBClearFieldFn clearField;
    APMPBCopyFn copy;
    APMPBFreeFn free;
    APMPBDecodeFn decode;
    APMPBEncodeFn encode;
  };

  // Descriptors of singular sub-messages must be constructed before the
  // descriptors that hold them (they are never recursive).
  APMPBMessageDescriptor(const Schema& schema, const Functions& functions);

  const char* name() const { return schema_.name; }
  const char* className() const { return schema_.className; }
  int32_t fieldCount() const { return schema_.fieldCount; }
  const int32_t* types() const { return schema_.types; }
  int32_t type(int32_t index) const { return schema_.types[index]; }
  uint32_t tag(int32_t index) const { return schema_.tags[index]; }
  const char* fieldName(int32_t index) const { return schema_.fieldNames[index]; }
  const APMPBMessageDescriptor* child(int32_t index) const { return schema_.children[index]; }
  const pb_msgdesc_t* nanopbFields() const { return schema_.nanopbFields; }
  size_t nanopbStructSize() const { return schema_.nanopbStructSize; }
  const Functions& functions() const { return functions_; }

  // Where field index i lives in the nanopb struct.
  struct FieldLayout {
    uint32_t dataOffset = 0;  // value, nested struct or pb_callback_t
    int32_t hasOffset = -1;   // has-flag of a singular static field
  };
  const FieldLayout& layout(int32_t index) const { return layout_[static_cast<size_t>(index)]; }
  // True when a decode counts list elements before its nanopb pass.
  bool isTwoPass() const { return twoPass_; }
  // Callback arguments one decode or encode of this message needs: one per
  // repeated or string field, its singular sub-messages' included.
  int argumentSlots() const { return argumentSlots_; }
  // The number of repeated fields.
  int32_t repeatedCount() const { return repeatedCount_; }
  // The index of a wire tag, or -1 for a tag the schema does not know.
  int32_t indexOfTag(uint32_t tag) const {
    return tag < tagToIndex_.size() ? tagToIndex_[tag] : -1;
  }
  // Disagreements between the schema and the generated nanopb table; a
  // descriptor with any refuses to decode and encode.
  const std::vector<std::string>& problems() const { return problems_; }
  // True when the record is one of this message (names compared as strings).
  bool describes(const MessageInfo* record) const;

 private:
  Schema schema_;
  Functions functions_;
  std::vector<FieldLayout> layout_;
  std::vector<int32_t> tagToIndex_;
  std::vector<std::string> problems_;
  bool twoPass_ = false;
  int argumentSlots_ = 0;
  int32_t repeatedCount_ = 0;
};

namespace apmpb::detail {

bool initRecord(const APMPBMessageDescriptor& d, MessageInfo* record);
bool clearField(const APMPBMessageDescriptor& d, MessageInfo* record, int32_t index);
bool freeRecord(const APMPBMessageDescriptor& d, MessageInfo* record);
bool copyRecord(const APMPBMessageDescriptor& d, MessageInfo** destination, const MessageInfo* source);
bool decodeRecord(const APMPBMessageDescriptor& d, const uint8_t* bytes, size_t length,
                  MessageInfo* record, int depth);
// Encodes into a buffer from allocate(size, context), which must hand back
// size bytes (non-null even for zero) or null.
using Allocate = uint8_t* (*)(size_t size, void* context);
uint32_t encodeRecord(const APMPBMessageDescriptor& d, const MessageInfo* record, Allocate allocate,
                      void* context);
uint32_t encodeRecordToMalloc(const APMPBMessageDescriptor& d, const MessageInfo* record,
                              uint8_t** buffer);

// The per-message entry points: a family's functions bound to its descriptor.
template <const APMPBMessageDescriptor& D>
bool init(MessageInfo* record) {
  return initRecord(D, record);
}
template <const APMPBMessageDescriptor& D>
bool clear(MessageInfo* record, int32_t index) {
  return clearField(D, record, index);
}
template <const APMPBMessageDescriptor& D>
bool copy(MessageInfo** destination, const MessageInfo* source) {
  return copyRecord(D, destination, source);
}
template <const APMPBMessageDescriptor& D>
bool release(MessageInfo* record) {
  return freeRecord(D, record);
}
template <const APMPBMessageDescriptor& D>
bool decode(const uint8_t* bytes, size_t length, MessageInfo* record) {
  return decodeRecord(D, bytes, length, record, 0);
}
template <const APMPBMessageDescriptor& D>
uint32_t encode(const MessageInfo* record, uint8_t** buffer) {
  return encodeRecordToMalloc(D, record, buffer);
}

template <const APMPBMessageDescriptor& D>
constexpr APMPBMessageDescriptor::Functions functionsOf() {
  return {&init<D>, &clear<D>, &copy<D>, &release<D>, &decode<D>, &encode<D>};
}

}  // namespace apmpb::detail
