// Programs for the command tests, written as entity trees in one line each,
// and a fixture that runs them on a fresh runtime and shows what they give.
//
// With DROSIL_SCRIPT_FUZZ_SEEDS set to a folder, every program the fixture
// runs is also written there, encoded as a program message: the seeds of the
// script fuzz target.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/script/runtime/runtime.h"
#include "measurement/script/runtime/tests/script_test_support.h"

namespace program {

using script_test::B;
using script_test::Entity;
using script_test::N;
using script_test::Op;
using script_test::S;
using Entities = std::vector<Entity>;

Entity Undef();                                    // 44
Entity Null();                                     // 45
Entity Get(std::string_view name);                 // 15
Entity Set(std::string_view name, Entity value);   // 3
Entity Let(std::string_view name, Entity value);   // 41 name, then 3
Entity Const(std::string_view name, Entity value); // 52
Entity Prop(Entity object, Entity key);            // 16
Entity Put(Entity object, Entity key, Entity value);  // 43
Entity Arr(Entities elements = {});                // 7
Entity Obj(Entities pairs = {});                   // 8: key, value, ...
Entity Body(Entities statements = {});             // 46: a statement array
Entity Call(Entity receiver, std::string_view method, Entities arguments = {});  // 2
Entity Fn(std::vector<std::string_view> parameters, Entities body);  // 51, unnamed
Entity Ret(Entity value);                          // 36
Entity Add(Entity a, Entity b);                    // 0
Entity Lt(Entity a, Entity b);                     // 23
// log(x, ...): the fixture's native that records what it is given.
Entity Log(Entities arguments);
// A statement that fails with rovav 9 before it evaluates anything.
Entity Fail();

// How tests read results: undefined, null, true, 1.5, -0, NaN, 'text',
// [1,_,'a'] (holes "_"), {a:1}, function f, break, return 1; a failure as
// "rovav 9", "regex 1" or "domain code".
std::string Show(const APMPValueRef& value);
std::string Show(const APMPResult& result);

class ProgramTest : public ::testing::Test {
 protected:
  ProgramTest();
  // Runs the statements in the global scope after a reset of the counter.
  APMPResult run(const Entities& statements);
  std::string show(const Entities& statements) { return Show(run(statements)); }
  // What log() received since the last call, joined with " ".
  std::string logged();

  APMPRuntime runtime_;
  std::vector<std::string> log_;
};

}  // namespace program
