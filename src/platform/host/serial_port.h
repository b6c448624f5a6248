// One open serial port of the simulated handheld: a device held without
// sharing, with the line settings, time-outs and event mask the program gave
// it. The bytes come from a ByteSource: a tty, or a queue in memory that
// tests and benchmarks fill directly.
//
// Shared by the host's serial files only (opening and closing, line
// settings, event waits and reads, memory ports).
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"

namespace host {

// What one non-blocking look at the received bytes gave.
enum class Chunk { kSome, kNone, kBroken };

// Where a port's received bytes come from, and what its line settings act
// on. The port calls it only while no Close can run; Release comes last,
// once.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Carries the adapter's line settings (already checked) over to the
  // device: ERROR_SUCCESS, or why they cannot be had. Called under the
  // port's mutex, so settings never interleave. A queue has no line.
  virtual DWORD Configure(const DCB& dcb) {
    (void)dcb;
    return ERROR_SUCCESS;
  }
  // The descriptor poll() watches for arriving bytes and hang-ups; -1 when
  // arrivals are announced through the port's wakers instead.
  virtual int PollFd() const = 0;
  // Moves what the device has received into the source's own buffer
  // without blocking, as a driver's interrupt handler moves bytes out of
  // the UART, and returns how many arrived: a tty tells of arrivals only by
  // being readable, and once they are moved a later readable tty means new
  // ones. A memory queue's arrivals come through Append instead (0 here).
  // Called under the port's mutex.
  virtual DWORD Pull() { return 0; }
  // Whether Pull would take more; while not, poll() must not watch for
  // arrivals, which would only wake it again and again.
  virtual bool CanHoldMore() { return true; }
  // Takes up to `room` waiting bytes without blocking, adding their count
  // to *got, and the bytes it moved from the device meanwhile (new
  // arrivals, whether taken now or left buffered) to *arrived.
  virtual Chunk Take(BYTE* to, DWORD room, DWORD* got, DWORD* arrived) = 0;
  // Queues bytes as if just received; false for a source that receives
  // from a device of its own.
  virtual bool Append(const void* bytes, size_t count) {
    (void)bytes;
    (void)count;
    return false;
  }
  // Lets go of the device: no call is inside and none will come.
  virtual void Release() = 0;
};

// A tty already opened, locked and flushed (serial_config.cpp).
std::unique_ptr<ByteSource> NewTtySource(int fd);
// An empty queue in memory (memory_port.cpp).
std::unique_ptr<ByteSource> NewMemorySource();

// The line settings a port reports when just opened, the driver's own
// defaults whatever the tty was left at: 9600 bit/s, 8 data bits, no
// parity, one stop bit, binary, DTR and RTS disabled.
DCB DefaultDcb();
// Whether reads under these time-outs take what is buffered and return at
// once, the only reads a port serves.
bool ReadsReturnAtOnce(const COMMTIMEOUTS& timeouts);

class SerialPort : public Object {
 public:
  SerialPort(std::u16string name, std::unique_ptr<ByteSource> source);
  ~SerialPort() override;

  // Marks the port closed, wakes every caller blocked in it, waits until no
  // call is left inside, then releases the source. Closing a tty's
  // descriptor first would neither wake a thread blocked in poll() on it nor
  // release the tty's lock until that poll returned.
  void Close() override;

  const std::u16string& name() const { return name_; }
  // Valid while a Call on this port is alive.
  ByteSource* source() const { return source_.get(); }

  // Raises the pending power event if the event mask holds EV_POWER.
  void Resume();
  // Raises those of the modem-line events the event mask holds.
  void RaiseLineEvents(DWORD events);
  // Queues received bytes on a memory port, raising EV_RXCHAR if the mask
  // asks for it; false on a closed port or one that receives from a tty.
  bool Feed(const void* bytes, size_t count);

  // Keeps the port from closing under a call: Close waits for every Call to
  // end. A Call on a closed port fails (ok() is false).
  class Call {
   public:
    explicit Call(SerialPort* port);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    bool ok() const { return ok_; }

   private:
    SerialPort* port_;
    bool ok_;
  };

  // A wake-up descriptor for one caller about to block in poll(): becomes
  // readable when the mask changes, an event is raised (bytes fed to a
  // memory port included) or the port closes. Registered under the port's mutex so
  // that no wake-up between the caller's last look at the state and its
  // poll() can be lost. Each thread keeps one descriptor for all its waits
  // (a wait per key would otherwise cost two system calls more); a wake
  // that comes after the caller's last look only makes its next poll()
  // return once at once.
  class Waker {
   public:
    explicit Waker(SerialPort* port);  // port->mutex must be held
    ~Waker();                          // port->mutex must NOT be held
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    int fd() const { return fd_; }
    void Drain();

   private:
    SerialPort* port_;
    int fd_;
  };

  // Which open this is: 1 for the first port opened, counting up.
  const unsigned long openNumber;

  // Guarded by mutex.
  std::mutex mutex;
  DCB dcb = DefaultDcb();
  // All zero until set: the read time-outs of a read that waits for every
  // byte it asks for, which ReadFile refuses.
  COMMTIMEOUTS timeouts = {};
  DWORD mask = 0;
  unsigned long maskChanges = 0;  // how many times SetCommMask was called
  // Events raised and not yet delivered: a wait takes them. Characters raise
  // EV_RXCHAR when they arrive while the mask holds it; bytes that were
  // already buffered raise nothing more.
  bool rxPending = false;
  bool powerPending = false;
  DWORD linePending = 0;  // modem-line events
  bool closed = false;

  // Wakes every registered Waker but `except` (the caller's own, which is
  // looking already); mutex must be held.
  void WakeAllLocked(int except = -1);
  // `count` bytes have arrived: EV_RXCHAR is latched if the mask asks for
  // it, and waiters (but `except`) look again. Mutex held.
  void NoteArrivalsLocked(DWORD count, int except = -1);
  // The pending events the mask asks for, which the caller delivers; they
  // are no longer pending. Mutex held.
  DWORD TakeEventsLocked();

 private:
  std::u16string name_;
  std::unique_ptr<ByteSource> source_;
  int inside_ = 0;
  std::condition_variable idle_;
  std::vector<int> wakers_;
};

// The modem-line events a port can be told of.
constexpr DWORD kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

// The port behind a handle, or null (with ERROR_INVALID_HANDLE set) when the
// handle is not an open port. `operation` names the call for the device's
// port call hook (null: not one the hook is told of).
std::shared_ptr<SerialPort> FindPort(HANDLE handle, const char* operation = nullptr);

// Reads what a tty has buffered, up to `room` bytes, without blocking.
Chunk ReadTty(int fd, BYTE* to, DWORD room, DWORD* got);

// Counters of the program's calls, for device::PortReads/PortWaits.
void CountPortRead();
void CountPortWait();

// Holds a port call's caller back once the call is done, as
// device::DelayAfterPortCall asks. Declared before everything else the call
// holds, so that it sleeps only once the port and its locks are let go.
class LateReturn {
 public:
  explicit LateReturn(device::PortCall::Kind kind) : kind_(kind) {}
  ~LateReturn();
  LateReturn(const LateReturn&) = delete;
  LateReturn& operator=(const LateReturn&) = delete;
  // The call has reached an open port: it takes one of the delays asked
  // for, if any are left.
  void Reached();

 private:
  device::PortCall::Kind kind_;
  bool delayed_ = false;
  DWORD milliseconds_ = 0;
};

}  // namespace host
