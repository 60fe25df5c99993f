// The bitwise family: 32-bit and, or, exclusive or, not and the shifts.
// Both operands take their number forms first (first operand, then second)
// and only then their 32-bit forms; shift counts use their low five bits.
#include <cstdint>

#include "measurement/script/commands/command_handlers.h"
#include "measurement/script/runtime/number_forms.h"

namespace {

template <class Operation>
APMPResult bitwise(APMPArguments arguments, Operation operation) {
  auto first = arguments[0]->doubleValueOrError();
  if (!first) return std::unexpected(first.error());
  auto second = arguments[1]->doubleValueOrError();
  if (!second) return std::unexpected(second.error());
  return APMPNumberValue::make(operation(*first, *second));
}

uint32_t shiftCount(double count) { return APMPToUint32(count) & 31u; }

}  // namespace

APMPResult APMPBitwiseAnd(APMPArguments arguments, const APMPScopeRef&) {
  return bitwise(arguments, [](double a, double b) { return double(APMPToInt32(a) & APMPToInt32(b)); });
}

APMPResult APMPBitwiseShiftLeft(APMPArguments arguments, const APMPScopeRef&) {
  return bitwise(arguments, [](double a, double b) {
    // Shifted as unsigned: bits that leave the top are dropped, not overflowed.
    return double(static_cast<int32_t>(static_cast<uint32_t>(APMPToInt32(a)) << shiftCount(b)));
  });
}

APMPResult APMPBitwiseNot(APMPArguments arguments, const APMPScopeRef&) {
  auto operand = arguments[0]->doubleValueOrError();
  if (!operand) return std::unexpected(operand.error());
  return APMPNumberValue::make(double(~APMPToInt32(*operand)));
}

APMPResult APMPBitwiseOr(APMPArguments arguments, const APMPScopeRef&) {
  return bitwise(arguments, [](double a, double b) { return double(APMPToInt32(a) | APMPToInt32(b)); });
}

APMPResult APMPBitwiseShiftRight(APMPArguments arguments, const APMPScopeRef&) {
  // Arithmetic: the sign bit is copied in (C++20 defines >> on negatives so).
  return bitwise(arguments, [](double a, double b) { return double(APMPToInt32(a) >> shiftCount(b)); });
}

APMPResult APMPBitwiseUnsignedShiftRight(APMPArguments arguments, const APMPScopeRef&) {
  return bitwise(arguments, [](double a, double b) { return double(APMPToUint32(a) >> shiftCount(b)); });
}

APMPResult APMPBitwiseExclusiveOr(APMPArguments arguments, const APMPScopeRef&) {
  return bitwise(arguments, [](double a, double b) { return double(APMPToInt32(a) ^ APMPToInt32(b)); });
}
