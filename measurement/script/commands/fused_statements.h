// Fused statements: a read of a name literal, arithmetic or ordering of two
// operands that are literals or such reads, and an assignment of one of
// these to a name literal. They make most of a loop's work. Each runs in one
// step that does what the registrar, the argument evaluation and the handler
// would do, with the same values, errors and bulk work. The caller counts
// all of the statement's evaluations at once; when the budget or the depth
// cap would stop it partway, it runs the general way instead.
#pragma once

#include "measurement/script/commands/command_families.h"
#include "measurement/script/runtime/fused_form.h"
#include "measurement/script/runtime/limits.h"
#include "measurement/script/runtime/scope.h"
#include "measurement/script/runtime/values.h"

// The fused form of a statement with the given built-in row and entries;
// Shape::None when it has none.
APMPFusedForm APMPFuseStatement(const APMPOpcode* builtInRow, const APMPValueList& arguments);

// Counts the statement's evaluations when the budget and the depth cap let
// it run to its end; false, with nothing counted, otherwise (it must then
// run the general way).
inline bool APMPCountFused(const APMPFusedForm& form, APMPExecutionState& state) {
  if (form.shape == APMPFusedForm::Shape::None || state.instructionCount > kAPMPInstructionBudget - form.instructions ||
      state.depth + form.depth >= kAPMPMaxEvaluationDepth) {
    return false;
  }
  state.instructionCount += form.instructions;
  return true;
}

// Runs a fused statement that APMPCountFused has counted.
APMPResult APMPEvaluateFused(const APMPFusedForm& form, const APMPScopeRef& scope);
// The same when only its failure matters.
os::Status APMPRunFused(const APMPFusedForm& form, const APMPScopeRef& scope);
// The same taken by its Boolean form.
os::Result<bool> APMPFusedCondition(const APMPFusedForm& form, const APMPScopeRef& scope);

// The value the handler of an arithmetic or ordering row makes of two
// numbers, computed without its conversions; null for any other handler.
APMPValueRef APMPNumericResult(APMPCommandHandler handler, double x, double y);

namespace apmp::detail {
// Statements made on this thread while fusion is off get no fused form
// (tests compare the two ways).
void setStatementFusion(bool enabled);
}  // namespace apmp::detail
