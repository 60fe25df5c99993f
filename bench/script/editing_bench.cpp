// The event-editing engine against Lua 5.4, the same logic on the same inputs
// on both sides, results checked equal before timing:
//   - a while loop summing 0..49,999;
//   - fib(20), recursive;
//   - 2,000 numbers pushed onto an array, joined with "," and split again;
//   - a small editing program, per event: one edit callback that renames the
//     event, adds a parameter and removes one.
// The three computing programs run as the engine runs a callback: in a new
// run scope, the budget reset before and the collection after; Lua runs the
// compiled chunk. For the editing program both sides do the whole work per
// event: the caller's event record goes
// into their form (an APMPEvent; a Lua table), the logic runs, and the edited
// event comes back as a record the caller reads. The engine's side includes
// what every handled event costs there: the event handed over to the context
// it edits, the record of what the callback's writes replaced, the test of
// whether it was edited, and the collection whenever the run calls for one.
//
// The engine runs on a worker of a process with many threads, where reference
// counts are atomic operations; the benchmark starts a thread first, so both
// sides run in such a process.
//
// The run ends with each ratio of the engine's time to Lua's.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <variant>
#include <vector>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "bench/support/ratio_reporter.h"
#include "measurement/messages/field_access.h"
#include "measurement/messages/message_classes.h"
#include "measurement/script/runtime/entity_converter.h"
#include "measurement/script/runtime/evaluator.h"
#include "measurement/script/runtime/event_editing.h"

