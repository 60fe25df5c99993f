#include <gtest/gtest.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "os/foundation/device_profile.h"
#include "os/testing/child_process.h"

namespace os {
namespace {

constexpr const char* kRefused = "ptrace refused";

TEST(TracedFlagTest, AChildTracedByItsParentSeesTheTracedFlag) {
  auto result = os::testing::runInChild([]() -> std::string {
    // This child is the tracer; its own child asks to be traced.
    pid_t traced = ::fork();
    if (traced == 0) {
      if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(3);
      int mib[4] = {sysctl::CTL_KERN, sysctl::KERN_PROC, sysctl::KERN_PROC_PID, int(::getpid())};
      sysctl::kinfo_proc info;
      size_t size = sizeof info;
      if (sysctl::sysctl(mib, 4, &info, &size, nullptr, 0) != 0) ::_exit(4);
      bool flagged = (info.kp_proc.p_flag & sysctl::P_TRACED) != 0;
      ::_exit(flagged && sysctl::isDebuggerAttached() ? 0 : 1);
    }
    if (traced < 0) return "fork failed";
    int status = 0;
    for (;;) {
      if (::waitpid(traced, &status, 0) < 0) return "waitpid failed";
      if (WIFSTOPPED(status)) {
        ::ptrace(PTRACE_CONT, traced, nullptr, reinterpret_cast<void*>(long(WSTOPSIG(status))));
        continue;
      }
      break;
    }
    if (!WIFEXITED(status)) return "the traced child died";
    switch (WEXITSTATUS(status)) {
      case 0: return "";
      case 3: return kRefused;
      case 4: return "the process record could not be read";
      default: return "the traced child did not see the traced flag";
    }
  });
  if (result.report == kRefused) GTEST_SKIP() << "ptrace(PTRACE_TRACEME) is refused in this environment";
  EXPECT_TRUE(result.succeeded()) << result.describe();
  EXPECT_FALSE(sysctl::isDebuggerAttached());
}

}  // namespace
}  // namespace os
