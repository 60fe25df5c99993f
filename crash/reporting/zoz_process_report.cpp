#include "crash/reporting/zoz_process_report.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>

#include "crash/core/zoz_demangle.h"
#include "crash/core/zoz_file.h"
#include "crash/core/zoz_sdk_log.h"
#include "crash/reporting/zoz_file_manager.h"
#include "os/foundation/file_manager.h"

namespace {

constexpr const char* kBlockInvoke = "_block_invoke";
// The shortest prefix before "_block_invoke" that can hold a mangled name.
constexpr size_t kMinimumBlockInvokePosition = 5;

std::optional<uint64_t> numberOf(const os::Dictionary& entry, const char* key) {
  auto found = entry.find(key);
  if (found == entry.end() || !found->second.number()) return std::nullopt;
  return found->second.number()->uint64Value();
}

std::optional<std::string> stringOf(const os::Dictionary& entry, const char* key) {
  auto found = entry.find(key);
  if (found == entry.end() || !found->second.string()) return std::nullopt;
  return *found->second.string();
}

}  // namespace

// ---- Resolver ----

bool ZOZSymbolResolver::loadBinaryImagesFromFile(const std::string& path) {
  if (path.empty()) return false;
  auto sections = ZOZFileReadSections(path, false);
  if (!sections || sections->empty()) {
    ZOZErrorLog("Failed to read binary image file %@", path);
    return false;
  }
  binaryImages_.clear();
  for (const auto& line : *sections) {
    const os::Value* load = line.find("load");
    if (!load || !load->dictionary()) continue;
    const os::Dictionary& entry = *load->dictionary();
    // A null (or missing) base or size would match no address sensibly.
    if (!numberOf(entry, "base") || !numberOf(entry, "size")) continue;
    binaryImages_.push_back(entry);
  }
  std::stable_sort(binaryImages_.begin(), binaryImages_.end(), [](const auto& a, const auto& b) {
    return *numberOf(a, "base") < *numberOf(b, "base");
  });
  return true;
}

std::optional<os::Dictionary> ZOZSymbolResolver::loadedBinaryImageForPC(uint64_t pc) const {
  for (const auto& entry : binaryImages_) {
    const uint64_t base = *numberOf(entry, "base");
    const uint64_t size = *numberOf(entry, "size");
    if (base <= pc && pc - base < size) return entry;
  }
  return std::nullopt;
}

bool ZOZSymbolResolver::fillInImageDetails(ZOZBinaryImageDetails* details, const std::string& uuid) const {
  if (!details || uuid.empty()) return false;
  return ZOZBinaryImageFindImageForUUID(uuid.c_str(), details);
}

bool ZOZSymbolResolver::updateStackFrame(REZStackFrame& frame) const {
  const uint64_t address = frame.address();
  if (address == 0) return false;
  auto image = loadedBinaryImageForPC(address);
  if (!image) return false;
  ZOZBinaryImageDetails details;
  if (!fillInImageDetails(&details, stringOf(*image, "uuid").value_or(""))) return false;

  // Wraps like the unsigned arithmetic it is; only the sum matters.
  uint64_t rebased = address - *numberOf(*image, "base") + uint64_t(details.baseAddress);
  Dl_info info{};
  if (::dladdr(reinterpret_cast<const void*>(uintptr_t(rebased)), &info) == 0) return false;
  if (info.dli_saddr && uint64_t(uintptr_t(info.dli_saddr)) == rebased) {
    rebased -= kZOZSymbolStartAdjustment;
    info = Dl_info{};
    if (::dladdr(reinterpret_cast<const void*>(uintptr_t(rebased)), &info) == 0) return false;
  }
  if (info.dli_sname) {
    frame.setSymbol(std::string(info.dli_sname));
    frame.setRawSymbol(std::string(info.dli_sname));
  }
  const uint64_t start = uint64_t(uintptr_t(info.dli_saddr));
  if (info.dli_saddr && rebased > start) frame.setOffset(rebased - start);
  frame.setLibrary(ZOZLastPathComponent(stringOf(*image, "path").value_or("")));
  return true;
}

std::shared_ptr<REZStackFrame> ZOZSymbolResolver::frameForAddress(uint64_t address) const {
  auto frame = REZStackFrame::stackFrameWithAddress(address);
  if (!updateStackFrame(*frame)) return nullptr;
  return frame;
}

// ---- Frame operations ----

void ZOZThreadArrayOperation::enumerateFramesWithBlock(const std::function<void(REZStackFrame& frame)>& block) {
  if (!threadArray_) return;
  for (auto& thread : *threadArray_) {
    for (auto& frame : thread) {
      if (frame) block(*frame);
      if (isCancelled()) break;
    }
  }
}

void ZOZSymbolicationOperation::main() {
  if (!symbolResolver_) return;
  enumerateFramesWithBlock([this](REZStackFrame& frame) { symbolResolver_->updateStackFrame(frame); });
}

