// Waiting for port events and reading received bytes.
//
// Both block only in poll(), on the tty (if the port has one) and on a
// wake-up descriptor of their own, so that a mask change, a raised event, a
// feed of a memory port or a close reaches them at once without any polling
// loop. A read that its port's buffer can serve makes no system call; on a
// tty one read refills the buffer with what the tty has.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <optional>

#include "serial_port.h"

namespace host {
namespace {

constexpr short kBroken = POLLHUP | POLLERR | POLLNVAL;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

bool IsImmediate(const COMMTIMEOUTS& t) {
  return t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
}

// Whether the tty has hung up (the far side of a pseudo-terminal closed, an
// adapter unplugged); checked when a read reports end of file.
bool HungUp(int fd) {
  pollfd check = {fd, POLLIN, 0};
  return ::poll(&check, 1, 0) == 1 && (check.revents & kBroken);
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, for poll(): never negative.
int MsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

// The Win32 read time-outs for one read of `toRead` bytes.
struct ReadPlan {
  bool immediate = false;                             // return at once with what is buffered
  bool returnOnFirst = false;                         // return as soon as anything has arrived
  std::optional<Clock::time_point> deadline;          // total time-out
  std::optional<std::chrono::milliseconds> interval;  // longest gap between bytes
};

ReadPlan PlanRead(const COMMTIMEOUTS& t, DWORD toRead, Clock::time_point start) {
  ReadPlan plan;
  if (IsImmediate(t)) {
    plan.immediate = true;
    return plan;
  }
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
      t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
    plan.returnOnFirst = true;
    plan.deadline = start + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
    return plan;
  }
  unsigned long long total =
      static_cast<unsigned long long>(t.ReadTotalTimeoutMultiplier) * toRead + t.ReadTotalTimeoutConstant;
  if (total != 0) plan.deadline = start + std::chrono::milliseconds(total);
  if (t.ReadIntervalTimeout != 0) plan.interval = std::chrono::milliseconds(t.ReadIntervalTimeout);
  return plan;
}

// poll() on the tty (if any) and the caller's wake-up descriptor; the
// timeout comes from whichever of the total and interval limits ends first.
int WaitReadable(int fd, int wake, const ReadPlan& plan, DWORD got, Clock::time_point lastByte,
                 short* revents) {
  int timeout = -1;
  if (plan.deadline) timeout = MsUntil(*plan.deadline);
  if (plan.interval && got > 0) {
    int gap = MsUntil(lastByte + *plan.interval);
    timeout = timeout < 0 ? gap : std::min(timeout, gap);
  }
  pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
  int ready;
  do {
    ready = ::poll(fds, 2, timeout);
  } while (ready < 0 && errno == EINTR);
  *revents = fds[0].revents;
  if (ready > 0 && fds[1].revents) return 2;  // woken: the caller looks at the port's state
  return ready;
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
  if (toRead == 0) return TRUE;

  COMMTIMEOUTS timeouts;
  {
    std::lock_guard<std::mutex> lock(port->mutex);
    timeouts = port->timeouts;
  }
  host::ByteSource* source = port->source();
  BYTE* to = static_cast<BYTE*>(buffer);
  DWORD got = 0;

  // Bytes a read takes straight from the device arrived all the same: they
  // raise EV_RXCHAR as they would have on the device.
  auto noteArrivals = [&port](DWORD arrived) {
    if (arrived == 0) return;
    std::lock_guard<std::mutex> lock(port->mutex);
    port->NoteArrivalsLocked(arrived);
  };
  DWORD arrived = 0;
  host::Chunk chunk = source->Take(to, toRead, &got, &arrived);
  noteArrivals(arrived);
  if (chunk == host::Chunk::kBroken) return host::Fail(ERROR_GEN_FAILURE);
  if (host::IsImmediate(timeouts) || got == toRead) {
    *read = got;
    return TRUE;
  }
  host::ReadPlan plan = host::PlanRead(timeouts, toRead, host::Clock::now());
  if (plan.returnOnFirst && got > 0) {
    *read = got;
    return TRUE;
  }

  std::optional<SerialPort::Waker> waker;
  {
    std::lock_guard<std::mutex> lock(port->mutex);
    if (port->closed) return host::Fail(ERROR_OPERATION_ABORTED);
    waker.emplace(port.get());
  }
  if (waker->fd() < 0) return host::Fail(ERROR_NOT_ENOUGH_MEMORY);

  auto lastByte = host::Clock::now();
  short revents = 0;
  for (;;) {
    // Looked at again once the waker is registered: bytes fed to a memory
    // port before that announced themselves to nobody.
    DWORD before = got;
    arrived = 0;
    chunk = source->Take(to + got, toRead - got, &got, &arrived);
    noteArrivals(arrived);
    // An error condition that yields no byte would wake poll() at once for
    // ever: it ends the read like a hang-up.
    if (chunk == host::Chunk::kNone && (revents & host::kBroken)) chunk = host::Chunk::kBroken;
    if (chunk == host::Chunk::kBroken) {
      if (got > 0) break;
      return host::Fail(ERROR_GEN_FAILURE);
    }
    if (got > before) lastByte = host::Clock::now();
    if (got == toRead || (plan.returnOnFirst && got > 0)) break;

    revents = 0;
    int ready = host::WaitReadable(source->PollFd(), waker->fd(), plan, got, lastByte, &revents);
    if (ready < 0) return host::Fail(ERROR_GEN_FAILURE);
    if (ready == 0) break;  // a time-out ends the read with what came
    if (ready == 2) {
      std::lock_guard<std::mutex> lock(port->mutex);
      if (port->closed) return host::Fail(ERROR_OPERATION_ABORTED);  // a failed read yields no byte
      waker->Drain();
    }
  }
  *read = got;
  return TRUE;
}
