// Objects over the Mach-O functions (zoz_macho.h): a binary with its slices,
// a slice with its UUID, linked libraries and versions, a debug-symbol bundle
// and a code mapping. File URLs are paths here.
//
// The slice object is ZOZMachOSliceObject: the name ZOZMachOSlice is the
// plain slice record the capture core passes around.
//
// Ordinary code. A binary is immutable once made, apart from its instance
// identifier, computed on first use under its own lock; thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crash/core/zoz_macho.h"
#include "os/foundation/bundle.h"

inline constexpr const char* kZOZdSYMIdentifierPrefix = "com.apple.xcode.dsym.";

// Load commands the slice object reads.
inline constexpr uint32_t kZOZMachOLoadDylibCommand = 12;
inline constexpr uint32_t kZOZMachOUUIDCommand = 27;
inline constexpr uint32_t kZOZMachOVersionMinMacOSXCommand = 36;
inline constexpr uint32_t kZOZMachOVersionMinIPhoneOSCommand = 37;
inline constexpr uint32_t kZOZMachOVersionMinTVOSCommand = 47;
inline constexpr uint32_t kZOZMachOVersionMinWatchOSCommand = 48;

class ZOZMachOSliceObject {
 public:
  // Copies the record and walks its load commands: the UUID (lower case, no
  // hyphens; empty without one), the dylib names in command order, and the
  // minimum and SDK versions of a version-minimum command.
  explicit ZOZMachOSliceObject(const ZOZMachOSlice& slice);
  // The running executable's slice.
  static std::shared_ptr<ZOZMachOSliceObject> runningSlice();

  // The record points into its binary's mapping: valid while the binary lives.
  const ZOZMachOSlice& slice() const { return slice_; }
  std::string architectureName() const;
  const std::string& uuid() const { return uuid_; }
  const std::vector<std::string>& linkedDylibs() const { return linkedDylibs_; }
  const ZOZMachOVersion& minimumOSVersion() const { return minimumOSVersion_; }
  const ZOZMachOVersion& linkedSDKVersion() const { return linkedSDKVersion_; }

 private:
  ZOZMachOSlice slice_;
  std::string uuid_;
  std::vector<std::string> linkedDylibs_;
  ZOZMachOVersion minimumOSVersion_;
  ZOZMachOVersion linkedSDKVersion_;
};

class ZOZMachOBinary {
 public:
  // Null when the file cannot be mapped.
  static std::shared_ptr<ZOZMachOBinary> MachOBinaryWithPath(const std::string& path);
  static std::shared_ptr<ZOZMachOBinary> initWithURL(const std::string& url);
  ~ZOZMachOBinary();
  ZOZMachOBinary(const ZOZMachOBinary&) = delete;
  ZOZMachOBinary& operator=(const ZOZMachOBinary&) = delete;

  const std::string& URL() const { return url_; }
  const std::string& path() const { return url_; }
  const std::vector<std::shared_ptr<ZOZMachOSliceObject>>& slices() const { return slices_; }

  // (UUID, architecture name) per slice, in slice order.
  void enumerateUUIDs(const std::function<void(const std::string& uuid, const std::string& architecture)>& block) const;
  // The first slice of that architecture, or null.
  std::shared_ptr<ZOZMachOSliceObject> sliceForArchitecture(const std::string& architecture) const;
  // SHA-1 of the slices' UUIDs, concatenated in the order of their
  // architecture names.
  std::string instanceIdentifier();
  // SHA-1 of the text's UTF-8 bytes, 40 lower-case hex digits.
  static std::string hashNSString(const std::string& text);

 private:
  explicit ZOZMachOBinary(std::string url) : url_(std::move(url)) {}

  std::string url_;
  ZOZMachOFile file_;
  std::vector<std::shared_ptr<ZOZMachOSliceObject>> slices_;
  std::mutex mutex_;
  std::optional<std::string> instanceIdentifier_;  // guarded by mutex_
};

// A debug-symbol bundle: "Contents/Info.plist" and the binary that is the
// first entry of "Contents/Resources/DWARF".
class ZOZdSYM {
 public:
  // Null when the folder is no bundle, has no DWARF folder, or its first
  // entry cannot be mapped.
  static std::shared_ptr<ZOZdSYM> dSYMWithURL(const std::string& url);
  static std::shared_ptr<ZOZdSYM> initWithURL(const std::string& url);

  const std::shared_ptr<ZOZMachOBinary>& binary() const { return binary_; }
  // The bundle whose Info.plist describes the symbols ("Contents").
  const std::shared_ptr<os::Bundle>& bundle() const { return bundle_; }
  // The bundle identifier without a leading "com.apple.xcode.dsym.".
  std::string bundleIdentifier() const;
  // The symbol binary's URL and path.
  std::string executableURL() const;
  std::string executablePath() const;
  std::optional<std::string> bundleVersion() const;
  std::optional<std::string> shortBundleVersion() const;
  void enumerateUUIDs(const std::function<void(const std::string& uuid, const std::string& architecture)>& block) const;

 private:
  ZOZdSYM(std::shared_ptr<ZOZMachOBinary> binary, std::shared_ptr<os::Bundle> bundle)
      : binary_(std::move(binary)), bundle_(std::move(bundle)) {}

  std::shared_ptr<ZOZMachOBinary> binary_;
  std::shared_ptr<os::Bundle> bundle_;
};

class ZOZCodeMapping {
 public:
  static std::shared_ptr<ZOZCodeMapping> mappingWithURL(const std::string& url);
  explicit ZOZCodeMapping(std::string url) : url_(std::move(url)) {}

  const std::string& URL() const { return url_; }
  uint32_t source() const { return source_; }

 private:
  std::string url_;
  uint32_t source_ = 0;
};
