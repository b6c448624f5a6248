// Line settings, time-outs, escape functions and the event mask of a serial
// port, and the tty source that carries the line settings over to a real
// terminal.
//
// The port serves one kind of line: the adapter's, 9600 bit/s 8N1 with no
// flow control, read by calls that take what is buffered and return at
// once. Whatever else a serial driver offers (other rates and framings,
// parity, flow control, reads that wait, the modem-line and break escapes)
// is refused with ERROR_INVALID_PARAMETER rather than simulated: a caller
// that asks for it learns at once that this device cannot give it, where a
// simulation nothing runs would only look as if it did.
#include <stddef.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

#include "serial_port.h"

namespace host {
namespace {

constexpr DWORD kControlEnable = 1;  // DTR or RTS held on, as DTR_CONTROL_ENABLE and RTS_CONTROL_ENABLE

DWORD FlagWord(const DCB& dcb) {
  DWORD flags;
  memcpy(&flags, reinterpret_cast<const BYTE*>(&dcb) + offsetof(DCB, BaudRate) + sizeof(DWORD), sizeof flags);
  return flags;
}

// Whether a DCB asks for the adapter's line: 9600 bit/s, 8 data bits, no
// parity, one stop bit, binary, DTR and RTS each held on or off, and every
// other switch off. The characters and limits are kept as given: with their
// switches off they act on nothing. (SetCommState still refuses equal XON and
// XOFF characters, as the handheld's driver does whatever the switches say.)
bool IsAdapterLine(const DCB& d) {
  return d.BaudRate == CBR_9600 && d.ByteSize == 8 && d.Parity == NOPARITY && d.StopBits == ONESTOPBIT &&
         d.fBinary && !d.fParity && !d.fOutxCtsFlow && !d.fOutxDsrFlow && d.fDtrControl <= kControlEnable &&
         !d.fDsrSensitivity && !d.fTXContinueOnXoff && !d.fOutX && !d.fInX && !d.fErrorChar && !d.fNull &&
         d.fRtsControl <= kControlEnable && !d.fAbortOnError;
}

// Modem lines: a pseudo-terminal has none, so failures change nothing.
void SetModemLine(int fd, int line, bool on) { ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line); }

std::string Failed(DWORD error) { return " result=FALSE error=" + std::to_string(error); }

// The ttys whose settings the handheld changed, each with the settings it
// had before: a tty is someone's (a USB adapter another program also uses,
// a terminal), so it gets them back when its port closes, or, for a port
// still open, when the process ends (device::RestoreTtys). A tty leaves
// the list before its descriptor is closed, so the number listed is always
// the tty's own.
struct ChangedTty {
  int fd;
  termios before;
};
std::mutex& g_changedMutex = *new std::mutex;  // never destroyed: the process may end from any thread
std::vector<ChangedTty>& g_changed = *new std::vector<ChangedTty>;

void NoteChanged(int fd, const termios& before) {
  std::lock_guard<std::mutex> lock(g_changedMutex);
  g_changed.push_back(ChangedTty{fd, before});
}

// Gives the tty its settings back, if they were changed, and forgets it.
void GiveBack(int fd) {
  std::lock_guard<std::mutex> lock(g_changedMutex);
  for (auto it = g_changed.begin(); it != g_changed.end(); ++it) {
    if (it->fd != fd) continue;
    ::tcsetattr(fd, TCSANOW, &it->before);
    g_changed.erase(it);
    return;
  }
}

}  // namespace

