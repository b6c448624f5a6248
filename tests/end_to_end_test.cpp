// `nuvik` and `nuvik-adapter` run as processes on pseudo-terminals; the
// tests read the handheld's trace.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <regex>

#include "device.h"
#include "process_harness.h"

namespace {

bool StartsWith(const std::string& line, const std::string& prefix) { return line.rfind(prefix, 0) == 0; }

class EndToEndTest : public ::testing::Test {
 protected:
  // Starts nuvik and returns the adapter-side path it announces.
  std::string StartNuvik(const std::vector<std::string>& env = {}) {
    EXPECT_TRUE(nuvik_.Start({BinPath("nuvik")}, env));
    int line = nuvik_.WaitLineStarting("port name=\"COM3:\" path=");
    if (line < 0) return std::string();
    std::smatch match;
    std::string text = nuvik_.Out()[line];
    EXPECT_TRUE(std::regex_search(text, match, std::regex("path=\"([^\"]+)\"")));
    // The tray icon is the last start-up step.
    EXPECT_GE(nuvik_.WaitLineStarting("Shell_NotifyIcon op=NIM_ADD icon=114"), 0);
    return match[1];
  }

  int RunAdapter(const std::vector<std::string>& args) {
    Process adapter;
    std::vector<std::string> argv = {BinPath("nuvik-adapter")};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!adapter.Start(argv)) return -1;
    adapter.CloseInput();
    int code = adapter.Wait();
    adapterErr_ = adapter.Err();
    return code;
  }

  size_t CountStarting(const std::string& prefix) {
    size_t n = 0;
    for (const auto& line : nuvik_.Out()) n += StartsWith(line, prefix) ? 1 : 0;
    return n;
  }

  // Ends the program as the task manager does and returns its exit code.
  int Close() {
    nuvik_.Signal(SIGTERM);
    return nuvik_.Wait();
  }

  Process nuvik_;
  std::string adapterErr_;
};

TEST_F(EndToEndTest, RoadOfOneKeyPress) {
  std::string path = StartNuvik();
  ASSERT_FALSE(path.empty());
  ASSERT_EQ(RunAdapter({"--fast", "--hex", "41 1E 00 5F 41 1E 80 DF", path}), 0) << adapterErr_;
  int press = nuvik_.WaitLine(
      [](const std::string& l) { return l == "SendInput vk=0x41 scan=0x1E flags=0x0 extra=0x00000000"; });
  ASSERT_GE(press, 0);
  EXPECT_GE(nuvik_.WaitLine(
                [](const std::string& l) { return l == "SendInput vk=0x41 scan=0x1E flags=0x2 extra=0x00418000"; },
                press),
            press);
  EXPECT_EQ(Close(), 1);
  EXPECT_EQ(CountStarting("SendInput "), 2u);
  EXPECT_EQ(nuvik_.Out().back(), "focus text=\"a\"");
}

TEST_F(EndToEndTest, ReturnGoesAsCharacterAndReleaseAsKeyUp) {
  std::string path = StartNuvik();
  ASSERT_EQ(RunAdapter({"--fast", "--hex", "0D 1C 00 11 0D 1C 80 91", path}), 0) << adapterErr_;
  ASSERT_GE(nuvik_.WaitLineStarting("SendInput vk=0x0D scan=0x1C flags=0x2 extra=0x000D8000"), 0);
  EXPECT_EQ(CountStarting("PostKeybdMessage key=0x0D state=0x80 char=0x000D"), 1u);
  EXPECT_EQ(CountStarting("SendInput "), 1u);
  EXPECT_EQ(Close(), 1);
  EXPECT_EQ(nuvik_.Out().back(), "focus text=\"\\r\"");
}

TEST_F(EndToEndTest, SentenceTypedIntoFocusWindow) {
  std::string path = StartNuvik();
  const std::string sentence = "Hello, World! It's 9:41 (\"quoted\") & a\\b.";
  ASSERT_EQ(RunAdapter({"--gap", "1", "--text", sentence + "\n", path}), 0) << adapterErr_;
  ASSERT_GE(nuvik_.WaitLineStarting("PostKeybdMessage key=0x0D"), 0);
  // The Return's release is the last packet.
  ASSERT_GE(nuvik_.WaitLineStarting("SendInput vk=0x0D scan=0x1C flags=0x2"), 0);
  EXPECT_EQ(Close(), 1);
  std::string expected = sentence;
  std::string quoted;
  for (char c : expected) {
    if (c == '"' || c == '\\') quoted.push_back('\\');
    quoted.push_back(c);
  }
  EXPECT_EQ(nuvik_.Out().back(), "focus text=\"" + quoted + "\\r\"");
}

