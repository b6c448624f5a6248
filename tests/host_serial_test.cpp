// The host's serial ports over pseudo-terminals: opening without sharing
// (also against other processes), line settings carried to termios, read
// time-outs, event waits ended by data, mask changes, resumes, closes and
// hang-ups, and the injected faults. Then the same behaviour table for both
// kinds of port, a tty and a queue in memory, with modem-line events.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "device.h"
#include "platform.h"

namespace {

const COMMTIMEOUTS kImmediate = {MAXDWORD, 0, 0, 10, 1000};

bool HasTrace(const std::string& line) {
  auto trace = device::Trace();
  return std::find(trace.begin(), trace.end(), line) != trace.end();
}

// One WaitCommEvent on its own thread. The thread keeps its results alive
// by itself, so a wait that never returns (a failed test) cannot write into
// a destroyed test.
class PendingWait {
 public:
  explicit PendingWait(HANDLE port) : state_(std::make_shared<State>()) {
    long before = device::PortWaits();
    auto state = state_;
    thread_ = std::thread([state, port] {
      DWORD event = 0xDEADBEEF;
      BOOL result = WaitCommEvent(port, &event, nullptr);
      DWORD error = GetLastError();
      {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->result = result;
        state->event = event;
        state->error = error;
        state->done = true;
      }
      device::NotifyChanged();
    });
    // Counted once the wait has taken the port's state as its starting point.
    inside_ = device::WaitFor([before] { return device::PortWaits() > before; });
  }
  ~PendingWait() {
    if (thread_.joinable()) thread_.detach();  // only after a wait that never returned
  }

  bool inside() const { return inside_; }
  // Whether the wait is still pending after `ms` (a bound that only tells a
  // wait that returned from one that did not).
  bool StillPendingAfter(int ms) {
    return !device::WaitFor(
        [this] {
          std::lock_guard<std::mutex> lock(state_->mutex);
          return state_->done;
        },
        ms);
  }
  bool Finish() {
    bool done = device::WaitFor([this] {
      std::lock_guard<std::mutex> lock(state_->mutex);
      return state_->done;
    });
    if (done) thread_.join();
    return done;
  }
  BOOL result() const { return state_->result; }
  DWORD event() const { return state_->event; }
  DWORD error() const { return state_->error; }

 private:
  struct State {
    std::mutex mutex;
    bool done = false;
    BOOL result = -1;
    DWORD event = 0;
    DWORD error = 0;
  };
  std::shared_ptr<State> state_;
  std::thread thread_;
  bool inside_ = false;
};

// A reader like the program's: wait for characters, read until the port is
// empty, wait again, until a wait fails because the port was closed.
class DrainingReader {
 public:
  explicit DrainingReader(HANDLE port)
      : thread_([this, port] {
          DWORD event = 0;
          while (WaitCommEvent(port, &event, nullptr)) {
            if (!(event & EV_RXCHAR)) continue;
            BYTE bytes[3];
            DWORD got = 0;
            while (ReadFile(port, bytes, 3, &got, nullptr) && got > 0) {
              received_.append(reinterpret_cast<char*>(bytes), got);
              count_ += got;
            }
            device::NotifyChanged();
          }
        }) {}
  ~DrainingReader() {
    if (thread_.joinable()) thread_.join();
  }
  size_t count() const { return count_.load(); }
  // Everything received, once the reader has ended.
  std::string Join() {
    thread_.join();
    return received_;
  }

 private:
  std::atomic<size_t> count_{0};
  std::string received_;
  std::thread thread_;
};

class HostSerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device::Reset();
    ASSERT_TRUE(device::OpenPty(&pty_));
    device::MapPort(u"COM3:", pty_.slavePath);
    probe_ = ::open(pty_.slavePath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(probe_, 0);
  }
  void TearDown() override {
    for (HANDLE port : open_) CloseHandle(port);
    EXPECT_EQ(device::OpenPorts(), 0);
    if (probe_ >= 0) ::close(probe_);
    device::ClosePty(&pty_);
    device::Reset();
  }

  HANDLE Open(const char16_t* name = u"COM3:") {
    HANDLE port = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port != INVALID_HANDLE_VALUE) open_.push_back(port);
    return port;
  }
  // A port as the link opens it: reads return at once, events as given.
  HANDLE OpenForReading(DWORD mask = EV_RXCHAR | EV_POWER) {
    HANDLE port = Open();
    COMMTIMEOUTS timeouts = kImmediate;
    EXPECT_TRUE(SetCommTimeouts(port, &timeouts));
    EXPECT_TRUE(SetCommMask(port, mask));
    return port;
  }
  BOOL Close(HANDLE port) {
    open_.erase(std::remove(open_.begin(), open_.end(), port), open_.end());
    return CloseHandle(port);
  }

  // Plays the adapter for a port whose wait is pending: the wait takes the
  // bytes off the tty as they come, so they are never seen buffered there.
  bool Write(const std::string& bytes) {
    return ::write(pty_.master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // Plays the adapter and waits until the slave side has the bytes.
  bool Send(const std::string& bytes) {
    if (::write(pty_.master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return false;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (Buffered() < static_cast<int>(bytes.size())) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::yield();  // the kernel moves pty bytes on its own worker; nothing to wait on
    }
    return true;
  }
  int Buffered() const {
    int count = -1;
    ::ioctl(probe_, FIONREAD, &count);
    return count;
  }
  termios SlaveTermios() const {
    termios tio = {};
    EXPECT_EQ(::tcgetattr(probe_, &tio), 0);
    return tio;
  }

  device::Pty pty_;
  int probe_ = -1;
  std::vector<HANDLE> open_;
};

// ---- Opening ---------------------------------------------------------------

struct OpenCase {
  const char* label;
  const char16_t* name;
  std::string mapTo;  // extra mapping of COM4:, empty for none
  DWORD error;        // ERROR_SUCCESS when the open succeeds
  std::string why;    // what the refusal sink hears, empty: nothing
};

TEST_F(HostSerialTest, OpenFindsTheTtyBehindTheName) {
  device::SetPortResolver(
      [this](const std::u16string& name) { return name == u"COM1:" ? pty_.slavePath : std::string(); });
  std::vector<std::string> refusals;
  device::SetPortRefusalSink([&](const std::u16string& name, const std::string& path, const std::string& why) {
    refusals.push_back(device::ToUtf8(name) + " " + path + ": " + why);
  });
  // Things that are no terminal. Opening the FIFO would block until a writer
  // came, were it opened at all.
  std::string dir = ::testing::TempDir() + "nuvik-serial-" + std::to_string(::getpid());
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  const std::string fifo = dir + "/fifo", file = dir + "/file";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_TRUE(static_cast<bool>(std::ofstream(file) << "text"));
  const OpenCase cases[] = {
      {"mapped", u"COM3:", "", ERROR_SUCCESS, ""},
      {"case ignored", u"com3:", "", ERROR_SUCCESS, ""},
      {"from resolver", u"COM1:", "", ERROR_SUCCESS, ""},
      {"resolver declines", u"COM2:", "", ERROR_FILE_NOT_FOUND, ""},
      {"missing tty", u"COM4:", "/dev/no-such-tty", ERROR_FILE_NOT_FOUND, std::strerror(ENOENT)},
      {"not a tty", u"COM4:", "/dev/null", ERROR_NOT_SUPPORTED, "not a terminal"},
      {"regular file", u"COM4:", file, ERROR_NOT_SUPPORTED, "not a terminal"},
      {"FIFO", u"COM4:", fifo, ERROR_NOT_SUPPORTED, "not a terminal"},
      {"directory", u"COM4:", dir, ERROR_NOT_SUPPORTED, "not a terminal"},
      {"empty name", u"", "", ERROR_INVALID_PARAMETER, ""},
  };
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.label);
    if (!c.mapTo.empty()) device::MapPort(u"COM4:", c.mapTo);
    refusals.clear();
    SetLastError(0);
    HANDLE port = Open(c.name);
    std::string traced = "CreateFileW name=" + device::Quote(c.name);
    if (c.error == ERROR_SUCCESS) {
      ASSERT_NE(port, INVALID_HANDLE_VALUE);
      EXPECT_EQ(device::OpenPorts(), 1);
      EXPECT_TRUE(HasTrace(traced + " result=ok"));
      EXPECT_TRUE(Close(port));
      EXPECT_TRUE(HasTrace("CloseHandle port=" + device::Quote(c.name)));
    } else {
      EXPECT_EQ(port, INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), c.error);
      EXPECT_TRUE(HasTrace(traced + " result=INVALID_HANDLE_VALUE error=" + std::to_string(c.error)));
    }
    EXPECT_EQ(refusals, c.why.empty() ? std::vector<std::string>()
                                      : std::vector<std::string>{"COM4: " + c.mapTo + ": " + c.why});
    EXPECT_EQ(device::OpenPorts(), 0);
  }
  ::unlink(fifo.c_str());
  ::unlink(file.c_str());
  ::rmdir(dir.c_str());
}

