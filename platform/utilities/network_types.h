// What the network client and its URL-session transfers share: the logger
// delegate protocol, log levels, message codes and errors.
#pragma once

#include <string>
#include <vector>

#include "os/foundation/value.h"

// Log levels passed to the logger delegate.
enum class DAZNetworkLogLevel : long {
  Error = 3,
  Warning = 4,
  Info = 6,
  Debug = 7,
};

// Message codes; the code text is "I-NET%06ld" of the number.
inline constexpr const char* kDAZNetworkMessageCodeFormat = "I-NET%06ld";
inline constexpr long kDAZNetworkMessageCodeNetwork000 = 900000;  // Uploading data. Host
inline constexpr long kDAZNetworkMessageCodeNetwork001 = 900001;  // Downloading data. Host
inline constexpr long kDAZNetworkMessageCodeNetwork002 = 900002;  // Failed to create network request
inline constexpr long kDAZNetworkMessageCodeNetwork003 = 900003;  // Failed to retrieve background session
inline constexpr long kDAZNetworkMessageCodeURLSession000 = 901000;
inline constexpr long kDAZNetworkMessageCodeURLSession001 = 901001;
inline constexpr long kDAZNetworkMessageCodeURLSession002 = 901002;
inline constexpr long kDAZNetworkMessageCodeURLSession003 = 901003;
inline constexpr long kDAZNetworkMessageCodeURLSession004 = 901004;
inline constexpr long kDAZNetworkMessageCodeURLSession005 = 901005;
inline constexpr long kDAZNetworkMessageCodeURLSession006 = 901006;
inline constexpr long kDAZNetworkMessageCodeURLSession007 = 901007;
inline constexpr long kDAZNetworkMessageCodeURLSession008 = 901008;
inline constexpr long kDAZNetworkMessageCodeURLSession009 = 901009;
inline constexpr long kDAZNetworkMessageCodeURLSession010 = 901010;
inline constexpr long kDAZNetworkMessageCodeURLSession011 = 901011;
inline constexpr long kDAZNetworkMessageCodeURLSession012 = 901012;
inline constexpr long kDAZNetworkMessageCodeURLSession013 = 901013;
inline constexpr long kDAZNetworkMessageCodeURLSession014 = 901014;
inline constexpr long kDAZNetworkMessageCodeURLSession015 = 901015;
inline constexpr long kDAZNetworkMessageCodeURLSession016 = 901016;
inline constexpr long kDAZNetworkMessageCodeURLSession017 = 901017;
inline constexpr long kDAZNetworkMessageCodeURLSession019 = 901019;

inline constexpr const char* kDAZNetworkLogCategory = "[DAZNetwork]";

// Errors given to completion handlers.
inline constexpr const char* kDAZNetworkErrorDomain = "com.daz.network.ErrorDomain";
inline constexpr const char* kDAZNetworkErrorContext = "Context";
enum class DAZNetworkErrorCode : long {
  InvalidURL = 1,           // "Failed to create network request"
  SessionCreationFailed = 2,  // "Cannot create network session"
  CompressionFailed = 3,    // "Failed to create network request"
  RequestCreationFailed = 4,  // "Failed to create network request"
  EmptyResponse = 5,        // "Network Error: Empty network response"
};

// Receives the log lines of the network client and its transfers. Called on
// any thread.
class DAZNetworkLoggerDelegate {
 public:
  virtual ~DAZNetworkLoggerDelegate() = default;
  virtual void DAZNetwork_logWithLevelMessageCodeMessageContexts(DAZNetworkLogLevel logLevel, long messageCode,
                                                                 const std::string& message,
                                                                 const std::vector<os::Value>& contexts) = 0;
  virtual void DAZNetwork_logWithLevelMessageCodeMessageContext(DAZNetworkLogLevel logLevel, long messageCode,
                                                                const std::string& message,
                                                                const os::Value& context) = 0;
  virtual void DAZNetwork_logWithLevelMessageCodeMessage(DAZNetworkLogLevel logLevel, long messageCode,
                                                         const std::string& message) = 0;
};
