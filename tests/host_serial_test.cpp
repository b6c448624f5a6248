// The host's serial ports, for each kind of port (a tty opened by path, a
// tty descriptor the device was given, a queue in memory): exclusive opens,
// the adapter's line settings carried to termios and every other setting
// refused, reads that return at once and the read time-outs refused, event
// waits ended by data, mask changes, resumes, line events and closes, the
// injected faults and late calls. Then what only a tty has: a path that is
// no terminal, other processes, and hang-ups; and what only memory has.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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
#include <vector>

#include "device.h"
#include "platform.h"

namespace {

// The program's time-outs: reads return at once with what is buffered.
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

  bool HasTty() const { return kind_ != PortKind::Memory; }

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
  // Reads until `count` bytes have come, or 5 s (a bound that only catches
  // bytes that never come) have passed.
  std::string ReadUntil(HANDLE port, size_t count) {
    std::string got;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.size() < count && std::chrono::steady_clock::now() < until) {
      char bytes[8];
      DWORD n = 0;
      if (!ReadFile(port, bytes, sizeof bytes, &n, nullptr)) break;
      got.append(bytes, n);
      if (n == 0) std::this_thread::yield();  // as in Send: pty bytes come on the kernel's worker
    }
    return got;
  }
  termios SlaveTermios() const {
    termios tio = {};
    EXPECT_EQ(::tcgetattr(probe_, &tio), 0);
    return tio;
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

// ---- Opening ---------------------------------------------------------------

TEST_P(HostSerialKindTest, OpenIsExclusiveAndTraced) {
  HANDLE first = Open();
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(device::OpenPorts(), 1);
  EXPECT_TRUE(HasTrace("CreateFileW name=\"COM3:\" result=ok"));
  EXPECT_EQ(Open(u"com3:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(HasTrace("CreateFileW name=\"com3:\" result=INVALID_HANDLE_VALUE error=32"));
  EXPECT_TRUE(Close(first));
  EXPECT_TRUE(HasTrace("CloseHandle port=\"COM3:\""));
  EXPECT_EQ(device::OpenPorts(), 0);
  HANDLE second = Open(u"com3:");
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(second, first);  // the closed handle's value comes back, as on the handheld
  device::SetFault(device::Fault::PortBusy, true);
  EXPECT_TRUE(Close(second));
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

// ---- Line settings and escape functions ------------------------------------

// A just-opened port reports the driver's defaults whatever the tty was
// left at. The adapter's line is stored whole and makes the tty raw 9600
// 8N1 with no flow control, however cooked it was; anything else is refused
// and changes neither the stored settings nor the tty.
TEST_P(HostSerialKindTest, OnlyTheAdaptersLineIsAccepted) {
  if (HasTty()) {
    termios cooked = SlaveTermios();
    cfsetspeed(&cooked, B2400);
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_oflag |= OPOST;
    cooked.c_iflag |= IXON | IXOFF | ICRNL | INPCK;
    cooked.c_cflag |= PARENB | PARODD | CSTOPB | CRTSCTS;
    ASSERT_EQ(::tcsetattr(probe_, TCSANOW, &cooked), 0);
  }
  HANDLE port = Open();
  DCB initial = {};
  ASSERT_TRUE(GetCommState(port, &initial));
  EXPECT_EQ(initial.DCBlength, 28u);
  EXPECT_EQ(initial.BaudRate, 9600u);
  EXPECT_EQ(initial.ByteSize, 8);
  EXPECT_EQ(initial.Parity, 0);
  EXPECT_EQ(initial.StopBits, 0);
  EXPECT_EQ(initial.fBinary, 1u);
  EXPECT_EQ(initial.fOutxCtsFlow + initial.fOutX + initial.fInX + initial.fDtrControl + initial.fRtsControl,
            0u);

  struct Case {
    const char* label;
    std::function<void(DCB*)> change;  // from the adapter's line
    bool accepted;
  } cases[] = {
      {"adapter 9600 8N1", [](DCB*) {}, true},
      {"DTR and RTS held on", [](DCB* d) { d->fDtrControl = d->fRtsControl = 1; }, true},
      {"other characters and limits",
       [](DCB* d) {
         d->XonChar = 'q';
         d->XonLim = 7;
         d->EvtChar = 'e';
       },
       true},
      {"XON the same as XOFF", [](DCB* d) { d->XonChar = d->XoffChar; }, false},
      {"115200", [](DCB* d) { d->BaudRate = 115200; }, false},
      {"no such rate", [](DCB* d) { d->BaudRate = 14400; }, false},
      {"zero rate", [](DCB* d) { d->BaudRate = 0; }, false},
      {"7 bits", [](DCB* d) { d->ByteSize = 7; }, false},
      {"9 bits", [](DCB* d) { d->ByteSize = 9; }, false},
      {"even parity", [](DCB* d) { d->Parity = 2; }, false},
      {"mark parity", [](DCB* d) { d->Parity = 3; }, false},
      {"parity 5", [](DCB* d) { d->Parity = 5; }, false},
      {"1.5 stop bits", [](DCB* d) { d->StopBits = 1; }, false},
      {"2 stop bits", [](DCB* d) { d->StopBits = 2; }, false},
      {"not binary", [](DCB* d) { d->fBinary = 0; }, false},
      {"parity checked", [](DCB* d) { d->fParity = 1; }, false},
      {"CTS flow", [](DCB* d) { d->fOutxCtsFlow = 1; }, false},
      {"DSR flow", [](DCB* d) { d->fOutxDsrFlow = 1; }, false},
      {"DSR sensitive", [](DCB* d) { d->fDsrSensitivity = 1; }, false},
      {"XON/XOFF out", [](DCB* d) { d->fOutX = 1; }, false},
      {"XON/XOFF in", [](DCB* d) { d->fInX = 1; }, false},
      {"sends on after XOFF", [](DCB* d) { d->fTXContinueOnXoff = 1; }, false},
      {"DTR handshake", [](DCB* d) { d->fDtrControl = 2; }, false},
      {"RTS handshake", [](DCB* d) { d->fRtsControl = 2; }, false},
      {"RTS toggle", [](DCB* d) { d->fRtsControl = 3; }, false},
      {"error character", [](DCB* d) { d->fErrorChar = 1; }, false},
      {"nulls dropped", [](DCB* d) { d->fNull = 1; }, false},
      {"abort on error", [](DCB* d) { d->fAbortOnError = 1; }, false},
  };
  DCB stored = initial;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    DCB dcb = initial;
    dcb.fDummy2 = 0x1A5A5;  // bits the link keeps untouched must come back as they were
    c.change(&dcb);
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
    if (!HasTty()) continue;
    // Raw 9600 8N1 since the first row; a pseudo-terminal forces CS8 and
    // drops PARENB whatever is asked, so those two are not looked at.
    termios tio = SlaveTermios();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & (PARODD | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INPCK), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 1);
  }
  // fBinary and the kept high bits (0x1A5A5 << 15), as traced whether taken or not.
  EXPECT_TRUE(HasTrace("SetCommState baud=9600 bits=8 parity=0 stop=0 flags=0xD2D28001"));
  EXPECT_TRUE(HasTrace("SetCommState baud=14400 bits=8 parity=0 stop=0 flags=0xD2D28001 result=FALSE error=87"));
}

