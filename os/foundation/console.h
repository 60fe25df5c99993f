// os::Console: where the process prints. What the platform's print and
// printf would write, and the diagnostics a library prints for a developer
// (rather than logs), go through here.
//
// Text goes to one file descriptor: standard output unless changed with
// setOutputDescriptor (the drosil program sends it to standard error, so that
// its standard output carries only its own lines). While a ConsoleCapture is
// alive, text goes to every live capture instead, and not to the descriptor.
//
// Thread-safe: each call's text is written whole, in one order for every
// output. Not for signal handlers (it takes a lock and may allocate).
// Self-contained (the C and POSIX libraries only), so that code built apart
// from os_foundation, such as a fuzz target, can compile it in.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace os {

class Console {
 public:
  // The text as it is.
  static void write(std::string_view text);
  // The text and a line end, as puts and print do.
  static void writeLine(std::string_view text);
  // The printf expansion of the format and its arguments.
  static void writef(const char* format, ...) __attribute__((format(printf, 1, 2)));

  // Where text goes while no capture is alive; returns the previous one.
  static int setOutputDescriptor(int fd);
};

// Takes every text printed while it lives (from any thread).
class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  // Everything taken so far.
  std::string text() const;
  // Everything taken so far, and starts again from nothing.
  std::string take();

  // What the console appends to, under the console's lock and its own.
  struct Store {
    std::mutex mutex;
    std::string text;  // guarded by mutex
  };

 private:
  std::shared_ptr<Store> store_ = std::make_shared<Store>();
  uint64_t token_ = 0;
};

}  // namespace os
