// Linked into every test executable: queue checks run in tests whatever the
// build type.
#include "os/dispatch/queue_confined.h"

namespace {
const bool queueChecksSwitchedOn = (os::setQueueChecksEnabled(true), true);
}  // namespace
