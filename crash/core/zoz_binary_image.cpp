// Binary images (see zoz_binary_image.h).
#include "crash/core/zoz_binary_image.h"

#include <elf.h>
#include <link.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "crash/core/zoz_context.h"
#include "crash/core/zoz_sdk_log.h"
#include "crash/core/zoz_utilities.h"
#include "os/foundation/bundle.h"
#include "os/kernel/loader.h"

namespace {

namespace k = os::kernel;

constexpr const char* kSystemPrefix = "/System";
constexpr const char* kFrameworkMarker = ".framework";

// What a loader callback hands to the binary-images queue.
struct ImageEvent {
  bool added = false;
  ZOZBinaryImageDetails details;
  std::string path;
};

// The loader keeps its callbacks for the life of the process: they are
// registered once and always serve the current context.
std::atomic<bool> gCallbacksRegistered{false};

bool sameSegmentName(const char* name, const char* wanted) { return std::strncmp(name, wanted, 16) == 0; }

struct MachOWalk {
  ZOZBinaryImageDetails* details;
};

void readLoadCommand(uint32_t type, uint32_t size, const void* command, void* context) {
  auto* details = static_cast<MachOWalk*>(context)->details;
  switch (type) {
    case k::LC_UUID: {
      uint8_t uuid[16];
      if (ZOZMachOGetUUID(command, size, uuid)) ZOZSafeHexToString(uuid, sizeof uuid, details->uuidString);
      break;
    }
    case k::LC_SEGMENT: {
      if (size < sizeof(k::segment_command)) break;
      k::segment_command segment;
      std::memcpy(&segment, command, sizeof segment);
      if (sameSegmentName(segment.segname, "__TEXT")) details->size = segment.vmsize;
      break;
    }
    case k::LC_SEGMENT_64: {
      if (size < sizeof(k::segment_command_64)) break;
      k::segment_command_64 segment;
      std::memcpy(&segment, command, sizeof segment);
      if (sameSegmentName(segment.segname, "__TEXT")) details->size = segment.vmsize;
      break;
    }
    case k::LC_ENCRYPTION_INFO:
      details->encrypted = ZOZMachOIsEncrypted(command, size);
      break;
    case k::LC_VERSION_MIN_MACOSX:
    case k::LC_VERSION_MIN_IPHONEOS:
    case k::LC_VERSION_MIN_TVOS:
    case k::LC_VERSION_MIN_WATCHOS:
      details->minSDK = ZOZMachOGetMinimumOSVersion(command, size);
      details->builtSDK = ZOZMachOGetSDKVersion(command, size);
      break;
    default:
      break;
  }
}

uintptr_t slidSection(const k::mach_header_64* header, intptr_t slide, const char* segment, const char* section) {
  const k::section_64* found = k::getsectbynamefromheader_64(header, segment, section);
  return found ? uintptr_t(found->addr) + uintptr_t(slide) : 0;
}

void fillMachO(ZOZBinaryImageDetails* details) {
  ZOZMachOEnumerateSlicesAtAddress(details->slice.startAddress, [&](const ZOZMachOSlice& slice) {
    details->slice = slice;
  });
  MachOWalk walk{details};
  ZOZMachOSliceEnumerateLoadCommands_f(&details->slice, &walk, readLoadCommand);
  const auto* header = static_cast<const k::mach_header_64*>(details->slice.startAddress);
  details->node.unwindInfo = slidSection(header, details->vmaddrSlide, "__TEXT", "__unwind_info");
  details->node.ehFrame = slidSection(header, details->vmaddrSlide, "__TEXT", "__eh_frame");
  details->node.crashInfo = slidSection(header, details->vmaddrSlide, "__DATA", "__crash_info");
}

void fillELF(ZOZBinaryImageDetails* details) {
  const auto info = k::imageInfoForHeader(details->slice.startAddress);
  if (!info) return;
  // The running architecture: ELF images are the process's own.
  const ZOZMachOSlice running = ZOZMachOGetSlice();
  details->slice.cputype = running.cputype;
  details->slice.cpusubtype = running.cpusubtype;
  if (info->hasUUID) ZOZSafeHexToString(info->uuid, sizeof info->uuid, details->uuidString);
  const uintptr_t end = info->vmaddr + info->vmsize;
  details->size = end > details->baseAddress ? end - details->baseAddress : 0;
  details->encrypted = info->encrypted;
  details->node.ehFrame = info->ehFrame;
  details->node.ehFrameHdr = info->ehFrameHdr;
}

// Claims a free slot for a load, frees the image's slot for an unload.
void storeNode(bool added, const ZOZBinaryImageDetails& details) {
  ZOZWritableContext* writable = zozContext.writable;
  if (!writable) {
    ZOZSDKLogError("Error: Writable context is NULL");
    return;
  }
  const uintptr_t base = details.node.baseAddress;
  const uintptr_t expected = added ? 0 : base;
  const uintptr_t replacement = added ? base : 0;
  for (ZOZBinaryImageRuntimeNode& node : writable->binaryImage.nodes) {
    uintptr_t current = ZOZBinaryImageNodeBase(node);
    if (current != expected) continue;
    if (!__atomic_compare_exchange_n(&node.baseAddress, &current, replacement, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE)) {
      if (!added) {
        ZOZSDKLogError("Error: Failed to swap during image unload");
        return;
      }
      continue;
    }
    const ZOZBinaryImageRuntimeNode fields = added ? details.node : ZOZBinaryImageRuntimeNode{};
    node.size = fields.size;
    node.ehFrame = fields.ehFrame;
    node.unwindInfo = fields.unwindInfo;
    node.crashInfo = fields.crashInfo;
    node.ehFrameHdr = fields.ehFrameHdr;
    return;
  }
  ZOZSDKLogError("Error: Unable to track a %s node %p", added ? "loaded" : "unloaded",
                 reinterpret_cast<const void*>(base));
}

// Opens the image log unless it is open; true when this call opened it.
bool openIfNeeded(ZOZReadOnlyContext* readonly, ZOZWritableContext* writable) {
  if (ZOZFileIsOpen(&writable->binaryImage.file)) return false;
  if (!ZOZFileInitWithPathMode(&writable->binaryImage.file, readonly->binaryimage.path, true, false)) {
    ZOZSDKLogError("Error: unable to open binary image log file");
    return false;
  }
  return true;
}

void writeBundleInfo(ZOZFile* file, const std::string& path) {
  if (path.starts_with(kSystemPrefix) || path.find(kFrameworkMarker) == std::string::npos) return;
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return;
  auto bundle = os::Bundle::bundleWithPath(path.substr(0, slash));
  if (!bundle) return;
  auto info = [&](const char* key) { return bundle->objectForInfoDictionaryKey(key).stringValue(); };
  ZOZFileWriteHashEntryNSString(file, "bundle_id", bundle->bundleIdentifier());
  ZOZFileWriteHashEntryNSString(file, "build_version", info(os::kCFBundleVersionKey));
  ZOZFileWriteHashEntryNSString(file, "display_version", info(os::kCFBundleShortVersionStringKey));
}

void recordSlice(const ImageEvent& event) {
  ZOZReadOnlyContext* readonly = zozContext.readonly;
  ZOZWritableContext* writable = zozContext.writable;
  if (!readonly || !writable || !readonly->binaryimage.path) return;
  const bool openedHere = openIfNeeded(readonly, writable);
  ZOZFile* file = &writable->binaryImage.file;
  if (!ZOZFileIsOpen(file)) return;
  ZOZFileWriteSectionStart(file, event.added ? "load" : "unload");
  ZOZFileWriteHashStart(file);
  ZOZFileWriteHashEntryString(file, "path", event.path.c_str());
  if (event.added) writeBundleInfo(file, event.path);
  ZOZBinaryImageRecordDetails(file, &event.details);
  ZOZFileWriteHashEnd(file);
  ZOZFileWriteSectionEnd(file);
  if (openedHere) ZOZFileClose(file);
}

void handleImage(bool added, const k::mach_header* header, intptr_t slide) {
  auto event = std::make_unique<ImageEvent>();
  event->added = added;
  event->details.slice.startAddress = header;
  event->details.vmaddrSlide = slide;
  ZOZBinaryImageFillInImageDetails(&event->details);
  if (auto info = k::imageInfoForHeader(header)) event->path = info->path;
  auto queue = ZOZContextBinaryImagesQueue();
  if (!queue) return;
  queue->async([event = std::shared_ptr<ImageEvent>(std::move(event))] {
    storeNode(event->added, event->details);
    recordSlice(*event);
  });
}

void addImage(const k::mach_header* header, intptr_t slide) { handleImage(true, header, slide); }
void removeImage(const k::mach_header* header, intptr_t slide) { handleImage(false, header, slide); }

// ---- Images mapped without the table knowing (crash time) ----

// The longest image path read from the loader's list.
constexpr size_t kLoaderPathMax = 1024;
// Bounds on what the loader's list may make the walk read.
constexpr size_t kLoaderMapsMax = 4096;
constexpr ElfW(Half) kProgramHeadersMax = 64;
constexpr size_t kNotesMax = 512;

bool tableHoldsBase(const ZOZWritableContext* writable, uintptr_t base) {
  for (const ZOZBinaryImageRuntimeNode& node : writable->binaryImage.nodes) {
    if (ZOZBinaryImageNodeBase(node) == base) return true;
  }
  return false;
}

// The .eh_frame address that .eh_frame_hdr names (the encodings the linker
// writes: absolute, or relative to the field), 0 otherwise.
uintptr_t safeEhFrameFromHeader(uintptr_t header) {
  uint8_t start[4];
  if (!ZOZReadMemory(header, start, sizeof start) || start[0] != 1) return 0;
  const uint8_t encoding = start[1];
  const uintptr_t field = header + 4;
  int64_t value = 0;
  switch (encoding & 0x0f) {
    case 0x03: { uint32_t v; if (!ZOZReadMemory(field, &v, sizeof v)) return 0; value = v; break; }
    case 0x0b: { int32_t v; if (!ZOZReadMemory(field, &v, sizeof v)) return 0; value = v; break; }
    case 0x00:
    case 0x04:
    case 0x0c: { int64_t v; if (!ZOZReadMemory(field, &v, sizeof v)) return 0; value = v; break; }
    default: return 0;
  }
  if ((encoding & 0x70) == 0x10) return uintptr_t(int64_t(field) + value);
  return (encoding & 0x70) == 0 ? uintptr_t(value) : 0;
}

void safeReadBuildId(uintptr_t notes, size_t size, char* uuidString) {
  uint8_t bytes[kNotesMax];
  size = size < sizeof bytes ? size : sizeof bytes;
  if (!ZOZReadMemory(notes, bytes, size)) return;
  size_t at = 0;
  const auto align4 = [](size_t v) { return (v + 3) & ~size_t(3); };
  while (at + sizeof(ElfW(Nhdr)) <= size) {
    ElfW(Nhdr) note;
    std::memcpy(&note, bytes + at, sizeof note);
    const size_t name = at + sizeof note;
    const size_t desc = align4(name + note.n_namesz);
    if (desc + note.n_descsz > size) return;
    if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && std::memcmp(bytes + name, "GNU", 4) == 0) {
      const size_t length = note.n_descsz < 16 ? note.n_descsz : 16;
      if (length > 0) ZOZSafeHexToString(bytes + desc, length, uuidString);
      return;
    }
    at = align4(desc + note.n_descsz);
  }
}

