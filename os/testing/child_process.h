// os::testing::runInChild: a test body that crashes, forks, signals or
// suspends threads runs in a forked child, never in the test runner.
//
// The child runs `body` and reports what it returns (empty: success, else a
// message saying what went wrong) through a pipe, then leaves with _exit(0).
// A child that is still running after `boundSeconds` is killed by its own
// alarm, so the parent never waits longer than that. The parent waits for the
// child and returns how it ended with everything it reported.
//
// The child is a copy of a process that may have had other threads: it should
// start its own threads rather than rely on ones the parent had.
#pragma once

#include <functional>
#include <string>

namespace os::testing {

struct ChildResult {
  bool exited = false;     // left through exit or _exit
  int exitCode = -1;       // when exited
  int signal = 0;          // the signal that ended it, otherwise 0
  bool timedOut = false;   // ended by its alarm
  std::string report;      // what `body` returned (empty on success)
  bool reported = false;   // `body` returned (the child did not die inside it)

  // Exited with 0 after `body` returned an empty report.
  bool succeeded() const { return exited && exitCode == 0 && reported && report.empty(); }
  // One line for a failed expectation.
  std::string describe() const;
};

ChildResult runInChild(const std::function<std::string()>& body, unsigned boundSeconds = 60);

}  // namespace os::testing
