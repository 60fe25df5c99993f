// Mach-O objects (see zoz_macho_binary.h).
#include "crash/core/zoz_macho_binary.h"

#include <algorithm>

#include "crash/core/zoz_utilities.h"
#include "os/foundation/file_manager.h"

namespace {
constexpr const char* kDWARFFolder = "/Contents/Resources/DWARF";
constexpr const char* kContentsFolder = "/Contents";
}  // namespace

// ---- Slice ----

ZOZMachOSliceObject::ZOZMachOSliceObject(const ZOZMachOSlice& slice) : slice_(slice) {
  ZOZMachOSliceEnumerateLoadCommands(&slice_, [this](uint32_t type, uint32_t size, const void* command) {
    switch (type) {
      case kZOZMachOLoadDylibCommand:
        if (const char* name = ZOZMachOGetDylibName(command, size)) linkedDylibs_.emplace_back(name);
        break;
      case kZOZMachOUUIDCommand: {
        uint8_t bytes[16];
        if (ZOZMachOGetUUID(command, size, bytes)) uuid_ = ZOZUUIDToNSString(bytes);
        break;
      }
      case kZOZMachOVersionMinMacOSXCommand:
      case kZOZMachOVersionMinIPhoneOSCommand:
      case kZOZMachOVersionMinTVOSCommand:
      case kZOZMachOVersionMinWatchOSCommand:
        minimumOSVersion_ = ZOZMachOGetMinimumOSVersion(command, size);
        linkedSDKVersion_ = ZOZMachOGetSDKVersion(command, size);
        break;
      default:
        break;
    }
  });
}

std::shared_ptr<ZOZMachOSliceObject> ZOZMachOSliceObject::runningSlice() {
  return std::make_shared<ZOZMachOSliceObject>(ZOZMachOGetSlice());
}

std::string ZOZMachOSliceObject::architectureName() const { return ZOZMachOSliceGetArchitectureName(&slice_); }

// ---- Binary ----

std::shared_ptr<ZOZMachOBinary> ZOZMachOBinary::MachOBinaryWithPath(const std::string& path) {
  return initWithURL(path);
}

std::shared_ptr<ZOZMachOBinary> ZOZMachOBinary::initWithURL(const std::string& url) {
  std::shared_ptr<ZOZMachOBinary> binary(new ZOZMachOBinary(url));
  if (!ZOZMachOFileInitWithPath(&binary->file_, url.c_str())) return nullptr;
  ZOZMachOFileEnumerateSlices(&binary->file_, [&](const ZOZMachOSlice& slice) {
    binary->slices_.push_back(std::make_shared<ZOZMachOSliceObject>(slice));
  });
  return binary;
}

ZOZMachOBinary::~ZOZMachOBinary() { ZOZMachOFileDestroy(&file_); }

void ZOZMachOBinary::enumerateUUIDs(
    const std::function<void(const std::string& uuid, const std::string& architecture)>& block) const {
  if (!block) return;
  for (const auto& slice : slices_) block(slice->uuid(), slice->architectureName());
}

std::shared_ptr<ZOZMachOSliceObject> ZOZMachOBinary::sliceForArchitecture(const std::string& architecture) const {
  for (const auto& slice : slices_) {
    if (slice->architectureName() == architecture) return slice;
  }
  return nullptr;
}

std::string ZOZMachOBinary::instanceIdentifier() {
  std::lock_guard lock(mutex_);
  if (!instanceIdentifier_) {
    std::vector<std::shared_ptr<ZOZMachOSliceObject>> sorted = slices_;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto& a, const auto& b) { return a->architectureName() < b->architectureName(); });
    std::string uuids;
    for (const auto& slice : sorted) uuids += slice->uuid();
    instanceIdentifier_ = hashNSString(uuids);
  }
  return *instanceIdentifier_;
}

std::string ZOZMachOBinary::hashNSString(const std::string& text) { return ZOZHashBytesSHA1(text.data(), text.size()); }

// ---- Debug-symbol bundle ----

std::shared_ptr<ZOZdSYM> ZOZdSYM::dSYMWithURL(const std::string& url) { return initWithURL(url); }

std::shared_ptr<ZOZdSYM> ZOZdSYM::initWithURL(const std::string& url) {
  auto& manager = os::FileManager::defaultManager();
  if (url.empty() || !manager.isDirectoryAtPath(url)) return nullptr;
  auto bundle = os::Bundle::bundleWithPath(url + kContentsFolder);
  if (!bundle) return nullptr;
  const std::string dwarf = url + kDWARFFolder;
  if (!manager.isDirectoryAtPath(dwarf)) return nullptr;
  auto entries = manager.contentsOfDirectoryAtPath(dwarf);
  if (!entries || entries->empty()) return nullptr;
  auto binary = ZOZMachOBinary::initWithURL(dwarf + "/" + entries->front());
  if (!binary) return nullptr;
  return std::shared_ptr<ZOZdSYM>(new ZOZdSYM(std::move(binary), std::move(bundle)));
}

std::string ZOZdSYM::bundleIdentifier() const {
  std::string identifier = bundle_->bundleIdentifier();
  const std::string prefix = kZOZdSYMIdentifierPrefix;
  if (identifier.starts_with(prefix)) identifier.erase(0, prefix.size());
  return identifier;
}

std::string ZOZdSYM::executableURL() const { return binary_->URL(); }
std::string ZOZdSYM::executablePath() const { return binary_->path(); }

namespace {
std::optional<std::string> infoString(const os::Bundle& bundle, const char* key) {
  const os::Value value = bundle.objectForInfoDictionaryKey(key);
  if (const std::string* text = value.string()) return *text;
  return std::nullopt;
}
}  // namespace

std::optional<std::string> ZOZdSYM::bundleVersion() const { return infoString(*bundle_, os::kCFBundleVersionKey); }

std::optional<std::string> ZOZdSYM::shortBundleVersion() const {
  return infoString(*bundle_, os::kCFBundleShortVersionStringKey);
}

void ZOZdSYM::enumerateUUIDs(
    const std::function<void(const std::string& uuid, const std::string& architecture)>& block) const {
  binary_->enumerateUUIDs(block);
}

// ---- Code mapping ----

std::shared_ptr<ZOZCodeMapping> ZOZCodeMapping::mappingWithURL(const std::string& url) {
  return std::make_shared<ZOZCodeMapping>(url);
}