// What the ELF headers of the object loaded at `bias` say, read safely.
bool safeReadLoadedObject(uintptr_t bias, ZOZBinaryImageDetails* details) {
  ElfW(Ehdr) elf;
  if (!ZOZReadMemory(bias, &elf, sizeof elf) || std::memcmp(elf.e_ident, ELFMAG, SELFMAG) != 0 ||
      elf.e_phentsize != sizeof(ElfW(Phdr)) || elf.e_phnum == 0 || elf.e_phnum > kProgramHeadersMax) {
    return false;
  }
  ElfW(Phdr) headers[kProgramHeadersMax];
  if (!ZOZReadMemory(bias + elf.e_phoff, headers, elf.e_phnum * sizeof(ElfW(Phdr)))) return false;
  uintptr_t low = UINTPTR_MAX, high = 0, header = 0;
  for (ElfW(Half) i = 0; i < elf.e_phnum; ++i) {
    const ElfW(Phdr)& ph = headers[i];
    const uintptr_t start = bias + ph.p_vaddr;
    if (ph.p_type == PT_LOAD) {
      low = start < low ? start : low;
      high = start + ph.p_memsz > high ? start + ph.p_memsz : high;
      if (ph.p_offset == 0 && header == 0) header = start;
    } else if (ph.p_type == PT_NOTE && details->uuidString[0] == '\0') {
      safeReadBuildId(start, ph.p_memsz, details->uuidString);
    } else if (ph.p_type == PT_GNU_EH_FRAME) {
      details->node.ehFrameHdr = start;
    }
  }
  if (low == UINTPTR_MAX) return false;
  if (header == 0) header = low;
  details->baseAddress = header;
  details->vmaddrSlide = intptr_t(bias);
  details->size = high - header;
  if (details->node.ehFrameHdr != 0) details->node.ehFrame = safeEhFrameFromHeader(details->node.ehFrameHdr);
  details->node.baseAddress = header;
  details->node.size = details->size;
  return true;
}

