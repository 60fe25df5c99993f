// Regular expressions of programs ("match" and "search" of strings).
//
// Patterns come from the server with the program, so every match runs under
// kAPMPRegularExpressionTimeLimit: a pattern that backtracks without end
// fails instead of holding the worker queue. Failures are the regular
// expression layer's own errors (os::kRegularExpressionErrorDomain: a pattern
// that does not compile, a match out of time), not codes of the rovav domain.
#pragma once

#include <optional>
#include <string_view>

#include "os/foundation/regex.h"

// The first match of the pattern (ICU syntax, no options: case-sensitive, "."
// stops at line ends, "^" and "$" anchor at the ends of the whole text) in the
// text, in UTF-16 code units; nullopt when there is none. stepsTaken, when
// given, receives the time-limit steps the match took.
os::Result<std::optional<os::RegularExpression::Range>> APMPFirstMatch(std::u16string_view pattern,
                                                                       std::u16string_view text,
                                                                       int32_t* stepsTaken = nullptr);
