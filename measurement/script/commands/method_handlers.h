// The handlers named in the method tables (method_evaluators.cpp): array
// methods in array_methods.cpp, string methods in string_methods.cpp. Each
// receives the receiver and the evaluated arguments; the table has checked
// their count. Like the command handlers, they pay bulk work to the budget
// and grow arrays and strings only through the runtime's bounded primitives.
#pragma once

#include <memory>
#include <string>

#include "measurement/script/runtime/array_value.h"

// ---- arrays ----
APMPResult APMPArrayConcat(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                           const APMPScopeRef& scope);
APMPResult APMPArrayEvery(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                          const APMPScopeRef& scope);
APMPResult APMPArrayFilter(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                           const APMPScopeRef& scope);
APMPResult APMPArrayForEach(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                            const APMPScopeRef& scope);
APMPResult APMPArrayHasOwnProperty(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                                   const APMPScopeRef& scope);
APMPResult APMPArrayIndexOf(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                            const APMPScopeRef& scope);
APMPResult APMPArrayJoin(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                         const APMPScopeRef& scope);
APMPResult APMPArrayLastIndexOf(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                                const APMPScopeRef& scope);
APMPResult APMPArrayMap(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                        const APMPScopeRef& scope);
APMPResult APMPArrayPop(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                        const APMPScopeRef& scope);
APMPResult APMPArrayPush(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                         const APMPScopeRef& scope);
APMPResult APMPArrayReduce(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                           const APMPScopeRef& scope);
APMPResult APMPArrayReduceRight(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                                const APMPScopeRef& scope);
APMPResult APMPArrayReverse(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                            const APMPScopeRef& scope);
APMPResult APMPArrayShift(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                          const APMPScopeRef& scope);
APMPResult APMPArraySlice(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                          const APMPScopeRef& scope);
APMPResult APMPArraySome(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                         const APMPScopeRef& scope);
APMPResult APMPArraySort(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                         const APMPScopeRef& scope);
APMPResult APMPArraySplice(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                           const APMPScopeRef& scope);
APMPResult APMPArrayToString(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                             const APMPScopeRef& scope);
APMPResult APMPArrayUnshift(const std::shared_ptr<APMPArrayValue>& array, const APMPValueList& arguments,
                            const APMPScopeRef& scope);

// ---- strings (the receiver's text in UTF-16 code units) ----
APMPResult APMPStringCharAt(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope);
APMPResult APMPStringConcat(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope);
APMPResult APMPStringHasOwnProperty(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope);
APMPResult APMPStringIndexOf(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope);
APMPResult APMPStringLastIndexOf(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope);
APMPResult APMPStringMatch(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope);
APMPResult APMPStringReplace(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope);
APMPResult APMPStringSearch(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope);
APMPResult APMPStringSlice(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope);
APMPResult APMPStringSplit(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope);
APMPResult APMPStringSubstring(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope);
APMPResult APMPStringToLocaleLowerCase(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope);
APMPResult APMPStringToLocaleUpperCase(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope);
APMPResult APMPStringToLowerCase(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope);
APMPResult APMPStringToString(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope);
APMPResult APMPStringToUpperCase(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope);
APMPResult APMPStringTrim(const std::u16string& string, const APMPValueList& arguments, const APMPScopeRef& scope);
