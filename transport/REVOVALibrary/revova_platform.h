// Shared services of the event transport: where its state lives on disk,
// archiving objects to and from files, the device model, the transport's log
// and assertion lines, the registrar look-ups the uploader uses, and the table
// of upload endpoints per target.
//
// Log lines. REVOVALog writes "[DuzaveZaduZuvuzedoz][I-REVOVA000000] message"
// to the system log when its level reaches the console threshold, which is
// error (4) and never changes: debug (1) and warning (3) lines are dropped
// before anything is formatted. Assertions never stop the process: REVOVAAssert
// writes "[DuzaveZaduZuvuzedoz][I-REVOVA001006] (file.cpp:42) : message"
// (1007 when fatal) and the caller goes on or gives up as its contract says.
//
// Once-only values: the state directory, the device model and the endpoint
// table are computed once per process (thread-safe); the state directory
// itself is created again, when missing, on every request.
#pragma once

#include <charconv>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/format.h"
#include "os/foundation/keyed_archiver.h"
#include "os/foundation/url.h"

class REVOVAStoragePromiseProtocol;
class REVOVAMetricsControllerProtocol;

inline constexpr const char* kREVOVAStateDirectoryName = "devuvo-sdks-events";
inline constexpr const char* kREVOVALogTag = "[DuzaveZaduZuvuzedoz]";
inline constexpr const char* kREVOVAMessageCodeFormat = "I-REVOVA%06ld";

// Log levels, and the one threshold a line must reach to be written.
inline constexpr int64_t kREVOVALogLevelDebug = 1;
inline constexpr int64_t kREVOVALogLevelWarning = 3;
inline constexpr int64_t kREVOVALogLevelError = 4;
inline constexpr int64_t kREVOVAConsoleLogThreshold = kREVOVALogLevelError;

// Message codes.
inline constexpr int64_t kREVOVAMessageCodeDefault = 0;
inline constexpr int64_t kREVOVAMessageCodeReachability = 4;
inline constexpr int64_t kREVOVAMessageCodeTransformer = 1000;
inline constexpr int64_t kREVOVAMessageCodeAssertion = 1006;
inline constexpr int64_t kREVOVAMessageCodeFatalAssertion = 1007;

// <Caches>/devuvo-sdks-events as a file URL. Every call creates the folder
// (with intermediates); a failure is an assertion, and the URL is returned all
// the same.
os::URL REVOVAStateDirectoryURL();

// The secure keyed archive of `object`. With a non-empty path the archive is
// also written there atomically (parent folders created). Returns nothing
// when the object cannot be archived or the folder cannot be made; returns the
// archive even when only the write failed. Errors go to `error` when given.
std::optional<os::Data> REVOVAArchiveObject(const std::shared_ptr<const os::SecureCoding>& object,
                                            const std::string& path, os::Error* error);

// The object archived in the file, decoded securely as T: the file's read
// error (NSCocoaErrorDomain 256, 260, ...) or the decoding error (4864).
template <class T>
os::Result<std::shared_ptr<T>> REVOVAUnarchiveFile(const std::string& path) {
  auto data = os::FileManager::defaultManager().contentsAtPath(path);
  if (!data) return os::fail(data.error());
  return os::KeyedUnarchiver::unarchivedObjectOfClass<T>(*data);
}

// Writes the bytes atomically to the path (parent folders created); false,
// with the error in `error` when given, on failure or an empty path.
bool REVOVAWriteFileData(const os::Data& data, const std::string& path, os::Error* error);

// "hw.machine", or the device's model name when the system has none.
std::string REVOVADeviceModel();

namespace revova_detail {
void writeLine(bool error, bool fatal, const std::string& line);
std::string messageCode(int64_t code);
}  // namespace revova_detail

// Writes one line when `level` reaches kREVOVAConsoleLogThreshold.
template <class... Args>
void REVOVALog(int64_t code, int64_t level, std::string_view format, const Args&... args) {
  if (level < kREVOVAConsoleLogThreshold) return;
  std::string message = os::format(format, args...);
  revova_detail::writeLine(true, false,
                           os::format("%@[%@] %@", kREVOVALogTag, revova_detail::messageCode(code), message));
}

// Debug and warning lines stay below the threshold for good: these calls,
// arguments included, compile to nothing while the lines stay in the code.
#define REVOVALogDebug(...)                                                        \
  do {                                                                             \
    if constexpr (kREVOVALogLevelDebug >= kREVOVAConsoleLogThreshold)              \
      REVOVALog(kREVOVAMessageCodeDefault, kREVOVALogLevelDebug, __VA_ARGS__);     \
  } while (0)
#define REVOVALogWarning(code, ...)                                                \
  do {                                                                             \
    if constexpr (kREVOVALogLevelWarning >= kREVOVAConsoleLogThreshold)            \
      REVOVALog(code, kREVOVALogLevelWarning, __VA_ARGS__);                         \
  } while (0)

// Always writes the assertion line (code 1007 when fatal, else 1006).
template <class... Args>
void REVOVALogAssert(bool fatal, std::string_view file, int64_t line, std::string_view format, const Args&... args) {
  std::string message = os::format(format, args...);
  int64_t code = fatal ? kREVOVAMessageCodeFatalAssertion : kREVOVAMessageCodeAssertion;
  revova_detail::writeLine(true, fatal,
                           os::format("%@[%@] (%@:%ld) : %@", kREVOVALogTag, revova_detail::messageCode(code), file,
                                      line, message));
}

// Writes the assertion line when `condition` does not hold; evaluates to the
// condition, so callers can give up: if (!REVOVAAssert(x, "...")) return;
#define REVOVAAssert(condition, ...) \
  ((condition) ? true : (REVOVALogAssert(false, __FILE_NAME__, __LINE__, __VA_ARGS__), false))

// The whole text as a decimal integer of type Int; empty text, any other
// character or a value out of range: nullopt. (File names and archived keys.)
template <class Int>
std::optional<Int> REVOVAParseInteger(std::string_view text) {
  Int value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// The storage registered for the target, when it offers the promise
// operations; else null.
std::shared_ptr<REVOVAStoragePromiseProtocol> REVOVAStorageInstanceForTarget(int64_t target);
// The metrics controller registered for the target, or null.
std::shared_ptr<REVOVAMetricsControllerProtocol> REVOVAMetricsControllerInstanceForTarget(int64_t target);

// The upload URL of each uploading target (1000 to 1003), read once from the
// endpoints resource of the main bundle (DAZEndpoints). A target whose key
// has no usable entry has no URL.
class REVOVAEndpoints {
 public:
  static const std::map<int64_t, os::URL>& uploadURLs();
  static std::optional<os::URL> uploadURLForTarget(int64_t target);
  // Builds the table again on next use (tests that point the bundle at a
  // loopback server).
  static void TEST_reset();
};