TEST_F(EndToEndTest, CeStarPressTapsSoftKeyboard) {
  std::string path = StartNuvik({"NUVIK_SIP=ce-star"});
  ASSERT_EQ(RunAdapter({"--fast", "--hex", "51 10 00 41 51 10 80 C1", path}), 0) << adapterErr_;
  int down = nuvik_.WaitLineStarting("PostMessageW class=\"CE-StarIm\" msg=0x201 wparam=0x1 x=33 y=24");
  ASSERT_GE(down, 0);
  EXPECT_GE(nuvik_.WaitLineStarting("PostMessageW class=\"CE-StarIm\" msg=0x202 wparam=0x0 x=33 y=24", down), 0);
  ASSERT_GE(nuvik_.WaitLineStarting("SendInput vk=0x51 scan=0x10 flags=0x2"), 0);
  EXPECT_EQ(CountStarting("SendInput "), 1u) << "the press went to the panel, only the release is a key event";
  // The panel can change while the program runs: lowered, it is still
  // there but nobody sees it, so keys are typed; raised, they are taps again.
  const struct {
    const char* line;
    const char* press;  // the press's trace line
  } steps[] = {
      {"sip lowered", "SendInput vk=0x51 scan=0x10 flags=0x0"},
      {"sip raised", "PostMessageW class=\"CE-StarIm\" msg=0x201"},
      {"sip other lowered", "SendInput vk=0x51 scan=0x10 flags=0x0"},
      {"sip ce-star", "PostMessageW class=\"CE-StarIm\" msg=0x201"},
      {"sip none", "SendInput vk=0x51 scan=0x10 flags=0x0"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.line);
    size_t from = nuvik_.Out().size();
    nuvik_.Send(step.line);
    nuvik_.Send("send 40010");  // once its box shows, the panel has changed
    ASSERT_GE(nuvik_.WaitLineStarting("MessageBoxW owner=main caption=\"About Nuvik\"", from), 0);
    ASSERT_EQ(RunAdapter({"--fast", "--hex", "51 10 00 41", path}), 0) << adapterErr_;
    EXPECT_GE(nuvik_.WaitLineStarting(step.press, from), 0);
  }
  EXPECT_EQ(Close(), 1);
  EXPECT_EQ(nuvik_.Err(), "");
}

TEST_F(EndToEndTest, PanelLoweredAtStartTypesKeys) {
  std::string path = StartNuvik({"NUVIK_SIP=ce-star lowered"});
  ASSERT_EQ(RunAdapter({"--fast", "--hex", "51 10 00 41 51 10 80 C1", path}), 0) << adapterErr_;
  ASSERT_GE(nuvik_.WaitLineStarting("SendInput vk=0x51 scan=0x10 flags=0x2"), 0);
  EXPECT_EQ(CountStarting("SendInput "), 2u);
  EXPECT_EQ(CountStarting("PostMessageW "), 0u);
  EXPECT_EQ(Close(), 1);
  EXPECT_EQ(nuvik_.Out().back(), "focus text=\"q\"");
}

TEST_F(EndToEndTest, ResumeLeavesExactlyOneReader) {
  std::string path = StartNuvik();
  size_t opens = CountStarting("CreateFileW ");
  // A resume reaches the port once its reader waits for power events.
  ASSERT_GE(nuvik_.WaitLineStarting("SetCommMask port=\"COM3:\" mask=0x2139"), 0);
  nuvik_.Send("resume");
  // The port is closed and opened again...
  ASSERT_TRUE(nuvik_.WaitCount([](const std::string& l) { return StartsWith(l, "CreateFileW "); }, opens + 1));
  // ...and every packet afterwards is delivered exactly once.
  ASSERT_EQ(RunAdapter({"--gap", "1", "--text", "ok", path}), 0) << adapterErr_;
  ASSERT_TRUE(nuvik_.WaitCount([](const std::string& l) { return StartsWith(l, "SendInput "); }, 4));
  nuvik_.Send("send 40010");  // a round trip through the main thread
  ASSERT_GE(nuvik_.WaitLineStarting("MessageBoxW owner=main caption=\"About Nuvik\""), 0);
  EXPECT_EQ(CountStarting("SendInput "), 4u);
  EXPECT_EQ(Close(), 1);
  EXPECT_EQ(nuvik_.Out().back(), "focus text=\"ok\"");
}

