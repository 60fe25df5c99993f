#include "crash/core/tests/macho_fixture.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "os/foundation/plist.h"

namespace crashtest {
namespace {

namespace k = os::kernel;

template <class T>
void append(std::vector<uint8_t>& out, const T& value) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
  out.insert(out.end(), bytes, bytes + sizeof value);
}

void appendName16(std::vector<uint8_t>& out, const std::string& name) {
  char field[16] = {};
  std::memcpy(field, name.data(), std::min(name.size(), sizeof field));
  out.insert(out.end(), field, field + sizeof field);
}

void padTo(std::vector<uint8_t>& out, size_t alignment) {
  while (out.size() % alignment != 0) out.push_back(0);
}

void putBigEndian(std::vector<uint8_t>& out, size_t offset, uint32_t value) {
  const uint32_t swapped = __builtin_bswap32(value);
  std::memcpy(out.data() + offset, &swapped, sizeof swapped);
}

}  // namespace

std::vector<uint8_t> buildMachO(const MachOSpec& spec) {
  const size_t alignment = spec.is64 ? 8 : 4;
  std::vector<std::vector<uint8_t>> commands;
  for (const MachOSegment& segment : spec.segments) {
    std::vector<uint8_t> c;
    if (spec.is64) {
      const uint32_t size = uint32_t(sizeof(k::segment_command_64) + segment.sections.size() * sizeof(k::section_64));
      append(c, k::LC_SEGMENT_64);
      append(c, size);
      appendName16(c, segment.name);
      append(c, segment.vmaddr);
      append(c, segment.vmsize);
      append(c, uint64_t(0));  // fileoff
      append(c, segment.vmsize);
      append(c, int32_t(7));
      append(c, int32_t(5));
      append(c, uint32_t(segment.sections.size()));
      append(c, uint32_t(0));
      for (const MachOSection& section : segment.sections) {
        appendName16(c, section.name);
        appendName16(c, segment.name);
        append(c, section.addr);
        append(c, section.size);
        for (int i = 0; i < 8; ++i) append(c, uint32_t(0));
      }
    } else {
      append(c, k::LC_SEGMENT);
      append(c, uint32_t(sizeof(k::segment_command)));
      appendName16(c, segment.name);
      append(c, uint32_t(segment.vmaddr));
      append(c, uint32_t(segment.vmsize));
      append(c, uint32_t(0));
      append(c, uint32_t(segment.vmsize));
      append(c, int32_t(7));
      append(c, int32_t(5));
      append(c, uint32_t(0));
      append(c, uint32_t(0));
    }
    commands.push_back(std::move(c));
  }
  if (spec.uuid) {
    std::vector<uint8_t> c;
    append(c, k::LC_UUID);
    append(c, uint32_t(sizeof(k::uuid_command)));
    c.insert(c.end(), spec.uuid->begin(), spec.uuid->end());
    commands.push_back(std::move(c));
  }
  for (const std::string& dylib : spec.dylibs) {
    std::vector<uint8_t> c;
    const size_t size = (sizeof(k::dylib_command) + dylib.size() + 1 + alignment - 1) / alignment * alignment;
    append(c, k::LC_LOAD_DYLIB);
    append(c, uint32_t(size));
    append(c, uint32_t(sizeof(k::dylib_command)));
    append(c, uint32_t(2));
    append(c, uint32_t(0x10000));
    append(c, uint32_t(0x10000));
    c.insert(c.end(), dylib.begin(), dylib.end());
    c.resize(size, 0);
    commands.push_back(std::move(c));
  }
  if (spec.cryptid) {
    std::vector<uint8_t> c;
    append(c, k::LC_ENCRYPTION_INFO);
    append(c, uint32_t(24));
    append(c, uint32_t(0x4000));
    append(c, uint32_t(0x1000));
    append(c, *spec.cryptid);
    append(c, uint32_t(0));
    commands.push_back(std::move(c));
  }
  if (spec.versionMinCommand != 0) {
    std::vector<uint8_t> c;
    append(c, spec.versionMinCommand);
    append(c, uint32_t(sizeof(k::version_min_command)));
    append(c, spec.minimumVersion);
    append(c, spec.sdkVersion);
    commands.push_back(std::move(c));
  }

  std::vector<uint8_t> out;
  size_t sizeofcmds = 0;
  for (auto& c : commands) {
    padTo(c, alignment);
    const uint32_t size = uint32_t(c.size());
    std::memcpy(c.data() + 4, &size, sizeof size);
    sizeofcmds += c.size();
  }
  append(out, spec.is64 ? k::MH_MAGIC_64 : k::MH_MAGIC);
  append(out, spec.cputype);
  append(out, spec.cpusubtype);
  append(out, uint32_t(6));  // a dynamic library
  append(out, uint32_t(commands.size()));
  append(out, uint32_t(sizeofcmds));
  append(out, uint32_t(0));
  if (spec.is64) append(out, uint32_t(0));
  for (const auto& c : commands) out.insert(out.end(), c.begin(), c.end());
  return out;
}

