// The public models of a custom exception: REZExceptionModel (what the app
// records with recordExceptionModel) and REZStackFrame (one frame of its
// stack trace, also the frame of report processing).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class REZStackFrame {
 public:
  REZStackFrame() = default;
  // Symbolicated: symbol, file name and line.
  REZStackFrame(std::string symbol, std::string file, uint32_t line);

  static std::shared_ptr<REZStackFrame> stackFrameWithSymbolFileLine(const std::string& symbol,
                                                                      const std::string& file, uint32_t line);
  // symbol and rawSymbol.
  static std::shared_ptr<REZStackFrame> stackFrameWithSymbol(const std::string& symbol);
  static std::shared_ptr<REZStackFrame> stackFrameWithAddress(uint64_t address);
  static std::shared_ptr<REZStackFrame> stackFrame();

  bool isSymbolicated() const { return isSymbolicated_; }
  void setIsSymbolicated(bool value) { isSymbolicated_ = value; }
  uint32_t lineNumber() const { return lineNumber_; }
  void setLineNumber(uint32_t value) { lineNumber_ = value; }
  const std::optional<std::string>& symbol() const { return symbol_; }
  void setSymbol(std::optional<std::string> value) { symbol_ = std::move(value); }
  const std::optional<std::string>& rawSymbol() const { return rawSymbol_; }
  void setRawSymbol(std::optional<std::string> value) { rawSymbol_ = std::move(value); }
  const std::optional<std::string>& library() const { return library_; }
  void setLibrary(std::optional<std::string> value) { library_ = std::move(value); }
  const std::optional<std::string>& fileName() const { return fileName_; }
  void setFileName(std::optional<std::string> value) { fileName_ = std::move(value); }
  uint64_t offset() const { return offset_; }
  void setOffset(uint64_t value) { offset_ = value; }
  uint64_t address() const { return address_; }
  void setAddress(uint64_t value) { address_ = value; }

  // "{file - symbol:line}" when symbolicated; else "{[0xaddress] file -
  // symbol:line}" with a file name, "{[0xaddress + line] symbol}" without.
  // A missing text prints "(null)".
  std::string description() const;

 private:
  bool isSymbolicated_ = false;
  uint32_t lineNumber_ = 0;
  std::optional<std::string> symbol_;
  std::optional<std::string> rawSymbol_;
  std::optional<std::string> library_;
  std::optional<std::string> fileName_;
  uint64_t offset_ = 0;
  uint64_t address_ = 0;
};

class REZExceptionModel {
 public:
  REZExceptionModel(std::string name, std::string reason) : name_(std::move(name)), reason_(std::move(reason)) {}
  static std::shared_ptr<REZExceptionModel> exceptionModelWithNameReason(const std::string& name,
                                                                         const std::string& reason) {
    return std::make_shared<REZExceptionModel>(name, reason);
  }

  bool isFatal() const { return isFatal_; }
  void setIsFatal(bool value) { isFatal_ = value; }
  bool onDemand() const { return onDemand_; }
  void setOnDemand(bool value) { onDemand_ = value; }
  const std::optional<std::vector<std::shared_ptr<REZStackFrame>>>& stackTrace() const { return stackTrace_; }
  void setStackTrace(std::optional<std::vector<std::shared_ptr<REZStackFrame>>> value) {
    stackTrace_ = std::move(value);
  }
  const std::string& name() const { return name_; }
  void setName(std::string value) { name_ = std::move(value); }
  const std::string& reason() const { return reason_; }
  void setReason(std::string value) { reason_ = std::move(value); }

 private:
  bool isFatal_ = false;
  bool onDemand_ = false;
  std::optional<std::vector<std::shared_ptr<REZStackFrame>>> stackTrace_;
  std::string name_;
  std::string reason_;
};