bool claimSlot(ZOZWritableContext* writable, const ZOZBinaryImageRuntimeNode& fields) {
  for (ZOZBinaryImageRuntimeNode& node : writable->binaryImage.nodes) {
    uintptr_t expected = 0;
    if (ZOZBinaryImageNodeBase(node) != 0) continue;
    if (!__atomic_compare_exchange_n(&node.baseAddress, &expected, fields.baseAddress, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE)) {
      continue;
    }
    node.size = fields.size;
    node.ehFrame = fields.ehFrame;
    node.unwindInfo = 0;
    node.crashInfo = 0;
    node.ehFrameHdr = fields.ehFrameHdr;
    return true;
  }
  return false;
}

}  // namespace

size_t ZOZBinaryImageSafeAddUnlistedImages() {
  ZOZReadOnlyContext* readonly = zozContext.readonly;
  ZOZWritableContext* writable = zozContext.writable;
  if (!readonly || !writable) return 0;
  r_debug debug;
  if (!ZOZReadMemory(reinterpret_cast<uintptr_t>(&_r_debug), &debug, sizeof debug)) return 0;
  ZOZFile log;
  bool logOpen = false;
  size_t added = 0;
  uintptr_t at = reinterpret_cast<uintptr_t>(debug.r_map);
  for (size_t i = 0; at != 0 && i < kLoaderMapsMax; ++i) {
    link_map map;
    if (!ZOZReadMemory(at, &map, sizeof map)) break;
    at = reinterpret_cast<uintptr_t>(map.l_next);
    ZOZBinaryImageDetails details;
    if (!safeReadLoadedObject(uintptr_t(map.l_addr), &details) || tableHoldsBase(writable, details.baseAddress)) {
      continue;
    }
    if (!claimSlot(writable, details.node)) {
      ZOZSDKLogError("Error: Unable to track a %s node %p", "loaded", reinterpret_cast<const void*>(details.baseAddress));
      break;
    }
    ++added;
    ZOZSDKLogInfo("Added image %p, mapped after the last refresh", reinterpret_cast<const void*>(details.baseAddress));
    char path[kLoaderPathMax + 1] = {};
    const char* name = nullptr;
    if (map.l_name && ZOZReadString(reinterpret_cast<uintptr_t>(map.l_name), &name, kLoaderPathMax) && name) {
      const size_t length = ::strnlen(name, kLoaderPathMax);
      std::memcpy(path, name, length);
    }
    if (!logOpen && readonly->binaryimage.path) {
      logOpen = ZOZFileInitWithPathMode(&log, readonly->binaryimage.path, true, false);
      if (!logOpen) ZOZSDKLogError("Error: unable to open binary image log file");
    }
    if (!logOpen) continue;
    ZOZFileWriteSectionStart(&log, "load");
    ZOZFileWriteHashStart(&log);
    ZOZFileWriteHashEntryString(&log, "path", path);
    ZOZBinaryImageRecordDetails(&log, &details);
    ZOZFileWriteHashEnd(&log);
    ZOZFileWriteSectionEnd(&log);
  }
  if (logOpen) ZOZFileClose(&log);
  return added;
}

