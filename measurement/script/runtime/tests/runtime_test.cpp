#include <gtest/gtest.h>

#include "measurement/script/runtime/tests/script_test_support.h"

namespace {
using namespace script_test;

TEST(ScriptRuntime, Builds) {
  APMPRuntime runtime;
  auto result = runtime.executeStatements({Op("12", {N(1), N(2)})});
  ASSERT_TRUE(result.has_value());
}

}  // namespace
