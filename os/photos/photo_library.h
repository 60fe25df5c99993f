// The photo library: the user's permission and the album that saved photos
// go to. The album is the sandbox's "Photos" folder; each photo is one JPEG
// file, written atomically (temporary file, then rename), named
// "IMG_<4 digits>.JPG" in order from IMG_0001.JPG.
//
// The permission is the user's answer, set by a test or the program through
// os::PhotoLibrarySimulator (authorised by default, as a user who allowed it
// earlier).
//
// Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/foundation/data.h"
#include "os/foundation/error.h"

enum class PHAuthorizationStatus { NotDetermined = 0, Restricted = 1, Denied = 2, Authorized = 3, Limited = 4 };

// The album's error domain and codes (access refused, write failed).
inline constexpr const char* PHPhotosErrorDomain = "PHPhotosErrorDomain";
inline constexpr int64_t PHPhotosErrorAccessUserDenied = 3311;
inline constexpr int64_t PHPhotosErrorAccessRestricted = 3310;
inline constexpr int64_t PHPhotosErrorInvalidResource = 3302;

class PHPhotoLibrary {
 public:
  static PHAuthorizationStatus authorizationStatus();
};

namespace os {

class PhotoLibrarySimulator {
 public:
  static void setAuthorizationStatus(PHAuthorizationStatus status);
  // "<sandbox>/Photos".
  static std::string albumDirectory();
  // Stores JPEG bytes as the next photo of the album and returns its path.
  // Errors: PHPhotosErrorAccessUserDenied / ...Restricted when the
  // permission is not given (not determined counts as denied: the prompt is
  // answered "no"), PHPhotosErrorInvalidResource for empty data, and the
  // file error when the album cannot be listed or the write fails (nothing is
  // replaced or left half-written).
  static Result<std::string> saveJPEG(const Data& jpeg);
  // The album's photo files, oldest first.
  static std::vector<std::string> savedPhotoPaths();
};

}  // namespace os