// A busy single-CPU handheld runs the reader late: it takes a packet's first
// byte, then gets the CPU back only after the rest has arrived. The process
// is stopped for that while; every key must still arrive.
TEST_F(EndToEndTest, ReaderStoppedMidPacketLosesNothing) {
  std::string path = StartNuvik();
  ASSERT_FALSE(path.empty());
  // Bytes before the reader's first mask raise no event to wait for.
  ASSERT_GE(nuvik_.WaitLineStarting("SetCommMask port=\"COM3:\" mask=0x2139"), 0);
  int wire = open(path.c_str(), O_WRONLY | O_NOCTTY);
  ASSERT_GE(wire, 0);
  const BYTE keys[][2] = {{0x41, 0x1E}, {0x42, 0x30}, {0x43, 0x2E}, {0x44, 0x20}, {0x45, 0x12}, {0x46, 0x21}};
  auto rearmed = [](const std::string& l) { return l == "SetCommMask port=\"COM3:\" mask=0x2119"; };
  size_t packets = 0;
  for (const auto& key : keys) {
    for (BYTE flags : {BYTE{0x00}, BYTE{0x80}}) {
      BYTE packet[4] = {key[0], key[1], flags, static_cast<BYTE>(key[0] ^ key[1] ^ flags)};
      // The first byte alone: the reader wakes for it and takes it.
      size_t woken = nuvik_.Count(rearmed);
      ASSERT_EQ(write(wire, packet, 1), 1);
      ASSERT_TRUE(nuvik_.WaitCount(rearmed, woken + 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      // The rest arrives while the reader has no CPU.
      nuvik_.Signal(SIGSTOP);
      ASSERT_EQ(write(wire, packet + 1, 3), 3);
      std::this_thread::sleep_for(std::chrono::milliseconds(80));
      nuvik_.Signal(SIGCONT);
      ++packets;
      ASSERT_TRUE(nuvik_.WaitCount([](const std::string& l) { return StartsWith(l, "SendInput "); }, packets))
          << "packet " << packets << " was lost";
    }
  }
  close(wire);
  EXPECT_EQ(Close(), 1);
  EXPECT_EQ(CountStarting("SendInput "), 12u);
  EXPECT_EQ(nuvik_.Out().back(), "focus text=\"abcdef\"");
}

TEST_F(EndToEndTest, TrayMenuDisableAndEnable) {
  std::string path = StartNuvik();
  nuvik_.Send("tap");
  ASSERT_GE(nuvik_.WaitLineStarting("TrackPopupMenuEx x=208 y=304 flags=0x28"), 0);
  nuvik_.Send("choose 101");  // grayed while enabled: refused
  nuvik_.Send("choose 100");
  ASSERT_GE(nuvik_.WaitLineStarting("Shell_NotifyIcon op=NIM_MODIFY icon=119"), 0);
  ASSERT_GE(nuvik_.WaitLineStarting("EnableMenuItem id=101 state=MF_ENABLED"), 0);
  nuvik_.Send("tap");
  nuvik_.Send("choose 101");
  ASSERT_GE(nuvik_.WaitLineStarting("Shell_NotifyIcon op=NIM_MODIFY icon=114"), 0);
  ASSERT_EQ(RunAdapter({"--fast", "--hex", "41 1E 00 5F", path}), 0) << adapterErr_;
  EXPECT_GE(nuvik_.WaitLineStarting("SendInput vk=0x41"), 0);
  nuvik_.Send("send 103");
  EXPECT_EQ(nuvik_.Wait(), 1);
  EXPECT_GE(nuvik_.WaitLineStarting("Shell_NotifyIcon op=NIM_DELETE"), 0);
  // Read once the process has ended: standard error has its own reader.
  EXPECT_NE(nuvik_.Err().find("grayed"), std::string::npos);
}

// A tty of the test's own behind COM3, with a person's terminal settings
// (line editing, echo, 38400 bit/s) that the port makes raw 9600 8N1.
class OwnTty {
 public:
  bool Make() {
    if (!device::OpenPty(&pty_) ||
        (slave_ = open(pty_.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
      return false;
    }
    termios tio;
    tcgetattr(slave_, &tio);
    tio.c_lflag |= ICANON | ECHO | ISIG;
    cfsetspeed(&tio, B38400);
    return tcsetattr(slave_, TCSANOW, &tio) == 0 && tcgetattr(slave_, &own_) == 0;
  }
  ~OwnTty() {
    if (slave_ >= 0) close(slave_);
    device::ClosePty(&pty_);
  }
  const std::string& path() const { return pty_.slavePath; }
  bool HasOwnSettings() const {
    termios now = {};
    return tcgetattr(slave_, &now) == 0 && memcmp(&now, &own_, sizeof now) == 0;
  }
  int Written() const {  // bytes the program wrote on the line
    int count = -1;
    return ioctl(pty_.master, FIONREAD, &count) == 0 ? count : -1;
  }

 private:
  device::Pty pty_;
  int slave_ = -1;
  termios own_ = {};
};

// How a run ends: the signals, in order and how far apart; whether the
// teardown is stuck (nobody reads the trace any more); whether `timeout 1`
// runs the program; the standard descriptors it starts without.
struct Ending {
  const char* name;
  std::vector<int> signals;
  int gapMs = 0;
  bool stuck = false;
  bool underTimeout = false;
  std::vector<int> closed = {};
};

void PrintTo(const Ending& c, std::ostream* out) { *out << c.name; }

class EndingTest : public EndToEndTest, public ::testing::WithParamInterface<Ending> {};

// A teardown that can finish is never cut short by a second signal, most
// often a copy of the first; a stuck one is ended by the second, past the
// grace period, by that signal. Either way the tty gets its own settings
// back, and nothing was ever written on the line.
TEST_P(EndingTest, EndsCleanlyOrAtOnceWhenStuck) {
  const Ending& c = GetParam();
  OwnTty tty;
  ASSERT_TRUE(tty.Make());
  std::vector<std::string> argv = {BinPath("nuvik")};
  if (c.underTimeout) argv.insert(argv.begin(), {"timeout", "1"});
  Launch launch;
  launch.closed = c.closed;
  ASSERT_TRUE(nuvik_.Start(argv, {"NUVIK_COM3=" + tty.path()}, launch));
  for (int i = 0; i < 1000 && tty.HasOwnSettings(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_FALSE(tty.HasOwnSettings()) << "the port never set its tty up";
  if (c.stuck) {
    ASSERT_TRUE(nuvik_.JamOutput());
  }
  for (size_t i = 0; i < c.signals.size(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(i > 0 ? c.gapMs : 0));
    nuvik_.Signal(c.signals[i]);
  }
  int code = nuvik_.Wait();
  EXPECT_TRUE(tty.HasOwnSettings());
  EXPECT_EQ(tty.Written(), 0);
  if (c.stuck) {
    EXPECT_EQ(nuvik_.TermSignal(), c.signals.back());
    EXPECT_NE(nuvik_.Err().find(" while closing: ending at once\n"), std::string::npos) << nuvik_.Err();
    return;
  }
  EXPECT_EQ(code, c.underTimeout ? 124 : 1);  // timeout's code when it had to signal
  if (!c.closed.empty()) return;
  EXPECT_EQ(CountStarting("Shell_NotifyIcon op=NIM_DELETE icon=114"), 1u);
  EXPECT_EQ(nuvik_.Out().back(), "focus text=\"\"");
  EXPECT_EQ(nuvik_.Err(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Signals, EndingTest,
    ::testing::Values(Ending{"Sigterm", {SIGTERM}}, Ending{"Sigint", {SIGINT}}, Ending{"Sighup", {SIGHUP}},
                      Ending{"TerminalCloses", {SIGHUP, SIGHUP}, 1},  // the kernel's and the shell's
                      Ending{"Timeout", {}, 0, false, true},          // the child, then its process group
                      Ending{"TwoQuickCtrlC", {SIGINT, SIGINT}},
                      // Two kinds, which cannot merge while both are pending.
                      Ending{"StuckSecondWithinGrace", {SIGHUP, SIGTERM}, 1, true},
                      Ending{"StuckSecondPastGrace", {SIGTERM, SIGINT}, 2500, true},
                      // `nuvik >&-`: the port's tty must not become the trace's descriptor.
                      Ending{"StdoutClosed", {SIGTERM}, 0, false, false, {1}},
                      Ending{"AllStandardClosed", {SIGTERM}, 0, false, false, {0, 1, 2}}),
    [](const ::testing::TestParamInfo<Ending>& info) { return info.param.name; });

// A request to close is never lost, whenever it comes from launch on: each
// try sends one signal at a random point of start-up, 0 to 30 ms after
// launch or, where a start-up takes longer (the sanitizers), up to half
// again its length. Runs go a few at a time, for CI's budget.
TEST(StartUpSignals, EverySignalDuringStartUpEndsClean) {
  constexpr int kTries = 200, kAtOnce = 8;
  // TSan would sleep a second at each exit, looking for races there.
  const std::vector<std::string> env = {"TSAN_OPTIONS=atexit_sleep_ms=0"};
  Launch launch;
  launch.closingSignalsHeld = true;
  std::mt19937 random(20261208);
  int windowMs = 30;
  std::vector<std::string> lost;
  for (int first = -kAtOnce; first < kTries; first += kAtOnce) {  // the first batch measures start-up
    std::vector<std::unique_ptr<Process>> runs(kAtOnce);
    std::vector<int> delays(kAtOnce);
    auto launched = std::chrono::steady_clock::now();
    for (auto& run : runs) {
      run = std::make_unique<Process>();
      ASSERT_TRUE(run->Start({BinPath("nuvik")}, env, launch));
    }
    if (first < 0) {
      for (auto& run : runs) ASSERT_GE(run->WaitLineStarting("Shell_NotifyIcon op=NIM_ADD"), 0);
      auto took = std::chrono::steady_clock::now() - launched;
      windowMs = std::max<int>(windowMs,
                               std::chrono::duration_cast<std::chrono::milliseconds>(took).count() * 3 / 2);
    }
    for (int& delay : delays) delay = first < 0 ? 0 : static_cast<int>(random() % (windowMs + 1));
    std::sort(delays.begin(), delays.end());
    for (int i = 0; i < kAtOnce; ++i) {
      std::this_thread::sleep_until(launched + std::chrono::milliseconds(delays[i]));
      runs[i]->Signal(first + i < 0 ? SIGTERM : std::vector<int>{SIGTERM, SIGINT, SIGHUP}[(first + i) % 3]);
    }
    for (int i = 0; i < kAtOnce; ++i) {
      int code = runs[i]->Wait();
      auto out = runs[i]->Out();
      auto tray =
          std::count_if(out.begin(), out.end(), [](auto& l) { return StartsWith(l, "Shell_NotifyIcon"); });
      if (code != 1 || tray != 2 || out.empty() || out.back() != "focus text=\"\"") {  // NIM_ADD, NIM_DELETE
        lost.push_back("signal at " + std::to_string(delays[i]) + " ms: exit " + std::to_string(code));
      }
    }
  }
  EXPECT_EQ(lost, std::vector<std::string>()) << "of " << kTries << " within " << windowMs << " ms";
}

// Lines piped in at launch reach a program that has finished starting: the
// tray icon is there to tap.
TEST_F(EndToEndTest, LinesPipedAtLaunchWaitForStartUp) {
  ASSERT_TRUE(nuvik_.Start({BinPath("nuvik")}));
  nuvik_.Send("tap");
  nuvik_.Send("choose 102");
  EXPECT_GE(nuvik_.WaitLineStarting("MessageBoxW owner=foreground caption=\"About Nuvik\""), 0);
  EXPECT_EQ(Close(), 1);
  EXPECT_EQ(nuvik_.Err(), "");
}

// Commands that reach the program while a box or the menu is up: the window
// procedure is entered again from the modal loop. Steps: "> LINE" is typed
// on the console, "? PREFIX" waits for the next trace line that starts so,
// "type TEXT" has the adapter type TEXT, "close" is the task manager's close,
// "busy" / "free" take the port's tty and give it back as another program
// would (only with ownPort), "repeat N STEP" does STEP N times.
struct Reentry {
  const char* name;
  std::vector<std::string> steps;
  std::vector<std::pair<std::string, size_t>> counts;  // trace lines starting so, in the whole run
  std::string complaint;                               // expected on standard error, if any
  // COM3 is a pseudo-terminal of the test's own instead of the adapter's
  // pseudo-terminal, so that "busy" can lock it; "type" is not available then.
  bool ownPort = false;
};

void PrintTo(const Reentry& c, std::ostream* out) { *out << c.name; }

// Whether the tray showed the port's real state when the program began to
// exit. The port is open after `CreateFileW ... result=ok` and closed after
// `CloseHandle port=`; a close that comes after every other port and tray
// line is the exit's own, so the port was open until the exit.
std::string TrayAgreesWithPortAtExit(const std::vector<std::string>& trace) {
  bool open = false, openBeforeLastClose = false, lastIsClose = false, shownEnabled = false;
  for (const std::string& line : trace) {
    if (StartsWith(line, "Shell_NotifyIcon op=NIM_DELETE")) {
      bool openAtExit = lastIsClose ? openBeforeLastClose : open;
      if (openAtExit == shownEnabled) return "";
      return std::string("the port was ") + (openAtExit ? "open" : "closed") + " but the tray showed " +
             (shownEnabled ? "Enabled" : "Disabled");
    }
    // Other lines (the mask, the menu, keys, boxes) change neither.
    if (StartsWith(line, "CreateFileW ")) {
      open = open || line.find("result=ok") != std::string::npos;
      lastIsClose = false;
    } else if (StartsWith(line, "CloseHandle port=")) {
      openBeforeLastClose = open;
      open = false;
      lastIsClose = true;
    } else if (StartsWith(line, "Shell_NotifyIcon op=NIM_ADD") || StartsWith(line, "Shell_NotifyIcon op=NIM_MODIFY")) {
      shownEnabled = line.find(" icon=114") != std::string::npos;
      lastIsClose = false;
    }
  }
  return "no NIM_DELETE";
}

class ReentryTest : public EndToEndTest, public ::testing::WithParamInterface<Reentry> {
 protected:
  void TearDown() override {
    if (otherProgram_ >= 0) close(otherProgram_);
    device::ClosePty(&pty_);
  }
  device::Pty pty_;
  int otherProgram_ = -1;  // another program's descriptor on the port's tty
};

TEST_P(ReentryTest, EndsCleanly) {
  const Reentry& c = GetParam();
  std::string path;
  if (c.ownPort) {
    ASSERT_TRUE(device::OpenPty(&pty_));
    otherProgram_ = open(pty_.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(otherProgram_, 0);
    ASSERT_TRUE(nuvik_.Start({BinPath("nuvik")}, {"NUVIK_COM3=" + pty_.slavePath}));
    ASSERT_GE(nuvik_.WaitLineStarting("Shell_NotifyIcon op=NIM_ADD icon=114"), 0);
  } else {
    path = StartNuvik();
    ASSERT_FALSE(path.empty());
  }
  size_t from = 0;
  bool closed = false;
  auto run = [&](const std::string& step) {
    if (StartsWith(step, "> ")) {
      nuvik_.Send(step.substr(2));
    } else if (StartsWith(step, "? ")) {
      int line = nuvik_.WaitLineStarting(step.substr(2), from);
      ASSERT_GE(line, 0) << "no line " << step << " after line " << from;
      from = static_cast<size_t>(line) + 1;
    } else if (StartsWith(step, "type ")) {
      ASSERT_FALSE(c.ownPort);
      ASSERT_EQ(RunAdapter({"--gap", "1", "--text", step.substr(5), path}), 0) << adapterErr_;
    } else if (step == "busy" || step == "free") {
      ASSERT_EQ(flock(otherProgram_, step == "busy" ? LOCK_EX | LOCK_NB : LOCK_UN), 0) << step;
    } else {
      ASSERT_EQ(step, "close");
      nuvik_.Signal(SIGTERM);
      closed = true;
    }
  };
  for (const std::string& step : c.steps) {
    std::smatch repeat;
    bool repeated = std::regex_match(step, repeat, std::regex("repeat ([0-9]+) (.*)"));
    int times = repeated ? std::stoi(repeat[1]) : 1;
    for (int i = 0; i < times; ++i) {
      run(repeated ? std::string(repeat[2]) : step);
      if (HasFatalFailure()) return;
    }
  }
  // Without a close the steps end the program themselves.
  EXPECT_EQ(closed || CountStarting("PostQuitMessage") > 0 ? nuvik_.Wait() : Close(), 1);
  for (const auto& count : c.counts) EXPECT_EQ(CountStarting(count.first), count.second) << count.first;
  // Clean-up happens once, and the menu is destroyed only once its loop has
  // ended, never under it.
  std::vector<std::string> trace = nuvik_.Out();
  EXPECT_EQ(CountStarting("Shell_NotifyIcon op=NIM_DELETE"), 1u);
  EXPECT_EQ(CountStarting("DestroyMenu"), 1u);
  EXPECT_EQ(CountStarting("PopupMenuClosed choice=none by=destroyed"), 0u);
  auto last = [&](const std::string& prefix) {
    for (size_t i = trace.size(); i-- > 0;) {
      if (StartsWith(trace[i], prefix)) return static_cast<int>(i);
    }
    return -1;
  };
  EXPECT_GT(last("DestroyMenu"), last("PopupMenuClosed "));
  EXPECT_EQ(TrayAgreesWithPortAtExit(trace), "");
  if (!c.complaint.empty()) {
    EXPECT_NE(nuvik_.Err().find(c.complaint), std::string::npos) << nuvik_.Err();
  }
}

const char kAboutHeld[] = "MessageBoxW owner=foreground caption=\"About Nuvik\"";
const char kReaderWaits[] = "SetCommMask port=\"COM3:\" mask=0x2139";
const std::string kMenuUp = "? TrackPopupMenuEx x=208 y=304";

INSTANTIATE_TEST_SUITE_P(
    Modal, ReentryTest,
    ::testing::Values(
        Reentry{"ExitWhileAboutIsHeld",
                {"> boxes hold", "> send 102", std::string("? ") + kAboutHeld, "> send 103",
                 "? MessageBoxClosed caption=\"About Nuvik\" by=quit"},
                {{"PostQuitMessage", 1}},
                ""},
        Reentry{"ResumeWhileMenuIsOpen",
                {std::string("? ") + kReaderWaits, "> tap", kMenuUp, "> resume",
                 "? CreateFileW name=\"COM3:\" result=ok", "type a", "? SendInput vk=0x41 scan=0x1E flags=0x2",
                 "> choose 100", "? PopupMenuClosed choice=100 by=user", "? Shell_NotifyIcon op=NIM_MODIFY icon=119",
                 "type b", "> send 40010", "? MessageBoxW owner=main caption=\"About Nuvik\""},
                // One reader: the key is typed once, and nothing after Disable.
                {{"SendInput ", 2}, {"CreateFileW ", 2}, {"CloseHandle port=", 2}},
                ""},
        // The menu's loop ends first (the owner went, or the quit came); the
        // menu is destroyed after.
        Reentry{"CloseWhileMenuIsOpen",
                {"> tap", kMenuUp, "> send 40008", "? PopupMenuClosed choice=none by=owner", "? DestroyMenu"},
                {{"PostQuitMessage", 1}},
                ""},
        Reentry{"ExitWhileMenuIsOpen",
                {"> tap", kMenuUp, "> send 103", "? PopupMenuClosed choice=none by=quit", "? DestroyMenu"},
                {{"PostQuitMessage", 1}},
                ""},
        Reentry{"ExitWhileMenuIsOpenOverAbout",
                {"> boxes hold", "> send 102", std::string("? ") + kAboutHeld, "> tap", kMenuUp, "> send 103",
                 "? PopupMenuClosed choice=none by=quit", "? DestroyMenu",
                 "? MessageBoxClosed caption=\"About Nuvik\" by=quit"},
                {{"PostQuitMessage", 1}},
                ""},
        Reentry{"TaskManagerCloseWhileMenuIsOpenOverBoxes",
                {"> boxes hold", "> send 40010", "? MessageBoxW owner=main caption=\"About Nuvik\"", "> dismiss",
                 "> tap", kMenuUp, "> send 105", "? MessageBoxW owner=foreground caption=\"ERROR\"", "close",
                 "? MessageBoxClosed caption=\"ERROR\" by=quit", "? PopupMenuClosed choice=none by=owner",
                 "? DestroyMenu", "? MessageBoxClosed caption=\"About Nuvik\" by=owner"},
                {{"TrackPopupMenuEx", 1}},
                "a box is up: expected 'ok'"},
        // A tap outside the open menu (on the tray icon) closes it and goes no
        // further: the menu does not open again by itself.
        Reentry{"TapClosesTheOpenMenu",
                {"> tap", kMenuUp, "> tap", "? PopupMenuClosed choice=none by=user", "> tap", kMenuUp,
                 "> choose 100", "? Shell_NotifyIcon op=NIM_MODIFY icon=119", "> send 103"},
                {{"TrackPopupMenuEx", 2}},
                ""},
        // Disable, Enable, a resume and About from the menu over About: one
        // reader throughout, and a second About does nothing. (A new reader's
        // mask and the tray's change may come in either order.)
        Reentry{"MenuOverAbout",
                {std::string("? ") + kReaderWaits, "> boxes hold", "> send 102", std::string("? ") + kAboutHeld,
                 "> tap", kMenuUp, "> choose 100", "? PopupMenuClosed choice=100 by=user", "? CloseHandle port=",
                 "? Shell_NotifyIcon op=NIM_MODIFY icon=119", "> tap", kMenuUp, "> choose 101",
                 "? PopupMenuClosed choice=101 by=user", "? CreateFileW name=\"COM3:\" result=ok",
                 std::string("? ") + kReaderWaits, "> tap", kMenuUp,
                 "> resume", "? CreateFileW name=\"COM3:\" result=ok", std::string("? ") + kReaderWaits, "type a",
                 "? SendInput vk=0x41 scan=0x1E flags=0x2", "> choose 102", "? PopupMenuClosed choice=102 by=user",
                 "> ok", "? MessageBoxClosed caption=\"About Nuvik\" by=ok", "> send 103"},
                {{kAboutHeld, 1},
                 {"SendInput ", 2},
                 {"CreateFileW ", 3},
                 {"CloseHandle port=", 3},
                 {"Shell_NotifyIcon op=NIM_MODIFY", 2}},
                ""},
        // Enable from the menu over About fails, so its boxes nest over
        // About; an Enable chosen again over its box is ignored; a reinitialise
        // over the next box opens the port once it is free again.
        Reentry{"EnableFailsInMenuOverAbout",
                {"> boxes hold", "> send 102", std::string("? ") + kAboutHeld, "> tap", kMenuUp, "> choose 100",
                 "? Shell_NotifyIcon op=NIM_MODIFY icon=119", "busy", "> tap", kMenuUp, "> choose 101",
                 "? MessageBoxW owner=main caption=\"COM3:\" text=\"Unable to open IR port!", "> tap", kMenuUp,
                 "> choose 101", "? PopupMenuClosed choice=101 by=user", "> ok",
                 "? MessageBoxClosed caption=\"COM3:\" by=ok",
                 "? MessageBoxW owner=main caption=\"Error\" text=\"Unable to Enable IR port!\"", "free",
                 "> send 104", "? CreateFileW name=\"COM3:\" result=ok", "? Shell_NotifyIcon op=NIM_MODIFY icon=114",
                 "> ok", "? MessageBoxClosed caption=\"Error\" by=ok", "> ok",
                 "? MessageBoxClosed caption=\"About Nuvik\" by=ok", "> send 103"},
                {{"MessageBoxW ", 3},
                 {"CreateFileW ", 3},
                 {"CloseHandle port=", 2},
                 {"Shell_NotifyIcon op=NIM_MODIFY", 2},
                 {"TrackPopupMenuEx", 3}},
                "",
                true},
        Reentry{"EnableFailsWhileAboutIsHeld",
                {"> boxes hold", "> send 102", std::string("? ") + kAboutHeld, "> send 101",
                 "? MessageBoxW owner=main caption=\"COM3:\" text=\"Unable to open IR port!", "> ok",
                 "? MessageBoxClosed caption=\"COM3:\" by=ok",
                 "? MessageBoxW owner=main caption=\"Error\" text=\"Unable to Enable IR port!\"", "> ok",
                 "? MessageBoxClosed caption=\"Error\" by=ok", "> ok", "? MessageBoxClosed caption=\"About Nuvik\" by=ok",
                 "> ok", "> boxes auto", "> send 40010", "? MessageBoxW owner=main caption=\"About Nuvik\"",
                 "> send 103"},
                // The open port was left alone; an answered box says so once.
                {{"MessageBoxClosed ", 3}, {"CloseHandle port=", 1}, {"Shell_NotifyIcon op=NIM_MODIFY", 0}},
                "no box is up"},
        // Each box nested in another's loop costs the main thread stack: a
        // command repeated over its own box shows no second one.
        Reentry{"FloodsOverHeldBoxes",
                {"> boxes hold", "repeat 600 > send 102", "repeat 600 > send 105", "> send 40010", "> send 103",
                 "? MessageBoxClosed caption=\"ERROR\" by=quit", "? MessageBoxClosed caption=\"About Nuvik\" by=quit"},
                {{kAboutHeld, 1}, {"MessageBoxW ", 2}, {"MessageBoxClosed ", 2}},
                ""},
        // A reinitialise over its own boxes still does its port work, and
        // shows its boxes no deeper.
        Reentry{"ReinitFloodWhilePortIsBusy",
                {"> tap", kMenuUp, "> choose 100", "? Shell_NotifyIcon op=NIM_MODIFY icon=119", "busy",
                 "> boxes hold", "repeat 100 > send 104",
                 "repeat 100 ? CreateFileW name=\"COM3:\" result=INVALID_HANDLE_VALUE", "free", "> send 104", "? CreateFileW name=\"COM3:\" result=ok",
                 "? Shell_NotifyIcon op=NIM_MODIFY icon=114", "> ok",
                 "? MessageBoxClosed caption=\"Error\" by=ok", "> ok", "? MessageBoxClosed caption=\"COM3:\" by=ok",
                 "? MessageBoxW owner=main caption=\"Error\" text=\"Can not initial IR port!\"", "> ok",
                 "? MessageBoxClosed caption=\"Error\" by=ok", "> send 103"},
                {{"CreateFileW ", 102},
                 {"MessageBoxW owner=main caption=\"COM3:\"", 1},
                 {"MessageBoxW owner=main caption=\"Error\" text=\"Can not initial IR port!\"", 2},
                 {"Shell_NotifyIcon op=NIM_MODIFY", 2}},
                "",
                true}),
    [](const ::testing::TestParamInfo<Reentry>& info) { return info.param.name; });

struct FailingStart {
  const char* name;
  std::string registry;  // file contents; empty: the default registry
  bool holdPort;
  int exitCode;
  std::vector<std::string> boxes;
  std::string com3 = "";       // NUVIK_COM3; "FIFO" stands for a FIFO made for the run
  std::string complaint = "";  // on standard error, FIFO standing for its path
  std::string failedOpen = "";  // a trace line, if any
  int fileLimit = 0;            // the most descriptors the program may hold; 0: as given
};

const std::vector<std::string> kPortBoxes = {
    "MessageBoxW owner=main caption=\"COM3:\" text=\"Unable to open IR port!\\r\\n\"",
    "MessageBoxW owner=main caption=\"COM3:\" text=\"Port Initial Error!!\""};

class FailingStartTest : public EndToEndTest, public ::testing::WithParamInterface<FailingStart> {};

TEST_P(FailingStartTest, ShowsBoxesAndExits) {
  const FailingStart& c = GetParam();
  std::vector<std::string> env;
  std::string file = ::testing::TempDir() + "nuvik-registry-" + c.name + ".reg";
  if (!c.registry.empty()) {
    std::ofstream(file) << c.registry;
    env.push_back("NUVIK_REGISTRY=" + file);
  }
  device::Pty pty;
  int held = -1;
  if (c.holdPort) {
    // Another process holds the port: an exclusive lock on its tty.
    ASSERT_TRUE(device::OpenPty(&pty));
    held = open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    env.push_back("NUVIK_COM3=" + pty.slavePath);
  }
  std::string fifo = ::testing::TempDir() + "nuvik-fifo-" + std::to_string(getpid());
  auto withFifo = [&](std::string text) {
    size_t at = text.find("FIFO");
    return at == std::string::npos ? text : text.replace(at, 4, fifo);
  };
  if (c.com3 == "FIFO") {
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  }
  if (!c.com3.empty()) env.push_back("NUVIK_COM3=" + withFifo(c.com3));
  std::vector<std::string> argv = {BinPath("nuvik")};
  if (c.fileLimit > 0) {
#ifdef __SANITIZE_ADDRESS__
    // UBSan, built with ASan here, checks a dynamic type through a pipe of
    // its own, so at the descriptor limit it ends the process itself; the
    // TSan suite runs this row.
    GTEST_SKIP() << "UBSan needs spare descriptors";
#endif
    // Descriptors the test run inherited would hold the low numbers.
    argv = {"sh", "-c",
            "exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; ulimit -n " + std::to_string(c.fileLimit) +
                " && exec \"$0\"",
            BinPath("nuvik")};
  }
  ASSERT_TRUE(nuvik_.Start(argv, env));
  // Lines piped in at launch wait for start-up, which here ends the program.
  nuvik_.Send("tap");
  EXPECT_EQ(nuvik_.Wait(), c.exitCode);
  unlink(fifo.c_str());
  if (!c.complaint.empty()) {
    EXPECT_NE(nuvik_.Err().find(withFifo(c.complaint)), std::string::npos) << nuvik_.Err();
  }
  std::vector<std::string> boxes;
  for (const auto& line : nuvik_.Out()) {
    if (StartsWith(line, "MessageBoxW ")) boxes.push_back(line);
  }
  EXPECT_EQ(boxes, c.boxes);
  EXPECT_EQ(CountStarting("Shell_NotifyIcon"), 0u);
  if (!c.failedOpen.empty()) {
    EXPECT_EQ(CountStarting(c.failedOpen), 1u);
  }
  if (held >= 0) close(held);
  device::ClosePty(&pty);
}

INSTANTIATE_TEST_SUITE_P(
    Starts, FailingStartTest,
    ::testing::Values(
        FailingStart{"NoDriver",
                     "Windows Registry Editor Version 5.00\r\n",
                     false,
                     1,
                     {"MessageBoxW owner=main caption=\"Error 01\" text=\"IrDA driver or IrDA port not found.\"",
                      "MessageBoxW owner=main caption=\"Error\" text=\"Get Registry Error!\""}},
        FailingStart{"PortBusy",
                     "",
                     true,
                     1,
                     {"MessageBoxW owner=main caption=\"COM3:\" text=\"Unable to open IR port!\\r\\n\"",
                      "MessageBoxW owner=main caption=\"COM3:\" text=\"Port Initial Error!!\""},
                     "",
                     ": in use by another program\n"},
        // A port path that is no terminal is refused without being opened,
        // with the error a strict device gives; a FIFO would block the open.
        FailingStart{"NotATerminal",
                     "",
                     false,
                     1,
                     {"MessageBoxW owner=main caption=\"COM3:\" text=\"Unable to open IR port!\\r\\n\"",
                      "MessageBoxW owner=main caption=\"COM3:\" text=\"Port Initial Error!!\""},
                     "/dev/null",
                     "nuvik: COM3: /dev/null: not a terminal\n",
                     "CreateFileW name=\"COM3:\" result=INVALID_HANDLE_VALUE error=50"},
        FailingStart{"Fifo",
                     "",
                     false,
                     1,
                     {"MessageBoxW owner=main caption=\"COM3:\" text=\"Unable to open IR port!\\r\\n\"",
                      "MessageBoxW owner=main caption=\"COM3:\" text=\"Port Initial Error!!\""},
                     "FIFO",
                     "nuvik: COM3: FIFO: not a terminal\n",
                     "CreateFileW name=\"COM3:\" result=INVALID_HANDLE_VALUE error=50"},
        // The user's own terminal is no serial line; `ulimit -n 4` leaves
        // no descriptor for the adapter's pseudo-terminal.
        FailingStart{"ControllingTerminal", "", false, 1, kPortBoxes, "/dev/tty",
                     "nuvik: COM3: /dev/tty: the controlling terminal, not a serial line\n",
                     "CreateFileW name=\"COM3:\" result=INVALID_HANDLE_VALUE error=50"},
        FailingStart{"NoDescriptorForThePseudoTerminal", "", false, 1, kPortBoxes, "",
                     "nuvik: COM3: cannot make a pseudo-terminal: Too many open files\n",
                     "CreateFileW name=\"COM3:\" result=INVALID_HANDLE_VALUE error=2", 4}),
    [](const ::testing::TestParamInfo<FailingStart>& info) { return info.param.name; });

TEST_F(EndToEndTest, RegistryFileChoosesPort) {
  std::string file = ::testing::TempDir() + "nuvik-com1.reg";
  std::ofstream(file) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Comm\\IrDA\\Linkage]\n\"Bind\"=\"IrSIR9\"\n\n"
                         "[HKEY_LOCAL_MACHINE\\Comm\\IrSIR9\\Parms]\n\"Port\"=dword:00010001\n";
  ASSERT_TRUE(nuvik_.Start({BinPath("nuvik")}, {"NUVIK_REGISTRY=" + file}));
  EXPECT_GE(nuvik_.WaitLineStarting("port name=\"COM1:\" path="), 0);
  EXPECT_GE(nuvik_.WaitLineStarting("Shell_NotifyIcon op=NIM_ADD icon=114"), 0);
  EXPECT_EQ(Close(), 1);
}

}  // namespace
