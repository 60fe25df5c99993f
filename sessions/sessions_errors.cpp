#include "sessions/sessions_errors.h"

#include "sdk-core/core/rez_logger.h"

void REZSessionsLog(DAZLoggerLevel level, std::string_view message) {
  // Passed as an argument, never as the format: error texts may hold "%".
  switch (level) {
    case DAZLoggerLevel::Error:
      REZLogError(kREZSessionsLoggerService, kREZSessionsMessageCode, "%@", message);
      break;
    case DAZLoggerLevel::Warning:
      REZLogWarning(kREZSessionsLoggerService, kREZSessionsMessageCode, "%@", message);
      break;
    case DAZLoggerLevel::Notice:
      REZLogNotice(kREZSessionsLoggerService, kREZSessionsMessageCode, "%@", message);
      break;
    case DAZLoggerLevel::Info:
      REZLogInfo(kREZSessionsLoggerService, kREZSessionsMessageCode, "%@", message);
      break;
    case DAZLoggerLevel::Debug:
      REZLogDebug(kREZSessionsLoggerService, kREZSessionsMessageCode, "%@", message);
      break;
  }
}

std::string VivuzuvuSessionsErrorCaseName(VivuzuvuSessionsError::Case kind) {
  using Case = VivuzuvuSessionsError::Case;
  switch (kind) {
    case Case::SessionInstallationsError:
      return "SessionInstallationsError";
    case Case::DataTransportError:
      return "DataTransportError";
    case Case::SessionSamplingError:
      return "SessionSamplingError";
    case Case::SessionInstallationsTimeOutError:
      return "SessionInstallationsTimeOutError";
    case Case::DisabledViaSettingsError:
      return "DisabledViaSettingsError";
    case Case::DataCollectionError:
      return "DataCollectionError";
    case Case::NoDependenciesError:
      return "NoDependenciesError";
  }
  return "VivuzuvuSessionsError";
}

std::string VivuzuvuSessionsCauseDescription(const VivuzuvuSessionsError::Cause& cause) {
  if (const auto* error = std::get_if<os::Error>(&cause)) return error->description();
  if (std::holds_alternative<DuzaveZaduZuvuzedozProtocolErrors>(cause)) return "writeFailure";
  const auto& own = std::get<std::shared_ptr<const VivuzuvuSessionsError>>(cause);
  return own ? own->description() : "VivuzuvuSessionsError";
}

std::optional<VivuzuvuSessionsError::Case> VivuzuvuSessionsError::causeCase() const {
  if (!cause_) return std::nullopt;
  const auto* own = std::get_if<std::shared_ptr<const VivuzuvuSessionsError>>(&*cause_);
  if (!own || !*own) return std::nullopt;
  return (*own)->kind();
}

std::string VivuzuvuSessionsError::description() const {
  std::string text = VivuzuvuSessionsErrorCaseName(kind_);
  if (cause_) {
    text += '(';
    text += VivuzuvuSessionsCauseDescription(*cause_);
    text += ')';
  }
  return text;
}
