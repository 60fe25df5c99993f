#include "measurement/script/commands/regular_expressions.h"

#include "measurement/script/runtime/limits.h"
#include "os/foundation/text.h"

os::Result<std::optional<os::RegularExpression::Range>> APMPFirstMatch(std::u16string_view pattern,
                                                                       std::u16string_view text,
                                                                       int32_t* stepsTaken) {
  auto expression =
      os::RegularExpression::create(os::utf8(pattern), os::RegularExpression::Options::None, kAPMPRegularExpressionTimeLimit);
  if (!expression) return std::unexpected(expression.error());
  return (*expression)->firstMatch(text, stepsTaken);
}
