// The child of the crash-consistency tests: runs a fixed script of stores,
// batches and returns against the flat-file storage of a container, with a
// file-system fault that may kill it by SIGKILL at a chosen call.
//
//   transport_crash_child <container root> <call kind|none> <nth> <path part|-> <fd>
//
// After each store that reports success it writes "<event ID>\n" to the fd,
// before the script goes on. It exits 0 when the script ends.
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "os/foundation/device_profile.h"
#include "os/foundation/file_system.h"
#include "os/foundation/sandbox.h"
#include "transport/REVOVALibrary/revova_flat_file_storage.h"
#include "transport/REVOVALibrary/revova_upload_coordinator.h"
#include "transport/REVOVALibrary/tests/crash_script.h"

namespace {

class Payload : public REVOVAEventDataObject {
 public:
  explicit Payload(std::string text) : text_(std::move(text)) {}
  std::optional<os::Data> transportBytes() const override { return os::Data::fromString(text_); }

 private:
  std::string text_;
};

// Waits for one completion; the script is sequential.
class Step {
 public:
  void done() {
    std::lock_guard lock(mutex_);
    done_ = true;
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return done_; });
    done_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s root kind nth path-part fd\n", argv[0]);
    return 2;
  }
  os::Sandbox::setCurrent(std::make_shared<os::Sandbox>(argv[1]));
  // No network: the uploader registered at class load leaves the store alone.
  os::DeviceProfile device;
  device.network = os::DeviceNetwork::None;
  os::DeviceProfile::setCurrent(device);
  const std::map<std::string, os::FileOp> kinds = {{"write", os::FileOp::Write},
                                                   {"sync", os::FileOp::Sync},
                                                   {"rename", os::FileOp::Rename}};
  auto faults = std::make_shared<os::FaultInjectingFileSystem>();
  if (auto kind = kinds.find(argv[2]); kind != kinds.end())
    faults->killAtCall(kind->second, std::atoi(argv[3]), std::string(argv[4]) == "-" ? "" : argv[4]);
  os::FileSystem::setCurrent(faults);
  const int ackFd = std::atoi(argv[5]);

  auto storage = std::make_shared<REVOVAFlatFileStorage>(std::make_shared<REVOVAUploadCoordinator>());
  Step step;
  int index = 0;
  auto storeEvents = [&](int count, int64_t target) {
    for (int i = 0; i < count; ++i, ++index) {
      auto event = REVOVAEvent::initWithMappingID(revova_crash::mappingIDFor(index), target);
      event->setDataObject(std::make_shared<Payload>(revova_crash::payloadFor(event->eventID())));
      event->setQosTier(revova_crash::qosTierFor(index));
      event->setExpirationDate(revova_crash::expirationFor(index));
      storage->storeEvent(event, [&, id = event->eventID()](bool written, std::optional<os::Error>) {
        if (written) {
          std::string line = id + "\n";
          if (::write(ackFd, line.data(), line.size()) != ssize_t(line.size())) std::abort();
        }
        step.done();
      });
      step.wait();
    }
  };
  auto makeBatch = [&](const REVOVAStorageEventSelector& selector) {
    std::optional<int64_t> batchID;
    storage->batchWithEventSelector(selector, revova_crash::batchExpiration(),
                                    [&](std::optional<int64_t> id, std::optional<REVOVAEventSet>) {
                                      batchID = id;
                                      step.done();
                                    });
    step.wait();
    return batchID;
  };

  storeEvents(6, 1001);
  auto first = makeBatch(REVOVAStorageEventSelector::eventSelectorForTarget(1001));
  if (first) {
    storage->removeBatchWithID(*first, false, [&] { step.done(); });
    step.wait();
  }
  storeEvents(4, 1001);
  storeEvents(2, 1002);
  makeBatch(REVOVAStorageEventSelector::initWithTarget(1001, {}, {}, {3}));
  makeBatch(REVOVAStorageEventSelector::eventSelectorForTarget(1002));
  storeEvents(2, 1001);
  return 0;
}
