#include "measurement/script/commands/tests/program_support.h"
#include "os/foundation/device_profile.h"

namespace {
using namespace program;

class StringMethodsTest : public ProgramTest {};

TEST_F(StringMethodsTest, StringMethods) {
  const Entity smile = S("\xF0\x9F\x98\x80");  // one code point, two code units
  struct Case {
    const char* name;
    Entity statement;
    const char* expected;
  } cases[] = {
      {"charAt", Call(S("abc"), "charAt", {N(1)}), "'b'"},
      {"charAt: no argument", Call(S("abc"), "charAt"), "'a'"},
      {"charAt: -1", Call(S("abc"), "charAt", {N(-1)}), "''"},
      {"charAt: the length", Call(S("abc"), "charAt", {N(3)}), "''"},
      {"charAt: a text position", Call(S("abc"), "charAt", {S("1")}), "'b'"},
      {"charAt: half a surrogate pair", Call(Prop(Call(smile, "charAt", {N(1)}), S("length")), "toString"), "'1'"},
      {"concat", Call(S("a"), "concat", {N(1), Null(), Arr({N(2), N(3)})}), "'a1null2,3'"},
      {"hasOwnProperty: length", Call(S("abc"), "hasOwnProperty", {S("length")}), "true"},
      {"hasOwnProperty: an index", Call(S("abc"), "hasOwnProperty", {S("2")}), "true"},
      {"hasOwnProperty: 1.5", Call(S("abc"), "hasOwnProperty", {N(1.5)}), "false"},
      {"hasOwnProperty: past the end", Call(S("abc"), "hasOwnProperty", {N(3)}), "false"},
      {"indexOf", Call(S("abcabc"), "indexOf", {S("c")}), "2"},
      {"indexOf: from", Call(S("abcabc"), "indexOf", {S("c"), N(3)}), "5"},
      {"indexOf: empty text", Call(S("abc"), "indexOf", {S("")}), "-1"},
      {"indexOf: from past the end", Call(S("abc"), "indexOf", {S("b"), N(5)}), "-1"},
      {"indexOf: no argument looks for undefined", Call(S("xundefined"), "indexOf"), "1"},
      {"indexOf: a pattern that overlaps itself", Call(S("aabaabaaab"), "indexOf", {S("aaab")}), "6"},
      {"lastIndexOf", Call(S("aba"), "lastIndexOf", {S("a")}), "2"},
      {"lastIndexOf: from 0", Call(S("aba"), "lastIndexOf", {S("a"), N(0)}), "0"},
      {"lastIndexOf: a match that starts at the position", Call(S("abab"), "lastIndexOf", {S("ab"), N(2)}), "2"},
      {"lastIndexOf: NaN searches all", Call(S("abab"), "lastIndexOf", {S("b"), S("x")}), "3"},
      {"lastIndexOf: empty text", Call(S("aba"), "lastIndexOf", {S("")}), "-1"},
      {"match: empty pattern", Call(S("abc"), "match", {S("")}), "['']"},
      {"match: no argument", Call(S("abc"), "match"), "['']"},
      {"match: none", Call(S("abc"), "match", {S("z")}), "null"},
      {"match: the whole match only", Call(S("abbc"), "match", {S("(b)+")}), "['bb']"},
      {"match: case-sensitive", Call(S("ABC"), "match", {S("b")}), "null"},
      {"match: a bad pattern", Call(S("abc"), "match", {S("(")}), "regex 1"},
      {"search: empty pattern", Call(S("abc"), "search", {S("")}), "0"},
      {"search", Call(S("abc"), "search", {S("c$")}), "2"},
      {"search: none", Call(S("abc"), "search", {S("^b")}), "-1"},
      {"search: a bad pattern", Call(S("abc"), "search", {S("[")}), "regex 1"},
      {"search: positions in code units", Call(Add(smile, S("x")), "search", {S("x")}), "2"},
      {"replace", Call(S("abcb"), "replace", {S("b"), S("x")}), "'axcb'"},
      {"replace: empty pattern", Call(S("ab"), "replace", {S(""), S("x")}), "'xab'"},
      {"replace: no replacement", Call(S("ab"), "replace", {S("a")}), "'undefinedb'"},
      {"replace: plain text, not a pattern", Call(S("a.c"), "replace", {S("."), S("$&")}), "'a$&c'"},
      {"replace: a function", Call(S("abcb"), "replace", {S("c"), Fn({"m", "p", "s"}, {Ret(Arr({Get("m"), Get("p"), Get("s")}))})}),
       "'abc,2,abcbb'"},
      {"replace: a failing function", Call(S("ab"), "replace", {S("a"), Fn({}, {Fail()})}), "rovav 9"},
      {"slice: -2", Call(S("hello"), "slice", {N(-2)}), "'lo'"},
      {"slice: end before start", Call(S("hello"), "slice", {N(3), N(1)}), "''"},
      {"slice: an undefined end", Call(S("hello"), "slice", {N(1), Undef()}), "''"},
      {"slice: negative end", Call(S("hello"), "slice", {N(1), N(-1)}), "'ell'"},
      {"substring: swapped", Call(S("hello"), "substring", {N(3), N(1)}), "'el'"},
      {"substring: an undefined end", Call(S("hello"), "substring", {N(2), Undef()}), "'he'"},
      {"substring: negative start", Call(S("hello"), "substring", {N(-3)}), "'hello'"},
      {"split: keeps empty pieces", Call(S("a,,b,"), "split", {S(",")}), "['a','','b','']"},
      {"split: empty separator with a limit", Call(S("abc"), "split", {S(""), N(2)}), "['a','b']"},
      {"split: limit 0", Call(S("a,b"), "split", {S(","), N(0)}), "[]"},
      {"split: an undefined limit", Call(S("a,b"), "split", {S(","), Undef()}), "[]"},
      {"split: a limit", Call(S("a,b,c"), "split", {S(","), N(2)}), "['a','b']"},
      {"split: the empty string", Call(S(""), "split", {S(",")}), "['']"},
      {"split: the empty string, empty separator", Call(S(""), "split", {S("")}), "['']"},
      {"split: no argument", Call(S("a,b"), "split"), "['a,b']"},
      {"split: undefined separator", Call(S("xundefinedy"), "split", {Undef()}), "['x','y']"},
      {"split: a longer separator", Call(S("a--b---c"), "split", {S("--")}), "['a','b','-c']"},
      {"toUpperCase: full mapping", Call(S("stra\xC3\x9F" "e"), "toUpperCase"), "'STRASSE'"},
      {"toLowerCase", Call(S("\xC4\xB0" "Abc"), "toLowerCase"), "'i\xCC\x87" "abc'"},
      {"toUpperCase: an argument", Call(S("a"), "toUpperCase", {N(1)}), "rovav 9"},
      {"toString", Call(S("abc"), "toString"), "'abc'"},
      {"trim: whitespace and newlines", Call(S("\t\n\xC2\xA0 a b \xE2\x80\xA8"), "trim"), "'a b'"},
      {"an unknown method", Call(S("abc"), "includes", {S("a")}), "rovav 17"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(show({c.statement}), c.expected);
  }
}

TEST_F(StringMethodsTest, ReplaceCallsItsFunctionOnlyForAMatch) {
  Entity spy = Fn({"m"}, {Log({Get("m")}), Ret(S("X"))});
  EXPECT_EQ(show({Call(S("ab"), "replace", {S("z"), spy})}), "'ab'");
  EXPECT_EQ(logged(), "");
  EXPECT_EQ(show({Call(S("ab"), "replace", {S("b"), spy})}), "'aX'");
  EXPECT_EQ(logged(), "'b'");
}

TEST_F(StringMethodsTest, LocaleFormsFollowTheDeviceProfile) {
  os::DeviceProfile turkish = os::DeviceProfile::current();
  turkish.localeIdentifier = "tr_TR";
  os::ScopedDeviceProfile profile(turkish);
  EXPECT_EQ(show({Arr({Call(S("i"), "toLocaleUpperCase"), Call(S("i"), "toUpperCase"),
                       Call(S("I"), "toLocaleLowerCase"), Call(S("I"), "toLowerCase")})}),
            "['\xC4\xB0','I','\xC4\xB1','i']");
}

TEST_F(StringMethodsTest, AHostilePatternEndsWithTheTimeLimitError) {
  // (a+)+$ against a long run of "a" followed by "b" backtracks without end.
  Entities program = {Let("s", S(std::string(40, 'a') + "b")),
                      Arr({Call(Get("s"), "search", {S("(a+)+$")})})};
  EXPECT_EQ(show(program), "regex 2");
  EXPECT_EQ(show({Call(Get("s"), "match", {S("(a+)+$")})}), "regex 2");
}

}  // namespace
