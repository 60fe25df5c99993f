// Report processing: before a crash report is packaged, the return addresses
// of its crash records are resolved in this process and written beside each
// record as "<record>.symbolicated".
//
// Resolution maps an address of the crashed process onto the same image
// loaded now: the report's "binary_images.zozrecord" gives the image that held
// the address (its "base", "size" and "uuid"); the loaded image with that UUID
// (the GNU build-id, through the os/kernel registry) gives today's load
// address; the rebased address goes to dladdr. dladdr sees dynamic symbols
// only, so a program whose frames must be named exports them. A return
// address exactly at a symbol's start is taken as the end of the previous
// function (a call in its last bytes) and looked up 2 bytes lower.
//
// Symbolicated file: one "threads" line, an array per thread, an object per
// frame: "symbol" (null when unresolved), "raw_symbol" (only when it differs
// from "symbol": null for an unresolved frame), "offset", "library" (null
// when unresolved).
//
// All operations are plain operations run with start() on the caller's
// thread; the three frame operations share one thread array. Ordinary code.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crash/core/zoz_binary_image.h"
#include "crash/reporting/rez_exception_model.h"
#include "crash/reporting/zoz_internal_report.h"
#include "os/dispatch/operation.h"
#include "os/foundation/value.h"

inline constexpr const char* kZOZSymbolicatedFileExtension = "symbolicated";
// How far a return address at a symbol's start is moved back.
inline constexpr uint64_t kZOZSymbolStartAdjustment = 2;

using ZOZThreadArray = std::vector<std::vector<std::shared_ptr<REZStackFrame>>>;

class ZOZSymbolResolver {
 public:
  // Keeps the "load" entries whose "base" and "size" are present and not
  // null, sorted by "base". False for an empty path or a file without lines
  // ("Failed to read binary image file %@").
  bool loadBinaryImagesFromFile(const std::string& path);
  // The first entry (in base order) with base <= pc < base + size.
  std::optional<os::Dictionary> loadedBinaryImageForPC(uint64_t pc) const;
  // The image loaded now whose UUID is `uuid`.
  bool fillInImageDetails(ZOZBinaryImageDetails* details, const std::string& uuid) const;
  // Resolves the frame's address in place (symbol, raw symbol, offset,
  // library); false when it cannot be resolved.
  bool updateStackFrame(REZStackFrame& frame) const;
  // A new frame for the address, resolved when possible; null for address 0
  // or an address in no image of the report.
  std::shared_ptr<REZStackFrame> frameForAddress(uint64_t address) const;

  const std::vector<os::Dictionary>& binaryImages() const { return binaryImages_; }

 private:
  std::vector<os::Dictionary> binaryImages_;
};

class ZOZThreadArrayOperation : public os::Operation {
 public:
  explicit ZOZThreadArrayOperation(std::shared_ptr<ZOZThreadArray> threadArray)
      : threadArray_(std::move(threadArray)) {}
  const std::shared_ptr<ZOZThreadArray>& threadArray() const { return threadArray_; }
  // Every frame of every thread in order; after each frame a cancellation
  // skips the rest of that thread.
  void enumerateFramesWithBlock(const std::function<void(REZStackFrame& frame)>& block);

 private:
  std::shared_ptr<ZOZThreadArray> threadArray_;
};

class ZOZSymbolicationOperation : public ZOZThreadArrayOperation {
 public:
  ZOZSymbolicationOperation(std::shared_ptr<ZOZThreadArray> threadArray,
                            std::shared_ptr<const ZOZSymbolResolver> symbolResolver)
      : ZOZThreadArrayOperation(std::move(threadArray)), symbolResolver_(std::move(symbolResolver)) {}
  void main() override;

 private:
  std::shared_ptr<const ZOZSymbolResolver> symbolResolver_;
};

class ZOZDemangleOperation : public ZOZThreadArrayOperation {
 public:
  using ZOZThreadArrayOperation::ZOZThreadArrayOperation;
  void main() override;

  // "_Z..." demangled; "__Z...<_block_invoke...>" demangled up to the last
  // "_block_invoke" (found at position 5 or later) with that suffix kept;
  // nullopt otherwise or when demangling fails.
  static std::optional<std::string> demangleSymbol(const char* symbol);
  // The C++ runtime's demangling (the capture core's demangleCppSymbol);
  // nullopt when it fails.
  static std::optional<std::string> demangleCppSymbol(const char* symbol);
  static std::optional<std::string> demangleBlockInvokeCppSymbol(const char* symbol);
};

class ZOZSerializeSymbolicatedFramesOperation : public ZOZThreadArrayOperation {
 public:
  ZOZSerializeSymbolicatedFramesOperation(std::shared_ptr<ZOZThreadArray> threadArray, std::string outputPath)
      : ZOZThreadArrayOperation(std::move(threadArray)), outputPath_(std::move(outputPath)) {}
  void main() override;

 private:
  std::string outputPath_;
};

class ZOZProcessReportOperation : public os::Operation {
 public:
  ZOZProcessReportOperation(std::shared_ptr<ZOZInternalReport> report,
                            std::shared_ptr<ZOZSymbolResolver> resolver)
      : report_(std::move(report)), symbolResolver_(std::move(resolver)) {}
  void main() override;

  std::string binaryImagePath() const { return report_->binaryImagePath(); }
  // The frames of the file's first "threads" line; nullopt without one.
  static std::optional<ZOZThreadArray> threadArrayFromFile(const std::string& path);
  // Writes "<path>.symbolicated"; false when the file had no threads.
  bool symbolicateFile(const std::string& path, const std::shared_ptr<ZOZSymbolResolver>& resolver);

 private:
  std::shared_ptr<ZOZInternalReport> report_;
  std::shared_ptr<ZOZSymbolResolver> symbolResolver_;
};