// SETIR and CLRIR are taken (a tty has no transceiver to switch); the
// modem-line, break, flow and reset escapes and unknown ones are refused,
// traced by number.
TEST_P(HostSerialKindTest, OnlyTheInfraredEscapesAreTaken) {
  HANDLE port = Open();
  struct Case {
    DWORD function;
    const char* traced;
    BOOL result;
  } cases[] = {
      {SETIR, "SETIR", TRUE}, {CLRIR, "CLRIR", TRUE}, {1, "1", FALSE}, {2, "2", FALSE},
      {3, "3", FALSE},        {4, "4", FALSE},        {5, "5", FALSE}, {6, "6", FALSE},
      {7, "7", FALSE},        {8, "8", FALSE},        {9, "9", FALSE}, {99, "99", FALSE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.traced);
    SetLastError(0);
    EXPECT_EQ(EscapeCommFunction(port, c.function), c.result);
    std::string line = std::string("EscapeCommFunction port=\"COM3:\" function=") + c.traced;
    if (c.result) {
      EXPECT_TRUE(HasTrace(line));
    } else {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
      EXPECT_TRUE(HasTrace(line + " result=FALSE error=87"));
    }
  }
}

// ---- Time-outs and reads ---------------------------------------------------

// A just-opened port's time-outs are all zero, a read that would wait for
// every byte: ReadFile refuses it until the time-outs are set. Only reads
// that return at once are taken, with any write time-outs; every other read
// time-out is refused and changes nothing.
TEST_P(HostSerialKindTest, OnlyReadsThatReturnAtOnceAreTaken) {
  HANDLE port = Open();
  COMMTIMEOUTS now = {1, 1, 1, 1, 1};
  ASSERT_TRUE(GetCommTimeouts(port, &now));
  const COMMTIMEOUTS zero = {};
  EXPECT_EQ(std::memcmp(&now, &zero, sizeof now), 0);
  ASSERT_TRUE(Send("AB"));
  BYTE bytes[4];
  DWORD got = 99;
  for (DWORD count : {4u, 0u}) {
    SetLastError(0);
    EXPECT_FALSE(ReadFile(port, bytes, count, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(got, 0u);
  }

  struct Case {
    const char* label;
    COMMTIMEOUTS timeouts;
    bool accepted;
  } cases[] = {
      {"the program's", kImmediate, true},
      {"no write time-outs", {MAXDWORD, 0, 0, 0, 0}, true},
      {"longest write time-outs", {MAXDWORD, 0, 0, MAXDWORD, MAXDWORD}, true},
      {"none: wait for every byte", {0, 0, 0, 10, 1000}, false},
      {"first byte within 100 ms", {MAXDWORD, MAXDWORD, 100, 10, 1000}, false},
      {"wait for ever, then at once", {MAXDWORD, MAXDWORD, MAXDWORD, 10, 1000}, false},
      {"total constant", {0, 0, 120, 10, 1000}, false},
      {"total per byte", {0, 40, 0, 10, 1000}, false},
      {"interval", {30, 0, 0, 10, 1000}, false},
      {"at once but a constant", {MAXDWORD, 0, 1, 10, 1000}, false},
      {"at once but a multiplier", {MAXDWORD, 1, 0, 10, 1000}, false},
  };
  COMMTIMEOUTS stored = zero;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    COMMTIMEOUTS set = c.timeouts;
    SetLastError(0);
    EXPECT_EQ(SetCommTimeouts(port, &set), c.accepted ? TRUE : FALSE);
    if (c.accepted) {
      stored = c.timeouts;
    } else {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    ASSERT_TRUE(GetCommTimeouts(port, &now));
    EXPECT_EQ(std::memcmp(&now, &stored, sizeof now), 0);
  }
  EXPECT_TRUE(HasTrace(
      "SetCommTimeouts interval=0xFFFFFFFF multiplier=0 constant=0 writeMultiplier=10 writeConstant=1000"));
  EXPECT_TRUE(
      HasTrace("SetCommTimeouts interval=0x0 multiplier=0 constant=0 writeMultiplier=10 writeConstant=1000 "
               "result=FALSE error=87"));
  // Nothing was lost to the refused reads.
  got = 99;
  ASSERT_TRUE(ReadFile(port, bytes, sizeof bytes, &got, nullptr));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), got), "AB");
}

