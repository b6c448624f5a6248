// One open serial port of the simulated handheld: a tty held without sharing,
// with the line settings, time-outs and event mask the program gave it.
//
// Shared by the host's serial files only (opening and closing, line
// settings, event waits and reads).
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"

namespace host {

class SerialPort : public Object {
 public:
  SerialPort(std::u16string name, int fd, const DCB& dcb);
  ~SerialPort() override;

  // Marks the port closed, wakes every caller blocked in it, waits until no
  // call is left inside, then releases the lock on the tty and closes it.
  // Closing the descriptor first would neither wake a thread blocked in
  // poll() on it nor release the tty's lock until that poll returned.
  void Close() override;

  const std::u16string& name() const { return name_; }
  // Valid while a Call on this port is alive.
  int fd() const { return fd_; }

  // Raises the pending power event if the event mask holds EV_POWER.
  void Resume();

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
  // readable when the mask changes, a power event is raised or the port
  // closes. Registered under the port's mutex so that no wake-up between the
  // caller's last look at the state and its poll() can be lost.
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

  // Guarded by mutex.
  std::mutex mutex;
  DCB dcb;
  COMMTIMEOUTS timeouts = {};
  DWORD mask = 0;
  unsigned long maskChanges = 0;  // how many times SetCommMask was called
  bool powerPending = false;
  bool closed = false;

  // Wakes every registered Waker; mutex must be held.
  void WakeAllLocked();

 private:
  std::u16string name_;
  int fd_;
  int inside_ = 0;
  std::condition_variable idle_;
  std::vector<int> wakers_;
};

// The port behind a handle, or null (with ERROR_INVALID_HANDLE set) when the
// handle is not an open port.
std::shared_ptr<SerialPort> FindPort(HANDLE handle);

// The line settings a freshly opened tty has, in the DCB's terms.
DCB DcbFromTty(int fd);

// Counters of the program's calls, for device::PortReads/PortWaits.
void CountPortRead();
void CountPortWait();

}  // namespace host
