#include "measurement/script/commands/command_families.h"
#include "measurement/script/commands/command_handlers.h"

// One row per opcode: its family, the argument counts it accepts and its
// handler (command_handlers.h).

namespace {

using A = APMPArity;
using F = APMPCommandFamilyID;

// clang-format off
constexpr APMPOpcode kAPMPOpcodeTable[] = {
    {u"0", F::Math, A::exactly(2), &APMPMathAdd},  // add or concatenate
    {u"1", F::Logical, A::exactly(2), &APMPLogicalAnd},  // logical and
    {u"2", F::Control, A::exactly(3), &APMPControlCallMethod},  // call a method of a value
    {u"3", F::Variable, A::exactly(2), &APMPVariableAssign},  // assign to an existing variable
    {u"4", F::Control, A::exactly(0), &APMPControlBreak},  // break
    {u"5", F::Control, A::exactly(1), &APMPControlRunStatementArray},  // run a statement array in place
    {u"6", F::Control, A::exactly(0), &APMPControlContinue},  // continue
    {u"7", F::Variable, A::any(), &APMPVariableArrayLiteral},  // array literal
    {u"8", F::Variable, A::evenCount(), &APMPVariableMapLiteral},  // map literal
    {u"9", F::Control, A::exactly(1), &APMPControlRunStatementArray},  // run a statement array in place (as 5)
    {u"10", F::Math, A::exactly(2), &APMPMathDivide},  // divide
    {u"12", F::Comparison, A::exactly(2), &APMPCompareLooseEqual},  // loose equality
    {u"13", F::Control, A::atLeast(1), &APMPControlSequence},  // sequence
    {u"15", F::Variable, A::exactly(1), &APMPVariableRead},  // read a variable
    {u"16", F::Variable, A::exactly(2), &APMPVariableReadProperty},  // read a property
    {u"17", F::Variable, A::exactly(2), &APMPVariableReadProperty},  // read a property (as 16)
    {u"18", F::Comparison, A::exactly(2), &APMPCompareGreater},  // greater than
    {u"19", F::Comparison, A::exactly(2), &APMPCompareGreaterOrEqual},  // greater than or equal
    {u"20", F::Comparison, A::exactly(2), &APMPCompareStrictEqual},  // strict equality
    {u"21", F::Comparison, A::exactly(2), &APMPCompareStrictNotEqual},  // strict inequality
    {u"22", F::Control, A::between(1, 3), &APMPControlIf},  // if, with optional else
    {u"23", F::Comparison, A::exactly(2), &APMPCompareLess},  // less than
    {u"24", F::Comparison, A::exactly(2), &APMPCompareLessOrEqual},  // less than or equal
    {u"25", F::Math, A::exactly(2), &APMPMathRemainder},  // remainder
    {u"26", F::Math, A::exactly(2), &APMPMathMultiply},  // multiply
    {u"27", F::Math, A::exactly(1), &APMPMathNegate},  // negate
    {u"28", F::Logical, A::exactly(1), &APMPLogicalNot},  // logical not
    {u"29", F::Comparison, A::exactly(2), &APMPCompareLooseNotEqual},  // loose inequality
    {u"30", F::Logical, A::exactly(2), &APMPLogicalOr},  // logical or
    {u"32", F::Math, A::exactly(2), &APMPMathFirst},  // first of two (as 33)
    {u"33", F::Math, A::exactly(2), &APMPMathFirst},  // first of two
    {u"34", F::Math, A::exactly(1), &APMPMathPassThrough},  // pass one value through (as 35)
    {u"35", F::Math, A::exactly(1), &APMPMathPassThrough},  // pass one value through
    {u"36", F::Control, A::atMost(1), &APMPControlReturn},  // return
    {u"37", F::Math, A::exactly(2), &APMPMathSubtract},  // subtract
    {u"38", F::Control, A::exactly(3), &APMPControlSwitch},  // switch
    {u"39", F::Control, A::exactly(3), &APMPControlConditional},  // conditional expression
    {u"40", F::Variable, A::exactly(1), &APMPVariableTypeName},  // type name
    {u"41", F::Variable, A::any(), &APMPVariableDeclare},  // declare variables
    {u"42", F::Loop, A::exactly(4), &APMPLoopWhile},  // while and do-while
    {u"43", F::Variable, A::exactly(3), &APMPVariableWriteProperty},  // write a property
    {u"44", F::Variable, A::any(), &APMPVariableUndefined},  // undefined
    {u"45", F::Variable, A::any(), &APMPVariableNull},  // null
    {u"46", F::Control, A::any(), &APMPControlStatementArray},  // statement array
    {u"47", F::Loop, A::exactly(3), &APMPLoopForInAssign},  // for-in, assigning an existing variable
    {u"50", F::Control, A::atLeast(2), &APMPControlFunctionDeclaration},  // function declaration
    {u"51", F::Control, A::atLeast(2), &APMPControlFunctionExpression},  // function expression
    {u"52", F::Variable, A::evenCount(), &APMPVariableDeclareConstants},  // declare constants
    {u"53", F::Control, A::any(), &APMPControlBlock},  // block
    {u"54", F::Loop, A::exactly(3), &APMPLoopForInConstant},  // for-in, constant per iteration
    {u"55", F::Loop, A::exactly(3), &APMPLoopForInVariable},  // for-in, variable per iteration
    {u"56", F::Bitwise, A::exactly(2), &APMPBitwiseAnd},  // and
    {u"57", F::Bitwise, A::exactly(2), &APMPBitwiseShiftLeft},  // shift left
    {u"58", F::Bitwise, A::exactly(1), &APMPBitwiseNot},  // not
    {u"59", F::Bitwise, A::exactly(2), &APMPBitwiseOr},  // or
    {u"60", F::Bitwise, A::exactly(2), &APMPBitwiseShiftRight},  // signed shift right
    {u"61", F::Bitwise, A::exactly(2), &APMPBitwiseUnsignedShiftRight},  // unsigned shift right
    {u"62", F::Bitwise, A::exactly(2), &APMPBitwiseExclusiveOr},  // exclusive or
    {u"63", F::Loop, A::exactly(4), &APMPLoopFor},  // for with per-iteration copies
    {u"64", F::Loop, A::exactly(3), &APMPLoopForOfAssign},  // for-of, assigning an existing variable
    {u"65", F::Loop, A::exactly(3), &APMPLoopForOfConstant},  // for-of, constant per iteration
    {u"66", F::Loop, A::exactly(3), &APMPLoopForOfVariable},  // for-of, variable per iteration
};
// clang-format on

}  // namespace

std::span<const APMPOpcode> APMPOpcodeTable() { return kAPMPOpcodeTable; }
