// The wire format of the transport's upload: the request message built from
// a batch of events, the answer decoded from the server's body, and the
// two-pass nanopb encoding both the request and the metrics payload use.
//
// The request (UploadRequest) holds one SourceRequest per mapping ID of the
// batch; each carries the client's description (device, system, bundle) and
// one UploadEvent per event. Every message is built on the heap, encoded and
// released (pb_release) within one call; nothing is kept.
//
// Thread-safe: no state beyond the test hook below.
#pragma once

#include <pb.h>

#include <cstdint>
#include <optional>
#include <string>

#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "transport/REVOVALibrary/revova_event.h"

// Message codes of the upload's log lines.
inline constexpr int64_t kREVADAMessageCodeMetricsEncoding = 1005;
inline constexpr int64_t kREVADAMessageCodeUpload = 1006;

// The client type every request states.
inline constexpr uint32_t kREVADAClientTypeApple = 15;
// The origin of every product ID sent.
inline constexpr uint32_t kREVADAProductIDOrigin = 5;
// The user-info key of a response decoding error.
inline constexpr const char* kREVADANanopbErrorKey = "nanopb error:";

// The encoded UploadRequest of the events, grouped by mapping ID. Empty bytes
// when the set is empty (logged) or when encoding fails.
os::Data REVADAEncodeUploadRequest(const REVOVAEventSet& events);

// What the upload uses of the server's answer.
struct REVADAUploadResponse {
  // The wait before the next upload of the target, when the answer gives one.
  std::optional<int64_t> nextRequestWaitMillis;
};

// The answer's body decoded; a body that does not decode is an error in
// NSURLErrorDomain, code -1, with the decoder's message under
// kREVADANanopbErrorKey ("(none)" when it gives none).
os::Result<REVADAUploadResponse> REVADADecodeUploadResponse(const os::Data& body);

namespace revada_detail {

// Encodes in two passes: the size, then the bytes into a buffer of exactly
// that size. A failing pass logs "Error in nanopb encoding for size: %s" or
// "Error in nanopb encoding for bytes: %s" at error level under `code` and
// gives empty bytes: never a buffer whose tail was not written.
os::Data encodeTwoPass(const pb_msgdesc_t* fields, const void* message, int64_t code);

// A byte string of the text, allocated for pb_release; null for none.
pb_bytes_array_t* allocBytes(const void* bytes, size_t length);
inline pb_bytes_array_t* allocBytes(const std::string& text) { return allocBytes(text.data(), text.size()); }

// Tests: the next encodings fail in pass 1 (size) or 2 (bytes); 0 stops it.
void TEST_setFailingEncodingPass(int pass);

}  // namespace revada_detail
