#include "measurement/script/commands/tests/program_support.h"

#include <cmath>
#include <cstdlib>
#include <functional>

#include "measurement/messages/field_access.h"
#include "measurement/script/commands/regular_expressions.h"
#include "measurement/script/runtime/array_value.h"
#include "measurement/script/runtime/number_forms.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/text.h"

namespace program {

Entity Undef() { return Op("44"); }
Entity Null() { return Op("45"); }
Entity Get(std::string_view name) { return Op("15", {S(name)}); }
Entity Set(std::string_view name, Entity value) { return Op("3", {S(name), std::move(value)}); }
Entity Let(std::string_view name, Entity value) {
  return Op("13", {Op("41", {S(name)}), Set(name, std::move(value))});
}
Entity Const(std::string_view name, Entity value) { return Op("52", {S(name), std::move(value)}); }
Entity Prop(Entity object, Entity key) { return Op("16", {std::move(object), std::move(key)}); }
Entity Put(Entity object, Entity key, Entity value) {
  return Op("43", {std::move(object), std::move(key), std::move(value)});
}
Entity Arr(Entities elements) { return Op("7", std::move(elements)); }
Entity Obj(Entities pairs) { return Op("8", std::move(pairs)); }
Entity Body(Entities statements) { return Op("46", std::move(statements)); }
Entity Call(Entity receiver, std::string_view method, Entities arguments) {
  return Op("2", {std::move(receiver), S(method), Arr(std::move(arguments))});
}
Entity Fn(std::vector<std::string_view> parameters, Entities body) {
  Entities names;
  for (std::string_view parameter : parameters) names.push_back(S(parameter));
  Entities arguments = {S(""), Arr(std::move(names))};
  for (auto& statement : body) arguments.push_back(std::move(statement));
  return Op("51", std::move(arguments));
}
Entity Ret(Entity value) { return Op("36", {std::move(value)}); }
Entity Add(Entity a, Entity b) { return Op("0", {std::move(a), std::move(b)}); }
Entity Lt(Entity a, Entity b) { return Op("23", {std::move(a), std::move(b)}); }
Entity Log(Entities arguments) { return Op("log", std::move(arguments)); }
Entity Fail() { return Op("12", {N(1)}); }

std::string Show(const APMPValueRef& value) {
  using Kind = APMPRuntimeValue::Kind;
  switch (value->kind()) {
    case Kind::Hole:
      return "_";
    case Kind::Undefined:
      return "undefined";
    case Kind::Null:
      return "null";
    case Kind::Boolean:
    case Kind::Number: {
      if (value->kind() == Kind::Number) {
        double number = static_cast<const APMPNumberValue&>(*value).value();
        if (number == 0 && std::signbit(number)) return "-0";
      }
      return os::utf8(*value->stringValueOrError());
    }
    case Kind::String:
      return "'" + os::utf8(static_cast<const APMPStringValue&>(*value).value()) + "'";
    case Kind::Array: {
      const auto& array = static_cast<const APMPArrayValue&>(*value);
      std::string text = "[";
      for (size_t i = 0; i < array.count(); ++i) {
        if (i > 0) text += ",";
        text += Show(array.slotAtIndex(i));
      }
      return text + "]";
    }
    case Kind::Map: {
      const auto& map = static_cast<const APMPMapValue&>(*value);
      std::string text = "{";
      for (const auto& name : map.allPropertyNames()) {
        if (text.size() > 1) text += ",";
        text += os::utf8(name) + ":" + Show(map.valueForProperty(name));
      }
      return text + "}";
    }
    case Kind::Function:
      return "function " + os::utf8(static_cast<const APMPFunctionValue&>(*value).functionName());
    case Kind::Control: {
      const auto& control = static_cast<const APMPControlValue&>(*value);
      if (control.type() == APMPControlValue::Type::Return) return "return " + Show(control.data());
      return os::utf8(control.typeName());
    }
    case Kind::Statement:
      return "statement " + os::utf8(static_cast<const APMPStatementValue&>(*value).functionName());
  }
  return "?";
}

std::string Show(const APMPResult& result) {
  if (result) return Show(*result);
  const os::Error& error = result.error();
  if (error.domain() == kAPMPRovavErrorDomain) return "rovav " + std::to_string(error.code());
  if (error.domain() == os::kRegularExpressionErrorDomain) return "regex " + std::to_string(error.code());
  return error.domain() + " " + std::to_string(error.code());
}

namespace {

// Writes the program as a fuzz seed when DROSIL_SCRIPT_FUZZ_SEEDS names a folder.
void writeSeed(const Entities& statements) {
  const char* folder = std::getenv("DROSIL_SCRIPT_FUZZ_SEEDS");
  if (folder == nullptr || *folder == '\0') return;
  auto message = APMPBProgram::initWithMessageInfo(nullptr);
  APMPBSetArray(message.get(), 0, statements);
  std::optional<os::Data> bytes = message->protoBuffer();
  if (!bytes) return;
  std::string content(reinterpret_cast<const char*>(bytes->bytes()), bytes->length());
  std::string path = std::string(folder) + "/seed-" + std::to_string(std::hash<std::string>()(content));
  (void)os::FileManager::defaultManager().createFileAtPath(path, *bytes);
}

}  // namespace

ProgramTest::ProgramTest() {
  runtime_.globalScope()->addValue(
      script_test::Native(u"log",
                          [this](const APMPValueList& arguments, const APMPScopeRef& scope) -> APMPResult {
                            auto values = APMPEvaluateArguments(arguments, scope);
                            if (!values) return std::unexpected(values.error());
                            for (const auto& value : *values) log_.push_back(Show(value));
                            return APMPUndefinedValue::sharedInstance();
                          }),
      u"log");
}

APMPResult ProgramTest::run(const Entities& statements) {
  writeSeed(statements);
  runtime_.resetInstructionCount();
  return runtime_.executeStatements(statements);
}

std::string ProgramTest::logged() {
  std::string text;
  for (const auto& entry : log_) text += (text.empty() ? "" : " ") + entry;
  log_.clear();
  return text;
}

}  // namespace program