void ZOZBinaryImageFillInImageDetails(ZOZBinaryImageDetails* details) {
  if (!details || !details->slice.startAddress) return;
  const ZOZMachOSlice slice = details->slice;
  const intptr_t slide = details->vmaddrSlide;
  *details = ZOZBinaryImageDetails{};
  details->slice = slice;
  details->vmaddrSlide = slide;
  details->baseAddress = reinterpret_cast<uintptr_t>(slice.startAddress);
  if (k::isMachOHeader(slice.startAddress)) {
    fillMachO(details);
  } else {
    fillELF(details);
  }
  details->node.baseAddress = details->baseAddress;
  details->node.size = details->size;
}

void ZOZBinaryImageInit() {
  ZOZReadOnlyContext* readonly = zozContext.readonly;
  ZOZWritableContext* writable = zozContext.writable;
  auto queue = ZOZContextBinaryImagesQueue();
  if (!readonly || !writable || !queue) return;
  writable->binaryImage.file = ZOZFile{};
  for (ZOZBinaryImageRuntimeNode& node : writable->binaryImage.nodes) {
    __atomic_store_n(&node.baseAddress, uintptr_t(0), __ATOMIC_RELEASE);
    node.size = node.ehFrame = node.unwindInfo = node.crashInfo = node.ehFrameHdr = 0;
  }

  queue->async([readonly, writable] {
    if (!ZOZUnlinkIfExists(readonly->binaryimage.path)) {
      ZOZSDKLogError("Unable to reset the binary image log file %s", ::strerrorname_np(errno));
    }
    if (!ZOZFileInitWithPathMode(&writable->binaryImage.file, readonly->binaryimage.path, true, false)) {
      ZOZSDKLogError("Error: Unable to open the binary image log file during init");
    }
  });

  if (!gCallbacksRegistered.exchange(true)) {
    // The loader reports every image loaded so far at once.
    k::_dyld_register_func_for_add_image(addImage);
    k::_dyld_register_func_for_remove_image(removeImage);
  } else {
    // Tracking already runs (a second start-up in this process): report the
    // images loaded so far, as a registration would.
    for (uint32_t i = 0; i < k::_dyld_image_count(); ++i) {
      if (const k::mach_header* header = k::_dyld_get_image_header(i)) {
        addImage(header, k::_dyld_get_image_vmaddr_slide(i));
      }
    }
  }

  // After the work queued by the first callbacks.
  queue->async([writable] { ZOZFileClose(&writable->binaryImage.file); });
}

