// tavrad: the root daemon. Takes no arguments and reads no environment variables; everything it
// needs comes from the managed preferences. It never returns: SIGTERM and SIGINT end it.
#include <cstdio>

#include "tavrad/system_daemon.h"

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  tavra::SystemDaemon system;
  system.daemon().start();
  system.run();
  return 0;
}
