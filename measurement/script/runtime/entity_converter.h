// Conversions at the runtime's edges: program records into values, and
// values to and from platform values (os::Value) for events and modules.
#pragma once

#include <cstddef>

#include "measurement/messages/message_classes.h"
#include "measurement/script/runtime/values.h"
#include "os/foundation/value.h"

class APMPRuntimeEntityConverter {
 public:
  // By the entity type at position 0: 1 string (position 3, "" when absent),
  // 2 number (position 5, NaN when absent), 3 Boolean (position 4, false
  // when absent), 4 statement; any other type fails with rovav 12.
  static APMPResult runtimeValueFromRuntimeEntity(const APMPBRuntimeEntity& entity);
  static APMPValueRef stringValueFromRuntimeEntity(const APMPBRuntimeEntity& entity);
  static APMPValueRef numberValueFromRuntimeEntity(const APMPBRuntimeEntity& entity);
  static APMPValueRef booleanValueFromRuntimeEntity(const APMPBRuntimeEntity& entity);
  // The opcode (position 2; rovav 14 when absent) and the arguments
  // (position 1) converted in order; the first failure, however deep, fails
  // the whole conversion. Trees nested past kAPMPMaxEvaluationDepth fail with
  // rovav 18.
  static APMPResult statementValueFromRuntimeEntity(const APMPBRuntimeEntity& entity);
  // Entities these conversions have read on this thread: each is read once,
  // so a conversion's work is linear in the tree it reads.
  static size_t TEST_entitiesRead();

  // Null gives the null value; a string a string value; a number of Boolean
  // or 8-bit kind the shared Boolean of its truth, any other number a number
  // value; a dictionary a map and a list an array, made through the scope's
  // object manager with their entries converted; data and dates fail with
  // rovav 13. Lists past kAPMPMaxArraySlots fail with rovav 11, nesting past
  // kAPMPMaxValueNesting or more than kAPMPMaxConversionItems items in all
  // with rovav 18. Each item made pays one instruction (bulk work of the
  // statement that converts).
  static APMPResult runtimeValueFromNSObject(const os::Value& object, const APMPScopeRef& scope);
  // Null gives no value (a null os::Value); undefined gives ""; a map gives a
  // dictionary and an array a list (holes as ""), leaving out entries that
  // give no value; any other value its number form as a double when that is
  // not NaN, else its string form. A value without those forms fails with
  // its conversion's error; nesting past kAPMPMaxValueNesting (a cycle) or
  // more than kAPMPMaxConversionItems items in all with rovav 18. Items pay
  // as above.
  static os::Result<os::Value> objectFromRuntimeValue(const APMPRuntimeValue& value);
  static os::Result<os::Dictionary> dictionaryFromMapValue(const APMPPropertyHolderValue& map);
};
