// ZOZApplicationIdentifierModel: the running build as the crash reporter
// describes it: bundle identifier, names and versions from the main bundle,
// the platform, the install source, the executable's slices with their UUIDs,
// its version-minimum command, and a build instance identifier.
//
// Slices: a Mach-O file (thin or fat) gives one entry per slice with a UUID
// command, named by its architecture; its version-minimum command (macOS or
// iOS) gives the SDK versions, the last slice walked winning. The program
// here is an ELF file: one slice, named by the running architecture, whose
// UUID is the build-id the loader's registry read; its versions are 0.0.0.
// The build instance identifier is the SHA-1 (40 lower-case hex digits) of
// the UUID strings concatenated in the order of their architecture names;
// without any UUID it is the SHA-1 of no bytes.
//
// Immutable once made; the bundle-derived values are read afresh on each
// call. Thread-safe.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "crash/core/zoz_macho.h"

inline constexpr const char* kZOZApplicationIdentifierPlatform = "ios";

class ZOZApplicationIdentifierModel {
 public:
  // The running executable; null when its file cannot be read.
  static std::shared_ptr<ZOZApplicationIdentifierModel> init();
  // The executable file at `path`; null when it cannot be read.
  static std::shared_ptr<ZOZApplicationIdentifierModel> initWithExecutablePath(const std::string& path);

  // Architecture name -> UUID (32 lower-case hex digits).
  const std::map<std::string, std::string>& architectureUUIDMap() const { return architectureUUIDMap_; }
  const std::string& buildInstanceID() const { return buildInstanceID_; }
  const ZOZMachOVersion& builtSDK() const { return builtSDK_; }
  const ZOZMachOVersion& minimumSDK() const { return minimumSDK_; }
  // "%d.%d.%d".
  std::string builtSDKString() const;
  std::string minimumSDKString() const;

  // The main bundle's identifier with "/" replaced by "_"; "" without one.
  std::string bundleID() const;
  // "CFBundleDisplayName", else "CFBundleName", else the build version.
  std::optional<std::string> displayName() const;
  std::string platform() const { return kZOZApplicationIdentifierPlatform; }
  std::optional<std::string> buildVersion() const;
  std::optional<std::string> displayVersion() const;
  // "<display version> (<build version>)", "(null)" for a missing part.
  std::string synthesizedVersion() const;
  // 4 with a store receipt, else 1.
  int installSource() const;

  struct PrivateTag {};
  explicit ZOZApplicationIdentifierModel(PrivateTag) {}

 private:
  bool computeExecutableInfo(const ZOZMachOFile& file, const std::string& path);
  void computeInstanceIdentifier();

  std::map<std::string, std::string> architectureUUIDMap_;
  std::string buildInstanceID_;
  ZOZMachOVersion builtSDK_;
  ZOZMachOVersion minimumSDK_;
};
