// Fused statements: a read of a name literal, arithmetic or ordering of two
// operands that are literals or such reads, and an assignment of one of
// these to a name literal. They make most of a loop's work. Each runs in one
// step that does what the registrar, the argument evaluation and the handler
// would do, with the same values, errors and bulk work. The caller counts
// all of the statement's evaluations at once; when the budget or the depth
// cap would stop it partway, it runs the general way instead.
#pragma once

#include "measurement/script/runtime/fused_form.h"
#include "measurement/script/runtime/values.h"

// The fused form of a statement with the given built-in row and entries;
// Shape::None when it has none.
APMPFusedForm APMPFuseStatement(const APMPOpcode* builtInRow, const APMPValueList& arguments);

// Runs a fused statement whose evaluations the caller has counted, with the
// depth cap checked for form.depth levels below the current one.
APMPResult APMPEvaluateFused(const APMPFusedForm& form, const APMPScopeRef& scope);

namespace apmp::detail {
// Statements made on this thread while fusion is off get no fused form
// (tests compare the two ways).
void setStatementFusion(bool enabled);
}  // namespace apmp::detail