TEST_F(HostSerialTest, PortIsNotShared) {
  HANDLE first = Open();
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(u"com3:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(HasTrace("CreateFileW name=\"com3:\" result=INVALID_HANDLE_VALUE error=32"));
  EXPECT_TRUE(Close(first));
  HANDLE second = Open();
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(second, first);  // the closed handle's value comes back, as on the handheld
}

TEST_F(HostSerialTest, PortHeldByAnotherProcessCannotBeOpened) {
  int toChild[2], toParent[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(toParent), 0);
  const char* path = pty_.slavePath.c_str();
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {  // only async-signal-safe calls from here on
    ::close(toChild[1]);
    ::close(toParent[0]);
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    char held = (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) ? 'H' : 'F';
    if (::write(toParent[1], &held, 1) != 1) ::_exit(2);
    char done;
    ssize_t got = ::read(toChild[0], &done, 1);  // until the parent is finished
    ::_exit(got < 0 ? 3 : 0);
  }
  ::close(toChild[0]);
  ::close(toParent[1]);
  char held = 0;
  ASSERT_EQ(::read(toParent[0], &held, 1), 1);
  ASSERT_EQ(held, 'H');

  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

  ::close(toChild[1]);  // the child lets go of the tty by ending
  ::close(toParent[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(Open(), INVALID_HANDLE_VALUE);
}

TEST_F(HostSerialTest, OpenPortKeepsOtherProcessesOut) {
  ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
  const char* path = pty_.slavePath.c_str();
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) ::_exit(2);
    ::_exit(::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : (errno == EWOULDBLOCK ? 0 : 3));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the other process got the lock";
}

// ---- Line settings ---------------------------------------------------------

TEST_F(HostSerialTest, InitialStateComesFromTheTty) {
  // A pseudo-terminal always keeps 8 data bits and no parity; the rest of
  // what is set here must show in the first GetCommState.
  termios tio = SlaveTermios();
  cfsetspeed(&tio, B2400);
  tio.c_cflag |= CSTOPB | CRTSCTS;
  tio.c_iflag |= IXON;
  tio.c_iflag &= ~IXOFF;
  ASSERT_EQ(::tcsetattr(probe_, TCSANOW, &tio), 0);
  HANDLE port = Open();
  DCB dcb = {};
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_EQ(dcb.DCBlength, 28u);
  EXPECT_EQ(dcb.BaudRate, 2400u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, 2);
  EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
  EXPECT_EQ(dcb.fOutX, 1u);
  EXPECT_EQ(dcb.fInX, 0u);
  EXPECT_EQ(dcb.fBinary, 1u);
}

struct LineCase {
  const char* label;
  DWORD baud;
  BYTE bits, parity, stop;
  bool xonXoff, ctsFlow;
  speed_t speed;
  tcflag_t parityFlags, stopFlag;  // as a pseudo-terminal keeps them: it forces CS8 and drops PARENB
};

TEST_F(HostSerialTest, CommStateIsCarriedToTermios) {
  // Start from a cooked tty with everything the link must switch off.
  termios cooked = SlaveTermios();
  cooked.c_lflag |= ICANON | ECHO | ISIG;
  cooked.c_oflag |= OPOST;
  cooked.c_iflag |= IXON | ICRNL;
  cooked.c_cflag |= PARENB | CRTSCTS;
  ASSERT_EQ(::tcsetattr(probe_, TCSANOW, &cooked), 0);
  HANDLE port = Open();

  const LineCase cases[] = {
      {"adapter 9600 8N1", 9600, 8, 0, 0, false, false, B9600, 0, 0},
      {"7E2", 115200, 7, 2, 2, false, false, B115200, 0, CSTOPB},
      {"odd with xon/xoff", 1200, 8, 1, 0, true, false, B1200, PARODD, 0},
      {"cts flow", 19200, 6, 0, 0, false, true, B19200, 0, 0},
      {"mark", 57600, 8, 3, 0, false, false, B57600, PARODD | CMSPAR, 0},
      {"space, 1.5 stop", 2400, 5, 4, 1, false, false, B2400, CMSPAR, CSTOPB},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.label);
    DCB dcb = {};
    dcb.DCBlength = 28;
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = c.baud;
    dcb.ByteSize = c.bits;
    dcb.Parity = c.parity;
    dcb.StopBits = c.stop;
    dcb.fOutX = dcb.fInX = c.xonXoff;
    dcb.fOutxCtsFlow = c.ctsFlow;
    dcb.fBinary = 1;
    dcb.fParity = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = dcb.fTXContinueOnXoff = 0;
    dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fDummy2 = 0x1A5A5;  // bits the link keeps untouched must come back as they were
    ASSERT_TRUE(SetCommState(port, &dcb));

    termios tio = SlaveTermios();
    EXPECT_EQ(cfgetospeed(&tio), c.speed);
    EXPECT_EQ(cfgetispeed(&tio), c.speed);
    EXPECT_EQ(tio.c_cflag & (PARODD | CMSPAR), c.parityFlags);
    EXPECT_EQ(tio.c_cflag & CSTOPB, c.stopFlag);
    EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, c.ctsFlow);
    EXPECT_EQ((tio.c_iflag & IXON) != 0, c.xonXoff);
    EXPECT_EQ((tio.c_iflag & IXOFF) != 0, c.xonXoff);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | ISTRIP), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_cc[VMIN], 1);

    DCB back = {};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0);
  }
  // fBinary and the kept high bits (0x1A5A5 << 15).
  EXPECT_TRUE(HasTrace("SetCommState baud=9600 bits=8 parity=0 stop=0 flags=0xD2D28001"));
}

