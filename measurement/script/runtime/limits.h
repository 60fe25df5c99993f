// Every bound the script runtime puts on a program, in one place.
//
// The instruction budget bounds the work of one program load or one event
// run. The other caps bound what one statement can ask for: each sits far
// above what an event-editing program uses (a few dozen parameters, names
// under a hundred characters, call chains a few levels deep), and each turns
// a request that would exhaust memory or the worker thread's stack into an
// error instead.
#pragma once

#include <cstddef>
#include <cstdint>

// Evaluations allowed between two resets of the instruction counter; the
// next one fails with rovav 18.
inline constexpr int64_t kAPMPInstructionBudget = 1'000'000;

// Bulk work one evaluation may do per instruction: a command or method that
// scans n array slots or copies, scans or builds n UTF-16 code units pays
// n / kAPMPBulkUnitsPerInstruction instructions on top of its own evaluation;
// one that makes n slots, items, scopes or bindings (each an allocation now
// and a release later) pays n instructions. So the budget bounds a run's time
// and what it can build, whatever the sizes it handles; short operands cost
// nothing extra.
inline constexpr size_t kAPMPBulkUnitsPerInstruction = 8;

// Slots and items (array slots, map, function and array properties) that the
// values of one runtime may hold at once: what the last collection found
// reachable plus what the current run made in bulk (APMPChargeSlots, which
// also counts bindings). Values kept across events would otherwise grow
// without end. Twice the budget, so one run on its own can never reach it,
// however much it makes and drops; about 32 MB of references. A run that
// would pass it fails with rovav 18 and its budget is spent; later runs go on
// once the program lets go of what it kept.
inline constexpr size_t kAPMPMaxTrackedSlots = 2 * static_cast<size_t>(kAPMPInstructionBudget);

// Slots one array may hold, holes included. Setting "length" or an index,
// or adding elements, past it fails with rovav 11.
inline constexpr size_t kAPMPMaxArraySlots = 1u << 16;

// UTF-16 code units one string made by the runtime may hold. Building a
// longer one fails with rovav 18.
inline constexpr size_t kAPMPMaxStringLength = 1u << 16;

// Statement evaluations that may be nested in one another (each script call
// nests a few). Deeper evaluation fails with rovav 18, well before the
// worker thread's stack could overflow.
inline constexpr int kAPMPMaxEvaluationDepth = 600;

// Slots one string form of an array may visit, nested arrays included: an
// array that holds the same long chain of one-element arrays many times has
// a short text but would take millions of steps to make it. Past this the
// string form fails with rovav 18, as a text past kAPMPMaxStringLength does.
inline constexpr size_t kAPMPMaxStringFormSlots = kAPMPMaxStringLength + kAPMPMaxArraySlots;

// Items (array elements and map or dictionary entries, nested ones included)
// one conversion between script and platform values may make: an array that
// holds the same large array many times is small to build but would convert
// into billions of items. Past this the conversion fails with rovav 18.
inline constexpr size_t kAPMPMaxConversionItems = 2 * kAPMPMaxArraySlots;

// Containers a recursive value operation may descend through (string forms
// of nested arrays, equality, conversion to and from platform values): a
// deeper or cyclic structure fails with rovav 18 (equality answers false).
inline constexpr int kAPMPMaxValueNesting = 200;

// Match steps one regular expression of a program may take (the os regular
// expression's time limit, roughly milliseconds): a pattern that backtracks
// without end fails with the regular-expression layer's time-limit error.
inline constexpr int32_t kAPMPRegularExpressionTimeLimit = 100;

// Instructions one of those steps costs: a match that ends just within its
// limit takes milliseconds, so a loop of them pays the budget by the steps
// they took instead of holding the worker queue for minutes.
inline constexpr int64_t kAPMPInstructionsPerRegularExpressionStep = 1000;
