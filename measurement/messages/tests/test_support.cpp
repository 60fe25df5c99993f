#include "measurement/messages/tests/test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace apmpb::test {

Record::Record(const APMPBMessageDescriptor& d) : d_(d) {
  record_ = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
  d.functions().init(record_);
}

Record::~Record() {
  if (record_ != nullptr) d_.functions().free(record_);
}

void fillRecord(const APMPBMessageDescriptor& d, MessageInfo* record, int depth) {
  for (int32_t i = 0; i < d.fieldCount(); i++) {
    int32_t type = d.type(i);
    int32_t kind = type & 0xFFF0;
    void** slot = &record->values[i];
    std::string text = "s" + std::to_string(i);
    if (type & kAPMPBTypeRepeated) {
      if (kind == kAPMPBTypeMessage && depth <= 0) continue;
      auto* array = static_cast<APMPBArray*>(*slot);
      array->size = 2;
      array->data = std::calloc(2, sizeof(void*));
      auto** elements = static_cast<void**>(array->data);
      for (int k = 0; k < 2; k++) {
        if (kind == kAPMPBTypeMessage) {
          auto* child = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
          d.child(i)->functions().init(child);
          fillRecord(*d.child(i), child, depth - 1);
          elements[k] = child;
        } else if (kind == kAPMPBTypeString) {
          std::string element = text + "_" + std::to_string(k);
          APMPBSetStringCell(&elements[k], element.data(), element.size());
        } else {
          APMPBSetUInt64Cell(&elements[k], static_cast<uint64_t>(1000 * (i + 1) + k));
        }
      }
      continue;
    }
    switch (kind) {
      case kAPMPBTypeBool:
        APMPBSetBoolCell(slot, 1);
        break;
      case kAPMPBTypeEnum:
      case kAPMPBTypeInt32:
        APMPBSetUInt32Cell(slot, static_cast<uint32_t>(100 + i));
        break;
      case kAPMPBTypeInt64:
        APMPBSetUInt64Cell(slot, 1'700'000'000'000ULL + static_cast<uint64_t>(i));
        break;
      case kAPMPBTypeFloat:
        APMPBSetFloatCell(slot, 0.5f + static_cast<float>(i));
        break;
      case kAPMPBTypeDouble:
        APMPBSetDoubleCell(slot, 0.25 + i);
        break;
      case kAPMPBTypeString:
        APMPBSetStringCell(slot, text.data(), text.size());
        break;
      case kAPMPBTypeMessage: {
        if (depth <= 0) break;
        auto* child = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
        d.child(i)->functions().init(child);
        fillRecord(*d.child(i), child, depth - 1);
        *slot = child;
        break;
      }
      default:
        break;
    }
  }
}

std::vector<uint8_t> encode(const APMPBMessageDescriptor& d, const MessageInfo* record) {
  uint8_t* buffer = nullptr;
  uint32_t n = d.functions().encode(record, &buffer);
  EXPECT_NE(n, kAPMPBEncodeFailure) << d.name();
  if (n == kAPMPBEncodeFailure) return {};
  std::vector<uint8_t> bytes(buffer, buffer + n);
  std::free(buffer);
  return bytes;
}

namespace {

// Runs protoc with the arguments over the input; what it writes to standard
// output (and error, when `withErrors`).
std::string runProtoc(const std::string& arguments, const std::string& input, bool withErrors) {
  char path[] = "/tmp/apmpb-protoc-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  if (fd < 0) return {};
  EXPECT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(fd);
  std::string command = "protoc " + arguments + " < " + path + (withErrors ? " 2>&1" : "");
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) output.append(chunk, n);
    EXPECT_EQ(pclose(pipe), 0) << output;
  } else {
    ADD_FAILURE() << "cannot run protoc";
  }
  unlink(path);
  return output;
}

}  // namespace

std::string decodeRaw(const std::vector<uint8_t>& bytes) {
  return runProtoc("--decode_raw", std::string(bytes.begin(), bytes.end()), true);
}

std::vector<uint8_t> encodeText(const std::string& message, const std::string& protoFile,
                                const std::string& text) {
  std::string proto = std::string(DROSIL_SOURCE_DIR) + "/measurement/messages/proto";
  std::string bytes = runProtoc("-I " + proto + " --encode=measurement." + message + " " + proto +
                                    "/" + protoFile,
                                text, false);
  return {bytes.begin(), bytes.end()};
}

std::vector<std::string> topLevelLines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream lines(text);
  std::string line;
  int level = 0;
  while (std::getline(lines, line)) {
    if (line.find('}') != std::string::npos && line.find_first_not_of(" }") == std::string::npos) {
      level--;
      continue;
    }
    if (level == 0) result.push_back(line);
    if (!line.empty() && line.back() == '{') level++;
  }
  return result;
}

std::map<int, int> topLevelFields(const std::string& text) {
  std::map<int, int> fields;
  for (const std::string& line : topLevelLines(text)) {
    int number = std::atoi(line.c_str());
    if (number > 0) fields[number]++;
  }
  return fields;
}

std::vector<uint8_t> varint(uint64_t value) {
  std::vector<uint8_t> out;
  do {
    uint8_t byte = value & 0x7F;
    value >>= 7;
    if (value) byte |= 0x80;
    out.push_back(byte);
  } while (value);
  return out;
}

std::vector<uint8_t> key(uint32_t tag, int wireType) {
  return varint((static_cast<uint64_t>(tag) << 3) | static_cast<uint64_t>(wireType));
}

std::vector<uint8_t> lengthDelimited(uint32_t tag, const std::vector<uint8_t>& body) {
  return concat({key(tag, 2), varint(body.size()), body});
}

std::vector<uint8_t> lengthDelimited(uint32_t tag, const std::string& body) {
  return lengthDelimited(tag, std::vector<uint8_t>(body.begin(), body.end()));
}

std::vector<uint8_t> varintField(uint32_t tag, uint64_t value) {
  return concat({key(tag, 0), varint(value)});
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

std::vector<uint8_t> nestedChain(int levels, const std::vector<uint8_t>& leaf, uint32_t tag,
                                 const std::vector<uint8_t>& prefix,
                                 const std::vector<uint8_t>& suffix) {
  // Headers (key and length) from the innermost level out.
  std::vector<std::vector<uint8_t>> headers;
  size_t inner = leaf.size();
  for (int i = 0; i < levels; i++) {
    headers.push_back(concat({key(tag, 2), varint(inner)}));
    inner += prefix.size() + headers.back().size() + suffix.size();
  }
  std::vector<uint8_t> out;
  out.reserve(inner);
  for (auto header = headers.rbegin(); header != headers.rend(); ++header) {
    out.insert(out.end(), prefix.begin(), prefix.end());
    out.insert(out.end(), header->begin(), header->end());
  }
  out.insert(out.end(), leaf.begin(), leaf.end());
  for (int i = 0; i < levels; i++) out.insert(out.end(), suffix.begin(), suffix.end());
  return out;
}

}  // namespace apmpb::test
