// Crash consistency of the flat-file storage: a child process runs a script
// of stores, batches and returns (crash_child.cpp) and is killed by SIGKILL
// at a chosen file-system call; the parent then reopens the store and checks
// what it finds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <fstream>
#include <sstream>

#include "os/dispatch/manual_clock.h"
#include "os/foundation/sandbox.h"
#include "transport/REVOVALibrary/revova_platform.h"
#include "transport/REVOVALibrary/revova_upload_coordinator.h"
#include "transport/REVOVALibrary/tests/crash_script.h"
#include "transport/REVOVALibrary/tests/test_support.h"

namespace fs = std::filesystem;

namespace {

using namespace revova_test;

struct KillPoint {
  const char* name;
  const char* kind;  // "write", "sync", "rename", or "none" to run to the end
  int nth;
  const char* pathPart;
};

// Runs the child; returns the IDs it acknowledged, and whether it died the
// way the kill point says.
std::vector<std::string> runChild(const KillPoint& point, bool* diedAsExpected) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return {};
  }
  const std::string root = os::Sandbox::current()->root();
  const std::string nth = std::to_string(point.nth);
  const std::string fd = std::to_string(fds[1]);
  const char* argv[] = {TRANSPORT_CRASH_CHILD, root.c_str(), point.kind, nth.c_str(), point.pathPart, fd.c_str(),
                        nullptr};
  pid_t pid = ::fork();
  if (pid == 0) {
    // Async-signal-safe calls only until exec.
    ::fcntl(fds[1], F_SETFD, 0);
    ::execv(argv[0], const_cast<char* const*>(argv));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string acknowledged;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    acknowledged.append(buffer, size_t(n));
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (std::string(point.kind) == "none") *diedAsExpected = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  else *diedAsExpected = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  std::vector<std::string> ids;
  std::istringstream lines(acknowledged);
  for (std::string line; std::getline(lines, line);) ids.push_back(line);
  return ids;
}

class REVOVACrashTest : public StateTest {};

TEST_F(REVOVACrashTest, AReopenedStoreKeepsEveryAcknowledgedEventOnceAndNothingPartial) {
  const KillPoint points[] = {
      {"no crash", "none", 0, "-"},
      {"writing the third event", "write", 3, "dov_event_data"},
      {"before the third event's fsync", "sync", 5, "dov_event_data"},
      {"after the third event's fsync, before its rename", "rename", 3, "dov_event_data"},
      {"after the third event's rename", "sync", 6, "dov_event_data"},
      {"between moves into a batch", "rename", 3, "dov_batch_data"},
      {"between moves back from a batch", "rename", 9, "dov_batch_data"},
      {"between moves into the second batch", "rename", 14, "dov_batch_data"},
      {"writing the first batch counter", "write", 1, "BatchIDCounter"},
      {"before renaming the batch counter", "rename", 1, "BatchIDCounter"},
  };
  for (const auto& point : points) {
    SCOPED_TRACE(point.name);
    emptyStore();
    bool diedAsExpected = false;
    auto acknowledged = runChild(point, &diedAsExpected);
    EXPECT_TRUE(diedAsExpected);
    ASSERT_FALSE(acknowledged.empty());

    // Reopen. The first use clears the dead writer's temporaries, so that
    // the size counted is every byte the folder holds.
    os::ManualClockScope clock;
    auto storage = std::make_shared<REVOVAFlatFileStorage>(std::make_shared<REVOVAUploadCoordinator>());
    auto delegate = std::make_shared<RecordingDelegate>();
    storage->setDelegate(delegate);
    auto size = waitFor<uint64_t>([&](std::function<void(uint64_t)> done) { storage->storageSizeWithCallback(done); });
    for (const auto& file : filesUnder(storageRoot())) EXPECT_EQ(file.find(".tmp-"), std::string::npos) << file;
    EXPECT_EQ(size, bytesUnder(stateDirectory()));
    std::string counter = storageRoot() + "/dov_library_data/" + kREVOVAFlatFileStorageBatchIDCounterKey;
    if (fs::exists(counter)) {
      EXPECT_EQ(fs::file_size(counter), 4u);
    }

    for (int64_t target : {1001, 1002}) ASSERT_TRUE(settle(storage->removeAllBatchesForTarget(target, false)));
    EXPECT_TRUE(filesUnder(storageRoot() + "/dov_batch_data").empty());

    // Every file decodes whole, with the payload written for its ID.
    std::map<std::string, int> copies;
    REVOVAEventSet onDisk;
    for (int64_t target : {1001, 1002}) {
      for (const auto& name : filesUnder(eventFolder(target))) {
        auto event = REVOVAUnarchiveFile<REVOVAEvent>(eventFolder(target) + "/" + name);
        ASSERT_TRUE(event) << name;
        EXPECT_EQ((*event)->serializedDataObjectBytes(),
                  os::Data::fromString(revova_crash::payloadFor((*event)->eventID())));
        copies[(*event)->eventID()]++;
        onDisk.insert(*event);
      }
    }
    for (const auto& id : acknowledged) EXPECT_EQ(copies[id], 1) << id;
    for (const auto& [id, count] : copies) EXPECT_EQ(count, 1) << id;

    // Expiry removes exactly what has expired, and says so.
    std::set<std::string> expired, kept;
    clock->advance(7'200);
    for (const auto& event : onDisk)
      (event->expirationDate() < os::Date::now() ? expired : kept).insert(event->eventID());
    storage->checkForExpirations();
    drain(*storage);
    EXPECT_EQ(idsOf(delegate->expired()), expired);
    std::set<std::string> left;
    for (int64_t target : {1001, 1002})
      for (const auto& name : filesUnder(eventFolder(target))) left.insert(name.substr(0, name.find('-')));
    EXPECT_EQ(left, kept);

    // The cap holds against everything on disk.
    uint64_t held = bytesUnder(stateDirectory());
    {
      std::ofstream filler(stateDirectory() + "/filler", std::ios::binary);
      filler.seekp(static_cast<std::streamoff>(kREVOVAFlatFileStorageSizeLimit - held - 100));
      filler.put('\0');
    }
    auto reopened = std::make_shared<REVOVAFlatFileStorage>(std::make_shared<REVOVAUploadCoordinator>());
    auto [written, error] = store(*reopened, makeEvent("1974", 1001, "over the cap"));
    EXPECT_FALSE(written);
    EXPECT_TRUE(error && error->code() == kREVOVAFlatFileStorageErrorSizeLimit);
    drain(*reopened);
  }
}

}  // namespace
