// Serial ports of the simulated handheld: which tty (or memory queue) stands
// behind each device name, opening a port without sharing, closing it, and
// the power and modem-line events raised on open ports.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "serial_port.h"

namespace host {
namespace {

struct PortTable {
  std::mutex mutex;
  std::map<std::u16string, std::string> paths;  // by lower-case device name
  std::set<std::u16string> memory;              // lower-case names that read from memory
  std::map<std::u16string, int> descriptors;    // lower-case names that read a descriptor given
  std::map<std::u16string, std::string> shownAs;  // what refusals call a descriptor's tty, by name
  std::function<std::string(const std::u16string&)> resolver;
  std::function<void(const std::u16string&, const std::string&, const std::string&)> refusalSink;
  std::vector<std::weak_ptr<SerialPort>> open;
  // Open memory and descriptor ports by lower-case name: they have no tty
  // lock of their own to keep a second open out, so this does.
  std::map<std::u16string, std::weak_ptr<SerialPort>> unlockedOpen;
};

PortTable& Table() {
  static PortTable* table = new PortTable;  // never destroyed: threads may outlive main
  return *table;
}

std::atomic<long> g_reads{0};
std::atomic<long> g_waits{0};
std::atomic<int> g_openPorts{0};
std::atomic<unsigned long> g_opens{0};

// The device's port call hook; the flag spares every call the lock while
// none is set.
std::atomic<bool> g_hookSet{false};
std::mutex& g_hookMutex = *new std::mutex;  // never destroyed: readers may outlive main
std::function<void(const device::PortCall&)>& g_hook = *new std::function<void(const device::PortCall&)>;

void CallHook(const char* operation, HANDLE handle, unsigned long open) {
  if (!operation || !g_hookSet.load()) return;
  std::function<void(const device::PortCall&)> hook;
  {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    hook = g_hook;
  }
  if (hook) hook(device::PortCall{operation, handle, GetCurrentThreadId(), open});
}

// The delays DelayAfterPortCall asked for, by kind of call.
struct LateCalls {
  std::atomic<int> times{0};
  std::atomic<DWORD> milliseconds{0};
};
LateCalls g_late[device::PortCall::SetMask + 1];

// What stands behind a device name: a memory queue, a tty descriptor, a
// tty path, or nothing (no descriptor and an empty path).
struct Target {
  bool memory = false;
  int descriptor = -1;
  std::string path;  // for a descriptor: what refusals call its tty
};

// The name's mapping; false if it has none.
bool MappedLocked(const PortTable& table, const std::u16string& key, Target* target) {
  if (table.memory.count(key)) {
    target->memory = true;
    return true;
  }
  auto descriptor = table.descriptors.find(key);
  if (descriptor != table.descriptors.end()) {
    target->descriptor = descriptor->second;
    auto shown = table.shownAs.find(key);
    target->path = shown != table.shownAs.end() && !shown->second.empty()
                       ? shown->second
                       : "descriptor " + std::to_string(descriptor->second);
    return true;
  }
  auto path = table.paths.find(key);
  if (path == table.paths.end()) return false;
  target->path = path->second;
  return true;
}

// Forgets what the name was mapped to and maps it with `mapTo`.
template <class MapTo>
void Remap(const std::u16string& name, MapTo mapTo) {
  PortTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  std::u16string key = WideLower(name);
  table.paths.erase(key);
  table.memory.erase(key);
  table.descriptors.erase(key);
  table.shownAs.erase(key);
  mapTo(table, key);
}

Target TargetOf(const std::u16string& name) {
  std::function<std::string(const std::u16string&)> resolver;
  std::u16string key = WideLower(name);
  Target target;
  PortTable& table = Table();
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    if (MappedLocked(table, key, &target)) return target;
    resolver = table.resolver;
  }
  // Outside the lock: a resolver may well map the port itself, and then
  // its mapping counts.
  std::string path = resolver ? resolver(name) : std::string();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (!MappedLocked(table, key, &target)) target.path = path;
  return target;
}

// Drops a port that is closing from the table of open ports.
void ForgetOpenPort(const SerialPort* port) {
  PortTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto& open = table.open;
  open.erase(std::remove_if(open.begin(), open.end(),
                            [port](const auto& weak) {
                              auto held = weak.lock();
                              return !held || held.get() == port;
                            }),
             open.end());
  for (auto it = table.unlockedOpen.begin(); it != table.unlockedOpen.end();) {
    auto held = it->second.lock();
    it = (!held || held.get() == port) ? table.unlockedOpen.erase(it) : std::next(it);
  }
}

// Every open port, for events raised on all of them.
std::vector<std::shared_ptr<SerialPort>> OpenPortList() {
  std::vector<std::shared_ptr<SerialPort>> ports;
  PortTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  for (const auto& weak : table.open) {
    if (auto port = weak.lock()) ports.push_back(std::move(port));
  }
  return ports;
}

DWORD ErrorOfOpen(int error) {
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK:
      return ERROR_SHARING_VIOLATION;
    case EMFILE:
    case ENFILE:
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

std::string ErrorText(int error) {
  char buffer[128];
  return strerror_r(error, buffer, sizeof buffer);  // the GNU form: the text, wherever it is
}

// Opens the tty and takes its exclusive lock; -1 with *error and *why set on
// failure. Whatever is no character device is refused before it is opened:
// opening a FIFO would make this process one of its ends.
int OpenTty(const std::string& path, DWORD* error, std::string* why) {
  // A name whose device is there but is no serial port: the driver knows no
  // serial requests, which the handheld answers with ERROR_NOT_SUPPORTED.
  auto notATerminal = [&] {
    *error = ERROR_NOT_SUPPORTED;
    *why = "not a terminal";
    return -1;
  };
  auto failed = [&](int failure) {
    *error = ErrorOfOpen(failure);
    *why = ErrorText(failure);
    return -1;
  };
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return failed(errno);
  if (!S_ISCHR(info.st_mode)) return notATerminal();
  // A console or the terminal of whoever runs the handheld would be made
  // raw at 9600 bit/s under its user: refused before it is opened.
  *why = device::WhyNotASerialLine(path, info.st_rdev);
  if (!why->empty()) {
    *error = ERROR_NOT_SUPPORTED;
    return -1;
  }
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return failed(errno);
  if (!::isatty(fd)) {  // a character device that is no terminal, such as /dev/null
    ::close(fd);
    return notATerminal();
  }
  // The lock belongs to this open file description, so it also keeps out a
  // second open within this process, just as it keeps out other processes.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int failure = errno;
    ::close(fd);
    if (failure != EWOULDBLOCK) return failed(failure);
    *error = ERROR_SHARING_VIOLATION;
    *why = "in use by another program";
    return -1;
  }
  // A port that was closed heard nothing: whatever the tty kept meanwhile
  // is not handed to the new owner.
  ::tcflush(fd, TCIFLUSH);
  return fd;
}

void ReportRefusal(const std::u16string& name, const std::string& path, const std::string& why) {
  std::function<void(const std::u16string&, const std::string&, const std::string&)> sink;
  {
    PortTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    sink = table.refusalSink;
  }
  if (sink) sink(name, path, why);
}

// A duplicate of a tty descriptor the device was given, for one open: non-
// blocking, with what it received while no port was open dropped, as for
// a tty opened by path. -1 with *error and *why set on failure.
int OpenDescriptor(int descriptor, DWORD* error, std::string* why) {
  int fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    int failure = errno;
    *error = ErrorOfOpen(failure);
    *why = ErrorText(failure);
    return -1;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (!::isatty(fd) || flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    ::close(fd);
    *error = ERROR_NOT_SUPPORTED;  // as for a path that is no terminal
    *why = "not a terminal";
    return -1;
  }
  ::tcflush(fd, TCIFLUSH);
  return fd;
}

HANDLE FailOpen(const std::u16string& name, DWORD error) {
  Trace("CreateFileW name=" + device::Quote(name) +
        " result=INVALID_HANDLE_VALUE error=" + std::to_string(error));
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

// ---- SerialPort ------------------------------------------------------------

SerialPort::SerialPort(std::u16string name, std::unique_ptr<ByteSource> source)
    : openNumber(++g_opens), name_(std::move(name)), source_(std::move(source)) {
  g_openPorts++;
}

SerialPort::~SerialPort() {
  // Only reached without Close when the handle table is dropped wholesale.
  if (!closed) {
    source_->Release();
    g_openPorts--;
  }
}

void SerialPort::Close() {
  {
    std::unique_lock<std::mutex> lock(mutex);
    if (closed) return;
    closed = true;
    // Traced before the calls inside are woken: a reader whose wait the
    // close ends may trace what it does next at once.
    Trace("CloseHandle port=" + device::Quote(name_));
    WakeAllLocked();
    idle_.wait(lock, [this] { return inside_ == 0; });
  }
  // No call is inside and none can enter: the source is ours alone.
  source_->Release();
  ForgetOpenPort(this);
  g_openPorts--;
}

void SerialPort::Resume() {
  std::lock_guard<std::mutex> lock(mutex);
  if (closed || !(mask & EV_POWER)) return;
  powerPending = true;
  WakeAllLocked();
}

void SerialPort::RaiseLineEvents(DWORD events) {
  std::lock_guard<std::mutex> lock(mutex);
  DWORD raised = events & mask & kLineEvents;
  if (closed || !raised) return;
  linePending |= raised;
  WakeAllLocked();
}

bool SerialPort::Feed(const void* bytes, size_t count) {
  std::lock_guard<std::mutex> lock(mutex);
  if (closed || !source_->Append(bytes, count)) return false;
  NoteArrivalsLocked(static_cast<DWORD>(count));
  return true;
}

void SerialPort::NoteArrivalsLocked(DWORD count, int except) {
  if (count == 0 || !(mask & EV_RXCHAR)) return;
  rxPending = true;
  WakeAllLocked(except);
}

DWORD SerialPort::TakeEventsLocked() {
  DWORD events = linePending & mask;
  linePending = 0;
  if (powerPending && (mask & EV_POWER)) {
    powerPending = false;
    events |= EV_POWER;
  }
  if (rxPending && (mask & EV_RXCHAR)) {
    rxPending = false;
    events |= EV_RXCHAR;
  }
  return events;
}

void SerialPort::WakeAllLocked(int except) {
  for (int waker : wakers_) {
    if (waker == except) continue;
    uint64_t one = 1;
    // Cannot fail short of the counter overflowing, which takes 2^64 wakes.
    ssize_t written = ::write(waker, &one, sizeof one);
    (void)written;
  }
}

SerialPort::Call::Call(SerialPort* port) : port_(port) {
  std::lock_guard<std::mutex> lock(port_->mutex);
  ok_ = !port_->closed;
  if (ok_) port_->inside_++;
}

SerialPort::Call::~Call() {
  if (!ok_) return;
  std::lock_guard<std::mutex> lock(port_->mutex);
  if (--port_->inside_ == 0) port_->idle_.notify_all();
}

namespace {

// The calling thread's wake-up descriptor, made at its first wait and
// closed when the thread ends; -1 if none could be made.
struct ThreadWakeFd {
  int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  ~ThreadWakeFd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

SerialPort::Waker::Waker(SerialPort* port) : port_(port) {
  thread_local ThreadWakeFd mine;
  fd_ = mine.fd;
  if (fd_ >= 0) port_->wakers_.push_back(fd_);
}

SerialPort::Waker::~Waker() {
  if (fd_ < 0) return;
  std::lock_guard<std::mutex> lock(port_->mutex);
  auto& wakers = port_->wakers_;
  wakers.erase(std::remove(wakers.begin(), wakers.end(), fd_), wakers.end());
}

void SerialPort::Waker::Drain() {
  uint64_t count;
  ssize_t got = ::read(fd_, &count, sizeof count);  // EAGAIN when nothing was signalled
  (void)got;
}

// ---- Shared helpers --------------------------------------------------------

std::shared_ptr<SerialPort> FindPort(HANDLE handle, const char* operation) {
  CallHook(operation, handle, 0);
  auto port = FindAs<SerialPort>(handle);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  CallHook(operation, handle, port->openNumber);
  return port;
}

void CountPortRead() {
  g_reads++;
  device::NotifyChanged();
}

void CountPortWait() {
  g_waits++;
  device::NotifyChanged();
}

void LateReturn::Reached() {
  LateCalls& late = g_late[kind_];
  int left = late.times.load();
  while (left > 0 && !late.times.compare_exchange_weak(left, left - 1)) {
  }
  delayed_ = left > 0;
  if (delayed_) milliseconds_ = late.milliseconds.load();
}

LateReturn::~LateReturn() {
  if (delayed_) Sleep(milliseconds_);  // writes the trace out first, as any wait does
}

void ResetSerial() {
  PortTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.paths.clear();
  table.memory.clear();
  table.descriptors.clear();
  table.shownAs.clear();
  table.resolver = nullptr;
  table.refusalSink = nullptr;
  device::SetPortCallHook(nullptr);
  for (LateCalls& late : g_late) late.times = 0;
  g_reads = 0;
  g_waits = 0;
}

}  // namespace host

using host::SerialPort;

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
  (void)access;
  (void)share;  // a port is never shared, whatever is asked
  (void)security;
  (void)flags;
  (void)templateFile;
  std::u16string device = host::Wide(name);
  if (device.empty() || disposition != OPEN_EXISTING) return host::FailOpen(device, ERROR_INVALID_PARAMETER);
  host::Target target = host::TargetOf(device);
  bool locked = !target.memory && target.descriptor < 0;  // a tty opened by path, with its own lock
  if (locked && target.path.empty()) return host::FailOpen(device, ERROR_FILE_NOT_FOUND);
  if (host::FaultOn(device::Fault::PortBusy)) return host::FailOpen(device, ERROR_SHARING_VIOLATION);

  std::shared_ptr<SerialPort> port;
  std::unique_ptr<host::ByteSource> source;
  DWORD error = ERROR_SUCCESS;
  std::string why;
  if (locked) {
    int fd = host::OpenTty(target.path, &error, &why);
    if (fd < 0) {
      host::ReportRefusal(device, target.path, why);
      return host::FailOpen(device, error);
    }
    port = std::make_shared<SerialPort>(device, host::NewTtySource(fd));
  } else if (target.descriptor >= 0) {
    int fd = host::OpenDescriptor(target.descriptor, &error, &why);
    if (fd < 0) {
      host::ReportRefusal(device, target.path, why);
      return host::FailOpen(device, error);
    }
    source = host::NewTtySource(fd);
  } else {
    source = host::NewMemorySource();
  }
  bool busy = false;
  {
    host::PortTable& table = host::Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (!locked) {
      // Taken under the table's lock, so two opens cannot both win.
      std::weak_ptr<SerialPort>& holder = table.unlockedOpen[host::WideLower(device)];
      busy = !holder.expired();
      if (!busy) {
        port = std::make_shared<SerialPort>(device, std::move(source));
        holder = port;
      }
    }
    if (!busy) table.open.push_back(port);
  }
  if (busy) {
    source->Release();
    // A tty held by path says so through its lock; this is the same
    // refusal by the device's own rule.
    if (target.descriptor >= 0) host::ReportRefusal(device, target.path, "in use by another program");
    return host::FailOpen(device, ERROR_SHARING_VIOLATION);
  }
  HANDLE handle = host::NewHandle(port);
  host::Trace("CreateFileW name=" + device::Quote(device) + " result=ok");
  return handle;
}

namespace device {

// The latest mapping of a name wins, whether to a tty, a descriptor or
// memory.
void MapPort(const std::u16string& name, const std::string& ttyPath) {
  host::Remap(name, [&](host::PortTable& table, const std::u16string& key) { table.paths[key] = ttyPath; });
}

void MapPortToDescriptor(const std::u16string& name, int fd, const std::string& shownAs) {
  host::Remap(name, [&](host::PortTable& table, const std::u16string& key) {
    table.descriptors[key] = fd;
    table.shownAs[key] = shownAs;
  });
}

void MapPortToMemory(const std::u16string& name) {
  host::Remap(name, [](host::PortTable& table, const std::u16string& key) { table.memory.insert(key); });
}

bool FeedPort(const std::u16string& name, const void* bytes, size_t count) {
  if (!bytes && count != 0) return false;
  std::shared_ptr<SerialPort> port;
  {
    host::PortTable& table = host::Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.unlockedOpen.find(host::WideLower(name));
    if (found != table.unlockedOpen.end()) port = found->second.lock();
  }
  return port && port->Feed(bytes, count);
}

void SetPortResolver(std::function<std::string(const std::u16string& name)> resolver) {
  host::PortTable& table = host::Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.resolver = std::move(resolver);
}

void SetPortRefusalSink(
    std::function<void(const std::u16string& name, const std::string& path, const std::string& why)> sink) {
  host::PortTable& table = host::Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.refusalSink = std::move(sink);
}

// The device's line comes first: a reader woken by the event may trace
// what it does at once.
void Resume() {
  host::Trace("resume");
  for (const auto& port : host::OpenPortList()) port->Resume();
}

void RaiseLineEvents(DWORD events) {
  host::Trace("line events=" + host::Hex(events));
  for (const auto& port : host::OpenPortList()) port->RaiseLineEvents(events);
}

void SetPortCallHook(std::function<void(const PortCall& call)> hook) {
  std::lock_guard<std::mutex> lock(host::g_hookMutex);
  host::g_hookSet = static_cast<bool>(hook);
  host::g_hook = std::move(hook);
}

void DelayAfterPortCall(PortCall::Kind call, DWORD milliseconds, int times) {
  if (call < PortCall::Wait || call > PortCall::SetMask) return;
  host::LateCalls& late = host::g_late[call];
  late.times = 0;  // no call takes the new count with the old length
  late.milliseconds = milliseconds;
  late.times = times > 0 ? times : 0;
}

std::string WhyNotASerialLine(const std::string& path, dev_t device) {
  // Linux's numbers: /dev/tty, /dev/console and /dev/ptmx are 5:0, 5:1 and
  // 5:2; virtual consoles are 4:0 to 4:63 (4:64 on are the 8250 serial
  // lines). Pseudo-terminal slaves and every other tty driver (USB, ACM,
  // on-chip UARTs) are taken. A container's /dev/console is a pseudo-
  // terminal slave bound over the name, so the name counts too.
  unsigned int major = ::major(device), minor = ::minor(device);
  char resolved[PATH_MAX];
  bool console = path == "/dev/console" ||
                 (::realpath(path.c_str(), resolved) != nullptr && std::string(resolved) == "/dev/console");
  if ((major == 5 && minor == 1) || console) {
    return "the system console, not a serial line";
  }
  if (major == 5 && minor == 0) return "the controlling terminal, not a serial line";
  if (major == 5 && minor == 2) return "the pseudo-terminal multiplexer, not a serial line";
  if (major == 4 && minor < 64) return "a virtual console, not a serial line";
  return std::string();
}

int OpenPorts() { return host::g_openPorts; }
long PortReads() { return host::g_reads; }
long PortWaits() { return host::g_waits; }

}  // namespace device
