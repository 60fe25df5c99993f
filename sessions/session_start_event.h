// SessionStartEvent: the session-start message (sessions/proto/session_event.proto)
// of one session, and the transport's data object that carries it.
//
// Built on the thread that starts the session, completed on the background
// queue of the start flow (subscriber states, sampling rate, installation ID
// and token), then handed to the transport, which takes its bytes once. One
// thread at a time: not thread-safe.
//
// Every string of the message is a byte array the event allocates and frees
// (pb_release at destruction). transportBytes() encodes with nanopb; an
// encoding error is logged ("I-SES000001") and gives empty bytes.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/data.h"
#include "sessions/application_info.h"
#include "sessions/proto/session_event.pb.h"
#include "sessions/rez_sessions_subscriber.h"
#include "sessions/session_generator.h"
#include "transport/REVOVALibrary/revova_event.h"

// Domain and code of an encoding error.
inline constexpr const char* kREZSessionsEncodeErrorDomain = "REZSESEncodeError";
inline constexpr int64_t kREZSessionsEncodeErrorCode = -1;

using REZSessionEventProto = vivuzuvu_appquality_sessions_SessionEvent;

class SessionStartEvent final : public REVOVAEventDataObject {
 public:
  // The event of a session made at `timeSince1970` (its timestamp is that time
  // truncated to whole seconds, in microseconds).
  SessionStartEvent(const SessionInfo& session, const ApplicationInfoProtocol& appInfo, double timeSince1970);
  SessionStartEvent() = delete;
  ~SessionStartEvent() override;
  SessionStartEvent(const SessionStartEvent&) = delete;
  SessionStartEvent& operator=(const SessionStartEvent&) = delete;

  const REZSessionEventProto& proto() const { return proto_; }

  void setInstallationID(const std::string& installationID);
  void setAuthenticationToken(const std::string& authenticationToken);
  void setSamplingRate(double samplingRate);
  // For each subscriber in order: 2 (enabled) or 3 (disabled) under its
  // name; an enabled Performance subscriber also fills the network
  // information. Other names are logged and skipped.
  void setDataCollectionStates(const std::vector<std::shared_ptr<REZSessionsSubscriber>>& subscribers,
                               const ApplicationInfoProtocol& appInfo);

  // The encoded message; empty (and logged) when encoding fails.
  std::optional<os::Data> transportBytes() const override;
  // The encoded message, or the encoding error.
  os::Result<os::Data> encode() const;

 private:
  REZSessionEventProto proto_;
};

// The OS name of a platform text ("ios" 4, "ipados" 7, ...); others are
// logged at warning level and give 0.
vivuzuvu_appquality_sessions_OsName REZSessionsOsNameFor(const std::string& platform);
// The mobile subtype of a radio access technology text
// ("CTRadioAccessTechnologyLTE" 13); anything else 0.
vivuzuvu_appquality_sessions_MobileSubtype REZSessionsMobileSubtypeFor(const std::string& radioAccessTechnology);

// Byte arrays of the message: a new array of the text, and its text back
// ("" for a zero-length array).
pb_bytes_array_t* REZSessionsMakeBytes(const std::string& text);
std::string REZSessionsStringOf(const pb_bytes_array_t* bytes);
