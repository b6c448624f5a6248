// An unmapped port gets two pseudo-terminals joined back to back: the
// program reads one, an adapter (the simulator or a person) writes the
// other, and a thread carries the bytes across. A single pseudo-terminal
// would not do: bytes written to a slave go to its master, never to another
// reader of the same slave.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "handheld.h"
#include "internal.h"

namespace {

struct Bridge {
  device::Pty program;  // the program opens program.slavePath
  device::Pty adapter;  // the adapter writes adapter.slavePath
  int programHold = -1; // keeps the slaves open so neither master sees a hang-up
  int adapterHold = -1;
};

std::mutex g_mutex;
std::map<std::u16string, Bridge*> g_bridges;

void* CarryBytes(void* argument) {
  Bridge* bridge = static_cast<Bridge*>(argument);
  // As much as the adapter side holds: one read and one write carry many packets.
  unsigned char buffer[4096];
  for (;;) {
    pollfd ready = {bridge->adapter.master, POLLIN, 0};
    if (poll(&ready, 1, -1) < 0) {
      if (errno == EINTR) continue;
      return nullptr;
    }
    ssize_t n = read(bridge->adapter.master, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return nullptr;
    ssize_t done = 0;
    while (done < n) {
      ssize_t written = write(bridge->program.master, buffer + done, static_cast<size_t>(n - done));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) break;  // nobody can take them: the bytes are lost, as on the wire
      done += written;
    }
  }
}

}  // namespace

namespace handheld {

std::string BridgePortFor(const std::u16string& name) {
  std::u16string key = host::WideLower(name);
  std::lock_guard<std::mutex> lock(g_mutex);
  auto found = g_bridges.find(key);
  if (found != g_bridges.end()) return found->second->program.slavePath;

  Bridge* bridge = new Bridge;
  if (!device::OpenPty(&bridge->program) || !device::OpenPty(&bridge->adapter)) {
    device::ClosePty(&bridge->program);
    device::ClosePty(&bridge->adapter);
    delete bridge;
    return std::string();
  }
  bridge->programHold = open(bridge->program.slavePath.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  bridge->adapterHold = open(bridge->adapter.slavePath.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  pthread_t thread;
  if (pthread_create(&thread, nullptr, CarryBytes, bridge) != 0) {
    device::ClosePty(&bridge->program);
    device::ClosePty(&bridge->adapter);
    delete bridge;
    return std::string();
  }
  pthread_detach(thread);
  g_bridges[key] = bridge;
  host::Trace("port name=" + device::Quote(name) + " path=" + device::Quote(device::FromUtf8(bridge->adapter.slavePath)));
  return bridge->program.slavePath;
}

}  // namespace handheld
