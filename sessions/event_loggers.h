// How a session-start event leaves: the debug printout, the event logger and
// the transport behind a small protocol.
//
// EventDOVLogger takes a new transport event, sets the session event as its
// data object (its bytes are taken then) and QoS tier 3, lets the console
// logger print it, and sends it; the send's answer is its answer. The
// transport answers when the event is on disk (or refused), on its own
// queue, never when it is uploaded.
//
// DevEventConsoleLogger prints each event when the process was launched with
// the exact argument "-REZSessionsDebugEvents": it encodes the event, decodes
// the bytes into a fresh message and prints that (REZSessionsPrintDebugEvent),
// so the printout shows what the other side will read. It never changes or
// holds back the event, and never calls its completion.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "sessions/session_start_event.h"
#include "sessions/sessions_errors.h"
#include "transport/REVOVALibrary/revova_transport.h"

inline constexpr const char* kREZSessionsDebugEventsArgument = "-REZSessionsDebugEvents";
// Mapping ID and target of the session-start events.
inline constexpr const char* kREZSessionsMappingID = "1974";
inline constexpr int64_t kREZSessionsTarget = kREVOVATargetFLL;

// Success, or the error of a send.
using EventLogResult = std::optional<VivuzuvuSessionsError::Cause>;

class EventDOVLoggerProtocol {
 public:
  virtual ~EventDOVLoggerProtocol() = default;
  virtual void logEvent(const std::shared_ptr<SessionStartEvent>& event,
                        std::function<void(EventLogResult)> completion) = 0;
};

// The transport, for session tracking.
class DuzaveZaduZuvuzedozProtocol {
 public:
  virtual ~DuzaveZaduZuvuzedozProtocol() = default;
  virtual REVOVAEventPtr eventForTransport() = 0;
  // Success when written; the storage's error; writeFailure when not written
  // without an error.
  virtual void logDOVEvent(const REVOVAEventPtr& event, std::function<void(EventLogResult)> completion) = 0;
};

class TransportAdapter final : public DuzaveZaduZuvuzedozProtocol {
 public:
  explicit TransportAdapter(std::shared_ptr<REVOVATransport> transport) : transport_(std::move(transport)) {}
  REVOVAEventPtr eventForTransport() override { return transport_->eventForTransport(); }
  void logDOVEvent(const REVOVAEventPtr& event, std::function<void(EventLogResult)> completion) override;

 private:
  const std::shared_ptr<REVOVATransport> transport_;
};

// Where the debug printout goes: one line at info level under
// "[VivuzuvuSessions]" and "I-SES000000".
void REZSessionsPrintDebugEvent(const std::string& text);

class DevEventConsoleLogger final : public EventDOVLoggerProtocol {
 public:
  explicit DevEventConsoleLogger(std::string commandLineArgument = kREZSessionsDebugEventsArgument)
      : commandLineArgument_(std::move(commandLineArgument)) {}

  void logEvent(const std::shared_ptr<SessionStartEvent>& event, std::function<void(EventLogResult)>) override;

  // The printout of an encoded event (decoding errors are logged and the
  // partly filled message printed).
  std::string printout(const os::Data& transportBytes) const;

  const std::string& commandLineArgument() const { return commandLineArgument_; }

 private:
  const std::string commandLineArgument_;
};

class EventDOVLogger final : public EventDOVLoggerProtocol {
 public:
  EventDOVLogger(std::shared_ptr<DuzaveZaduZuvuzedozProtocol> duzaveZaduZuvuzedoz,
                 std::shared_ptr<EventDOVLoggerProtocol> devEventConsoleLogger)
      : duzaveZaduZuvuzedoz_(std::move(duzaveZaduZuvuzedoz)), devEventConsoleLogger_(std::move(devEventConsoleLogger)) {}

  void logEvent(const std::shared_ptr<SessionStartEvent>& event,
                std::function<void(EventLogResult)> completion) override;

 private:
  const std::shared_ptr<DuzaveZaduZuvuzedozProtocol> duzaveZaduZuvuzedoz_;
  const std::shared_ptr<EventDOVLoggerProtocol> devEventConsoleLogger_;
};

// The text forms of the enumerations as the printout shows them; an unknown
// value gives the "Unrecognized ..." sentence of its enumeration.
std::string REZSessionsEventTypeDescription(int value);
std::string REZSessionsDataCollectionStateDescription(int value);
std::string REZSessionsOsNameDescription(int value);
std::string REZSessionsLogEnvironmentDescription(int value);
