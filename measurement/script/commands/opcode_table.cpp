#include "measurement/script/commands/command_families.h"

// The handlers come with the commands of each family: a row names its
// handler in the last column (nullptr until the handler is written; such a
// row is routed and counted, and yields undefined).

namespace {

using A = APMPArity;
using F = APMPCommandFamilyID;

// clang-format off
constexpr APMPOpcode kAPMPOpcodeTable[] = {
    {u"0", F::Math, A::exactly(2), nullptr},  // add or concatenate
    {u"1", F::Logical, A::exactly(2), nullptr},  // logical and
    {u"2", F::Control, A::exactly(3), nullptr},  // call a method of a value
    {u"3", F::Variable, A::exactly(2), nullptr},  // assign to an existing variable
    {u"4", F::Control, A::exactly(0), nullptr},  // break
    {u"5", F::Control, A::exactly(1), nullptr},  // run a statement array in place
    {u"6", F::Control, A::exactly(0), nullptr},  // continue
    {u"7", F::Variable, A::any(), nullptr},  // array literal
    {u"8", F::Variable, A::evenCount(), nullptr},  // map literal
    {u"9", F::Control, A::exactly(1), nullptr},  // run a statement array in place (as 5)
    {u"10", F::Math, A::exactly(2), nullptr},  // divide
    {u"12", F::Comparison, A::exactly(2), nullptr},  // loose equality
    {u"13", F::Control, A::atLeast(1), nullptr},  // sequence
    {u"15", F::Variable, A::exactly(1), nullptr},  // read a variable
    {u"16", F::Variable, A::exactly(2), nullptr},  // read a property
    {u"17", F::Variable, A::exactly(2), nullptr},  // read a property (as 16)
    {u"18", F::Comparison, A::exactly(2), nullptr},  // greater than
    {u"19", F::Comparison, A::exactly(2), nullptr},  // greater than or equal
    {u"20", F::Comparison, A::exactly(2), nullptr},  // strict equality
    {u"21", F::Comparison, A::exactly(2), nullptr},  // strict inequality
    {u"22", F::Control, A::between(1, 3), nullptr},  // if, with optional else
    {u"23", F::Comparison, A::exactly(2), nullptr},  // less than
    {u"24", F::Comparison, A::exactly(2), nullptr},  // less than or equal
    {u"25", F::Math, A::exactly(2), nullptr},  // remainder
    {u"26", F::Math, A::exactly(2), nullptr},  // multiply
    {u"27", F::Math, A::exactly(1), nullptr},  // negate
    {u"28", F::Logical, A::exactly(1), nullptr},  // logical not
    {u"29", F::Comparison, A::exactly(2), nullptr},  // loose inequality
    {u"30", F::Logical, A::exactly(2), nullptr},  // logical or
    {u"32", F::Math, A::exactly(2), nullptr},  // first of two (as 33)
    {u"33", F::Math, A::exactly(2), nullptr},  // first of two
    {u"34", F::Math, A::exactly(1), nullptr},  // pass one value through (as 35)
    {u"35", F::Math, A::exactly(1), nullptr},  // pass one value through
    {u"36", F::Control, A::atMost(1), nullptr},  // return
    {u"37", F::Math, A::exactly(2), nullptr},  // subtract
    {u"38", F::Control, A::exactly(3), nullptr},  // switch
    {u"39", F::Control, A::exactly(3), nullptr},  // conditional expression
    {u"40", F::Variable, A::exactly(1), nullptr},  // type name
    {u"41", F::Variable, A::any(), nullptr},  // declare variables
    {u"42", F::Loop, A::exactly(4), nullptr},  // while and do-while
    {u"43", F::Variable, A::exactly(3), nullptr},  // write a property
    {u"44", F::Variable, A::any(), nullptr},  // undefined
    {u"45", F::Variable, A::any(), nullptr},  // null
    {u"46", F::Control, A::any(), nullptr},  // statement array
    {u"47", F::Loop, A::exactly(3), nullptr},  // for-in, assigning an existing variable
    {u"50", F::Control, A::atLeast(2), nullptr},  // function declaration
    {u"51", F::Control, A::atLeast(2), nullptr},  // function expression
    {u"52", F::Variable, A::evenCount(), nullptr},  // declare constants
    {u"53", F::Control, A::any(), nullptr},  // block
    {u"54", F::Loop, A::exactly(3), nullptr},  // for-in, constant per iteration
    {u"55", F::Loop, A::exactly(3), nullptr},  // for-in, variable per iteration
    {u"56", F::Bitwise, A::exactly(2), nullptr},  // and
    {u"57", F::Bitwise, A::exactly(2), nullptr},  // shift left
    {u"58", F::Bitwise, A::exactly(1), nullptr},  // not
    {u"59", F::Bitwise, A::exactly(2), nullptr},  // or
    {u"60", F::Bitwise, A::exactly(2), nullptr},  // signed shift right
    {u"61", F::Bitwise, A::exactly(2), nullptr},  // unsigned shift right
    {u"62", F::Bitwise, A::exactly(2), nullptr},  // exclusive or
    {u"63", F::Loop, A::exactly(4), nullptr},  // for with per-iteration copies
    {u"64", F::Loop, A::exactly(3), nullptr},  // for-of, assigning an existing variable
    {u"65", F::Loop, A::exactly(3), nullptr},  // for-of, constant per iteration
    {u"66", F::Loop, A::exactly(3), nullptr},  // for-of, variable per iteration
};
// clang-format on

}  // namespace

std::span<const APMPOpcode> APMPOpcodeTable() { return kAPMPOpcodeTable; }
