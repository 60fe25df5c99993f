// APMStandInRecord: the record of calls that reach engine work whose real
// body is not built yet.
//
// A stand-in appends one call here, with what it was given, and answers what
// a test chose for it (setAnswer) or else a neutral answer. Tests read the
// calls in the order they happened. Every engine method has its real body
// now, so nothing records; the record goes once the tests stop reading it.
//
// Thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/foundation/value.h"

struct APMStandInCall {
  std::string name;
  os::Dictionary arguments;
};

class APMStandInRecord {
 public:
  APMStandInRecord() = delete;

  static void record(std::string name, os::Dictionary arguments = {});
  // Every call so far, oldest first.
  static std::vector<APMStandInCall> calls();
  static std::vector<APMStandInCall> callsNamed(std::string_view name);
  // The names of the calls so far, oldest first.
  static std::vector<std::string> callNames();

  // The answer a test chose for the stand-in of that name; nullopt for none.
  static std::optional<os::Value> answer(std::string_view name);
  static void setAnswer(std::string name, os::Value value);

  // Forgets calls and answers.
  static void TEST_reset();
};
