// The whole program inside the test process: WinMain runs on its own thread
// as the program's main thread, COM3 stands on a pseudo-terminal the test
// owns, and the test plays the user, other programs and the adapter.
#pragma once

#include <dirent.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "platform.h"
#include "resource.h"

// The registry of a handheld whose infrared miniport sits on COM3.
inline void FillIrRegistry() {
  device::RegistrySetMultiString(u"Comm\\IrDA\\Linkage", u"Bind", {u"IrSIR1"});
  device::RegistrySetDword(u"Comm\\IrSIR1\\Parms", u"Port", 3);
}

inline HWND ProgramWindow() { return FindWindowW(TEXT("IR PDA Keyboard Nuvik"), nullptr); }

// A WM_COMMAND from another program, answered once the program has acted.
inline LRESULT SendCommand(UINT id) { return SendMessageW(ProgramWindow(), WM_COMMAND, id, 0); }

inline bool TrayShowsEnabled() { return device::Tray().iconId == IDI_ENABLED; }

class InProcessProgram {
 public:
  ~InProcessProgram() { Exit(); }

  // Runs WinMain and waits until start-up has either built the tray menu
  // (its last step) or ended the program. False when neither happened.
  bool Start() {
    ended_ = false;
    exitCode_ = -1;
    thread_ = std::thread([this] {
      exitCode_ = WinMain(reinterpret_cast<HINSTANCE>(0x400000), nullptr, const_cast<LPWSTR>(u""), SW_SHOW);
      ended_ = true;
      device::NotifyChanged();
    });
    return device::WaitFor([this] { return ended_.load() || device::MenuItems().size() == 3; }, 10000);
  }

  bool Running() const { return thread_.joinable() && !ended_.load(); }

  // Waits for WinMain to return by itself and gives its exit code.
  int Join() {
    if (thread_.joinable()) thread_.join();
    return exitCode_;
  }

  // Ends a running program as the tray menu's Exit does; its exit code.
  int Exit() {
    if (!thread_.joinable()) return exitCode_;
    if (!ended_.load()) {
      HWND main = ProgramWindow();
      if (main != nullptr) SendMessageW(main, WM_COMMAND, IDM_EXIT, 0);
    }
    return Join();
  }

 private:
  std::thread thread_;
  std::atomic<bool> ended_{false};
  std::atomic<int> exitCode_{-1};
};

// Writes all of `bytes` to a pseudo-terminal master, riding out a full
// buffer on a non-blocking descriptor. False when the master is gone.
inline bool WriteAll(int fd, const void* bytes, size_t count) {
  const unsigned char* next = static_cast<const unsigned char*>(bytes);
  while (count > 0) {
    ssize_t n = ::write(fd, next, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd room = {fd, POLLOUT, 0};
      ::poll(&room, 1, 100);
      continue;
    }
    if (n <= 0) return false;
    next += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

// Entries of a /proc directory such as /proc/self/fd, "." and ".." aside.
inline std::vector<std::string> ProcEntries(const char* path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path);
  if (dir == nullptr) return names;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

// The open descriptors other than the one that listed them, each with what
// it refers to, for a readable leak report.
inline std::vector<std::string> OpenDescriptors() {
  std::vector<std::string> described;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return described;
  int own = ::dirfd(dir);
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || name == std::to_string(own)) continue;
    char target[256] = {};
    ssize_t n = ::readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target - 1);
    described.push_back(name + " -> " + (n > 0 ? std::string(target, static_cast<size_t>(n)) : "?"));
  }
  ::closedir(dir);
  return described;
}
