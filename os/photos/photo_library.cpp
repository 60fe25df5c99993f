#include "os/photos/photo_library.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "os/foundation/file_manager.h"
#include "os/foundation/sandbox.h"

namespace {

struct State {
  std::mutex mutex;
  PHAuthorizationStatus status = PHAuthorizationStatus::Authorized;  // guarded by mutex
};

State& state() {
  static State s;
  return s;
}

bool isPhotoName(const std::string& name) {
  return name.size() == 12 && name.rfind("IMG_", 0) == 0 && name.compare(8, 4, ".JPG") == 0 &&
         std::all_of(name.begin() + 4, name.begin() + 8, [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

PHAuthorizationStatus PHPhotoLibrary::authorizationStatus() {
  std::lock_guard lock(state().mutex);
  return state().status;
}

namespace os {

void PhotoLibrarySimulator::setAuthorizationStatus(PHAuthorizationStatus status) {
  std::lock_guard lock(state().mutex);
  state().status = status;
}

std::string PhotoLibrarySimulator::albumDirectory() { return Sandbox::current()->root() + "/Photos"; }

std::vector<std::string> PhotoLibrarySimulator::savedPhotoPaths() {
  std::vector<std::string> out;
  auto dir = albumDirectory();
  auto names = FileManager::defaultManager().contentsOfDirectoryAtPath(dir);
  if (!names) return out;
  std::vector<std::string> sorted = *names;
  std::sort(sorted.begin(), sorted.end());
  for (auto& name : sorted)
    if (isPhotoName(name)) out.push_back(dir + "/" + name);
  return out;
}

Result<std::string> PhotoLibrarySimulator::saveJPEG(const Data& jpeg) {
  // One save at a time, so two saves never take the same name.
  std::lock_guard lock(state().mutex);
  switch (state().status) {
    case PHAuthorizationStatus::Authorized:
    case PHAuthorizationStatus::Limited:
      break;
    case PHAuthorizationStatus::Restricted:
      return fail(Error::withDescription(PHPhotosErrorDomain, PHPhotosErrorAccessRestricted,
                                         "Access to the photo library is restricted."));
    default:
      return fail(Error::withDescription(PHPhotosErrorDomain, PHPhotosErrorAccessUserDenied,
                                         "The user has denied access to the photo library."));
  }
  if (jpeg.empty())
    return fail(Error::withDescription(PHPhotosErrorDomain, PHPhotosErrorInvalidResource, "The photo has no data."));
  auto& fm = FileManager::defaultManager();
  auto dir = albumDirectory();
  if (auto made = fm.createDirectoryAtPath(dir, true); !made) return fail(made.error());
  // The next number comes from the listing: one that failed would number the
  // photo IMG_0001 and replace the album's first.
  auto names = fm.contentsOfDirectoryAtPath(dir);
  if (!names) return fail(names.error());
  int next = 1;
  for (auto& name : *names)
    if (isPhotoName(name)) next = std::max(next, std::stoi(name.substr(4, 4)) + 1);
  if (next > 9999)
    return fail(Error::withDescription(PHPhotosErrorDomain, PHPhotosErrorInvalidResource, "The album is full."));
  char name[32];
  std::snprintf(name, sizeof name, "IMG_%04d.JPG", next);
  std::string path = dir + "/" + name;
  if (auto written = fm.createFileAtPath(path, jpeg); !written) return fail(written.error());
  return path;
}

}  // namespace os
