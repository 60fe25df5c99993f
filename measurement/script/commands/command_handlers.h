// The handlers named in the opcode table (opcode_table.cpp), one source file
// per family. Each has the APMPCommandHandler shape: eager families (math,
// bitwise, variable) and the comparison family receive evaluated values,
// lazy ones (control, logical, loop) the statement's entries as they stand.
// The table has checked the count before a handler runs.
//
// Every handler pays its bulk work to the budget: runs of code units it
// copies, scans or builds, and slots it scans, with APMPChargeBulkWork; slots,
// items, scopes and bindings it makes, with APMPChargeSlots. It makes longer
// strings and arrays only through APMPMakeString / APMPConcatenate and the
// array primitives. So the budget and the caps of limits.h hold on every road
// these commands open.
#pragma once

#include "measurement/script/runtime/values.h"

// ---- math (math_commands.cpp) ----
APMPResult APMPMathAdd(APMPArguments arguments, const APMPScopeRef& scope);  // 0
APMPResult APMPMathDivide(APMPArguments arguments, const APMPScopeRef& scope);  // 10
APMPResult APMPMathRemainder(APMPArguments arguments, const APMPScopeRef& scope);  // 25
APMPResult APMPMathMultiply(APMPArguments arguments, const APMPScopeRef& scope);  // 26
APMPResult APMPMathNegate(APMPArguments arguments, const APMPScopeRef& scope);  // 27
APMPResult APMPMathFirst(APMPArguments arguments, const APMPScopeRef& scope);  // 32, 33
APMPResult APMPMathPassThrough(APMPArguments arguments, const APMPScopeRef& scope);  // 34, 35
APMPResult APMPMathSubtract(APMPArguments arguments, const APMPScopeRef& scope);  // 37

// ---- bitwise (bitwise_commands.cpp) ----
APMPResult APMPBitwiseAnd(APMPArguments arguments, const APMPScopeRef& scope);  // 56
APMPResult APMPBitwiseShiftLeft(APMPArguments arguments, const APMPScopeRef& scope);  // 57
APMPResult APMPBitwiseNot(APMPArguments arguments, const APMPScopeRef& scope);  // 58
APMPResult APMPBitwiseOr(APMPArguments arguments, const APMPScopeRef& scope);  // 59
APMPResult APMPBitwiseShiftRight(APMPArguments arguments, const APMPScopeRef& scope);  // 60
APMPResult APMPBitwiseUnsignedShiftRight(APMPArguments arguments, const APMPScopeRef& scope);  // 61
APMPResult APMPBitwiseExclusiveOr(APMPArguments arguments, const APMPScopeRef& scope);  // 62

// ---- comparison (comparison_commands.cpp) ----
APMPResult APMPCompareLooseEqual(APMPArguments arguments, const APMPScopeRef& scope);  // 12
APMPResult APMPCompareGreater(APMPArguments arguments, const APMPScopeRef& scope);  // 18
APMPResult APMPCompareGreaterOrEqual(APMPArguments arguments, const APMPScopeRef& scope);  // 19
APMPResult APMPCompareStrictEqual(APMPArguments arguments, const APMPScopeRef& scope);  // 20
APMPResult APMPCompareStrictNotEqual(APMPArguments arguments, const APMPScopeRef& scope);  // 21
APMPResult APMPCompareLess(APMPArguments arguments, const APMPScopeRef& scope);  // 23
APMPResult APMPCompareLessOrEqual(APMPArguments arguments, const APMPScopeRef& scope);  // 24
APMPResult APMPCompareLooseNotEqual(APMPArguments arguments, const APMPScopeRef& scope);  // 29

// ---- logical (logical_commands.cpp) ----
APMPResult APMPLogicalAnd(APMPArguments arguments, const APMPScopeRef& scope);  // 1
APMPResult APMPLogicalNot(APMPArguments arguments, const APMPScopeRef& scope);  // 28
APMPResult APMPLogicalOr(APMPArguments arguments, const APMPScopeRef& scope);  // 30

// ---- control (control_commands.cpp) ----
APMPResult APMPControlCallMethod(APMPArguments arguments, const APMPScopeRef& scope);  // 2
APMPResult APMPControlBreak(APMPArguments arguments, const APMPScopeRef& scope);  // 4
APMPResult APMPControlRunStatementArray(APMPArguments arguments, const APMPScopeRef& scope);  // 5, 9
APMPResult APMPControlContinue(APMPArguments arguments, const APMPScopeRef& scope);  // 6
APMPResult APMPControlSequence(APMPArguments arguments, const APMPScopeRef& scope);  // 13
APMPResult APMPControlIf(APMPArguments arguments, const APMPScopeRef& scope);  // 22
APMPResult APMPControlReturn(APMPArguments arguments, const APMPScopeRef& scope);  // 36
APMPResult APMPControlSwitch(APMPArguments arguments, const APMPScopeRef& scope);  // 38
APMPResult APMPControlConditional(APMPArguments arguments, const APMPScopeRef& scope);  // 39
APMPResult APMPControlStatementArray(APMPArguments arguments, const APMPScopeRef& scope);  // 46
APMPResult APMPControlFunctionDeclaration(APMPArguments arguments, const APMPScopeRef& scope);  // 50
APMPResult APMPControlFunctionExpression(APMPArguments arguments, const APMPScopeRef& scope);  // 51
APMPResult APMPControlBlock(APMPArguments arguments, const APMPScopeRef& scope);  // 53

// ---- variable (variable_commands.cpp) ----
APMPResult APMPVariableAssign(APMPArguments arguments, const APMPScopeRef& scope);  // 3
APMPResult APMPVariableArrayLiteral(APMPArguments arguments, const APMPScopeRef& scope);  // 7
APMPResult APMPVariableMapLiteral(APMPArguments arguments, const APMPScopeRef& scope);  // 8
APMPResult APMPVariableRead(APMPArguments arguments, const APMPScopeRef& scope);  // 15
APMPResult APMPVariableReadProperty(APMPArguments arguments, const APMPScopeRef& scope);  // 16, 17
APMPResult APMPVariableTypeName(APMPArguments arguments, const APMPScopeRef& scope);  // 40
APMPResult APMPVariableDeclare(APMPArguments arguments, const APMPScopeRef& scope);  // 41
APMPResult APMPVariableWriteProperty(APMPArguments arguments, const APMPScopeRef& scope);  // 43
APMPResult APMPVariableUndefined(APMPArguments arguments, const APMPScopeRef& scope);  // 44
APMPResult APMPVariableNull(APMPArguments arguments, const APMPScopeRef& scope);  // 45
APMPResult APMPVariableDeclareConstants(APMPArguments arguments, const APMPScopeRef& scope);  // 52

// ---- loop (loop_commands.cpp) ----
APMPResult APMPLoopWhile(APMPArguments arguments, const APMPScopeRef& scope);  // 42
APMPResult APMPLoopForInAssign(APMPArguments arguments, const APMPScopeRef& scope);  // 47
APMPResult APMPLoopForInConstant(APMPArguments arguments, const APMPScopeRef& scope);  // 54
APMPResult APMPLoopForInVariable(APMPArguments arguments, const APMPScopeRef& scope);  // 55
APMPResult APMPLoopFor(APMPArguments arguments, const APMPScopeRef& scope);  // 63
APMPResult APMPLoopForOfAssign(APMPArguments arguments, const APMPScopeRef& scope);  // 64
APMPResult APMPLoopForOfConstant(APMPArguments arguments, const APMPScopeRef& scope);  // 65
APMPResult APMPLoopForOfVariable(APMPArguments arguments, const APMPScopeRef& scope);  // 66
