#include <unistd.h>

#include <cstdio>

#include "driver/command_line.h"

int runMode(const Settings& settings) {
  if (!settings.root.empty() && chroot(settings.root.c_str()) != 0) std::perror("chroot");
  if (chdir("/") != 0) {
    // The working directory is "/" whatever happened; a failure changes nothing.
  }
  return 0;
}
