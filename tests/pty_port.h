// A port of the simulated handheld backed by a pseudo-terminal: the test
// plays the adapter on the master side, the program reads the slave side
// through the same CreateFileW/ReadFile path it uses on the handheld.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "device.h"
#include "platform.h"

class PtyPort {
 public:
  // Maps `name` to a fresh pseudo-terminal; `open` also opens the port with
  // the link's read timeouts (reads return at once).
  bool Create(const std::u16string& name, bool open = true) {
    if (!device::OpenPty(&pty_)) return false;
    device::MapPort(name, pty_.slavePath);
    probe_ = ::open(pty_.slavePath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (probe_ < 0) return false;
    if (!open) return true;
    port_ = CreateFileW(reinterpret_cast<LPCWSTR>(name.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                        OPEN_EXISTING, 0, nullptr);
    if (port_ == INVALID_HANDLE_VALUE) return false;
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 10, 1000};
    return SetCommTimeouts(port_, &timeouts) != 0;
  }

  ~PtyPort() {
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
    if (probe_ >= 0) ::close(probe_);
    device::ClosePty(&pty_);
  }

  HANDLE port() const { return port_; }
  int master() const { return pty_.master; }
  const std::string& slavePath() const { return pty_.slavePath; }

  // Writes the bytes as the adapter would (for a port a reader is serving).
  bool Write(const std::vector<BYTE>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(pty_.master, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // Writes the bytes and waits until the slave side has them buffered, so
  // the next drain sees all of them. Only for a port nobody else reads.
  bool Send(const std::vector<BYTE>& bytes) {
    int before = Buffered();
    if (!Write(bytes)) return false;
    for (int i = 0; i < 500 && Buffered() < before + static_cast<int>(bytes.size()); ++i) {
      pollfd ready = {probe_, POLLIN, 0};
      ::poll(&ready, 1, 10);
    }
    return Buffered() >= before + static_cast<int>(bytes.size());
  }

  // Bytes waiting on the slave side, not yet read by the program.
  int Buffered() const {
    int count = 0;
    if (::ioctl(probe_, FIONREAD, &count) != 0) return -1;
    return count;
  }

 private:
  device::Pty pty_;
  int probe_ = -1;
  HANDLE port_ = INVALID_HANDLE_VALUE;
};
