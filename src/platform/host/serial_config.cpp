// Line settings, time-outs, escape functions and the event mask of a serial
// port, and the tty source that carries them over to a real terminal.
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

constexpr DWORD kParityOdd = 1;
constexpr DWORD kParityEven = 2;
constexpr DWORD kParityMark = 3;
constexpr DWORD kParitySpace = 4;
constexpr DWORD kStopBitsOne5 = 1;
constexpr DWORD kStopBitsTwo = 2;
constexpr DWORD kControlEnable = 1;
constexpr DWORD kControlHandshake = 2;

constexpr DWORD kSetXoff = 1;
constexpr DWORD kSetXon = 2;
constexpr DWORD kSetRts = 3;
constexpr DWORD kClrRts = 4;
constexpr DWORD kSetDtr = 5;
constexpr DWORD kClrDtr = 6;
constexpr DWORD kResetDev = 7;
constexpr DWORD kSetBreak = 8;
constexpr DWORD kClrBreak = 9;

struct BaudRate {
  DWORD rate;
  speed_t speed;
};

const BaudRate kBaudRates[] = {
    {110, B110},   {300, B300},     {600, B600},     {1200, B1200},   {2400, B2400},     {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

bool SpeedOf(DWORD rate, speed_t* speed) {
  for (const BaudRate& b : kBaudRates) {
    if (b.rate == rate) {
      *speed = b.speed;
      return true;
    }
  }
  return false;
}

DWORD RateOf(speed_t speed) {
  for (const BaudRate& b : kBaudRates) {
    if (b.speed == speed) return b.rate;
  }
  return 0;
}

DWORD FlagWord(const DCB& dcb) {
  DWORD flags;
  memcpy(&flags, reinterpret_cast<const BYTE*>(&dcb) + offsetof(DCB, BaudRate) + sizeof(DWORD), sizeof flags);
  return flags;
}

// Modem lines: a pseudo-terminal has none, so failures change nothing.
void SetModemLine(int fd, int line, bool on) { ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line); }

// The termios settings for a DCB, over the tty's current ones; false when
// the DCB asks for something the tty cannot do.
bool TermiosFor(const DCB& dcb, termios* tio) {
  speed_t speed;
  if (!SpeedOf(dcb.BaudRate, &speed)) return false;
  tcflag_t size;
  switch (dcb.ByteSize) {
    case 5:
      size = CS5;
      break;
    case 6:
      size = CS6;
      break;
    case 7:
      size = CS7;
      break;
    case 8:
      size = CS8;
      break;
    default:
      return false;
  }
  if (dcb.Parity > kParitySpace || dcb.StopBits > kStopBitsTwo) return false;
  if (dcb.StopBits == kStopBitsOne5 && dcb.ByteSize != 5)
    return false;  // 1.5 stop bits exist only for 5 bits
#ifndef CMSPAR
  if (dcb.Parity == kParityMark || dcb.Parity == kParitySpace) return false;
#endif

  // Raw bytes both ways: no line editing, echo, signals or translation.
  tio->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
  tio->c_oflag &= ~OPOST;
  tio->c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio->c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
  tio->c_cflag &= ~CMSPAR;
#endif
  tio->c_cflag |= size | CLOCAL | CREAD;
  tio->c_cc[VMIN] = 1;
  tio->c_cc[VTIME] = 0;

  if (dcb.Parity != NOPARITY) tio->c_cflag |= PARENB;
  if (dcb.Parity == kParityOdd || dcb.Parity == kParityMark) tio->c_cflag |= PARODD;
#ifdef CMSPAR
  if (dcb.Parity == kParityMark || dcb.Parity == kParitySpace) tio->c_cflag |= CMSPAR;
#endif
  if (dcb.fParity) tio->c_iflag |= INPCK;
  if (dcb.StopBits != ONESTOPBIT) tio->c_cflag |= CSTOPB;
  if (dcb.fOutxCtsFlow || dcb.fRtsControl == kControlHandshake) tio->c_cflag |= CRTSCTS;
  if (dcb.fOutX) tio->c_iflag |= IXON;
  if (dcb.fInX) tio->c_iflag |= IXOFF;
  if (dcb.fOutX || dcb.fInX) {
    tio->c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio->c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  }
  cfsetispeed(tio, speed);
  cfsetospeed(tio, speed);
  return true;
}

const char* EscapeName(DWORD function) {
  switch (function) {
    case kSetXoff:
      return "SETXOFF";
    case kSetXon:
      return "SETXON";
    case kSetRts:
      return "SETRTS";
    case kClrRts:
      return "CLRRTS";
    case kSetDtr:
      return "SETDTR";
    case kClrDtr:
      return "CLRDTR";
    case kResetDev:
      return "RESETDEV";
    case kSetBreak:
      return "SETBREAK";
    case kClrBreak:
      return "CLRBREAK";
    case SETIR:
      return "SETIR";
    case CLRIR:
      return "CLRIR";
    default:
      return nullptr;
  }
}

std::string Failed(DWORD error) { return " result=FALSE error=" + std::to_string(error); }

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

bool LineSettingsPossible(const DCB& dcb) {
  termios scratch = {};
  return TermiosFor(dcb, &scratch);
}

DCB DcbFromTty(int fd) {
  DCB dcb = DefaultDcb();
  termios tio;
  if (::tcgetattr(fd, &tio) == 0) {
    dcb.BaudRate = RateOf(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
      case CS5:
        dcb.ByteSize = 5;
        break;
      case CS6:
        dcb.ByteSize = 6;
        break;
      case CS7:
        dcb.ByteSize = 7;
        break;
      default:
        dcb.ByteSize = 8;
        break;
    }
    if (tio.c_cflag & PARENB) {
      bool odd = (tio.c_cflag & PARODD) != 0;
      dcb.Parity = odd ? kParityOdd : kParityEven;
#ifdef CMSPAR
      if (tio.c_cflag & CMSPAR) dcb.Parity = odd ? kParityMark : kParitySpace;
#endif
    }
    if (tio.c_cflag & CSTOPB) dcb.StopBits = dcb.ByteSize == 5 ? kStopBitsOne5 : kStopBitsTwo;
    dcb.fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    dcb.fOutxCtsFlow = (tio.c_cflag & CRTSCTS) ? 1 : 0;
    dcb.fRtsControl = (tio.c_cflag & CRTSCTS) ? kControlHandshake : 0;
    dcb.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    dcb.EofChar = static_cast<char>(tio.c_cc[VEOF]);
  }
  int lines = 0;
  if (::ioctl(fd, TIOCMGET, &lines) == 0) {
    dcb.fDtrControl = (lines & TIOCM_DTR) ? kControlEnable : 0;
    if (!dcb.fOutxCtsFlow) dcb.fRtsControl = (lines & TIOCM_RTS) ? kControlEnable : 0;
  }
  return dcb;
}

namespace {

void EscapeTty(int fd, DWORD function) {
  switch (function) {
    case kSetXoff:
      ::tcflow(fd, TCOOFF);
      break;
    case kSetXon:
      ::tcflow(fd, TCOON);
      break;
    case kSetRts:
      SetModemLine(fd, TIOCM_RTS, true);
      break;
    case kClrRts:
      SetModemLine(fd, TIOCM_RTS, false);
      break;
    case kSetDtr:
      SetModemLine(fd, TIOCM_DTR, true);
      break;
    case kClrDtr:
      SetModemLine(fd, TIOCM_DTR, false);
      break;
    case kSetBreak:
      ::ioctl(fd, TIOCSBRK);
      break;
    case kClrBreak:
      ::ioctl(fd, TIOCCBRK);
      break;
    default:
      break;  // the tty has no infrared transceiver to switch, nor a device to reset
  }
}

// A tty held with an exclusive lock for as long as the port is open.
class TtySource : public ByteSource {
 public:
  explicit TtySource(int fd) : fd_(fd) {}

  DCB InitialDcb() override { return DcbFromTty(fd_); }

  DWORD Configure(const DCB& dcb) override {
    termios tio;
    if (::tcgetattr(fd_, &tio) != 0) return ERROR_GEN_FAILURE;
    if (!TermiosFor(dcb, &tio)) return ERROR_INVALID_PARAMETER;
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) return ERROR_GEN_FAILURE;
    SetModemLine(fd_, TIOCM_DTR, dcb.fDtrControl != DTR_CONTROL_DISABLE);
    if (dcb.fRtsControl != kControlHandshake) {
      SetModemLine(fd_, TIOCM_RTS, dcb.fRtsControl != RTS_CONTROL_DISABLE);
    }
    return ERROR_SUCCESS;
  }

  void Escape(DWORD function) override { EscapeTty(fd_, function); }
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
  std::mutex mutex_;
  BYTE held_[kHoldLimit];  // pulled from the tty, not yet read: held_[begin_, end_)
  size_t begin_ = 0;
  size_t end_ = 0;
};

}  // namespace

std::unique_ptr<ByteSource> NewTtySource(int fd) { return std::make_unique<TtySource>(fd); }

}  // namespace host

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
  } else if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
             t.ReadTotalTimeoutConstant == MAXDWORD) {
    error =
        ERROR_INVALID_PARAMETER;  // "wait for ever for the first byte, then return at once" has no meaning
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
  const char* name = host::EscapeName(function);
  std::string line = "EscapeCommFunction port=" + device::Quote(port->name()) +
                     " function=" + (name ? std::string(name) : std::to_string(function));
  if (!name) return Traced(line, ERROR_INVALID_PARAMETER);
  port->source()->Escape(function);
  return Traced(line, ERROR_SUCCESS);
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
