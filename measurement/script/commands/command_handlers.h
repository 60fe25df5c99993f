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
APMPResult APMPMathAdd(const APMPValueList& arguments, const APMPScopeRef& scope);  // 0
APMPResult APMPMathDivide(const APMPValueList& arguments, const APMPScopeRef& scope);  // 10
APMPResult APMPMathRemainder(const APMPValueList& arguments, const APMPScopeRef& scope);  // 25
APMPResult APMPMathMultiply(const APMPValueList& arguments, const APMPScopeRef& scope);  // 26
APMPResult APMPMathNegate(const APMPValueList& arguments, const APMPScopeRef& scope);  // 27
APMPResult APMPMathFirst(const APMPValueList& arguments, const APMPScopeRef& scope);  // 32, 33
APMPResult APMPMathPassThrough(const APMPValueList& arguments, const APMPScopeRef& scope);  // 34, 35
APMPResult APMPMathSubtract(const APMPValueList& arguments, const APMPScopeRef& scope);  // 37

// ---- bitwise (bitwise_commands.cpp) ----
APMPResult APMPBitwiseAnd(const APMPValueList& arguments, const APMPScopeRef& scope);  // 56
APMPResult APMPBitwiseShiftLeft(const APMPValueList& arguments, const APMPScopeRef& scope);  // 57
APMPResult APMPBitwiseNot(const APMPValueList& arguments, const APMPScopeRef& scope);  // 58
APMPResult APMPBitwiseOr(const APMPValueList& arguments, const APMPScopeRef& scope);  // 59
APMPResult APMPBitwiseShiftRight(const APMPValueList& arguments, const APMPScopeRef& scope);  // 60
APMPResult APMPBitwiseUnsignedShiftRight(const APMPValueList& arguments, const APMPScopeRef& scope);  // 61
APMPResult APMPBitwiseExclusiveOr(const APMPValueList& arguments, const APMPScopeRef& scope);  // 62

// ---- comparison (comparison_commands.cpp) ----
APMPResult APMPCompareLooseEqual(const APMPValueList& arguments, const APMPScopeRef& scope);  // 12
APMPResult APMPCompareGreater(const APMPValueList& arguments, const APMPScopeRef& scope);  // 18
APMPResult APMPCompareGreaterOrEqual(const APMPValueList& arguments, const APMPScopeRef& scope);  // 19
APMPResult APMPCompareStrictEqual(const APMPValueList& arguments, const APMPScopeRef& scope);  // 20
APMPResult APMPCompareStrictNotEqual(const APMPValueList& arguments, const APMPScopeRef& scope);  // 21
APMPResult APMPCompareLess(const APMPValueList& arguments, const APMPScopeRef& scope);  // 23
APMPResult APMPCompareLessOrEqual(const APMPValueList& arguments, const APMPScopeRef& scope);  // 24
APMPResult APMPCompareLooseNotEqual(const APMPValueList& arguments, const APMPScopeRef& scope);  // 29

// ---- logical (logical_commands.cpp) ----
APMPResult APMPLogicalAnd(const APMPValueList& arguments, const APMPScopeRef& scope);  // 1
APMPResult APMPLogicalNot(const APMPValueList& arguments, const APMPScopeRef& scope);  // 28
APMPResult APMPLogicalOr(const APMPValueList& arguments, const APMPScopeRef& scope);  // 30

// ---- control (control_commands.cpp) ----
APMPResult APMPControlCallMethod(const APMPValueList& arguments, const APMPScopeRef& scope);  // 2
APMPResult APMPControlBreak(const APMPValueList& arguments, const APMPScopeRef& scope);  // 4
APMPResult APMPControlRunStatementArray(const APMPValueList& arguments, const APMPScopeRef& scope);  // 5, 9
APMPResult APMPControlContinue(const APMPValueList& arguments, const APMPScopeRef& scope);  // 6
APMPResult APMPControlSequence(const APMPValueList& arguments, const APMPScopeRef& scope);  // 13
APMPResult APMPControlIf(const APMPValueList& arguments, const APMPScopeRef& scope);  // 22
APMPResult APMPControlReturn(const APMPValueList& arguments, const APMPScopeRef& scope);  // 36
APMPResult APMPControlSwitch(const APMPValueList& arguments, const APMPScopeRef& scope);  // 38
APMPResult APMPControlConditional(const APMPValueList& arguments, const APMPScopeRef& scope);  // 39
APMPResult APMPControlStatementArray(const APMPValueList& arguments, const APMPScopeRef& scope);  // 46
APMPResult APMPControlFunctionDeclaration(const APMPValueList& arguments, const APMPScopeRef& scope);  // 50
APMPResult APMPControlFunctionExpression(const APMPValueList& arguments, const APMPScopeRef& scope);  // 51
APMPResult APMPControlBlock(const APMPValueList& arguments, const APMPScopeRef& scope);  // 53

// ---- variable (variable_commands.cpp) ----
APMPResult APMPVariableAssign(const APMPValueList& arguments, const APMPScopeRef& scope);  // 3
APMPResult APMPVariableArrayLiteral(const APMPValueList& arguments, const APMPScopeRef& scope);  // 7
APMPResult APMPVariableMapLiteral(const APMPValueList& arguments, const APMPScopeRef& scope);  // 8
APMPResult APMPVariableRead(const APMPValueList& arguments, const APMPScopeRef& scope);  // 15
APMPResult APMPVariableReadProperty(const APMPValueList& arguments, const APMPScopeRef& scope);  // 16, 17
APMPResult APMPVariableTypeName(const APMPValueList& arguments, const APMPScopeRef& scope);  // 40
APMPResult APMPVariableDeclare(const APMPValueList& arguments, const APMPScopeRef& scope);  // 41
APMPResult APMPVariableWriteProperty(const APMPValueList& arguments, const APMPScopeRef& scope);  // 43
APMPResult APMPVariableUndefined(const APMPValueList& arguments, const APMPScopeRef& scope);  // 44
APMPResult APMPVariableNull(const APMPValueList& arguments, const APMPScopeRef& scope);  // 45
APMPResult APMPVariableDeclareConstants(const APMPValueList& arguments, const APMPScopeRef& scope);  // 52

// ---- loop (loop_commands.cpp) ----
APMPResult APMPLoopWhile(const APMPValueList& arguments, const APMPScopeRef& scope);  // 42
APMPResult APMPLoopForInAssign(const APMPValueList& arguments, const APMPScopeRef& scope);  // 47
APMPResult APMPLoopForInConstant(const APMPValueList& arguments, const APMPScopeRef& scope);  // 54
APMPResult APMPLoopForInVariable(const APMPValueList& arguments, const APMPScopeRef& scope);  // 55
APMPResult APMPLoopFor(const APMPValueList& arguments, const APMPScopeRef& scope);  // 63
APMPResult APMPLoopForOfAssign(const APMPValueList& arguments, const APMPScopeRef& scope);  // 64
APMPResult APMPLoopForOfConstant(const APMPValueList& arguments, const APMPScopeRef& scope);  // 65
APMPResult APMPLoopForOfVariable(const APMPValueList& arguments, const APMPScopeRef& scope);  // 66
