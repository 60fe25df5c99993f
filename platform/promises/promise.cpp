// Out-of-line helpers of the typed promise wrapper.
#include "platform/promises/promise.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "os/foundation/format.h"
#include "platform/promises/internal.h"

namespace promises::detail {

std::string unqualifiedName(const std::type_info& type) {
  // Drops every namespace qualifier: "std::vector<ns::Foo>" -> "vector<Foo>".
  std::string name = demangle(type);
  std::string out;
  size_t identStart = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name.compare(i, 2, "::") == 0) {
      out.resize(identStart);
      ++i;
      continue;
    }
    char c = name[i];
    out.push_back(c);
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) identStart = out.size();
  }
  return out;
}

void valueMismatch(const std::type_info& expected, const std::any& object) {
  std::fprintf(stderr, "Promise: the value %s cannot be read as %s\n", describeObject(object).c_str(),
               demangle(expected).c_str());
  std::abort();
}

std::string describeNumber(double value) { return os::swiftDescription(value); }

}  // namespace promises::detail