size_t loadCommandOffset(const std::vector<uint8_t>& slice, size_t n) {
  uint32_t magic;
  std::memcpy(&magic, slice.data(), sizeof magic);
  size_t at = magic == k::MH_MAGIC_64 ? 32 : 28;
  for (size_t i = 0; i < n; ++i) {
    uint32_t size;
    std::memcpy(&size, slice.data() + at + 4, sizeof size);
    at += size;
  }
  return at;
}

size_t fatSliceOffset(size_t n) { return 4096 * (n + 1); }

std::vector<uint8_t> buildFat(const std::vector<FatSlice>& slices) {
  std::vector<uint8_t> out(8 + 20 * slices.size(), 0);
  putBigEndian(out, 0, k::FAT_MAGIC);
  putBigEndian(out, 4, uint32_t(slices.size()));
  for (size_t i = 0; i < slices.size(); ++i) {
    const size_t entry = 8 + 20 * i;
    putBigEndian(out, entry, uint32_t(slices[i].cputype));
    putBigEndian(out, entry + 4, uint32_t(slices[i].cpusubtype));
    putBigEndian(out, entry + 8, uint32_t(fatSliceOffset(i)));
    putBigEndian(out, entry + 12, uint32_t(slices[i].bytes.size()));
    putBigEndian(out, entry + 16, 12);
    out.resize(fatSliceOffset(i), 0);
    out.insert(out.end(), slices[i].bytes.begin(), slices[i].bytes.end());
  }
  return out;
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void writeDSYM(const std::string& path, const os::Dictionary& info, const std::string& name,
               const std::vector<uint8_t>& binary) {
  std::filesystem::create_directories(path + "/Contents/Resources/DWARF");
  auto data = os::PropertyListSerialization::dataWithPropertyList(os::Value(info),
                                                                  os::PropertyListSerialization::Format::XML);
  if (data) {
    writeBytes(path + "/Contents/Info.plist", std::vector<uint8_t>(data->bytes(), data->bytes() + data->length()));
  }
  writeBytes(path + "/Contents/Resources/DWARF/" + name, binary);
}

SyntheticImage::SyntheticImage(const MachOSpec& spec, std::string path) : path_(std::move(path)) {
  const std::vector<uint8_t> bytes = buildMachO(spec);
  storage_ = std::make_unique<uint64_t[]>((bytes.size() + 7) / 8);
  std::memcpy(storage_.get(), bytes.data(), bytes.size());
}

SyntheticImage::~SyntheticImage() { remove(); }

bool SyntheticImage::add() {
  if (added_) return false;
  added_ = k::addSyntheticImage(header(), intptr_t(base()), path_);
  return added_;
}

bool SyntheticImage::remove() {
  if (!added_) return false;
  added_ = false;
  return k::removeSyntheticImage(header());
}

const k::mach_header_64* SyntheticImage::header() const {
  return reinterpret_cast<const k::mach_header_64*>(storage_.get());
}

}  // namespace crashtest
