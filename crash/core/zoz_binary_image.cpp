// Binary images (see zoz_binary_image.h).
#include "crash/core/zoz_binary_image.h"

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

}  // namespace

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
