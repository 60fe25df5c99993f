// Helpers of the measurement message tests.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "measurement/messages/messages.h"
#include "os/foundation/console.h"

namespace apmpb::test {

// What the codec prints between capturePrinted() and printed() (which ends
// the capture and returns it).
inline std::optional<os::ConsoleCapture>& printedCapture() {
  static std::optional<os::ConsoleCapture> capture;
  return capture;
}
inline void capturePrinted() { printedCapture().emplace(); }
inline std::string printed() {
  std::string text = printedCapture()->text();
  printedCapture().reset();
  return text;
}

// A record owned by the test, freed with its message's free function.
class Record {
 public:
  explicit Record(const APMPBMessageDescriptor& d);
  ~Record();
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;
  MessageInfo* get() const { return record_; }
  MessageInfo** address() { return &record_; }

 private:
  const APMPBMessageDescriptor& d_;
  MessageInfo* record_ = nullptr;
};

// Sets every field of the record: scalars to values made from the field index,
// strings to "s<index>", repeated fields to two elements; sub-messages are
// filled the same way down to the given depth.
void fillRecord(const APMPBMessageDescriptor& d, MessageInfo* record, int depth = 2);

// Encodes with the message's Encode; empty on failure (and fails the test).
std::vector<uint8_t> encode(const APMPBMessageDescriptor& d, const MessageInfo* record);

// Runs "protoc --decode_raw" over the bytes; the text it prints.
std::string decodeRaw(const std::vector<uint8_t>& bytes);
// Runs "protoc --encode" over a message in text form, with our .proto files
// ("MeasurementConfig", "measurement_config.proto"); the bytes it writes.
std::vector<uint8_t> encodeText(const std::string& message, const std::string& protoFile,
                                const std::string& text);
// The lines of the outermost level of decode_raw's text ("4: 12", "2 {").
std::vector<std::string> topLevelLines(const std::string& decodeRawText);
// The field numbers on the outermost level of decode_raw's text, with their
// occurrence counts.
std::map<int, int> topLevelFields(const std::string& decodeRawText);

// Protocol-buffer wire helpers for hand-made inputs.
std::vector<uint8_t> varint(uint64_t value);
std::vector<uint8_t> key(uint32_t tag, int wireType);
std::vector<uint8_t> lengthDelimited(uint32_t tag, const std::vector<uint8_t>& body);
std::vector<uint8_t> lengthDelimited(uint32_t tag, const std::string& body);
std::vector<uint8_t> varintField(uint32_t tag, uint64_t value);
std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts);
// Messages nested `levels` deep around the leaf: each level is its prefix,
// field `tag` holding the next level, then its suffix. Linear in the output.
std::vector<uint8_t> nestedChain(int levels, const std::vector<uint8_t>& leaf, uint32_t tag,
                                 const std::vector<uint8_t>& prefix = {},
                                 const std::vector<uint8_t>& suffix = {});

}  // namespace apmpb::test
