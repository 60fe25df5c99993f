#include "crash/reporting/rez_exception_model.h"

#include "os/foundation/format.h"

namespace {

std::string textOf(const std::optional<std::string>& text) { return text.value_or("(null)"); }

}  // namespace

REZStackFrame::REZStackFrame(std::string symbol, std::string file, uint32_t line)
    : isSymbolicated_(true), lineNumber_(line), symbol_(std::move(symbol)), fileName_(std::move(file)) {}

std::shared_ptr<REZStackFrame> REZStackFrame::stackFrameWithSymbolFileLine(const std::string& symbol,
                                                                            const std::string& file, uint32_t line) {
  return std::make_shared<REZStackFrame>(symbol, file, line);
}

std::shared_ptr<REZStackFrame> REZStackFrame::stackFrameWithSymbol(const std::string& symbol) {
  auto frame = std::make_shared<REZStackFrame>();
  frame->symbol_ = symbol;
  frame->rawSymbol_ = symbol;
  return frame;
}

std::shared_ptr<REZStackFrame> REZStackFrame::stackFrameWithAddress(uint64_t address) {
  auto frame = std::make_shared<REZStackFrame>();
  frame->address_ = address;
  return frame;
}

std::shared_ptr<REZStackFrame> REZStackFrame::stackFrame() { return std::make_shared<REZStackFrame>(); }

std::string REZStackFrame::description() const {
  if (isSymbolicated_) return os::format("{%@ - %@:%u}", textOf(fileName_), textOf(symbol_), lineNumber_);
  if (fileName_)
    return os::format("{[0x%llx] %@ - %@:%u}", address_, *fileName_, textOf(symbol_), lineNumber_);
  return os::format("{[0x%llx + %u] %@}", address_, lineNumber_, textOf(symbol_));
}
