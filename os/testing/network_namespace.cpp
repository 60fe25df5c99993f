#include "os/testing/network_namespace.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace os::testing {

bool canEnterPrivateNetwork() {
  const pid_t child = fork();
  if (child == 0) _exit(enterPrivateNetwork() ? 0 : 1);
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool enterPrivateNetwork() { return unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0; }

bool setLoopbackUp(bool up) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (ok) {
    request.ifr_flags = static_cast<short>(up ? (request.ifr_flags | IFF_UP) : (request.ifr_flags & ~IFF_UP));
    ok = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  close(fd);
  return ok;
}

}  // namespace os::testing
