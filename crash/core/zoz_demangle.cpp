#include "crash/core/zoz_demangle.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

std::string demangleCppSymbol(const std::string& symbol) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status),
                                                   std::free);
  if (status != 0 || !demangled) return symbol;
  return demangled.get();
}
