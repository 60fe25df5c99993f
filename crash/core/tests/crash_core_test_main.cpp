// The test program's entry: a scenario named in the environment runs instead
// of the tests (see crash_core_test_support.h).
#include <gtest/gtest.h>

#include "crash/core/tests/crash_core_test_support.h"

int main(int argc, char** argv) {
  if (auto status = crashtest::runScenarioFromEnvironment()) return *status;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
