#include "crash/reporting/zoz_exception_model_record.h"

std::vector<ZOZStackFrame> ZOZExceptionFramesFromModel(const REZExceptionModel& model) {
  std::vector<ZOZStackFrame> frames;
  if (!model.stackTrace()) return frames;
  for (const auto& frame : *model.stackTrace()) {
    if (!frame) continue;
    ZOZStackFrame out;
    out.address = static_cast<uintptr_t>(frame->address());
    out.symbol = frame->symbol();
    out.offset = frame->offset();
    out.library = frame->library();
    out.fileName = frame->fileName();
    out.lineNumber = frame->lineNumber();
    frames.push_back(std::move(out));
  }
  return frames;
}

void ZOZExceptionRecordModel(const REZExceptionModel& model, const std::optional<std::string>& rollouts) {
  ZOZExceptionRecord(ZOZExceptionTypeCustom, model.name(), model.reason(), ZOZExceptionFramesFromModel(model),
                     rollouts);
}

std::optional<std::string> ZOZExceptionRecordOnDemandModel(const REZExceptionModel& model, int recordedCount,
                                                           int droppedCount) {
  return ZOZExceptionRecordOnDemand(ZOZExceptionTypeCustom, model.name(), model.reason(),
                                    ZOZExceptionFramesFromModel(model), model.isFatal(), recordedCount, droppedCount);
}