// A read takes what is buffered, up to what it asks for, and returns at
// once; what it leaves stays for the next read. The reader's pattern, a
// wait and then reads of one byte and three, costs exactly those calls.
TEST_P(HostSerialKindTest, ReadsTakeWhatIsBufferedAndReturnAtOnce) {
  struct Case {
    const char* label;
    std::string buffered;
    DWORD request;
    DWORD expected;
  } cases[] = {
      {"empty", "", 3, 0},
      {"partial", "AB", 3, 2},
      {"full", "ABCD", 3, 3},
      {"none asked", "AB", 0, 0},
  };
  HANDLE port = OpenWith(kImmediate, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (!c.buffered.empty()) {
      ASSERT_TRUE(Send(c.buffered));
    }
    BYTE bytes[8] = {};
    DWORD got = 99;
    ASSERT_TRUE(ReadFile(port, bytes, c.request, &got, nullptr));
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), got), c.buffered.substr(0, got));
    got = 99;
    ASSERT_TRUE(ReadFile(port, bytes, sizeof bytes, &got, nullptr));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), got), c.buffered.substr(c.expected));
  }

  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_POWER));
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
  got = 99;
  ASSERT_TRUE(ReadFile(port, bytes, 3, &got, nullptr));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(device::PortReads(), reads + 3);
  EXPECT_EQ(device::PortWaits(), waits + 1);
}

// ---- Event waits -----------------------------------------------------------

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
      {"mask cleared", 0x2139,
       [](HANDLE port) {
         ASSERT_TRUE(SetCommMask(port, 0));
         DWORD mask = 7;
         ASSERT_TRUE(GetCommMask(port, &mask));
         EXPECT_EQ(mask, 0u);
       },
       TRUE, 0},
      {"resume", 0x2139, [](HANDLE) { device::Resume(); }, TRUE, EV_POWER},
      {"bytes not asked for, then a resume", EV_POWER | EV_CTS,
       [&](HANDLE) {
         ASSERT_TRUE(Write("A", 1));
         device::Resume();
       },
       TRUE, EV_POWER},
      {"cts", 0x2139, [](HANDLE) { device::RaiseLineEvents(EV_CTS); }, TRUE, EV_CTS},
      {"only the asked lines", EV_CTS | EV_RING,
       [](HANDLE) { device::RaiseLineEvents(EV_CTS | EV_DSR | EV_RING); }, TRUE, EV_CTS | EV_RING},
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
      HANDLE again = Open();  // the close let go of the device at once
      ASSERT_NE(again, INVALID_HANDLE_VALUE);
      EXPECT_TRUE(Close(again));
      continue;
    }
    BYTE bytes[4];
    DWORD got = 0;
    while (ReadFile(port, bytes, sizeof bytes, &got, nullptr) && got > 0) {
    }
    EXPECT_TRUE(Close(port));
  }
}