void ZOZDemangleOperation::main() {
  enumerateFramesWithBlock([](REZStackFrame& frame) {
    if (!frame.rawSymbol()) return;
    if (auto demangled = demangleSymbol(frame.rawSymbol()->c_str())) frame.setSymbol(std::move(*demangled));
  });
}

std::optional<std::string> ZOZDemangleOperation::demangleSymbol(const char* symbol) {
  if (!symbol) return std::nullopt;
  if (std::strncmp(symbol, "_Z", 2) == 0) return demangleCppSymbol(symbol);
  if (std::strncmp(symbol, "__Z", 3) == 0) return demangleBlockInvokeCppSymbol(symbol);
  return std::nullopt;
}

std::optional<std::string> ZOZDemangleOperation::demangleCppSymbol(const char* symbol) {
  if (!symbol || !*symbol) return std::nullopt;
  std::string demangled = ::demangleCppSymbol(symbol);
  if (demangled == symbol) return std::nullopt;
  return demangled;
}

std::optional<std::string> ZOZDemangleOperation::demangleBlockInvokeCppSymbol(const char* symbol) {
  if (!symbol) return std::nullopt;
  const std::string text = symbol;
  const size_t at = text.rfind(kBlockInvoke);
  if (at == std::string::npos || at < kMinimumBlockInvokePosition) return std::nullopt;
  auto demangled = demangleCppSymbol(text.substr(1, at - 1).c_str());
  if (!demangled) return std::nullopt;
  return *demangled + text.substr(at);
}

void ZOZSerializeSymbolicatedFramesOperation::main() {
  ZOZFile file;
  if (!ZOZFileInitWithPathMode(&file, outputPath_.c_str(), false, false)) {
    ZOZErrorLog("Failed to create output file");
    return;
  }
  auto text = [](const std::optional<std::string>& value) { return value ? value->c_str() : nullptr; };
  ZOZFileWriteSectionStart(&file, "threads");
  ZOZFileWriteArrayStart(&file);
  if (threadArray()) {
    for (const auto& thread : *threadArray()) {
      ZOZFileWriteArrayStart(&file);
      for (const auto& frame : thread) {
        if (!frame) continue;
        ZOZFileWriteHashStart(&file);
        ZOZFileWriteHashEntryString(&file, "symbol", text(frame->symbol()));
        // Written unless it is the symbol itself: a missing raw symbol is
        // written as null.
        if (!frame->rawSymbol() || frame->rawSymbol() != frame->symbol())
          ZOZFileWriteHashEntryString(&file, "raw_symbol", text(frame->rawSymbol()));
        ZOZFileWriteHashEntryUint64(&file, "offset", frame->offset());
        ZOZFileWriteHashEntryString(&file, "library", text(frame->library()));
        ZOZFileWriteHashEnd(&file);
      }
      ZOZFileWriteArrayEnd(&file);
    }
  }
  ZOZFileWriteArrayEnd(&file);
  ZOZFileWriteSectionEnd(&file);
  ZOZFileClose(&file);
}

// ---- The report ----

std::optional<ZOZThreadArray> ZOZProcessReportOperation::threadArrayFromFile(const std::string& path) {
  auto sections = ZOZFileReadSections(path, false, [](const os::Value& line) -> std::optional<os::Value> {
    const os::Value* threads = line.find("threads");
    if (!threads) return std::nullopt;
    return *threads;
  });
  if (!sections || sections->empty()) return std::nullopt;
  const os::Value& threads = sections->front();
  if (!threads.array()) return std::nullopt;
  ZOZThreadArray threadArray;
  for (const auto& thread : *threads.array()) {
    std::vector<std::shared_ptr<REZStackFrame>> frames;
    const os::Value* stacktrace = thread.find("stacktrace");
    if (stacktrace && stacktrace->array()) {
      for (const auto& address : *stacktrace->array()) {
        if (address.number()) frames.push_back(REZStackFrame::stackFrameWithAddress(address.number()->uint64Value()));
      }
    }
    threadArray.push_back(std::move(frames));
  }
  return threadArray;
}

bool ZOZProcessReportOperation::symbolicateFile(const std::string& path,
                                                const std::shared_ptr<ZOZSymbolResolver>& resolver) {
  // Most crash file names are absent from a report: no need to log for each.
  if (!os::FileManager::defaultManager().fileExistsAtPath(path)) return false;
  auto threads = threadArrayFromFile(path);
  if (!threads) return false;
  auto shared = std::make_shared<ZOZThreadArray>(std::move(*threads));
  std::make_shared<ZOZSymbolicationOperation>(shared, resolver)->start();
  std::make_shared<ZOZDemangleOperation>(shared)->start();
  std::make_shared<ZOZSerializeSymbolicatedFramesOperation>(shared,
                                                            path + "." + kZOZSymbolicatedFileExtension)
      ->start();
  return true;
}

void ZOZProcessReportOperation::main() {
  if (!report_ || !symbolResolver_) return;
  if (!symbolResolver_->loadBinaryImagesFromFile(binaryImagePath())) return;
  report_->enumerateSymbolicatableFilesInContent(
      [this](const std::string& path) { symbolicateFile(path, symbolResolver_); });
}