bool ZOZBinaryImageSafeFindImageForAddress(uintptr_t address, ZOZBinaryImageRuntimeNode* image) {
  if (!image || !ZOZContextIsInitialized()) return false;
  ZOZWritableContext* writable = zozContext.writable;
  if (!writable) return false;
  for (size_t i = 0; i < kZOZBinaryImageSlotCount; ++i) {
    const ZOZBinaryImageRuntimeNode* node = &writable->binaryImage.nodes[i];
    if (reinterpret_cast<uintptr_t>(node) < kZOZMinimumValidAddress) {
      ZOZSDKLogError("Invalid node pointer encountered in context's writable binary image at index %i", int(i));
      continue;
    }
    const uintptr_t base = ZOZBinaryImageNodeBase(*node);
    if (base == 0 || address < base || address - base >= node->size) continue;
    image->baseAddress = base;
    image->size = node->size;
    image->ehFrame = node->ehFrame;
    image->unwindInfo = node->unwindInfo;
    image->crashInfo = node->crashInfo;
    image->ehFrameHdr = node->ehFrameHdr;
    return true;
  }
  return false;
}

bool ZOZBinaryImageFindImageForUUID(const char* uuidString, ZOZBinaryImageDetails* details) {
  if (!uuidString || !details) return false;
  for (uint32_t i = 0; i < k::_dyld_image_count(); ++i) {
    ZOZBinaryImageDetails candidate;
    candidate.slice.startAddress = k::_dyld_get_image_header(i);
    candidate.vmaddrSlide = k::_dyld_get_image_vmaddr_slide(i);
    if (!candidate.slice.startAddress) continue;
    ZOZBinaryImageFillInImageDetails(&candidate);
    if (std::strncmp(candidate.uuidString, uuidString, sizeof candidate.uuidString) == 0) {
      *details = candidate;
      return true;
    }
  }
  return false;
}

void ZOZBinaryImageRecordDetails(ZOZFile* file, const ZOZBinaryImageDetails* details) {
  if (!file) {
    ZOZSDKLogError("Error: file is invalid");
    return;
  }
  if (!details) return;
  ZOZFileWriteHashEntryString(file, "uuid", details->uuidString);
  ZOZFileWriteHashEntryUint64(file, "base", details->baseAddress);
  ZOZFileWriteHashEntryUint64(file, "size", details->size);
}
