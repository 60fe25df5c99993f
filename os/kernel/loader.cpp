// The image registry (see loader.h).
//
// Two locks: `notifyMutex` (recursive) serialises every change of the list
// together with its callbacks, so callbacks never overlap and see changes in
// order; `mutex` guards the data and is never held while a callback runs.
#include "os/kernel/loader.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "os/foundation/process_info.h"

namespace os::kernel {
namespace {

// Whether the simulated executable is encrypted: the process's one record of
// the main executable's crypt identifier.
bool simulatedExecutableIsEncrypted() { return os::ProcessInfo::processInfo().mainExecutableCryptID() != 0; }

struct Entry {
  ImageInfo info;
};

struct Registry {
  std::recursive_mutex notifyMutex;
  std::mutex mutex;
  std::vector<std::unique_ptr<Entry>> entries;  // guarded by mutex; main program first
  std::vector<std::unique_ptr<Entry>> leaving;  // guarded by mutex; while remove callbacks run
  std::vector<dyld_image_callback> addCallbacks;     // guarded by mutex
  std::vector<dyld_image_callback> removeCallbacks;  // guarded by mutex
  bool scanned = false;                              // guarded by notifyMutex
  unsigned long long adds = 0, subs = 0;             // guarded by notifyMutex
};

Registry& registry() {
  static Registry* r = new Registry();  // lives for the process: loader callbacks may come late
  return *r;
}

template <class T>
T load(uintptr_t address) {
  T value;
  std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof value);
  return value;
}

// A pointer of .eh_frame_hdr in the given DWARF encoding; false for an
// encoding this reader does not know.
bool decodePointer(uint8_t encoding, uintptr_t field, uintptr_t tableStart, uintptr_t& out) {
  if (encoding == 0xff || (encoding & 0x80)) return false;  // omitted, or indirect
  uintptr_t value = 0;
  switch (encoding & 0x0f) {
    case 0x00: value = load<uintptr_t>(field); break;
    case 0x02: value = load<uint16_t>(field); break;
    case 0x03: value = load<uint32_t>(field); break;
    case 0x04: value = uintptr_t(load<uint64_t>(field)); break;
    case 0x0a: value = uintptr_t(intptr_t(load<int16_t>(field))); break;
    case 0x0b: value = uintptr_t(intptr_t(load<int32_t>(field))); break;
    case 0x0c: value = uintptr_t(load<int64_t>(field)); break;
    default: return false;
  }
  switch (encoding & 0x70) {
    case 0x00: break;
    case 0x10: value += field; break;       // relative to the field
    case 0x30: value += tableStart; break;  // relative to .eh_frame_hdr
    default: return false;
  }
  out = value;
  return true;
}

// The size of .eh_frame: its records up to and including the zero
// terminator, never beyond `limit`.
uint64_t ehFrameSize(uintptr_t start, uintptr_t limit) {
  uintptr_t at = start;
  while (at + 4 <= limit) {
    uint64_t length = load<uint32_t>(at);
    uintptr_t body = at + 4;
    if (length == 0) return body - start;
    if (length == 0xffffffff) {
      if (body + 8 > limit) break;
      length = load<uint64_t>(body);
      body += 8;
    }
    if (length > limit - body) break;
    at = body + length;
  }
  return at - start;
}

void readBuildId(ImageInfo& image, uintptr_t notes, size_t size) {
  uintptr_t at = notes;
  const uintptr_t end = notes + size;
  auto align4 = [](uintptr_t v) { return (v + 3) & ~uintptr_t(3); };
  while (at + sizeof(ElfW(Nhdr)) <= end) {
    auto note = load<ElfW(Nhdr)>(at);
    uintptr_t name = at + sizeof(ElfW(Nhdr));
    uintptr_t desc = align4(name + note.n_namesz);
    if (desc + note.n_descsz > end) return;
    if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
        std::memcmp(reinterpret_cast<const void*>(name), "GNU", 4) == 0) {
      size_t n = std::min<size_t>(note.n_descsz, sizeof image.uuid);
      std::memcpy(image.uuid, reinterpret_cast<const void*>(desc), n);
      image.hasUUID = n > 0;
      return;
    }
    at = align4(desc + note.n_descsz);
  }
}

std::string executablePath() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, size_t(n)) : std::string();
}

struct Scan {
  std::vector<ImageInfo> images;
  unsigned long long adds = 0, subs = 0;
};

