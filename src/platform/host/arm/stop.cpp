#include "stop.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "device.h"

namespace arm {

void Stop(const std::string& message) {
  static std::atomic<bool> stopping{false};
  if (stopping.exchange(true)) {
    for (;;) pause();
  }
  // What the program did up to here is the first thing a reader wants.
  device::FlushTrace();
  std::fprintf(stderr, "nuvik-arm: %s\n", message.c_str());
  std::fflush(stderr);
  _exit(kStoppedExit);
}

std::string Hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

}  // namespace arm
