// Runs the built programs as processes and reads their output line by line,
// so end-to-end tests can wait for a trace line instead of sleeping.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

inline std::string BinPath(const std::string& name) { return std::string(NUVIK_BIN_DIR) + "/" + name; }

// The handheld the end-to-end tests run: `nuvik`, or `nuvik-arm` running the
// program's ARM executable when NUVIK_TEST_ARM_EXE names it (the suite's
// ARM rows, registered with the prefix Arm.).
inline std::vector<std::string> Handheld() {
  const char* exe = std::getenv("NUVIK_TEST_ARM_EXE");
  if (exe != nullptr && *exe != 0) return {BinPath("nuvik-arm"), exe};
  return {BinPath("nuvik")};
}

// How a process is started beyond its arguments and environment.
struct Launch {
  // Standard descriptors (0, 1, 2) it starts without, as `prog >&-` does.
  std::vector<int> closed;
  // SIGINT, SIGTERM and SIGHUP start blocked: one sent before the program's
  // first instruction, when no program can act on it, waits for it.
  bool closingSignalsHeld = false;
};

class Process {
 public:
  // Starts `argv` with `env` added to this process's environment.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
             const Launch& launch = {}) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int ends[3] = {in[0], out[1], err[1]};
    for (int fd = 0; fd < 3; ++fd) {
      std::count(launch.closed.begin(), launch.closed.end(), fd) > 0
          ? posix_spawn_file_actions_addclose(&actions, fd)
          : posix_spawn_file_actions_adddup2(&actions, ends[fd], fd);
    }
    // Nothing else the test runner left open reaches the process: a row
    // that limits its descriptors counts on having exactly these three.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // A write to a process that has ended fails instead of ending the test;
    // the process itself starts with SIGPIPE's default action.
    signal(SIGPIPE, SIG_IGN);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t brokenPipe;
    sigemptyset(&brokenPipe);
    sigaddset(&brokenPipe, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &brokenPipe);
    short flags = POSIX_SPAWN_SETSIGDEF;
    if (launch.closingSignalsHeld) {
      sigset_t held;
      sigemptyset(&held);
      for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, number);
      posix_spawnattr_setsigmask(&attributes, &held);
      flags |= POSIX_SPAWN_SETSIGMASK;
    }
    posix_spawnattr_setflags(&attributes, flags);
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) environment.push_back(*e);
    for (const auto& e : env) environment.push_back(e);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    int failed = posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    stdin_ = in[1];
    if (failed) {
      close(out[0]);
      close(err[0]);
      return false;
    }
    outReader_ = std::thread([this, fd = out[0]] { Pump(fd, &out_); });
    errReader_ = std::thread([this, fd = err[0]] { Pump(fd, &err_); });
    return true;
  }

  ~Process() {
    if (pid_ > 0 && !waited_) {
      kill(pid_, SIGKILL);
      Wait();
    }
    CloseInput();
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
  }

  void Send(const std::string& line) {
    std::string text = line + "\n";
    if (stdin_ >= 0) (void)!write(stdin_, text.data(), text.size());
  }
  void CloseInput() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
  }
  void Signal(int number) { kill(pid_, number); }
  pid_t Pid() const { return pid_; }

  // Stops reading standard output and fills its pipe to the brim, as a
  // reader that has stopped reading (a paused pager) leaves it: the
  // process's next write there blocks. False if that cannot be arranged.
  bool JamOutput() {
    // A description of the pipe's own, so the process's stays blocking.
    int fd = open(("/proc/" + std::to_string(pid_) + "/fd/1").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      outHeld_ = true;
      // A newline wakes the reader if it waits in read(); it stops after it.
      if (write(fd, "\n", 1) != 1 ||
          !changed_.wait_for(lock, std::chrono::seconds(10), [&] { return outStopped_ || outClosed_; }) ||
          outClosed_) {
        close(fd);
        return false;
      }
    }
    // Big writes first, then single bytes until not one more fits.
    std::string block(4096, '\n');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    while (write(fd, "\n", 1) == 1) {
    }
    bool full = errno == EAGAIN;
    close(fd);
    return full;
  }

  // The signal that ended the process (after Wait), 0 if it exited.
  int TermSignal() const { return signal_; }

  // The exit code, or -1 on a signal / timeout. The end of the process is
  // seen as the end of its output, then on its pidfd (its output may be
  // held, or never have been given), then reaped.
  int Wait(int timeoutMs = 20000) {
    if (waited_) return code_;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return outClosed_ || outHeld_; })) {
        kill(pid_, SIGKILL);
      }
    }
    if (!EndsWithin(timeoutMs)) kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    waited_ = true;
    code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      outHeld_ = false;  // the reader drains what is left and ends
      changed_.notify_all();
    }
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
    return code_;
  }

  // Waits for an output line that satisfies `match`, searching from line
  // `from`; returns its index or -1.
  int WaitLine(const std::function<bool(const std::string&)>& match, size_t from = 0, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    int found = -1;
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      for (size_t i = from; i < out_.size(); ++i) {
        if (match(out_[i])) {
          found = static_cast<int>(i);
          return true;
        }
      }
      return outClosed_;
    });
    return found;
  }
  int WaitLineStarting(const std::string& prefix, size_t from = 0, int timeoutMs = 10000) {
    return WaitLine([&](const std::string& line) { return line.rfind(prefix, 0) == 0; }, from, timeoutMs);
  }
  // Waits until `count` lines satisfy `match`.
  bool WaitCount(const std::function<bool(const std::string&)>& match, size_t count, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return CountLocked(match) >= count || outClosed_; }) &&
           CountLocked(match) >= count;
  }

  std::vector<std::string> Out() {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
  }
  std::string Err() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const auto& line : err_) all += line + "\n";
    return all;
  }
  size_t Count(const std::function<bool(const std::string&)>& match) {
    std::lock_guard<std::mutex> lock(mutex_);
    return CountLocked(match);
  }

 private:
  size_t CountLocked(const std::function<bool(const std::string&)>& match) const {
    size_t n = 0;
    for (const auto& line : out_) n += match(line) ? 1 : 0;
    return n;
  }

  // Whether the process ends within the time (it is not reaped).
  bool EndsWithin(int timeoutMs) {
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (fd < 0) return false;
    pollfd ended = {fd, POLLIN, 0};
    int ready;
    while ((ready = poll(&ended, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    close(fd);
    return ready == 1;
  }

  void Pump(int fd, std::vector<std::string>* lines) {
    std::string partial;
    char buffer[4096];
    for (;;) {
      if (lines == &out_) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (outHeld_) {
          outStopped_ = true;
          changed_.notify_all();
          changed_.wait(lock, [&] { return !outHeld_; });
        }
      }
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      std::lock_guard<std::mutex> lock(mutex_);
      for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] == '\n') {
          lines->push_back(partial);
          partial.clear();
        } else {
          partial.push_back(buffer[i]);
        }
      }
      changed_.notify_all();
    }
    close(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!partial.empty()) lines->push_back(partial);
    if (lines == &out_) outClosed_ = true;
    changed_.notify_all();
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  bool waited_ = false;
  int code_ = -1;
  std::thread outReader_, errReader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> out_, err_;
  bool outClosed_ = false;
  bool outHeld_ = false;     // JamOutput: standard output is not read
  bool outStopped_ = false;  // ...and its reader has stopped
  int signal_ = 0;
};
