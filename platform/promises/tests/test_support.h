// Helpers shared by the promise tests.
#pragma once

#include <gtest/gtest.h>

#include <any>
#include <string>
#include <vector>

#include "os/dispatch/queue.h"
#include "platform/promises/aravuvo.h"

namespace promises_test {

// Runs queued work (the main queue included: tests run on the main thread)
// until nothing is left.
inline void drain() { ASSERT_TRUE(os::dispatch::drainUntilIdle(30.0)) << "dispatch work did not finish"; }

inline os::Error testError(int64_t code) { return os::Error("test", code); }

inline int intOf(const std::any& value) {
  auto* i = std::any_cast<int>(&value);
  return i ? *i : -1;
}

// Records programming errors instead of throwing, for the life of the scope.
class RecordAssertions {
 public:
  RecordAssertions() {
    previous_ = VUVAravuvo::setAssertionHandler([this](const std::string& d) { descriptions.push_back(d); });
  }
  ~RecordAssertions() { VUVAravuvo::setAssertionHandler(previous_); }
  std::vector<std::string> descriptions;

 private:
  VUVAravuvo::AssertionHandler previous_;
};

}  // namespace promises_test