namespace {

// The caller's event record, as the measurement pipeline holds one.
struct Record {
  std::string name;
  double timestamp = 0;
  std::vector<std::pair<std::string, std::variant<std::string, int64_t, double>>> parameters;
};

// Sixteen events of six parameters: strings, integers and floating-point
// numbers; every one has the parameter the program removes.
std::vector<Record> events() {
  static const char* const kNames[] = {"screen_view", "purchase", "level_up", "select_content"};
  std::vector<Record> out;
  for (int i = 0; i < 16; ++i) {
    Record record{kNames[i % 4], 1'700'000'000'000.0 + i, {}};
    record.parameters = {{"_o", std::string("app")},
                         {"value", int64_t{100 + i}},
                         {"price", 9.99 + i},
                         {"currency", std::string("EUR")},
                         {"debug_note", std::string("drop me")},
                         {"item_id", std::string("sku-") + std::to_string(i)}};
    out.push_back(std::move(record));
  }
  return out;
}

// ---- the engine ----

using EntityRef = std::shared_ptr<APMPBRuntimeEntity>;

EntityRef Entity(int32_t type) {
  auto entity = APMPBRuntimeEntity::initWithMessageInfo(nullptr);
  APMPBSetInt32(entity.get(), 0, type);
  return entity;
}
EntityRef S(const char* text) {
  auto entity = Entity(1);
  APMPBSetString(entity.get(), 3, text);
  return entity;
}
EntityRef N(double number) {
  auto entity = Entity(2);
  APMPBSetDouble(entity.get(), 5, number);
  return entity;
}
EntityRef Op(const char* opcode, std::vector<EntityRef> arguments = {}) {
  auto entity = Entity(4);
  APMPBSetString(entity.get(), 2, opcode);
  APMPBSetArray(entity.get(), 1, arguments);
  return entity;
}
EntityRef B(bool value) {
  auto entity = Entity(3);
  APMPBSetBool(entity.get(), 4, value);
  return entity;
}
EntityRef Get(const char* name) { return Op("15", {S(name)}); }
EntityRef Set(const char* name, EntityRef value) { return Op("3", {S(name), std::move(value)}); }
EntityRef Let(const char* name, EntityRef value) { return Op("13", {Op("41", {S(name)}), Set(name, std::move(value))}); }
EntityRef Add(EntityRef a, EntityRef b) { return Op("0", {std::move(a), std::move(b)}); }
EntityRef Sub(EntityRef a, EntityRef b) { return Op("37", {std::move(a), std::move(b)}); }
EntityRef Lt(EntityRef a, EntityRef b) { return Op("23", {std::move(a), std::move(b)}); }
EntityRef Body(std::vector<EntityRef> statements) { return Op("46", std::move(statements)); }
// while (condition) { body; update }
EntityRef While(EntityRef condition, EntityRef update, std::vector<EntityRef> body) {
  return Op("42", {std::move(condition), std::move(update), B(false), Body(std::move(body))});
}
EntityRef Method(EntityRef receiver, const char* method, std::vector<EntityRef> arguments) {
  return Op("2", {std::move(receiver), S(method), Op("7", std::move(arguments))});
}
EntityRef Length(EntityRef value) { return Op("16", {std::move(value), S("length")}); }

// e.method(arguments...)
EntityRef Call(const char* method, std::vector<EntityRef> arguments) {
  return Op("2", {Op("15", {S("e")}), S(method), Op("7", std::move(arguments))});
}

// const reg = require("internal.registerCallback");
// reg("edit", function (e) {
//   e.setEventName("renamed"); e.setParamValue("added", 1);
//   e.setParamValue("debug_note", null); return 0;
// }, {type: "edit"});
std::shared_ptr<APMPBProgram> editingProgram() {
  EntityRef callback =
      Op("51", {S(""), Op("7", {S("e")}), Call("setEventName", {S("renamed")}), Call("setParamValue", {S("added"), N(1)}),
                Call("setParamValue", {S("debug_note"), Op("45")}), Op("36", {N(0)})});
  std::vector<EntityRef> statements = {
      Op("52", {S("reg"), Op("require", {S("internal.registerCallback")})}),
      Op("reg", {S("edit"), callback, Op("8", {S("type"), S("edit")})}),
  };
  auto program = APMPBProgram::initWithMessageInfo(nullptr);
  APMPBSetArray(program.get(), 0, statements);
  return program;
}

APMPEvent toEvent(const Record& record) {
  os::Dictionary parameters;
  for (const auto& [name, value] : record.parameters) {
    if (const auto* text = std::get_if<std::string>(&value)) parameters.emplace(name, os::Value(*text));
    if (const auto* integer = std::get_if<int64_t>(&value)) parameters.emplace(name, os::Value(*integer));
    if (const auto* real = std::get_if<double>(&value)) parameters.emplace(name, os::Value(*real));
  }
  return APMPEvent(record.name, record.timestamp, std::move(parameters));
}

Record toRecord(const APMPEvent& event) {
  Record record{event.name(), event.timestamp(), {}};
  record.parameters.reserve(event.parameters().size());
  for (const auto& [name, value] : event.parameters()) {
    if (const os::Number* number = value.number()) {
      if (number->isFloatingPoint()) {
        record.parameters.emplace_back(name, number->doubleValue());
      } else {
        record.parameters.emplace_back(name, number->int64Value());
      }
    } else if (const std::string* text = value.string()) {
      record.parameters.emplace_back(name, *text);
    }
  }
  return record;
}

void BM_EventEditing(benchmark::State& state) {
  const std::vector<Record> inputs = events();
  APMPEventEditing editing;
  if (!editing.loadProgram(*editingProgram())) {
    state.SkipWithError("the program does not load");
    return;
  }
  size_t i = 0;
  for (auto _ : state) {
    const Record& input = inputs[i++ % inputs.size()];
    os::Result<bool> handled = editing.handleEvent(toEvent(input));
    Record output = handled && editing.hasEdits() ? toRecord(editing.eventContext().outputEvent()) : input;
    benchmark::DoNotOptimize(output);
  }
  const Record check = toRecord(editing.eventContext().outputEvent());
  if (check.name != "renamed" || check.parameters.size() != 6) state.SkipWithError("the program did not edit");
  state.SetItemsProcessed(state.iterations());
}

// ---- Lua ----

constexpr const char* kLuaProgram = R"(
function edit(e)
  e.name = "renamed"
  e.params.added = 1
  e.params.debug_note = nil
  return 0
end
)";

void pushRecord(lua_State* L, const Record& record) {
  lua_createtable(L, 0, 3);
  lua_pushlstring(L, record.name.data(), record.name.size());
  lua_setfield(L, -2, "name");
  lua_pushnumber(L, record.timestamp);
  lua_setfield(L, -2, "timestamp");
  lua_createtable(L, 0, static_cast<int>(record.parameters.size()));
  for (const auto& [name, value] : record.parameters) {
    if (const auto* text = std::get_if<std::string>(&value)) lua_pushlstring(L, text->data(), text->size());
    if (const auto* integer = std::get_if<int64_t>(&value)) lua_pushinteger(L, *integer);
    if (const auto* real = std::get_if<double>(&value)) lua_pushnumber(L, *real);
    lua_setfield(L, -2, name.c_str());
  }
  lua_setfield(L, -2, "params");
}