DCB DefaultDcb() {
  DCB dcb = {};
  dcb.DCBlength = sizeof(DCB);
  dcb.fBinary = 1;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.BaudRate = CBR_9600;
  dcb.ByteSize = 8;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

bool ReadsReturnAtOnce(const COMMTIMEOUTS& t) {
  return t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
         t.ReadTotalTimeoutConstant == 0;
}

namespace {

// A tty held with an exclusive lock for as long as the port is open.
class TtySource : public ByteSource {
 public:
  explicit TtySource(int fd) : fd_(fd) {}

  // The adapter's line, raw: no line editing, echo, signals, translation or
  // flow control of any kind, so every byte the transceiver hears reaches
  // the reader as it came.
  DWORD Configure(const DCB& dcb) override {
    termios tio;
    if (::tcgetattr(fd_, &tio) != 0) return ERROR_GEN_FAILURE;
    termios before = tio;
    ::cfmakeraw(&tio);  // 8 data bits, no parity, one byte at a time
    tio.c_iflag &= ~(IXOFF | IXANY | INPCK);
    tio.c_cflag &= ~(CSTOPB | CRTSCTS | PARODD);
    tio.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    if (!changed_) NoteChanged(fd_, before);  // first, so that a failure halfway is undone too
    changed_ = true;
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) return ERROR_GEN_FAILURE;
    SetModemLine(fd_, TIOCM_DTR, dcb.fDtrControl == kControlEnable);
    SetModemLine(fd_, TIOCM_RTS, dcb.fRtsControl == kControlEnable);
    return ERROR_SUCCESS;
  }

  int PollFd() const override { return fd_; }

  DWORD Pull() override {
    std::lock_guard<std::mutex> lock(mutex_);
    DWORD pulled = 0;
    FillLocked(&pulled);  // a hang-up shows in poll()
    return pulled;
  }

  bool CanHoldMore() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return end_ - begin_ < kHoldLimit;
  }

  // Reads are served from the buffer. Only when it cannot serve the whole
  // read does the tty give what it has, in one read, into the buffer: the
  // program reads a packet as one byte and then three, and a system call
  // for each would cost more than everything else the packet does.
  Chunk Take(BYTE* to, DWORD room, DWORD* got, DWORD* arrived) override {
    std::lock_guard<std::mutex> lock(mutex_);
    DWORD served = ServeLocked(to, room);
    if (served == room) {
      *got += served;
      return Chunk::kSome;
    }
    DWORD fresh = 0;
    Chunk chunk = FillLocked(&fresh);
    *arrived += fresh;
    served += ServeLocked(to + served, room - served);
    *got += served;
    if (served > 0) return Chunk::kSome;  // a hang-up shows next time
    return chunk == Chunk::kBroken ? chunk : Chunk::kNone;
  }

  void Release() override {
    if (changed_) GiveBack(fd_);
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
    begin_ = end_ = 0;
  }

 private:
  // What a driver's receive buffer holds; beyond it bytes stay in the tty
  // until a read makes room.
  static constexpr size_t kHoldLimit = 4096;

  // Copies up to `room` held bytes out, oldest first.
  DWORD ServeLocked(BYTE* to, DWORD room) {
    size_t count = std::min<size_t>(end_ - begin_, room);
    memcpy(to, held_ + begin_, count);
    begin_ += count;
    if (begin_ == end_) begin_ = end_ = 0;
    return static_cast<DWORD>(count);
  }

  // Moves what the tty has into the buffer's free room with one read,
  // adding the count to *pulled; kNone when the buffer is full.
  Chunk FillLocked(DWORD* pulled) {
    if (begin_ > 0) {  // the unread tail goes to the front: the room is one piece
      memmove(held_, held_ + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (end_ == kHoldLimit) return Chunk::kNone;
    DWORD got = 0;
    Chunk chunk = ReadTty(fd_, held_ + end_, static_cast<DWORD>(kHoldLimit - end_), &got);
    end_ += got;
    *pulled += got;
    return chunk;
  }

  int fd_;
  bool changed_ = false;  // Configure has noted the tty's own settings
  std::mutex mutex_;
  BYTE held_[kHoldLimit];  // pulled from the tty, not yet read: held_[begin_, end_)
  size_t begin_ = 0;
  size_t end_ = 0;
};

}  // namespace

std::unique_ptr<ByteSource> NewTtySource(int fd) { return std::make_unique<TtySource>(fd); }

}  // namespace host

namespace device {

void RestoreTtys() {
  std::lock_guard<std::mutex> lock(host::g_changedMutex);
  for (const host::ChangedTty& tty : host::g_changed) ::tcsetattr(tty.fd, TCSANOW, &tty.before);
}

}  // namespace device

using host::SerialPort;