int collectImage(dl_phdr_info* info, size_t, void* data) {
  auto* scan = static_cast<Scan*>(data);
  scan->adds = info->dlpi_adds;
  scan->subs = info->dlpi_subs;
  ImageInfo image;
  image.slide = intptr_t(info->dlpi_addr);
  uintptr_t low = UINTPTR_MAX, high = 0, header = 0;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    if (ph.p_type == PT_LOAD) {
      low = std::min(low, start);
      high = std::max(high, uintptr_t(start + ph.p_memsz));
      if (ph.p_offset == 0 && header == 0) header = start;
    } else if (ph.p_type == PT_NOTE && !image.hasUUID) {
      readBuildId(image, start, ph.p_memsz);
    } else if (ph.p_type == PT_GNU_EH_FRAME) {
      image.ehFrameHdr = start;
      image.ehFrameHdrSize = ph.p_memsz;
    }
  }
  if (low == UINTPTR_MAX) return 0;  // nothing mapped
  image.header = reinterpret_cast<const void*>(header ? header : low);
  image.vmaddr = low;
  image.vmsize = high - low;
  // .eh_frame_hdr: version 1, then the encodings of the .eh_frame pointer,
  // the entry count and the table, then the .eh_frame pointer.
  if (image.ehFrameHdr != 0 && image.ehFrameHdrSize >= 8 && load<uint8_t>(image.ehFrameHdr) == 1) {
    uintptr_t frame = 0;
    if (decodePointer(load<uint8_t>(image.ehFrameHdr + 1), image.ehFrameHdr + 4, image.ehFrameHdr, frame) &&
        frame >= low && frame < high) {
      image.ehFrame = frame;
      image.ehFrameSize = ehFrameSize(frame, high);
    }
  }
  image.isMainProgram = scan->images.empty();
  if (image.isMainProgram) {
    image.path = executablePath();
    image.encrypted = simulatedExecutableIsEncrypted();
  } else {
    image.path = info->dlpi_name ? info->dlpi_name : "";
  }
  scan->images.push_back(std::move(image));
  return 0;
}

int readCounters(dl_phdr_info* info, size_t, void* data) {
  auto* scan = static_cast<Scan*>(data);
  scan->adds = info->dlpi_adds;
  scan->subs = info->dlpi_subs;
  return 1;  // the counters are the same in every entry
}

bool sameImage(const ImageInfo& a, const ImageInfo& b) { return a.header == b.header && a.path == b.path; }

void callEach(const std::vector<dyld_image_callback>& callbacks, const ImageInfo& image) {
  for (auto callback : callbacks) callback(static_cast<const mach_header*>(image.header), image.slide);
}

// Takes `gone` out (keeping it readable while the remove callbacks run),
// adds `arrived`, and calls the callbacks. Requires notifyMutex.
void apply(Registry& r, std::vector<std::unique_ptr<Entry>> gone, std::vector<std::unique_ptr<Entry>> arrived) {
  std::vector<dyld_image_callback> adds, removes;
  std::vector<ImageInfo> goneInfo, arrivedInfo;
  {
    std::lock_guard lock(r.mutex);
    adds = r.addCallbacks;
    removes = r.removeCallbacks;
    for (auto& e : gone) {
      goneInfo.push_back(e->info);
      r.leaving.push_back(std::move(e));
    }
    for (auto& e : arrived) {
      arrivedInfo.push_back(e->info);
      r.entries.push_back(std::move(e));
    }
  }
  for (const auto& image : goneInfo) callEach(removes, image);
  if (!goneInfo.empty()) {
    std::lock_guard lock(r.mutex);
    r.leaving.clear();
  }
  for (const auto& image : arrivedInfo) callEach(adds, image);
}

// Brings the ELF part of the list up to date with the loader.
void refresh() {
  Registry& r = registry();
  std::lock_guard notify(r.notifyMutex);
  Scan counters;
  dl_iterate_phdr(readCounters, &counters);
  if (r.scanned && counters.adds == r.adds && counters.subs == r.subs) return;
  Scan scan;
  dl_iterate_phdr(collectImage, &scan);
  r.scanned = true;
  r.adds = scan.adds;
  r.subs = scan.subs;
  std::vector<std::unique_ptr<Entry>> gone, arrived;
  {
    std::lock_guard lock(r.mutex);
    for (auto it = r.entries.begin(); it != r.entries.end();) {
      const bool elf = (*it)->info.format == ImageFormat::ELF;
      const bool present = std::any_of(scan.images.begin(), scan.images.end(),
                                       [&](const ImageInfo& i) { return sameImage(i, (*it)->info); });
      if (elf && !present) {
        gone.push_back(std::move(*it));
        it = r.entries.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& image : scan.images) {
      const bool known = std::any_of(r.entries.begin(), r.entries.end(),
                                     [&](const auto& e) { return sameImage(e->info, image); });
      if (!known) arrived.push_back(std::make_unique<Entry>(Entry{std::move(image)}));
    }
  }
  apply(r, std::move(gone), std::move(arrived));
}

const Entry* entryAt(Registry& r, uint32_t index) { return index < r.entries.size() ? r.entries[index].get() : nullptr; }

}  // namespace

bool isMachOHeader(const void* header) {
  if (!header) return false;
  uint32_t magic;
  std::memcpy(&magic, header, sizeof magic);
  return magic == MH_MAGIC || magic == MH_MAGIC_64;
}

