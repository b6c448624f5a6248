// The program's port link running inside the benchmark process, as it runs
// in nuvik: a stand-in main window on its own thread opens and closes the
// port (the program only ever does that from its main thread), the reader
// thread serves the port, and a pseudo-terminal plays the adapter.
//
// Also the small pieces the link benchmarks share: the clock, the packets
// and the way results are printed for bench/run.sh.
#pragma once

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "platform.h"
#include "port/ir_port_link.h"
#include "shell/globals.h"

namespace bench {

// One packet's time on the wire: 4 bytes of 10 bits at 9600 bit/s.
constexpr double kPacketWireUs = 4.0 * 10.0 / 9600.0 * 1e6;
// The most packets the wire can carry in a second.
constexpr double kLineRatePerSecond = 9600.0 / (4.0 * 10.0);

inline int64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The A key pressed and released: both end in a SendInput record.
inline const std::vector<uint8_t>& PressAndRelease() {
  static const std::vector<uint8_t> bytes = {0x41, 0x1E, 0x00, 0x5F, 0x41, 0x1E, 0x80, 0xDF};
  return bytes;
}

// `packets` packets (an even number) of alternating presses and releases.
inline std::vector<uint8_t> KeyStream(size_t packets) {
  std::vector<uint8_t> bytes;
  bytes.reserve(packets * 4);
  for (size_t i = 0; i < packets / 2; ++i) {
    bytes.insert(bytes.end(), PressAndRelease().begin(), PressAndRelease().end());
  }
  return bytes;
}

inline bool IsKeyEvent(const std::string& line) { return line.compare(0, 10, "SendInput ") == 0; }

// One measured figure, for bench/run.sh to gather into its table.
inline void Result(const char* key, double value) { std::printf("RESULT %s %.6g\n", key, value); }

inline bool WriteAll(int fd, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    ssize_t n = ::write(fd, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

class Link {
 public:
  // Maps COM3: to a fresh pseudo-terminal and opens it with the program's
  // own OpenIrPort; true once the reader is waiting on the port.
  bool Start() {
    device::Reset();
    if (!device::OpenPty(&pty_)) return Fail("no pseudo-terminal");
    device::MapPort(u"COM3:", pty_.slavePath);
    main_ = std::thread([this] {
      WNDCLASSW windowClass = {};
      windowClass.lpfnWndProc = MainProc;
      windowClass.lpszClassName = TEXT("BenchMain");
      RegisterClassW(&windowClass);
      g_mainWindow = CreateWindowExW(0, TEXT("BenchMain"), TEXT("bench"), 0, 0, 0, 0, 0, nullptr, nullptr,
                                     nullptr, nullptr);
      ready_ = true;
      device::NotifyChanged();
      if (g_mainWindow == nullptr) return;  // nothing could ever end its loop
      MSG message;
      while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    });
    running_ = true;
    if (!device::WaitFor([this] { return ready_.load(); }) || g_mainWindow == nullptr) {
      return Fail("no main window");
    }
    if (SendMessageW(g_mainWindow, kOpen, 0, 0) != 1) return Fail("OpenIrPort failed");
    if (!device::WaitFor([] { return device::PortWaits() >= 1; })) return Fail("the reader never waited");
    return true;
  }

  // Closes the port, ends the main window's thread and waits for the reader.
  void Stop() {
    if (!running_) return;
    if (g_mainWindow != nullptr) {
      SendMessageW(g_mainWindow, kClose, 0, 0);
      SendMessageW(g_mainWindow, kQuit, 0, 0);
    }
    main_.join();
    g_mainWindow = nullptr;
    running_ = false;
    device::WaitFor([] { return device::LiveThreads() == 0; });
    device::SetTraceSink(nullptr);
    device::ClosePty(&pty_);
  }

  ~Link() { Stop(); }

  int master() const { return pty_.master; }

 private:
  static constexpr UINT kOpen = WM_USER + 1;
  static constexpr UINT kClose = WM_USER + 2;
  static constexpr UINT kQuit = WM_USER + 3;

  static LRESULT CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
      case kOpen:
        return OpenIrPort(TEXT("COM3:"), window) ? 1 : 0;
      case kClose:
        CloseIrPort();
        return 0;
      case kQuit:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }

  bool Fail(const char* why) {
    std::fprintf(stderr, "bench: cannot start the port link: %s\n", why);
    return false;
  }

  device::Pty pty_;
  std::thread main_;
  std::atomic<bool> ready_{false};  // the main window's thread has its window (or none)
  bool running_ = false;
};

}  // namespace bench
