// An unmapped port gets a pseudo-terminal of its own: an adapter (the
// simulator or a person) writes its slave, and the port reads the master
// directly, as the device's serial driver reads its UART. No thread carries
// the bytes across and no second pseudo-terminal is in between, so a key
// costs one kernel hand-over and one wake-up of the reader, as on a tty.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "handheld.h"
#include "internal.h"

namespace {

struct AdapterPty {
  device::Pty pty;  // the adapter writes pty.slavePath; the port reads pty.master
  int slaveHold = -1;  // keeps the slave open, so the master never sees a hang-up between adapters
};

std::mutex g_mutex;
std::map<std::u16string, AdapterPty*> g_ptys;  // kept for the whole run

}  // namespace

namespace handheld {

std::string AdapterPortFor(const std::u16string& name) {
  std::u16string key = host::WideLower(name);
  std::lock_guard<std::mutex> lock(g_mutex);
  auto found = g_ptys.find(key);
  if (found == g_ptys.end()) {
    AdapterPty* made = new AdapterPty;
    bool ok = device::OpenPty(&made->pty);
    if (ok) made->slaveHold = open(made->pty.slavePath.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (!ok || made->slaveHold < 0) {
      // Too many open files, most likely: the port has no device, and the
      // user is told why.
      std::string why = strerror(errno);
      device::ClosePty(&made->pty);
      delete made;
      SayPortRefused(name, "cannot make a pseudo-terminal", why);
      return std::string();
    }
    found = g_ptys.emplace(key, made).first;
    host::Trace("port name=" + device::Quote(name) +
                " path=" + device::Quote(device::FromUtf8(made->pty.slavePath)));
  }
  device::MapPortToDescriptor(name, found->second->pty.master, found->second->pty.slavePath);
  return std::string();
}

}  // namespace handheld
