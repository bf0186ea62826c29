// tavrad: the root daemon. Takes no arguments and reads no environment variables; everything it
// needs comes from the managed preferences. It never returns: SIGTERM and SIGINT end it.
#include <cstdio>
#include <exception>

#include "tavrad/system_daemon.h"

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  try {
    tavra::SystemDaemon system;
    system.daemon().start();
    system.run();
  } catch (const std::exception& error) {
    // Only setting up the loop can fail (no descriptors, no memory); runs never throw.
    std::fprintf(stderr, "tavrad: cannot start: %s\n", error.what());
    return 1;
  }
  return 0;
}
