#include "os/photos/photo_library.h"

#include <gtest/gtest.h>

#include "os/foundation/file_manager.h"
#include "os/foundation/file_system.h"
#include "os/foundation/sandbox.h"

namespace os {
namespace {

// A listing of the album that failed (too many open files) numbered the next
// photo IMG_0001, and its save replaced the album's first photo.
TEST(PhotoLibraryTest, FailedListingReplacesNoPhoto) {
  TemporarySandbox sandbox;
  auto first = PhotoLibrarySimulator::saveJPEG(Data::fromString("first"));
  ASSERT_TRUE(first);
  {
    auto faulty = std::make_shared<FaultInjectingFileSystem>();
    ScopedFileSystem installed(faulty);
    faulty->inject(FileOp::Open, FaultInjectingFileSystem::Fault{EMFILE, "/Photos", 0, 1});
    auto failed = PhotoLibrarySimulator::saveJPEG(Data::fromString("second"));
    ASSERT_FALSE(failed);
    // The save stopped at the listing, before any file was opened to write.
    EXPECT_EQ(failed.error().code(), kFileReadUnknownError);
    EXPECT_EQ(failed.error().underlyingError()->code(), EMFILE);
  }
  auto third = PhotoLibrarySimulator::saveJPEG(Data::fromString("third"));
  ASSERT_TRUE(third);
  EXPECT_TRUE(third->ends_with("/IMG_0002.JPG"));
  EXPECT_EQ(FileManager::defaultManager().contentsAtPath(*first)->toString(), "first");
  EXPECT_EQ(PhotoLibrarySimulator::savedPhotoPaths(), (std::vector<std::string>{*first, *third}));
}

}  // namespace
}  // namespace os
