#include "os/uikit/photo_album.h"

#include "os/dispatch/queue.h"
#include "os/photos/photo_library.h"

void UIImageWriteToSavedPhotosAlbum(std::shared_ptr<UIImage> image, UIImageSaveCompletion completion) {
  std::optional<os::Error> error;
  std::optional<os::Data> jpeg = image ? image->jpegData(kUIImageSavedPhotoJPEGQuality) : std::nullopt;
  if (!jpeg || jpeg->empty()) {
    error = os::Error::withDescription(PHPhotosErrorDomain, PHPhotosErrorInvalidResource,
                                       "The image has no data to save.");
  } else if (auto saved = os::PhotoLibrarySimulator::saveJPEG(*jpeg); !saved) {
    error = saved.error();
  }
  if (completion)
    os::DispatchQueue::main()->async([completion = std::move(completion), image = std::move(image), error] {
      completion(image, error);
    });
}
