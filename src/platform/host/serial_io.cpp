// Waiting for port events and reading received bytes.
//
// A wait blocks only in poll(), on the tty (if the port has one) and on a
// wake-up descriptor of its own, so that a mask change, a raised event, a
// feed of a memory port or a close reaches it at once without any polling
// loop. A read never blocks: it takes what is buffered and returns. One that
// its port's buffer can serve makes no system call; on a tty one read
// refills the buffer with what the tty has.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <optional>

#include "serial_port.h"

namespace host {
namespace {

constexpr short kBroken = POLLHUP | POLLERR | POLLNVAL;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Whether the tty has hung up (the far side of a pseudo-terminal closed, an
// adapter unplugged); checked when a read reports end of file.
bool HungUp(int fd) {
  pollfd check = {fd, POLLIN, 0};
  return ::poll(&check, 1, 0) == 1 && (check.revents & kBroken);
}

}  // namespace

Chunk ReadTty(int fd, BYTE* to, DWORD room, DWORD* got) {
  for (;;) {
    ssize_t n = ::read(fd, to, room);
    if (n > 0) {
      *got += static_cast<DWORD>(n);
      return Chunk::kSome;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return Chunk::kNone;
    // A tty with VMIN 0 reports "nothing yet" as end of file too.
    if (n == 0 && !HungUp(fd)) return Chunk::kNone;
    return Chunk::kBroken;
  }
}

}  // namespace host

using host::SerialPort;

BOOL WINAPI WaitCommEvent(HANDLE handle, LPDWORD event, LPOVERLAPPED overlapped) {
  host::LateReturn late(device::PortCall::Wait);
  if (event) *event = 0;
  auto port = host::FindPort(handle, "WaitCommEvent");
  if (!port) {
    host::CountPortWait();
    return FALSE;
  }
  late.Reached();
  SerialPort::Call call(port.get());
  std::optional<SerialPort::Waker> waker;  // destroyed after the lock is released
  std::unique_lock<std::mutex> lock(port->mutex);
  // A mask change from here on ends this wait. Counted only afterwards, so
  // that whoever sees the count knows a mask change will reach the wait.
  unsigned long maskChanges = port->maskChanges;
  DWORD mask = port->mask;
  lock.unlock();
  host::CountPortWait();
  if (!call.ok()) return host::Fail(ERROR_INVALID_HANDLE);
  if (!event || overlapped) return host::Fail(ERROR_INVALID_PARAMETER);
  if (host::FaultOn(device::Fault::WaitCommEvent)) return host::Fail(ERROR_GEN_FAILURE);
  // A deaf driver's wait hears no mask change: only its events or a close end it.
  bool deaf = host::FaultOn(device::Fault::DeafWait);
  // With no event asked for the wait could never end: a serial driver
  // refuses it rather than block for ever.
  if (mask == 0) return host::Fail(ERROR_INVALID_PARAMETER);

  host::ByteSource* source = port->source();
  int fd = source->PollFd();
  lock.lock();
  for (;;) {
    if (port->closed) return host::Fail(ERROR_OPERATION_ABORTED);
    if (!deaf && port->maskChanges != maskChanges) return TRUE;  // *event stays 0
    // An event raised before the wait began (and not taken by an earlier
    // wait) ends it at once; so do bytes that arrived since anyone looked.
    port->NoteArrivalsLocked(source->Pull(), waker ? waker->fd() : -1);
    DWORD events = port->TakeEventsLocked();
    if (events) {
      *event = events;
      return TRUE;
    }
    if (!waker) {
      waker.emplace(port.get());
      if (waker->fd() < 0) return host::Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    // A readable tty now means new bytes, for Pull has taken the old ones.
    bool listen = fd >= 0 && (port->mask & EV_RXCHAR) && source->CanHoldMore();
    lock.unlock();

    // A hang-up is reported whatever is asked for.
    pollfd fds[2] = {{fd, static_cast<short>(listen ? POLLIN : 0), 0}, {waker->fd(), POLLIN, 0}};
    host::AboutToBlock();
    int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno != EINTR) return host::Fail(ERROR_GEN_FAILURE);
    // A tty that has hung up also reads as readable, but it has nothing more
    // to give: once its last bytes are pulled the wait fails and the caller
    // decides when to try again, as waiting here would never end.
    bool broken = ready > 0 && (fds[0].revents & host::kBroken);
    lock.lock();
    if (ready > 0 && fds[1].revents) waker->Drain();  // woken, not merely readable
    if (broken) {
      if (port->closed) return host::Fail(ERROR_OPERATION_ABORTED);
      port->NoteArrivalsLocked(source->Pull(), waker->fd());
      DWORD last = port->TakeEventsLocked();
      if (!last) return host::Fail(ERROR_GEN_FAILURE);
      *event = last;
      return TRUE;
    }
  }
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
  host::LateReturn late(device::PortCall::Read);
  host::CountPortRead();
  if (read) *read = 0;
  auto port = host::FindPort(handle, "ReadFile");
  if (!port) return FALSE;
  late.Reached();
  if (!read || overlapped || (!buffer && toRead != 0)) return host::Fail(ERROR_INVALID_PARAMETER);
  SerialPort::Call call(port.get());
  if (!call.ok()) return host::Fail(ERROR_INVALID_HANDLE);
  {
    // Time-outs never set ask for a read that waits for every byte, which
    // this port does not serve: refused rather than answered as if they
    // had been set.
    std::lock_guard<std::mutex> lock(port->mutex);
    if (!host::ReadsReturnAtOnce(port->timeouts)) return host::Fail(ERROR_NOT_SUPPORTED);
  }
  if (toRead == 0) return TRUE;

  DWORD got = 0;
  DWORD arrived = 0;
  host::Chunk chunk = port->source()->Take(static_cast<BYTE*>(buffer), toRead, &got, &arrived);
  if (arrived > 0) {
    // Bytes a read takes straight from the device arrived all the same:
    // they raise EV_RXCHAR as they would have on the device.
    std::lock_guard<std::mutex> lock(port->mutex);
    port->NoteArrivalsLocked(arrived);
  }
  if (chunk == host::Chunk::kBroken) return host::Fail(ERROR_GEN_FAILURE);
  *read = got;
  return TRUE;
}