TEST_F(HostSerialTest, UnsupportedCommStateIsRefusedAndChangesNothing) {
  HANDLE port = Open();
  DCB good = {};
  ASSERT_TRUE(GetCommState(port, &good));
  good.BaudRate = 9600;
  good.ByteSize = 8;
  good.Parity = 0;
  good.StopBits = 0;
  ASSERT_TRUE(SetCommState(port, &good));
  ASSERT_TRUE(GetCommState(port, &good));

  struct Case {
    const char* label;
    DWORD baud;
    BYTE bits, parity, stop;
  } cases[] = {
      {"no termios rate", 14400, 8, 0, 0}, {"zero rate", 0, 8, 0, 0},           {"odd rate", 12345, 8, 0, 0},
      {"4 bits", 9600, 4, 0, 0},           {"9 bits", 9600, 9, 0, 0},           {"parity 5", 9600, 8, 5, 0},
      {"stop bits 3", 9600, 8, 0, 3},      {"1.5 stop, 8 bits", 9600, 8, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    DCB bad = good;
    bad.BaudRate = c.baud;
    bad.ByteSize = c.bits;
    bad.Parity = c.parity;
    bad.StopBits = c.stop;
    SetLastError(0);
    EXPECT_FALSE(SetCommState(port, &bad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    DCB now = {};
    ASSERT_TRUE(GetCommState(port, &now));
    EXPECT_EQ(std::memcmp(&now, &good, sizeof now), 0);
    termios tio = SlaveTermios();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
  }
}

// ---- Reads -----------------------------------------------------------------

TEST_F(HostSerialTest, WaitThenReadsReturnWhatIsBuffered) {
  HANDLE port = OpenForReading();
  long reads = device::PortReads();
  long waits = device::PortWaits();
  ASSERT_TRUE(Send(std::string("\x41\x1E\x00\x5F", 4)));
  DWORD event = 0;
  ASSERT_TRUE(WaitCommEvent(port, &event, nullptr));
  EXPECT_EQ(event, static_cast<DWORD>(EV_RXCHAR));

  BYTE bytes[3] = {};
  DWORD got = 99;
  ASSERT_TRUE(ReadFile(port, bytes, 1, &got, nullptr));
  ASSERT_EQ(got, 1u);
  EXPECT_EQ(bytes[0], 0x41);
  ASSERT_TRUE(ReadFile(port, bytes, 3, &got, nullptr));
  ASSERT_EQ(got, 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 3), std::string("\x1E\x00\x5F", 3));
  // Nothing left: the read returns at once with nothing.
  got = 99;
  ASSERT_TRUE(ReadFile(port, bytes, 3, &got, nullptr));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(device::PortReads(), reads + 3);
  EXPECT_EQ(device::PortWaits(), waits + 1);
}

struct TimeoutCase {
  const char* label;
  COMMTIMEOUTS timeouts;
  std::string buffered;
  DWORD request;
  DWORD expected;
  int minMs, maxMs;
};

class HostSerialReadTimeoutTest : public HostSerialTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(HostSerialReadTimeoutTest, ReadEndsAsTheTimeoutsSay) {
  const TimeoutCase& c = GetParam();
  HANDLE port = Open();
  COMMTIMEOUTS timeouts = c.timeouts;
  ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
  if (!c.buffered.empty()) {
    ASSERT_TRUE(Send(c.buffered));
  }
  BYTE bytes[8] = {};
  DWORD got = 99;
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(ReadFile(port, bytes, c.request, &got, nullptr));
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(got, c.expected);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), got), c.buffered.substr(0, got));
  EXPECT_GE(ms, c.minMs);
  EXPECT_LE(ms, c.maxMs);
}

INSTANTIATE_TEST_SUITE_P(
    HostSerial, HostSerialReadTimeoutTest,
    ::testing::Values(
        TimeoutCase{"ImmediateEmpty", {MAXDWORD, 0, 0, 0, 0}, "", 3, 0, 0, 500},
        TimeoutCase{"ImmediatePartial", {MAXDWORD, 0, 0, 0, 0}, "AB", 3, 2, 0, 500},
        TimeoutCase{"ImmediateFull", {MAXDWORD, 0, 0, 0, 0}, "ABCD", 3, 3, 0, 500},
        TimeoutCase{"FirstByteWaitTimesOut", {MAXDWORD, MAXDWORD, 100, 0, 0}, "", 3, 0, 95, 2000},
        TimeoutCase{"FirstByteWaitHasBytes", {MAXDWORD, MAXDWORD, 5000, 0, 0}, "AB", 3, 2, 0, 1000},
        TimeoutCase{"TotalConstant", {0, 0, 120, 0, 0}, "A", 3, 1, 115, 2000},
        TimeoutCase{"TotalPerByte", {0, 40, 0, 0, 0}, "", 3, 0, 115, 2000},
        TimeoutCase{"IntervalAfterLastByte", {30, 0, 0, 0, 0}, "AB", 4, 2, 25, 2000},
        TimeoutCase{"NoTimeoutsEnoughBytes", {0, 0, 0, 0, 0}, "ABCD", 3, 3, 0, 1000}),
    [](const ::testing::TestParamInfo<TimeoutCase>& info) { return info.param.label; });