// A resume raises EV_POWER only under a mask that holds it, keeps it for
// the next wait if none is pending, and delivers it once.
TEST_P(HostSerialKindTest, ResumeRaisesPowerOnlyWhenTheMaskHoldsIt) {
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
    HANDLE port = OpenWith(kImmediate, c.mask);
    if (c.waitPending) {
      PendingWait wait(port);
      ASSERT_TRUE(wait.inside());
      device::Resume();
      if (c.expected == EV_RXCHAR) {
        ASSERT_TRUE(Write("x", 1));
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
    EXPECT_TRUE(Close(port));  // the next open starts with nothing buffered
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
    // A lower bound the delay's sleep guarantees, however loaded the machine.
    EXPECT_GE(took, std::chrono::milliseconds(kDelayMs)) << "the call came back before its delay";
    EXPECT_EQ(ReadUntil(port, c.later.size()), c.later) << "what came during the delay is there to read";
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

// ---- Faults, bad handles, bad arguments ------------------------------------

TEST_P(HostSerialKindTest, InjectedFaultsFailTheirCall) {
  HANDLE port = OpenWith(kImmediate, EV_RXCHAR | EV_POWER);
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
  device::MapPortToMemory(u"COM1:");
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.fault));
    device::SetFault(c.fault, true);
    EXPECT_FALSE(c.call());
    EXPECT_EQ(GetLastError(), c.error);
    device::SetFault(c.fault, false);
    EXPECT_TRUE(c.call());
  }
}

TEST_P(HostSerialKindTest, CallsOnWhatIsNoOpenPortFail) {
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

// Arguments left out, and a wait with no event asked for, which could never
// end: the calls are refused.
TEST_P(HostSerialKindTest, BadArgumentsAreRefused) {
  HANDLE port = Open();
  BYTE bytes[4];
  DWORD got = 7;
  const std::function<BOOL()> calls[] = {
      [&] {
        DWORD event = 0xFFFF;
        BOOL result = WaitCommEvent(port, &event, nullptr);  // the mask is 0
        EXPECT_EQ(event, 0u);
        return result;
      },
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

// ---- Ttys only: paths, other processes, hang-ups ----------------------------

class HostTtyPortTest : public PortKindFixture, public ::testing::Test {
 protected:
  void SetUp() override { SetUpKind(PortKind::Tty); }
  void TearDown() override { TearDownKind(); }
};

struct OpenCase {
  const char* label;
  const char16_t* name;
  std::string mapTo;  // extra mapping of COM4:, empty for none
  DWORD error;        // ERROR_SUCCESS when the open succeeds
  std::string why;    // what the refusal sink hears, empty: nothing
};

TEST_F(HostTtyPortTest, OpenFindsTheTtyBehindTheName) {
  device::SetPortResolver(
      [this](const std::u16string& name) { return name == u"COM1:" ? pty_.slavePath : std::string(); });
  std::vector<std::string> refusals;
  device::SetPortRefusalSink(
      [&](const std::u16string& name, const std::string& path, const std::string& why) {
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
      {"no serial line", u"COM4:", "/dev/ptmx", ERROR_NOT_SUPPORTED,
       "the pseudo-terminal multiplexer, not a serial line"},
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

// Which terminals can be a port's tty, by Linux's device numbers (and a
// container's /dev/console, a pseudo-terminal bound over the name).
TEST(HostTtyKinds, OnlySerialLinesAndPseudoTerminalsAreTaken) {
  const struct {
    const char* path;
    unsigned int major, minor;
    std::string why;  // empty: taken
  } cases[] = {{"/dev/ttyS0", 4, 64, ""},
               {"/dev/pts/3", 136, 3, ""},
               {"/dev/tty63", 4, 63, "a virtual console, not a serial line"},
               {"/dev/ttyX", 5, 1, "the system console, not a serial line"},
               {"/dev/console", 136, 0, "the system console, not a serial line"}};
  for (const auto& c : cases) EXPECT_EQ(device::WhyNotASerialLine(c.path, makedev(c.major, c.minor)), c.why);
}

TEST_F(HostTtyPortTest, PortHeldByAnotherProcessCannotBeOpened) {
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

TEST_F(HostTtyPortTest, OpenPortKeepsOtherProcessesOut) {
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

TEST_F(HostTtyPortTest, HangUpFailsTheWaitPromptly) {
  for (DWORD mask : {static_cast<DWORD>(EV_RXCHAR | EV_POWER), static_cast<DWORD>(EV_POWER)}) {
    SCOPED_TRACE(mask);
    if (pty_.master < 0) {
      ASSERT_TRUE(device::OpenPty(&pty_));
      device::MapPort(u"COM3:", pty_.slavePath);
    }
    HANDLE port = OpenWith(kImmediate, mask);
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
