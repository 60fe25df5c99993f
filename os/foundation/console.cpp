#include "os/foundation/console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <utility>
#include <vector>

namespace os {
namespace {

struct ConsoleState {
  std::mutex mutex;  // guards fd, captures, nextToken; orders the writes
  int fd = STDOUT_FILENO;
  std::map<uint64_t, std::shared_ptr<ConsoleCapture::Store>> captures;
  uint64_t nextToken = 1;
};

ConsoleState& state() {
  static ConsoleState* s = new ConsoleState();  // never destroyed: printing may run during exit
  return *s;
}

void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

void Console::write(std::string_view text) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  if (s.captures.empty()) {
    writeAll(s.fd, text);
    return;
  }
  for (auto& [token, store] : s.captures) {
    std::lock_guard storeLock(store->mutex);
    store->text.append(text);
  }
}

void Console::writeLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  write(line);
}

void Console::writef(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  char small[256];
  const int needed = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (needed < 0) {
    va_end(again);
    return;
  }
  if (static_cast<size_t>(needed) < sizeof small) {
    va_end(again);
    write(std::string_view(small, static_cast<size_t>(needed)));
    return;
  }
  std::vector<char> large(static_cast<size_t>(needed) + 1);
  std::vsnprintf(large.data(), large.size(), format, again);
  va_end(again);
  write(std::string_view(large.data(), static_cast<size_t>(needed)));
}

int Console::setOutputDescriptor(int fd) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  const int previous = s.fd;
  s.fd = fd;
  return previous;
}

ConsoleCapture::ConsoleCapture() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  token_ = s.nextToken++;
  s.captures[token_] = store_;
}

ConsoleCapture::~ConsoleCapture() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.captures.erase(token_);
}

std::string ConsoleCapture::text() const {
  std::lock_guard lock(store_->mutex);
  return store_->text;
}

std::string ConsoleCapture::take() {
  std::lock_guard lock(store_->mutex);
  return std::exchange(store_->text, {});
}

}  // namespace os
