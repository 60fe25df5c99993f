#include "os/testing/child_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace os::testing {
namespace {

void writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= size_t(n);
  }
}

}  // namespace

std::string ChildResult::describe() const {
  std::string out;
  if (timedOut) out = "child timed out";
  else if (signal != 0) out = "child killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
  else if (exited) out = "child exited with " + std::to_string(exitCode);
  else out = "child ended in an unknown way";
  if (!reported) out += ", before its body returned";
  if (!report.empty()) out += ": " + report;
  return out;
}

ChildResult runInChild(const std::function<std::string()>& body, unsigned boundSeconds) {
  ChildResult result;
  int fds[2];
  if (::pipe(fds) != 0) {
    result.report = std::string("pipe failed: ") + std::strerror(errno);
    return result;
  }
  pid_t pid = ::fork();
  if (pid < 0) {
    result.report = std::string("fork failed: ") + std::strerror(errno);
    ::close(fds[0]);
    ::close(fds[1]);
    return result;
  }
  if (pid == 0) {
    ::close(fds[0]);
    ::signal(SIGALRM, SIG_DFL);
    ::alarm(boundSeconds);
    std::string report = body();
    // A marker byte first, so that an empty report still says "returned".
    writeAll(fds[1], "R", 1);
    writeAll(fds[1], report.data(), report.size());
    ::close(fds[1]);
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string received;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    received.append(buffer, size_t(n));
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!received.empty() && received[0] == 'R') {
    result.reported = true;
    result.report = received.substr(1);
  }
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
    result.timedOut = result.signal == SIGALRM;
  }
  return result;
}

}  // namespace os::testing