// Reads the table at the top of the stack.
Record readRecord(lua_State* L) {
  Record record;
  lua_getfield(L, -1, "name");
  size_t length = 0;
  const char* name = lua_tolstring(L, -1, &length);
  record.name.assign(name != nullptr ? name : "", name != nullptr ? length : 0);
  lua_pop(L, 1);
  lua_getfield(L, -1, "timestamp");
  record.timestamp = lua_tonumber(L, -1);
  lua_pop(L, 1);
  lua_getfield(L, -1, "params");
  lua_pushnil(L);
  while (lua_next(L, -2) != 0) {
    size_t keyLength = 0;
    const char* key = lua_tolstring(L, -2, &keyLength);
    std::string parameter(key, keyLength);
    if (lua_isinteger(L, -1)) {
      record.parameters.emplace_back(std::move(parameter), static_cast<int64_t>(lua_tointeger(L, -1)));
    } else if (lua_type(L, -1) == LUA_TNUMBER) {
      record.parameters.emplace_back(std::move(parameter), lua_tonumber(L, -1));
    } else if (lua_type(L, -1) == LUA_TSTRING) {
      size_t textLength = 0;
      const char* text = lua_tolstring(L, -1, &textLength);
      record.parameters.emplace_back(std::move(parameter), std::string(text, textLength));
    }
    lua_pop(L, 1);
  }
  lua_pop(L, 1);
  return record;
}

void BM_Lua(benchmark::State& state) {
  const std::vector<Record> inputs = events();
  std::unique_ptr<lua_State, decltype(&lua_close)> lua(luaL_newstate(), &lua_close);
  lua_State* L = lua.get();
  luaL_openlibs(L);
  if (luaL_dostring(L, kLuaProgram) != LUA_OK) {
    state.SkipWithError("the Lua program does not load");
    return;
  }
  size_t i = 0;
  Record output;
  for (auto _ : state) {
    const Record& input = inputs[i++ % inputs.size()];
    lua_getglobal(L, "edit");
    pushRecord(L, input);
    lua_pushvalue(L, -1);     // the table stays below the call for reading
    lua_insert(L, -3);        // table, edit, table
    if (lua_pcall(L, 1, 1, 0) != LUA_OK) {
      state.SkipWithError(lua_tostring(L, -1));
      return;
    }
    const bool kept = lua_tointeger(L, -1) == 0;
    lua_pop(L, 1);
    output = kept ? readRecord(L) : input;
    lua_pop(L, 1);
    benchmark::DoNotOptimize(output);
  }
  if (output.name != "renamed" || output.parameters.size() != 6) state.SkipWithError("the Lua program did not edit");
  state.SetItemsProcessed(state.iterations());
}


// ---- the computing programs ----

struct Program {
  const char* name;
  std::vector<EntityRef> (*engine)();
  const char* lua;
};

// let s = 0, i = 0; while (i < 50000) { s = s + i; i = i + 1 } s
std::vector<EntityRef> loopSum() {
  return {Let("s", N(0)), Let("i", N(0)),
          While(Lt(Get("i"), N(50000)), Set("i", Add(Get("i"), N(1))), {Set("s", Add(Get("s"), Get("i")))}),
          Get("s")};
}

// function fib(n) { if (n < 2) return n; return fib(n - 1) + fib(n - 2) } fib(20)
std::vector<EntityRef> recursiveFib() {
  return {Op("50", {S("fib"), Op("7", {S("n")}), Op("22", {Lt(Get("n"), N(2)), Body({Op("36", {Get("n")})})}),
                    Op("36", {Add(Op("fib", {Sub(Get("n"), N(1))}), Op("fib", {Sub(Get("n"), N(2))}))})}),
          Op("fib", {N(20)})};
}

// let a = [], i = 0; while (i < 2000) { a.push(i); i = i + 1 }
// let t = a.join(","); let b = t.split(","); b.length + t.length
std::vector<EntityRef> pushJoinSplit() {
  return {Let("a", Op("7")), Let("i", N(0)),
          While(Lt(Get("i"), N(2000)), Set("i", Add(Get("i"), N(1))), {Method(Get("a"), "push", {Get("i")})}),
          Let("t", Method(Get("a"), "join", {S(",")})), Let("b", Method(Get("t"), "split", {S(",")})),
          Add(Length(Get("b")), Length(Get("t")))};
}

