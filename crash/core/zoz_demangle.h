// C++ symbol demangling over the C++ runtime's demangler. Ordinary code.
#pragma once

#include <string>

// The demangled form of a mangled name (a symbol or a type name as
// std::type_info::name gives it); the text itself when it does not demangle.
std::string demangleCppSymbol(const std::string& symbol);
