#include "crash/reporting/zoz_application_identifier_model.h"

#include <cstring>
#include <filesystem>

#include "crash/core/zoz_application.h"
#include "crash/core/zoz_macho_binary.h"
#include "crash/core/zoz_utilities.h"
#include "os/foundation/format.h"
#include "os/kernel/loader.h"

namespace {

bool isELF(const ZOZMachOSlice& slice) {
  static constexpr unsigned char kMagic[4] = {0x7f, 'E', 'L', 'F'};
  return slice.startAddress && slice.size >= sizeof kMagic && std::memcmp(slice.startAddress, kMagic, 4) == 0;
}

std::string canonical(const std::string& path) {
  std::error_code error;
  auto resolved = std::filesystem::canonical(path, error);
  return error ? path : resolved.string();
}

// The build-id of the loaded image whose file is `path`.
std::optional<std::string> loadedBuildID(const std::string& path) {
  const std::string wanted = canonical(path);
  for (uint32_t i = 0; i < os::kernel::_dyld_image_count(); ++i) {
    auto info = os::kernel::imageInfoForHeader(os::kernel::_dyld_get_image_header(i));
    if (!info || info->format != os::kernel::ImageFormat::ELF || !info->hasUUID) continue;
    if (canonical(info->path) == wanted) return ZOZUUIDToNSString(info->uuid);
  }
  return std::nullopt;
}

std::string versionString(const ZOZMachOVersion& version) {
  return ZOZMachOFormatVersion(&version).value_or("0.0.0");
}

}  // namespace

std::shared_ptr<ZOZApplicationIdentifierModel> ZOZApplicationIdentifierModel::init() {
  const ZOZMachOSlice running = ZOZMachOGetSlice();
  auto path = ZOZMachOSliceGetExecutablePath(&running);
  if (!path) return nullptr;
  return initWithExecutablePath(*path);
}

std::shared_ptr<ZOZApplicationIdentifierModel> ZOZApplicationIdentifierModel::initWithExecutablePath(
    const std::string& path) {
  ZOZMachOFile file;
  if (!ZOZMachOFileInitWithPath(&file, path.c_str())) return nullptr;
  auto model = std::make_shared<ZOZApplicationIdentifierModel>(PrivateTag{});
  const bool read = model->computeExecutableInfo(file, path);
  ZOZMachOFileDestroy(&file);
  if (!read) return nullptr;
  model->computeInstanceIdentifier();
  return model;
}

bool ZOZApplicationIdentifierModel::computeExecutableInfo(const ZOZMachOFile& file, const std::string& path) {
  ZOZMachOFileEnumerateSlices(&file, [&](const ZOZMachOSlice& slice) {
    if (isELF(slice)) {
      const ZOZMachOSlice running = ZOZMachOGetSlice();
      if (auto uuid = loadedBuildID(path)) architectureUUIDMap_[ZOZMachOSliceGetArchitectureName(&running)] = *uuid;
      return;
    }
    const std::string architecture = ZOZMachOSliceGetArchitectureName(&slice);
    ZOZMachOSliceEnumerateLoadCommands(&slice, [&](uint32_t type, uint32_t size, const void* command) {
      switch (type) {
        case kZOZMachOUUIDCommand: {
          uint8_t uuid[16];
          if (ZOZMachOGetUUID(command, size, uuid)) architectureUUIDMap_[architecture] = ZOZUUIDToNSString(uuid);
          break;
        }
        case kZOZMachOVersionMinMacOSXCommand:
        case kZOZMachOVersionMinIPhoneOSCommand:
          minimumSDK_ = ZOZMachOGetMinimumOSVersion(command, size);
          builtSDK_ = ZOZMachOGetSDKVersion(command, size);
          break;
        default:
          break;
      }
    });
  });
  return true;
}

void ZOZApplicationIdentifierModel::computeInstanceIdentifier() {
  // The map is ordered by architecture name (plain string comparison).
  std::string concatenated;
  for (const auto& [architecture, uuid] : architectureUUIDMap_) concatenated += uuid;
  buildInstanceID_ = ZOZHashBytesSHA1(concatenated.data(), concatenated.size());
}

std::string ZOZApplicationIdentifierModel::builtSDKString() const { return versionString(builtSDK_); }
std::string ZOZApplicationIdentifierModel::minimumSDKString() const { return versionString(minimumSDK_); }

std::string ZOZApplicationIdentifierModel::bundleID() const { return ZOZApplicationGetBundleIdentifier().value_or(""); }
std::optional<std::string> ZOZApplicationIdentifierModel::displayName() const { return ZOZApplicationGetName(); }
std::optional<std::string> ZOZApplicationIdentifierModel::buildVersion() const {
  return ZOZApplicationGetBundleVersion();
}
std::optional<std::string> ZOZApplicationIdentifierModel::displayVersion() const {
  return ZOZApplicationGetShortBundleVersion();
}

std::string ZOZApplicationIdentifierModel::synthesizedVersion() const {
  return os::format("%@ (%@)", displayVersion().value_or("(null)"), buildVersion().value_or("(null)"));
}

int ZOZApplicationIdentifierModel::installSource() const { return ZOZApplicationInstallationSource(); }