const Program kPrograms[] = {
    {"LoopSum", &loopSum, R"(
      local s, i = 0, 0
      while i < 50000 do s = s + i; i = i + 1 end
      return s)"},
    {"RecursiveFib", &recursiveFib, R"(
      local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end
      return fib(20))"},
    {"PushJoinSplit", &pushJoinSplit, R"(
      local a, i = {}, 0
      while i < 2000 do a[#a + 1] = i; i = i + 1 end
      local t = table.concat(a, ",")
      local b = {}
      for piece in string.gmatch(t, "[^,]+") do b[#b + 1] = piece end
      return #b + #t)"},
};

// The engine's side: the statements converted once, each run in a new run
// scope after a reset of the budget, the collection after it.
class EngineProgram {
 public:
  explicit EngineProgram(const Program& program) {
    for (const auto& entity : program.engine()) {
      APMPResult statement = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*entity);
      if (statement) statements_.push_back(std::move(*statement));
    }
  }
  // The program's number; NaN when it fails.
  double run() {
    runtime_.resetInstructionCount();
    double number = std::nan("");
    {
      APMPResult result = APMPEvaluator::executeStatements(statements_, runtime_.getRunScope());
      if (result && (*result)->kind() == APMPRuntimeValue::Kind::Number) {
        number = static_cast<const APMPNumberValue&>(**result).value();
      }
    }
    runtime_.collectGarbage();
    return number;
  }

 private:
  APMPRuntime runtime_;
  APMPValueList statements_;
};

// Lua's side: the chunk compiled once and called for each run.
class LuaProgram {
 public:
  explicit LuaProgram(const Program& program) : lua_(luaL_newstate(), &lua_close) {
    luaL_openlibs(lua_.get());
    if (luaL_loadstring(lua_.get(), program.lua) == LUA_OK) chunk_ = luaL_ref(lua_.get(), LUA_REGISTRYINDEX);
  }
  double run() {
    lua_State* L = lua_.get();
    if (chunk_ == LUA_NOREF) return std::nan("");
    lua_rawgeti(L, LUA_REGISTRYINDEX, chunk_);
    if (lua_pcall(L, 0, 1, 0) != LUA_OK) {
      lua_pop(L, 1);
      return std::nan("");
    }
    double number = lua_tonumber(L, -1);
    lua_pop(L, 1);
    return number;
  }

 private:
  std::unique_ptr<lua_State, decltype(&lua_close)> lua_;
  int chunk_ = LUA_NOREF;
};

template <class Side>
void BM_Compute(benchmark::State& state, const Program* program) {
  Side side(*program);
  const double expected = LuaProgram(*program).run();
  const double first = side.run();
  if (!(first == expected) || first != EngineProgram(*program).run()) {
    state.SkipWithError("the two sides disagree");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(side.run());
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_EventEditing);
BENCHMARK(BM_Lua);


}  // namespace

int main(int argc, char** argv) {
  for (const Program& program : kPrograms) {
    benchmark::RegisterBenchmark((std::string("BM_Engine") + program.name).c_str(), &BM_Compute<EngineProgram>, &program)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark((std::string("BM_Lua") + program.name).c_str(), &BM_Compute<LuaProgram>, &program)
        ->Unit(benchmark::kMicrosecond);
  }
  std::thread([] {}).join();  // a process with threads, as the app is
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  bench::RatioReporter reporter(bench::RatioReporter::Clock::CPU);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const char* what, const std::string& ours, const std::string& theirs, const char* unit,
                   double goal) {
    const double engine = reporter.time(ours);
    const double lua = reporter.time(theirs);
    if (engine > 0 && lua > 0) {
      std::printf("%-16s engine %10.1f %s, Lua %10.1f %s; engine / Lua %6.2fx (goal %.1fx)\n", what, engine, unit,
                  lua, unit, engine / lua, goal);
      bench::printFigure(std::string(what) + ": event-editing engine / Lua 5.4", bench::ratioText(engine / lua),
                         "<= " + bench::ratioText(goal));
    }
  };
  for (const Program& program : kPrograms) {
    ratio(program.name, std::string("BM_Engine") + program.name, std::string("BM_Lua") + program.name, "us", 3.0);
  }
  ratio("EditPerEvent", "BM_EventEditing", "BM_Lua", "ns", 1.5);
  benchmark::Shutdown();
  return 0;
}
