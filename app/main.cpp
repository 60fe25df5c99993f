// drosil: the meter's process entry on the headless host.
#include <cstdio>

#include "os/foundation/format.h"

int main() {
  std::printf("%s\n", os::format("drosil %@: the meter is not built yet", DROSIL_VERSION).c_str());
  return 0;
}
