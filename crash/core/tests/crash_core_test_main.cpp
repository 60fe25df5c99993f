// The test program's entry: a scenario named in the environment runs instead
// of the tests (see crash_core_test_support.h).
#include <gtest/gtest.h>
#include <unistd.h>

#include "crash/core/tests/crash_core_test_support.h"

int main(int argc, char** argv) {
  // A scenario's process ends at once with its status: its dispatch workers
  // still run, and a leak check cannot stop threads under a tracer.
  if (auto status = crashtest::runScenarioFromEnvironment()) ::_exit(*status);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
