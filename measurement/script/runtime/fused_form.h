// The form of a statement whose whole evaluation is known when it is made
// (commands/fused_statements.h runs it in one step).
#pragma once

#include <cstdint>
#include <string_view>

#include "measurement/script/runtime/property_map.h"

struct APMPOpcode;
class APMPStatementValue;

// An operand of a fused statement: a literal entry, or a read of a name
// literal, with where the name was last found. The cache belongs to the
// thread running the program, as the statement does.
struct APMPFusedOperand {
  const APMPValueRef* literal = nullptr;
  APMPNameKey name{std::u16string_view(), 0};
  mutable APMPSlotCache cache;
};

struct APMPFusedForm {
  enum class Shape : uint8_t { None, Read, Binary, Assign };
  enum class Operation : uint8_t { Add, Subtract, Multiply, Divide, Less, LessOrEqual, Greater, GreaterOrEqual };

  Shape shape = Shape::None;
  Operation operation = Operation::Add;
  // The evaluations the general way counts for the statement, and the
  // statement levels it nests below itself.
  uint8_t instructions = 0;
  uint8_t depth = 0;
  // Read: left.name. Binary: left and right, with the row whose handler
  // takes operands that are not both numbers. Assign: left.name is the
  // target; the value is right, or the fused binary statement.
  APMPFusedOperand left;
  APMPFusedOperand right;
  const APMPOpcode* row = nullptr;
  const APMPStatementValue* binary = nullptr;
};
