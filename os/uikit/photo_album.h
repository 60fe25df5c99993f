// UIImageWriteToSavedPhotosAlbum: saves an image to the photo library's
// album (os/photos) as a JPEG. The completion (the platform's
// image:didFinishSavingWithError:contextInfo: target) runs on the next turn
// of the main queue with the image and the error, if any: the album's
// refusal when the photo permission is not given, PHPhotosErrorInvalidResource
// for an empty image.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "os/foundation/error.h"
#include "os/uikit/image.h"

using UIImageSaveCompletion =
    std::function<void(const std::shared_ptr<UIImage>& image, const std::optional<os::Error>& error)>;
// JPEG quality of saved photos.
inline constexpr CGFloat kUIImageSavedPhotoJPEGQuality = 0.9;

void UIImageWriteToSavedPhotosAlbum(std::shared_ptr<UIImage> image, UIImageSaveCompletion completion);