TEST_F(HostSerialTest, SetCommTimeoutsStoresWhatIsMeaningful) {
  HANDLE port = Open();
  COMMTIMEOUTS set = {MAXDWORD, 0, 0, 10, 1000};
  ASSERT_TRUE(SetCommTimeouts(port, &set));
  EXPECT_TRUE(
      HasTrace("SetCommTimeouts interval=0xFFFFFFFF multiplier=0 constant=0 writeMultiplier=10 "
               "writeConstant=1000"));
  COMMTIMEOUTS meaningless = {MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
  EXPECT_FALSE(SetCommTimeouts(port, &meaningless));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  COMMTIMEOUTS got = {};
  ASSERT_TRUE(GetCommTimeouts(port, &got));
  EXPECT_EQ(std::memcmp(&got, &set, sizeof got), 0);
}

// ---- Event waits -----------------------------------------------------------

TEST_F(HostSerialTest, MaskChangeEndsPendingWaitWithNoEvent) {
  HANDLE port = OpenForReading(0x2139);
  for (DWORD mask : {0x2119u, 0x2139u, 0u}) {
    SCOPED_TRACE(mask);
    PendingWait wait(port);
    ASSERT_TRUE(wait.inside());
    ASSERT_TRUE(SetCommMask(port, mask));
    ASSERT_TRUE(wait.Finish());
    EXPECT_TRUE(wait.result());
    EXPECT_EQ(wait.event(), 0u);
    DWORD now = 0;
    ASSERT_TRUE(GetCommMask(port, &now));
    EXPECT_EQ(now, mask);
  }
  EXPECT_TRUE(HasTrace("SetCommMask port=\"COM3:\" mask=0x2119"));
  // A wait that begins with no event asked for could never end: refused.
  DWORD event = 0xFFFF;
  EXPECT_FALSE(WaitCommEvent(port, &event, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(event, 0u);
}

TEST_F(HostSerialTest, ArrivingBytesEndPendingWaitOnlyWhenAskedFor) {
  HANDLE port = OpenForReading(EV_RXCHAR | EV_POWER);
  PendingWait wait(port);
  ASSERT_TRUE(wait.inside());
  ASSERT_TRUE(Write("A"));
  ASSERT_TRUE(wait.Finish());
  EXPECT_TRUE(wait.result());
  EXPECT_EQ(wait.event(), static_cast<DWORD>(EV_RXCHAR));

  // Without EV_RXCHAR the byte still waiting wakes nothing; the resume does.
  ASSERT_TRUE(SetCommMask(port, EV_POWER | EV_CTS));
  PendingWait powerOnly(port);
  ASSERT_TRUE(powerOnly.inside());
  device::Resume();
  ASSERT_TRUE(powerOnly.Finish());
  EXPECT_TRUE(powerOnly.result());
  EXPECT_EQ(powerOnly.event(), static_cast<DWORD>(EV_POWER));
}

TEST_F(HostSerialTest, ResumeRaisesPowerOnlyWhenTheMaskHoldsIt) {
  struct Case {
    const char* label;
    DWORD mask;
    bool waitPending;  // the wait is already blocked when the resume comes
    DWORD expected;
  } cases[] = {
      {"pending, power asked", EV_RXCHAR | EV_POWER, true, EV_POWER},
      {"link's first mask", 0x2139, true, EV_POWER},
      {"kept for the next wait", EV_RXCHAR | EV_POWER, false, EV_POWER},
      {"pending, not asked", EV_RXCHAR, true, EV_RXCHAR},
      {"not asked, not kept", EV_RXCHAR, false, EV_RXCHAR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    HANDLE port = OpenForReading(c.mask);
    if (c.waitPending) {
      PendingWait wait(port);
      ASSERT_TRUE(wait.inside());
      device::Resume();
      if (c.expected == EV_RXCHAR) {
        ASSERT_TRUE(Write("x"));
      }
      ASSERT_TRUE(wait.Finish());
      EXPECT_TRUE(wait.result());
      EXPECT_EQ(wait.event(), c.expected);
    } else {
      device::Resume();
      if (c.expected == EV_RXCHAR) {
        ASSERT_TRUE(Send("x"));
      }
      DWORD event = 0;
      EXPECT_TRUE(WaitCommEvent(port, &event, nullptr));
      EXPECT_EQ(event, c.expected);
    }
    // A power event is delivered once: the next wait sees only bytes.
    ASSERT_TRUE(Send("y"));
    DWORD event = 0;
    EXPECT_TRUE(WaitCommEvent(port, &event, nullptr));
    EXPECT_EQ(event, static_cast<DWORD>(EV_RXCHAR));
    EXPECT_TRUE(HasTrace("resume"));
    EXPECT_TRUE(Close(port));
    ::tcflush(probe_, TCIFLUSH);
  }
}

TEST_F(HostSerialTest, CloseEndsPendingWaitAndReleasesThePort) {
  HANDLE port = OpenForReading(0x2139);
  PendingWait wait(port);
  ASSERT_TRUE(wait.inside());
  EXPECT_TRUE(Close(port));
  ASSERT_TRUE(wait.Finish());
  EXPECT_FALSE(wait.result());
  EXPECT_TRUE(wait.error() == ERROR_OPERATION_ABORTED || wait.error() == ERROR_INVALID_HANDLE)
      << wait.error();
  EXPECT_EQ(device::OpenPorts(), 0);
  EXPECT_TRUE(HasTrace("CloseHandle port=\"COM3:\""));
  // The lock went with the close: the port opens again at once.
  EXPECT_NE(Open(), INVALID_HANDLE_VALUE);
}

TEST_F(HostSerialTest, CloseEndsBlockingRead) {
  HANDLE port = Open();
  COMMTIMEOUTS forever = {0, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port, &forever));
  long before = device::PortReads();
  std::atomic<int> result{-1};
  std::atomic<DWORD> got{99};
  std::thread reader([&] {
    BYTE bytes[4];
    DWORD n = 99;
    result = ReadFile(port, bytes, 4, &n, nullptr);
    got = n;
    device::NotifyChanged();
  });
  ASSERT_TRUE(device::WaitFor([&] { return device::PortReads() > before; }));
  EXPECT_TRUE(Close(port));
  EXPECT_TRUE(device::WaitFor([&] { return result != -1; }));
  reader.join();
  EXPECT_EQ(result, FALSE);
  EXPECT_EQ(got, 0u);
  EXPECT_NE(Open(), INVALID_HANDLE_VALUE);
}

TEST_F(HostSerialTest, HangUpFailsTheWaitPromptly) {
  for (DWORD mask : {static_cast<DWORD>(EV_RXCHAR | EV_POWER), static_cast<DWORD>(EV_POWER)}) {
    SCOPED_TRACE(mask);
    if (pty_.master < 0) {
      ASSERT_TRUE(device::OpenPty(&pty_));
      device::MapPort(u"COM3:", pty_.slavePath);
    }
    HANDLE port = OpenForReading(mask);
    PendingWait wait(port);
    ASSERT_TRUE(wait.inside());
    device::ClosePty(&pty_);  // the adapter's side goes away
    ASSERT_TRUE(wait.Finish());
    EXPECT_FALSE(wait.result());
    EXPECT_EQ(wait.error(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    // Every later wait and read fails at once rather than blocking.
    DWORD event = 5;
    EXPECT_FALSE(WaitCommEvent(port, &event, nullptr));
    EXPECT_EQ(event, 0u);
    BYTE byte;
    DWORD got = 99;
    EXPECT_FALSE(ReadFile(port, &byte, 1, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(Close(port));
  }
}

// ---- Faults, bad handles, bad arguments ------------------------------------

TEST_F(HostSerialTest, InjectedFaultsFailTheirCall) {
  HANDLE port = OpenForReading();
  DCB dcb = {};
  ASSERT_TRUE(GetCommState(port, &dcb));
  COMMTIMEOUTS timeouts = kImmediate;
  ASSERT_TRUE(Send("z"));
  struct Case {
    device::Fault fault;
    DWORD error;
    std::function<BOOL()> call;
  } cases[] = {
      {device::Fault::SetCommState, ERROR_GEN_FAILURE, [&] { return SetCommState(port, &dcb); }},
      {device::Fault::SetCommTimeouts, ERROR_GEN_FAILURE, [&] { return SetCommTimeouts(port, &timeouts); }},
      {device::Fault::WaitCommEvent, ERROR_GEN_FAILURE,
       [&] {
         DWORD event = 0;
         return WaitCommEvent(port, &event, nullptr);  // bytes are waiting: succeeds unless faulted
       }},
      {device::Fault::PortBusy, ERROR_SHARING_VIOLATION,
       [&] {
         HANDLE other = Open(u"COM1:");
         return static_cast<BOOL>(other != INVALID_HANDLE_VALUE && Close(other));
       }},
  };
  device::Pty second;
  ASSERT_TRUE(device::OpenPty(&second));
  device::MapPort(u"COM1:", second.slavePath);
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.fault));
    device::SetFault(c.fault, true);
    EXPECT_FALSE(c.call());
    EXPECT_EQ(GetLastError(), c.error);
    device::SetFault(c.fault, false);
    EXPECT_TRUE(c.call());
  }
  device::ClosePty(&second);
}

TEST_F(HostSerialTest, CallsOnWhatIsNoOpenPortFail) {
  HANDLE closed = Open();
  ASSERT_TRUE(Close(closed));
  for (HANDLE bad : {INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr), closed}) {
    SCOPED_TRACE(reinterpret_cast<uintptr_t>(bad));
    DCB dcb = {};
    COMMTIMEOUTS timeouts = kImmediate;
    DWORD word = 7;
    BYTE byte;
    const std::function<BOOL()> calls[] = {
        [&] { return GetCommState(bad, &dcb); },
        [&] { return SetCommState(bad, &dcb); },
        [&] { return GetCommTimeouts(bad, &timeouts); },
        [&] { return SetCommTimeouts(bad, &timeouts); },
        [&] { return EscapeCommFunction(bad, SETIR); },
        [&] { return SetCommMask(bad, 0); },
        [&] { return GetCommMask(bad, &word); },
        [&] { return WaitCommEvent(bad, &word, nullptr); },
        [&] { return ReadFile(bad, &byte, 1, &word, nullptr); },
    };
    for (size_t i = 0; i < sizeof calls / sizeof calls[0]; ++i) {
      SCOPED_TRACE(i);
      SetLastError(0);
      word = 7;
      EXPECT_FALSE(calls[i]());
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
      if (i >= 7) {
        EXPECT_EQ(word, 0u);  // the event word and the count are cleared
      }
    }
  }
}

TEST_F(HostSerialTest, MissingArgumentsAreRefused) {
  HANDLE port = Open();
  BYTE bytes[4];
  DWORD got = 7;
  const std::function<BOOL()> calls[] = {
      [&] { return GetCommState(port, nullptr); },
      [&] { return SetCommState(port, nullptr); },
      [&] { return GetCommTimeouts(port, nullptr); },
      [&] { return SetCommTimeouts(port, nullptr); },
      [&] { return GetCommMask(port, nullptr); },
      [&] { return WaitCommEvent(port, nullptr, nullptr); },
      [&] { return ReadFile(port, nullptr, 3, &got, nullptr); },
      [&] { return ReadFile(port, bytes, 3, nullptr, nullptr); },
  };
  for (size_t i = 0; i < sizeof calls / sizeof calls[0]; ++i) {
    SCOPED_TRACE(i);
    SetLastError(0);
    EXPECT_FALSE(calls[i]());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
}

TEST_F(HostSerialTest, EscapeFunctions) {
  HANDLE port = Open();
  struct Case {
    DWORD function;
    const char* name;
    BOOL result;
  } cases[] = {
      {SETIR, "SETIR", TRUE}, {CLRIR, "CLRIR", TRUE}, {5, "SETDTR", TRUE}, {6, "CLRDTR", TRUE},
      {3, "SETRTS", TRUE},    {4, "CLRRTS", TRUE},    {99, "99", FALSE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EscapeCommFunction(port, c.function), c.result);
    std::string line = std::string("EscapeCommFunction port=\"COM3:\" function=") + c.name;
    EXPECT_TRUE(HasTrace(c.result ? line : line + " result=FALSE error=87"));
  }
}

// ---- Concurrency -----------------------------------------------------------

// A reader like the program's: wait, drain, wait again, until the port is
// closed under it. Every byte arrives once and in order.
TEST_F(HostSerialTest, ReaderSeesEveryByteInOrderUntilClosed) {
  HANDLE port = OpenForReading(0x2139);
  std::string sent;
  for (int i = 0; i < 240; ++i) sent += static_cast<char>(i);
  DrainingReader reader(port);
  for (size_t at = 0; at < sent.size(); at += 4) {
    ASSERT_EQ(::write(pty_.master, sent.data() + at, 4), 4);
    if (at % 40 == 0) SetCommMask(port, at % 80 ? 0x2119 : 0x2139);  // mask changes must lose nothing
  }
  EXPECT_TRUE(device::WaitFor([&] { return reader.count() == sent.size(); }));
  EXPECT_TRUE(Close(port));
  EXPECT_EQ(reader.Join(), sent);
}

// ---- Both kinds of port: a tty and a queue in memory -----------------------

// A tty opened by path, a queue in memory, or a tty descriptor the device
// was given (as nuvik gives its pseudo-terminal's master).
enum class PortKind { Tty, Memory, Descriptor };

const char* KindLabel(PortKind kind) {
  return kind == PortKind::Tty ? "Tty" : kind == PortKind::Memory ? "Memory" : "Descriptor";
}

std::string KindName(const ::testing::TestParamInfo<PortKind>& info) { return KindLabel(info.param); }

// A port of either kind behind COM3:, and a way to play the adapter on it.
class PortKindFixture {
 protected:
  void SetUpKind(PortKind kind) {
    kind_ = kind;
    device::Reset();
    if (kind == PortKind::Memory) {
      device::MapPortToMemory(u"COM3:");
      return;
    }
    ASSERT_TRUE(device::OpenPty(&pty_));
    device::MapPort(u"COM3:", pty_.slavePath);
    probe_ = ::open(pty_.slavePath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(probe_, 0);
    if (kind == PortKind::Descriptor) {
      given_ = ::open(pty_.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
      ASSERT_GE(given_, 0);
      device::MapPortToDescriptor(u"COM3:", given_);
    }
  }
  void TearDownKind() {
    for (HANDLE port : open_) CloseHandle(port);
    EXPECT_EQ(device::OpenPorts(), 0);
    if (given_ >= 0) ::close(given_);
    if (probe_ >= 0) ::close(probe_);
    device::ClosePty(&pty_);
    device::Reset();
  }

  HANDLE Open(const char16_t* name = u"COM3:") {
    HANDLE port = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port != INVALID_HANDLE_VALUE) open_.push_back(port);
    return port;
  }
  HANDLE OpenWith(const COMMTIMEOUTS& timeouts, DWORD mask) {
    HANDLE port = Open();
    COMMTIMEOUTS copy = timeouts;
    EXPECT_TRUE(SetCommTimeouts(port, &copy));
    EXPECT_TRUE(SetCommMask(port, mask));
    return port;
  }
  BOOL Close(HANDLE port) {
    open_.erase(std::remove(open_.begin(), open_.end(), port), open_.end());
    return CloseHandle(port);
  }

  // Delivers the bytes to the port's receive side; for a tty, waits until
  // the slave side holds them.
  bool Send(const std::string& bytes) {
    if (kind_ == PortKind::Memory) return device::FeedPort(u"COM3:", bytes.data(), bytes.size());
    if (::write(pty_.master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return false;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int count = -1;
    while (::ioctl(probe_, FIONREAD, &count) == 0 && count < static_cast<int>(bytes.size())) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::yield();  // the kernel moves pty bytes on its own worker; nothing to wait on
    }
    return true;
  }
  // Bytes sent in one go without waiting (for a port a reader is serving).
  bool Write(const char* bytes, size_t count) {
    if (kind_ == PortKind::Memory) return device::FeedPort(u"COM3:", bytes, count);
    return ::write(pty_.master, bytes, count) == static_cast<ssize_t>(count);
  }

  PortKind kind_ = PortKind::Tty;
  device::Pty pty_;
  int probe_ = -1;
  int given_ = -1;  // the descriptor a Descriptor port reads duplicates of
  std::vector<HANDLE> open_;
};

class HostSerialKindTest : public PortKindFixture, public ::testing::TestWithParam<PortKind> {
 protected:
  void SetUp() override { SetUpKind(GetParam()); }
  void TearDown() override { TearDownKind(); }
};

INSTANTIATE_TEST_SUITE_P(HostSerial, HostSerialKindTest,
                         ::testing::Values(PortKind::Tty, PortKind::Memory, PortKind::Descriptor), KindName);

TEST_P(HostSerialKindTest, OpenIsExclusiveAndTraced) {
  HANDLE first = Open();
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(device::OpenPorts(), 1);
  EXPECT_TRUE(HasTrace("CreateFileW name=\"COM3:\" result=ok"));
  EXPECT_EQ(Open(u"com3:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(HasTrace("CreateFileW name=\"com3:\" result=INVALID_HANDLE_VALUE error=32"));
  EXPECT_TRUE(EscapeCommFunction(first, SETIR));
  EXPECT_TRUE(HasTrace("EscapeCommFunction port=\"COM3:\" function=SETIR"));
  EXPECT_FALSE(EscapeCommFunction(first, 99));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(Close(first));
  EXPECT_TRUE(HasTrace("CloseHandle port=\"COM3:\""));
  EXPECT_EQ(device::OpenPorts(), 0);
  HANDLE second = Open(u"com3:");
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(second, first);  // recycled
  device::SetFault(device::Fault::PortBusy, true);
  EXPECT_TRUE(Close(second));
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

TEST_P(HostSerialKindTest, CommStateIsStoredOrRefusedWhole) {
  HANDLE port = Open();
  DCB initial = {};
  ASSERT_TRUE(GetCommState(port, &initial));
  EXPECT_EQ(initial.DCBlength, 28u);
  EXPECT_EQ(initial.ByteSize, 8);
  EXPECT_EQ(initial.fBinary, 1u);
  struct Case {
    const char* label;
    DWORD baud;
    BYTE bits, parity, stop;
    bool accepted;
  } cases[] = {
      {"adapter 9600 8N1", 9600, 8, 0, 0, true}, {"7E2", 115200, 7, 2, 2, true},
      {"5 bits 1.5 stop", 2400, 5, 4, 1, true},  {"no such rate", 14400, 8, 0, 0, false},
      {"9 bits", 9600, 9, 0, 0, false},          {"parity 5", 9600, 8, 5, 0, false},
      {"1.5 stop, 8 bits", 9600, 8, 0, 1, false},
  };
  DCB stored = initial;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    DCB dcb = stored;
    dcb.BaudRate = c.baud;
    dcb.ByteSize = c.bits;
    dcb.Parity = c.parity;
    dcb.StopBits = c.stop;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fDummy2 = 0x1A5A5;
    SetLastError(0);
    EXPECT_EQ(SetCommState(port, &dcb), c.accepted ? TRUE : FALSE);
    if (c.accepted) {
      stored = dcb;
    } else {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    DCB back = {};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(std::memcmp(&back, &stored, sizeof back), 0);
  }
  EXPECT_TRUE(HasTrace("SetCommState baud=14400 bits=8 parity=0 stop=0 flags=0xD2D28001 result=FALSE error=87"));
}

// The time-out table once more, for both kinds of port.
class HostSerialKindTimeoutTest : public PortKindFixture,
                                  public ::testing::TestWithParam<std::tuple<PortKind, TimeoutCase>> {
 protected:
  void SetUp() override { SetUpKind(std::get<0>(GetParam())); }
  void TearDown() override { TearDownKind(); }
};

TEST_P(HostSerialKindTimeoutTest, ReadEndsAsTheTimeoutsSay) {
  const TimeoutCase& c = std::get<1>(GetParam());
  HANDLE port = OpenWith(c.timeouts, 0);
  if (!c.buffered.empty()) {
    ASSERT_TRUE(Send(c.buffered));
  }
  BYTE bytes[8] = {};
  DWORD got = 99;
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(ReadFile(port, bytes, c.request, &got, nullptr));
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(got, c.expected);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), got), c.buffered.substr(0, got));
  EXPECT_GE(ms, c.minMs);
  EXPECT_LE(ms, c.maxMs);
  // What the read left stays queued for the next one.
  std::string rest = c.buffered.substr(got);
  COMMTIMEOUTS immediate = kImmediate;
  ASSERT_TRUE(SetCommTimeouts(port, &immediate));
  got = 99;
  ASSERT_TRUE(ReadFile(port, bytes, sizeof bytes, &got, nullptr));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), got), rest);
}

INSTANTIATE_TEST_SUITE_P(
    HostSerial, HostSerialKindTimeoutTest,
    ::testing::Combine(
        ::testing::Values(PortKind::Tty, PortKind::Memory, PortKind::Descriptor),
        ::testing::Values(TimeoutCase{"ImmediateEmpty", {MAXDWORD, 0, 0, 0, 0}, "", 3, 0, 0, 500},
                          TimeoutCase{"ImmediatePartial", {MAXDWORD, 0, 0, 0, 0}, "AB", 3, 2, 0, 500},
                          TimeoutCase{"ImmediateFull", {MAXDWORD, 0, 0, 0, 0}, "ABCD", 3, 3, 0, 500},
                          TimeoutCase{"FirstByteWaitTimesOut", {MAXDWORD, MAXDWORD, 100, 0, 0}, "", 3, 0, 95, 2000},
                          TimeoutCase{"TotalConstant", {0, 0, 120, 0, 0}, "A", 3, 1, 115, 2000},
                          TimeoutCase{"IntervalAfterLastByte", {30, 0, 0, 0, 0}, "AB", 4, 2, 25, 2000},
                          TimeoutCase{"NoTimeoutsEnoughBytes", {0, 0, 0, 0, 0}, "ABCD", 3, 3, 0, 1000})),
    [](const ::testing::TestParamInfo<std::tuple<PortKind, TimeoutCase>>& info) {
      return std::string(KindLabel(std::get<0>(info.param))) + std::get<1>(info.param).label;
    });

// A read with no time-out blocks until its last byte arrives, however the
// bytes are split, and a close ends it with nothing.
TEST_P(HostSerialKindTest, BlockingReadEndsWithItsLastByteOrTheClose) {
  HANDLE port = OpenWith({0, 0, 0, 0, 0}, 0);
  for (bool closeIt : {false, true}) {
    SCOPED_TRACE(closeIt);
    long before = device::PortReads();
    std::atomic<int> result{-1};
    std::string bytes(4, '\0');
    std::atomic<DWORD> got{99};
    std::thread reader([&] {
      DWORD n = 99;
      result = ReadFile(port, &bytes[0], 4, &n, nullptr);
      got = n;
      device::NotifyChanged();
    });
    ASSERT_TRUE(device::WaitFor([&] { return device::PortReads() > before; }));
    if (closeIt) {
      EXPECT_TRUE(Close(port));
    } else {
      ASSERT_TRUE(Write("AB", 2));
      ASSERT_TRUE(Write("C", 1));
      ASSERT_TRUE(Write("D", 1));
    }
    EXPECT_TRUE(device::WaitFor([&] { return result != -1; }));
    reader.join();
    EXPECT_EQ(result, closeIt ? FALSE : TRUE);
    EXPECT_EQ(got, closeIt ? 0u : 4u);
    if (!closeIt) {
      EXPECT_EQ(bytes, "ABCD");
    }
  }
  EXPECT_EQ(device::OpenPorts(), 0);
}

// What ends a pending wait, and with which event word; with DeafWait a
// mask change is not heard, and only an event or a close from another
// thread ends the wait.
TEST_P(HostSerialKindTest, PendingWaitEndsOnWhatTheMaskAsksFor) {
  PendingWait* pending = nullptr;  // the row's wait, for triggers that look at it
  struct Case {
    const char* label;
    DWORD mask;
    std::function<void(HANDLE)> trigger;
    BOOL result;
    DWORD event;
    bool deaf = false;
  } cases[] = {
      {"bytes", EV_RXCHAR | EV_POWER, [&](HANDLE) { ASSERT_TRUE(Write("A", 1)); }, TRUE, EV_RXCHAR},
      {"mask change", 0x2139, [](HANDLE port) { ASSERT_TRUE(SetCommMask(port, 0x2119)); }, TRUE, 0},
      {"resume", 0x2139, [](HANDLE) { device::Resume(); }, TRUE, EV_POWER},
      {"cts", 0x2139, [](HANDLE) { device::RaiseLineEvents(EV_CTS); }, TRUE, EV_CTS},
      {"only the asked lines", EV_CTS | EV_RING, [](HANDLE) { device::RaiseLineEvents(EV_CTS | EV_DSR | EV_RING); },
       TRUE, EV_CTS | EV_RING},
      {"close", 0x2139, [&](HANDLE port) { EXPECT_TRUE(Close(port)); }, FALSE, 0},
      {"deaf: the masks go unheard, the close ends it", 0x2139,
       [&](HANDLE port) {
         ASSERT_TRUE(SetCommMask(port, 0x2119));
         ASSERT_TRUE(SetCommMask(port, 0));
         EXPECT_TRUE(pending->StillPendingAfter(50)) << "a mask change ended a deaf wait";
         EXPECT_TRUE(Close(port));
       },
       FALSE, 0, true},
      {"deaf: an event the mask holds ends it", EV_RXCHAR | EV_POWER,
       [&](HANDLE port) {
         ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
         ASSERT_TRUE(Write("A", 1));
       },
       TRUE, EV_RXCHAR, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    device::SetFault(device::Fault::DeafWait, c.deaf);
    HANDLE port = OpenWith(kImmediate, c.mask);
    PendingWait wait(port);
    pending = &wait;
    ASSERT_TRUE(wait.inside());
    c.trigger(port);
    ASSERT_TRUE(wait.Finish());
    EXPECT_EQ(wait.result(), c.result);
    EXPECT_EQ(wait.event(), c.event);
    if (!c.result) {
      EXPECT_EQ(wait.error(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
      continue;
    }
    BYTE bytes[4];
    DWORD got = 0;
    while (ReadFile(port, bytes, sizeof bytes, &got, nullptr) && got > 0) {
    }
    EXPECT_TRUE(Close(port));
  }
}

// A late reader: a delayed call does its work, then returns only after its
// delay; bytes that come meanwhile wait for the next calls, none lost.
TEST_P(HostSerialKindTest, DelayedCallsReturnLateAndLoseNothing) {
  constexpr DWORD kDelayMs = 100;
  struct Case {
    const char* label;
    device::PortCall::Kind kind;
    std::function<std::string(HANDLE)> call;  // what it read, or "ok"/"failed"
    std::string result;
    std::string later;  // what the reads after it get
  } cases[] = {
      {"wait", device::PortCall::Wait,
       [](HANDLE port) {
         DWORD event = 0;
         return WaitCommEvent(port, &event, nullptr) && event == EV_RXCHAR ? "ok" : "failed";
       },
       "ok", "ABCD"},
      {"read", device::PortCall::Read,
       [](HANDLE port) {
         char byte = 0;
         DWORD got = 0;
         return ReadFile(port, &byte, 1, &got, nullptr) ? std::string(&byte, got) : "failed";
       },
       "A", "BCD"},
      {"mask", device::PortCall::SetMask,
       [](HANDLE port) { return SetCommMask(port, EV_RXCHAR | EV_POWER) ? "ok" : "failed"; }, "ok", "ABCD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    HANDLE port = OpenWith(kImmediate, EV_RXCHAR);
    ASSERT_TRUE(Send("A"));
    device::DelayAfterPortCall(c.kind, kDelayMs, 1);
    long calls = device::PortReads() + device::PortWaits();
    std::string result;
    std::chrono::steady_clock::duration took{};
    std::thread late([&] {
      auto start = std::chrono::steady_clock::now();
      result = c.call(port);
      took = std::chrono::steady_clock::now() - start;
    });
    if (c.kind != device::PortCall::SetMask) {
      ASSERT_TRUE(device::WaitFor([&] { return device::PortReads() + device::PortWaits() > calls; }));
    }
    ASSERT_TRUE(Write("BCD", 3));
    late.join();
    EXPECT_EQ(result, c.result);
    EXPECT_GE(took, std::chrono::milliseconds(kDelayMs)) << "the call came back before its delay";
    // Everything that came during the delay is there to read.
    COMMTIMEOUTS patient = {0, 0, 2000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &patient));
    std::string later(c.later.size(), '\0');
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(port, &later[0], static_cast<DWORD>(later.size()), &got, nullptr));
    later.resize(got);
    EXPECT_EQ(later, c.later);
    EXPECT_TRUE(Close(port));
  }
}

// EV_RXCHAR is raised by a byte's arrival while the mask holds it, kept
// until a wait takes it, and dropped by a mask without it; bytes that are
// merely buffered raise nothing. Each row ends with a resume before one
// last wait, so the wait returns at once with exactly what is pending.
TEST_P(HostSerialKindTest, CharacterEventsAreRaisedByArrivals) {
  const DWORD asked = EV_RXCHAR | EV_POWER;
  struct Case {
    const char* label;
    DWORD maskAtOpen;
    std::function<void(HANDLE)> steps;
    DWORD pending;
  } cases[] = {
      {"buffered before the mask", 0,
       [&](HANDLE port) {
         ASSERT_TRUE(Send("A"));
         ASSERT_TRUE(SetCommMask(port, asked));
       },
       EV_POWER},
      {"arrival while asked", asked, [&](HANDLE) { ASSERT_TRUE(Send("A")); }, EV_RXCHAR | EV_POWER},
      {"taken by a wait", asked,
       [&](HANDLE port) {
         ASSERT_TRUE(Send("A"));
         DWORD event = 0;
         ASSERT_TRUE(WaitCommEvent(port, &event, nullptr));
         EXPECT_EQ(event, static_cast<DWORD>(EV_RXCHAR));
       },
       EV_POWER},
      {"kept by a mask that still asks", EV_RXCHAR,
       [&](HANDLE port) {
         ASSERT_TRUE(Send("A"));
         ASSERT_TRUE(SetCommMask(port, asked));
       },
       EV_RXCHAR | EV_POWER},
      {"dropped by a mask without it", asked,
       [&](HANDLE port) {
         ASSERT_TRUE(Send("A"));
         ASSERT_TRUE(SetCommMask(port, EV_POWER));
         ASSERT_TRUE(SetCommMask(port, asked));
       },
       EV_POWER},
      {"arrival not asked for", EV_POWER,
       [&](HANDLE port) {
         ASSERT_TRUE(Send("A"));
         ASSERT_TRUE(SetCommMask(port, asked));
       },
       EV_POWER},
      {"read at once, announced all the same", asked,
       [&](HANDLE port) {
         ASSERT_TRUE(Send("AB"));
         char bytes[4];
         DWORD got = 0;
         ASSERT_TRUE(ReadFile(port, bytes, sizeof bytes, &got, nullptr));
         EXPECT_EQ(got, 2u);
       },
       EV_RXCHAR | EV_POWER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    HANDLE port = OpenWith(kImmediate, c.maskAtOpen);
    c.steps(port);
    device::Resume();
    DWORD event = 0;
    EXPECT_TRUE(WaitCommEvent(port, &event, nullptr));
    EXPECT_EQ(event, c.pending);
    EXPECT_TRUE(Close(port));
  }
}

// Modem-line events the mask does not hold are neither delivered nor kept,
// and events raised with no wait pending go to the next wait, once.
TEST_P(HostSerialKindTest, LineEventsFollowTheMask) {
  struct Case {
    const char* label;
    DWORD mask;
    DWORD raised;
    DWORD maskAfter;  // set between the raise and the wait
    DWORD expected;   // 0: the wait only ends on the byte sent afterwards
  } cases[] = {
      {"kept for the next wait", 0x2139, EV_DSR, 0x2139, EV_DSR},
      {"several at once", 0x2139, EV_CTS | EV_RLSD | EV_RING, 0x2139, EV_CTS | EV_RLSD | EV_RING},
      {"not asked for", 0x2119, EV_RLSD, 0x2119, 0},
      {"dropped by the next mask", 0x2139, EV_RLSD | EV_CTS, 0x2119, EV_CTS},
      {"all dropped", 0x2139, EV_RING, EV_RXCHAR, 0},
      {"not line events", 0x21FF, EV_RXCHAR | EV_POWER | EV_BREAK | EV_ERR, 0x21FF, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    HANDLE port = OpenWith(kImmediate, c.mask);
    device::RaiseLineEvents(c.raised);
    ASSERT_TRUE(SetCommMask(port, c.maskAfter));
    char traced[40];
    std::snprintf(traced, sizeof traced, "line events=0x%X", static_cast<unsigned>(c.raised));
    EXPECT_TRUE(HasTrace(traced));
    DWORD event = 0;
    if (c.expected) {
      ASSERT_TRUE(WaitCommEvent(port, &event, nullptr));
      EXPECT_EQ(event, c.expected);
    }
    // Nothing more is kept: the next wait ends only on the byte.
    ASSERT_TRUE(Send("x"));
    ASSERT_TRUE(WaitCommEvent(port, &event, nullptr));
    EXPECT_EQ(event, static_cast<DWORD>(EV_RXCHAR));
    BYTE byte;
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(port, &byte, 1, &got, nullptr));
    EXPECT_EQ(got, 1u);
    EXPECT_TRUE(Close(port));
  }
}

// A reader like the program's against a writer feeding while masks change
// and line events come in: every byte arrives once and in order.
TEST_P(HostSerialKindTest, ReaderSeesEveryByteInOrderUntilClosed) {
  HANDLE port = OpenWith(kImmediate, 0x2139);
  std::string sent;
  for (int i = 0; i < 1000; ++i) sent += static_cast<char>(i * 7);
  DrainingReader reader(port);
  for (size_t at = 0; at < sent.size(); at += 4) {
    ASSERT_TRUE(Write(sent.data() + at, 4));
    if (at % 40 == 0) SetCommMask(port, at % 80 ? 0x2119 : 0x2139);
    if (at % 60 == 0) device::RaiseLineEvents(EV_CTS | EV_RLSD);
  }
  EXPECT_TRUE(device::WaitFor([&] { return reader.count() == sent.size(); }));
  EXPECT_TRUE(Close(port));
  EXPECT_EQ(reader.Join(), sent);
}

// ---- Memory ports only -----------------------------------------------------

class HostMemoryPortTest : public PortKindFixture, public ::testing::Test {
 protected:
  void SetUp() override { SetUpKind(PortKind::Memory); }
  void TearDown() override { TearDownKind(); }
};

TEST_F(HostMemoryPortTest, FeedReachesOnlyAnOpenMemoryPort) {
  const char bytes[] = "abc";
  EXPECT_FALSE(device::FeedPort(u"COM3:", bytes, 3)) << "not open yet";
  HANDLE port = OpenWith(kImmediate, EV_RXCHAR);
  EXPECT_TRUE(device::FeedPort(u"com3:", bytes, 3));
  EXPECT_FALSE(device::FeedPort(u"COM3:", nullptr, 2));
  EXPECT_FALSE(device::FeedPort(u"COM4:", bytes, 3));
  BYTE got[8];
  DWORD count = 0;
  ASSERT_TRUE(ReadFile(port, got, sizeof got, &count, nullptr));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(got), count), "abc");
  EXPECT_TRUE(device::FeedPort(u"COM3:", bytes, 2));
  EXPECT_TRUE(Close(port));
  EXPECT_FALSE(device::FeedPort(u"COM3:", bytes, 3)) << "closed";
  // A new open starts empty: bytes fed to the old one are gone with it.
  port = OpenWith(kImmediate, EV_RXCHAR);
  ASSERT_TRUE(ReadFile(port, got, sizeof got, &count, nullptr));
  EXPECT_EQ(count, 0u);
}

TEST_F(HostMemoryPortTest, LatestMappingWinsAndResetForgetsIt) {
  device::Pty pty;
  ASSERT_TRUE(device::OpenPty(&pty));
  const char bytes[] = "q";
  device::MapPort(u"COM3:", pty.slavePath);
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(device::FeedPort(u"COM3:", bytes, 1)) << "a tty port is not fed from memory";
  EXPECT_TRUE(Close(port));
  device::MapPortToMemory(u"com3:");
  port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(device::FeedPort(u"COM3:", bytes, 1));
  EXPECT_TRUE(Close(port));
  device::MapPortToDescriptor(u"COM3:", pty.master);
  port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(device::FeedPort(u"COM3:", bytes, 1)) << "a descriptor port is not fed from memory";
  EXPECT_TRUE(Close(port));
  device::Reset();
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  device::ClosePty(&pty);
}

}  // namespace