namespace {

BOOL Refuse(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The port behind a handle, or null with the error set; `argument` is the
// pointer the caller must not leave out.
std::shared_ptr<SerialPort> PortWithArgument(HANDLE handle, const void* argument) {
  auto port = host::FindPort(handle);
  if (port && argument == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return port;
}

// A setter's trace line, marked with its failure if any, and its result.
BOOL Traced(const std::string& line, DWORD error) {
  if (error != ERROR_SUCCESS) {
    host::Trace(line + host::Failed(error));
    return Refuse(error);
  }
  host::Trace(line);
  return TRUE;
}

}  // namespace

BOOL WINAPI GetCommState(HANDLE handle, LPDCB dcb) {
  auto port = PortWithArgument(handle, dcb);
  if (!port) return FALSE;
  SerialPort::Call call(port.get());
  if (!call.ok()) return Refuse(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> lock(port->mutex);
  *dcb = port->dcb;
  dcb->DCBlength = sizeof(DCB);
  return TRUE;
}

BOOL WINAPI SetCommState(HANDLE handle, LPDCB dcb) {
  auto port = PortWithArgument(handle, dcb);
  if (!port) return FALSE;
  SerialPort::Call call(port.get());
  if (!call.ok()) return Refuse(ERROR_INVALID_HANDLE);
  std::string line = "SetCommState baud=" + std::to_string(dcb->BaudRate) +
                     " bits=" + std::to_string(dcb->ByteSize) + " parity=" + std::to_string(dcb->Parity) +
                     " stop=" + std::to_string(dcb->StopBits) + " flags=" + host::Hex(host::FlagWord(*dcb));
  DWORD error = ERROR_SUCCESS;
  if (host::FaultOn(device::Fault::SetCommState)) {
    error = ERROR_GEN_FAILURE;
  } else if (!host::IsAdapterLine(*dcb) || dcb->XonChar == dcb->XoffChar) {
    error = ERROR_INVALID_PARAMETER;
  } else {
    std::lock_guard<std::mutex> lock(port->mutex);
    error = port->source()->Configure(*dcb);
    if (error == ERROR_SUCCESS) port->dcb = *dcb;
  }
  return Traced(line, error);
}

BOOL WINAPI GetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
  auto port = PortWithArgument(handle, timeouts);
  if (!port) return FALSE;
  std::lock_guard<std::mutex> lock(port->mutex);
  if (port->closed) return Refuse(ERROR_INVALID_HANDLE);
  *timeouts = port->timeouts;
  return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
  auto port = PortWithArgument(handle, timeouts);
  if (!port) return FALSE;
  const COMMTIMEOUTS& t = *timeouts;
  std::string line = "SetCommTimeouts interval=" + host::Hex(t.ReadIntervalTimeout) +
                     " multiplier=" + std::to_string(t.ReadTotalTimeoutMultiplier) +
                     " constant=" + std::to_string(t.ReadTotalTimeoutConstant) +
                     " writeMultiplier=" + std::to_string(t.WriteTotalTimeoutMultiplier) +
                     " writeConstant=" + std::to_string(t.WriteTotalTimeoutConstant);
  DWORD error = ERROR_SUCCESS;
  if (host::FaultOn(device::Fault::SetCommTimeouts)) {
    error = ERROR_GEN_FAILURE;
  } else if (!host::ReadsReturnAtOnce(t)) {
    // The port serves no read that waits. Nothing is ever written, so the
    // write time-outs are kept as given.
    error = ERROR_INVALID_PARAMETER;
  } else {
    std::lock_guard<std::mutex> lock(port->mutex);
    if (port->closed) {
      error = ERROR_INVALID_HANDLE;
    } else {
      port->timeouts = t;
    }
  }
  return Traced(line, error);
}

BOOL WINAPI EscapeCommFunction(HANDLE handle, DWORD function) {
  auto port = host::FindPort(handle);
  if (!port) return FALSE;
  SerialPort::Call call(port.get());
  if (!call.ok()) return Refuse(ERROR_INVALID_HANDLE);
  // SETIR and CLRIR switch the transceiver between raw infrared and a
  // cable; a tty has no transceiver, so there is nothing to switch. The
  // modem-line, break, flow and reset escapes are refused, named by number.
  const char* name = function == SETIR ? "SETIR" : function == CLRIR ? "CLRIR" : nullptr;
  std::string line = "EscapeCommFunction port=" + device::Quote(port->name()) +
                     " function=" + (name ? std::string(name) : std::to_string(function));
  return Traced(line, name ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER);
}

BOOL WINAPI SetCommMask(HANDLE handle, DWORD mask) {
  host::LateReturn late(device::PortCall::SetMask);
  auto port = host::FindPort(handle, "SetCommMask");
  if (!port) return FALSE;
  late.Reached();
  {
    std::lock_guard<std::mutex> lock(port->mutex);
    if (port->closed) return Refuse(ERROR_INVALID_HANDLE);  // the source is ours while not closed
    // Bytes that came before the change arrived under the old mask.
    port->NoteArrivalsLocked(port->source()->Pull());
    port->mask = mask;
    port->maskChanges++;
    // Events raised for a mask that no longer asks for them are dropped;
    // those it still asks for stay pending, as a serial driver keeps them.
    if (!(mask & EV_RXCHAR)) port->rxPending = false;
    if (!(mask & EV_POWER)) port->powerPending = false;
    port->linePending &= mask;
    // Traced before the pending wait is woken: what its thread does next
    // comes after the change that ended the wait.
    host::Trace("SetCommMask port=" + device::Quote(port->name()) + " mask=" + host::Hex(mask));
    port->WakeAllLocked();
  }
  return TRUE;
}

BOOL WINAPI GetCommMask(HANDLE handle, LPDWORD mask) {
  auto port = PortWithArgument(handle, mask);
  if (!port) return FALSE;
  std::lock_guard<std::mutex> lock(port->mutex);
  if (port->closed) return Refuse(ERROR_INVALID_HANDLE);
  *mask = port->mask;
  return TRUE;
}