const section_64* getsectbynamefromheader_64(const mach_header_64* header, const char* segname,
                                             const char* sectname) {
  if (!header || !segname || !sectname || header->magic != MH_MAGIC_64) return nullptr;
  auto base = reinterpret_cast<const unsigned char*>(header);
  const size_t end = sizeof(mach_header_64) + header->sizeofcmds;
  size_t at = sizeof(mach_header_64);
  for (uint32_t i = 0; i < header->ncmds; ++i) {
    if (at + sizeof(load_command) > end) return nullptr;
    load_command command;
    std::memcpy(&command, base + at, sizeof command);
    if (command.cmdsize < sizeof(load_command) || command.cmdsize > end - at) return nullptr;
    if (command.cmd == LC_SEGMENT_64 && command.cmdsize >= sizeof(segment_command_64)) {
      auto segment = reinterpret_cast<const segment_command_64*>(base + at);
      if (std::strncmp(segment->segname, segname, sizeof segment->segname) == 0) {
        auto sections = reinterpret_cast<const section_64*>(segment + 1);
        const size_t room = (command.cmdsize - sizeof(segment_command_64)) / sizeof(section_64);
        for (uint32_t s = 0; s < segment->nsects && s < room; ++s) {
          if (std::strncmp(sections[s].sectname, sectname, sizeof sections[s].sectname) == 0) return &sections[s];
        }
      }
    }
    at += command.cmdsize;
  }
  return nullptr;
}

std::optional<ImageInfo> imageInfoForHeader(const void* header) {
  refresh();
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  for (const auto* list : {&r.entries, &r.leaving}) {
    for (const auto& e : *list) {
      if (e->info.header == header) return e->info;
    }
  }
  return std::nullopt;
}

void _dyld_register_func_for_add_image(dyld_image_callback callback) {
  if (!callback) return;
  Registry& r = registry();
  std::lock_guard notify(r.notifyMutex);
  refresh();
  std::vector<ImageInfo> loaded;
  {
    std::lock_guard lock(r.mutex);
    r.addCallbacks.push_back(callback);
    for (const auto& e : r.entries) loaded.push_back(e->info);
  }
  for (const auto& image : loaded) callback(static_cast<const mach_header*>(image.header), image.slide);
}

void _dyld_register_func_for_remove_image(dyld_image_callback callback) {
  if (!callback) return;
  Registry& r = registry();
  std::lock_guard notify(r.notifyMutex);
  std::lock_guard lock(r.mutex);
  r.removeCallbacks.push_back(callback);
}

uint32_t _dyld_image_count() {
  refresh();
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return uint32_t(r.entries.size());
}

const mach_header* _dyld_get_image_header(uint32_t index) {
  refresh();
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  const Entry* e = entryAt(r, index);
  return e ? static_cast<const mach_header*>(e->info.header) : nullptr;
}

intptr_t _dyld_get_image_vmaddr_slide(uint32_t index) {
  refresh();
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  const Entry* e = entryAt(r, index);
  return e ? e->info.slide : 0;
}

const char* _dyld_get_image_name(uint32_t index) {
  refresh();
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  const Entry* e = entryAt(r, index);
  return e ? e->info.path.c_str() : nullptr;
}

const mach_header* _NSGetMachExecuteHeader() { return _dyld_get_image_header(0); }

int _NSGetExecutablePath(char* buffer, uint32_t* size) {
  if (!size) return -1;
  refresh();
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  const Entry* e = entryAt(r, 0);
  const std::string path = e ? e->info.path : std::string();
  if (!buffer || *size < path.size() + 1) {
    *size = uint32_t(path.size() + 1);
    return -1;
  }
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return 0;
}

void* dlopen(const char* path, int mode) {
  void* handle = ::dlopen(path, mode);
  if (handle) refresh();
  return handle;
}

int dlclose(void* handle) {
  int result = ::dlclose(handle);
  refresh();
  return result;
}

bool addSyntheticImage(const mach_header_64* header, intptr_t slide, std::string path) {
  if (!isMachOHeader(header)) return false;
  Registry& r = registry();
  std::lock_guard notify(r.notifyMutex);
  refresh();
  auto entry = std::make_unique<Entry>();
  entry->info.format = ImageFormat::MachO;
  entry->info.header = header;
  entry->info.slide = slide;
  entry->info.path = std::move(path);
  {
    std::lock_guard lock(r.mutex);
    for (const auto& e : r.entries)
      if (e->info.header == header) return false;
  }
  std::vector<std::unique_ptr<Entry>> arrived;
  arrived.push_back(std::move(entry));
  apply(r, {}, std::move(arrived));
  return true;
}

bool removeSyntheticImage(const mach_header_64* header) {
  Registry& r = registry();
  std::lock_guard notify(r.notifyMutex);
  std::vector<std::unique_ptr<Entry>> gone;
  {
    std::lock_guard lock(r.mutex);
    auto it = std::find_if(r.entries.begin(), r.entries.end(), [&](const auto& e) {
      return e->info.format == ImageFormat::MachO && e->info.header == header;
    });
    if (it == r.entries.end()) return false;
    gone.push_back(std::move(*it));
    r.entries.erase(it);
  }
  apply(r, std::move(gone), {});
  return true;
}

}  // namespace os::kernel
