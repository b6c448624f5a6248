// Things going wrong around the program: the adapter's line hanging up, the
// port held by another program or missing, an unreadable registry file,
// garbage on the handheld's console and nonsense given to the adapter
// simulator. Each ends in a clear message and leaves everything usable.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>

#include "in_process_program.h"
#include "port/ir_port_link.h"
#include "process_harness.h"

namespace {

const BYTE kPressA[4] = {0x41, 0x1E, 0x00, 0x5F};

struct Box {
  std::u16string text;
  std::u16string caption;
};

bool operator==(const Box& a, const Box& b) { return a.text == b.text && a.caption == b.caption; }

void PrintTo(const Box& box, std::ostream* out) {
  *out << device::Quote(box.text) << " / " << device::Quote(box.caption);
}

std::vector<Box> Boxes() {
  std::vector<Box> boxes;
  for (const auto& box : device::MessageBoxes()) boxes.push_back({box.text, box.caption});
  return boxes;
}

const Box kCannotOpen = {u"Unable to open IR port!\r\n", u"COM3:"};

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// ---- The program in this process ------------------------------------------

class InProcessFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device::Reset();
    Arrange();
  }

  void TearDown() override {
    program_.Exit();
    EXPECT_TRUE(device::WaitFor([] { return device::LiveThreads() == 0; })) << "a reader outlived its port";
    EXPECT_EQ(device::OpenPorts(), 0);
    if (held_ >= 0) ::close(held_);
    device::ClosePty(&pty_);
    device::ClosePty(&spare_);
    device::Reset();
  }

  // The handheld as it is before the program starts: its registry, a
  // focused application, and the adapter on COM3.
  void Arrange() {
    FillIrRegistry();
    device::SetForeground(device::CreateForeignWindow(u"NotesApp", nullptr, u"Notes"));
    if (pty_.master < 0) {
      ASSERT_TRUE(device::OpenPty(&pty_));
    }
    device::MapPort(u"COM3:", pty_.slavePath);
  }

  // One key press on the adapter reaches the focused application.
  void ExpectTypingWorks(int master) {
    device::ClearRecords();
    ASSERT_TRUE(WriteAll(master, kPressA, sizeof kPressA));
    ASSERT_TRUE(device::WaitFor([] { return device::SendInputs().size() == 1; }));
    EXPECT_EQ(device::SendInputs()[0].vk, 0x41);
    EXPECT_TRUE(device::MessageBoxes().empty());
  }

  InProcessProgram program_;
  device::Pty pty_;
  device::Pty spare_;
  int held_ = -1;
};

// What the reader costs over one second: its wake-ups, its reads and the
// processor time of the whole process, and how long the second really took
// (a loaded machine stretches it).
struct Usage {
  long waits;
  long reads;
  double cpuMs;
  long wallMs;
};

double ProcessCpuMs() {
  rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

Usage OverOneSecond() {
  auto start = std::chrono::steady_clock::now();
  long waits = device::PortWaits();
  long reads = device::PortReads();
  double cpu = ProcessCpuMs();
  // The measurement window itself: nothing is being waited for.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  long wall = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
          .count());
  return {device::PortWaits() - waits, device::PortReads() - reads, ProcessCpuMs() - cpu, wall};
}

// The adapter is unplugged: its tty hangs up under the open port. The
// program cannot tell, but its reader must not spin on the dead line, and a
// new adapter must work after Disable and Enable.
TEST_F(InProcessFaultTest, HungUpAdapterNeitherSpinsNorBlocksANewOne) {
  ASSERT_TRUE(program_.Start());
  ASSERT_TRUE(program_.Running());
  ASSERT_TRUE(device::WaitFor([] { return device::PortWaits() >= 1; }));

  // A healthy idle line: the reader sleeps in its wait. What the process
  // spends meanwhile (the sanitizers' own threads, mostly) is the baseline.
  Usage idle = OverOneSecond();
  EXPECT_EQ(idle.waits, 0) << "an idle reader must not poll";

  long before = device::PortWaits();
  device::ClosePty(&pty_);
  ASSERT_TRUE(device::WaitFor([before] { return device::PortWaits() > before; }, 2000))
      << "the hang-up went unheard";
  Usage hung = OverOneSecond();
  // One failed wait and a pause of IR_FAILED_WAIT_PAUSE_MS, over and over:
  // the pauses alone fill the window, so it holds at most one wait per
  // pause plus the one at its start, however long a loaded machine makes it.
  EXPECT_LE(hung.waits, hung.wallMs / IR_FAILED_WAIT_PAUSE_MS + 1)
      << "about one wait per " << IR_FAILED_WAIT_PAUSE_MS << " ms over " << hung.wallMs << " ms";
  EXPECT_EQ(hung.reads, 0) << "a failed wait reads nothing";
  long tried = device::PortWaits();
  EXPECT_TRUE(device::WaitFor([tried] { return device::PortWaits() >= tried + 2; }))
      << "the reader must keep trying";
  // Six waits cost microseconds even under a sanitizer, so anything beyond
  // the idle baseline plus 5 % of a core means something spins.
  EXPECT_LT(hung.cpuMs, idle.cpuMs + 50.0) << "idle " << idle.cpuMs << " ms";
  EXPECT_TRUE(TrayShowsEnabled());
  EXPECT_EQ(device::LiveThreads(), 1);
  EXPECT_TRUE(device::MessageBoxes().empty());

  ASSERT_TRUE(device::OpenPty(&spare_));
  device::MapPort(u"COM3:", spare_.slavePath);
  SendCommand(IDM_DISABLE);
  ASSERT_TRUE(device::WaitFor([] { return device::LiveThreads() == 0; }, 2000))
      << "a pausing reader must still end";
  SendCommand(IDM_ENABLE);
  EXPECT_TRUE(TrayShowsEnabled());
  ExpectTypingWorks(spare_.master);
}

// Unplugged, then the handheld suspends and resumes: the reopen finds no
// device, says so, and the tray shows Disabled until a new adapter is
// enabled.
TEST_F(InProcessFaultTest, ResumeAfterHangUpShowsDisabledUntilEnabledAgain) {
  ASSERT_TRUE(program_.Start());
  ASSERT_TRUE(device::WaitFor([] { return device::PortWaits() >= 1; }));
  device::ClosePty(&pty_);
  device::Resume();
  ASSERT_TRUE(
      device::WaitFor([] { return device::Tray().iconId == IDI_DISABLED && device::LiveThreads() == 0; }));
  EXPECT_EQ(Boxes(), (std::vector<Box>{kCannotOpen, {u"Can not initial IR port!", u"Error"}}));
  EXPECT_FALSE(IsIrPortOpen());
  EXPECT_EQ(device::OpenPorts(), 0);

  ASSERT_TRUE(device::OpenPty(&spare_));
  device::MapPort(u"COM3:", spare_.slavePath);
  SendCommand(IDM_ENABLE);
  EXPECT_TRUE(TrayShowsEnabled());
  ExpectTypingWorks(spare_.master);
}

// ---- A port that cannot be had ---------------------------------------------

enum class Blockage {
  HeldElsewhere,  // another program holds the tty's exclusive lock
  Missing,        // COM3 stands for a device that does not exist
  NotATerminal,   // COM3 stands for something that is no serial device
};

enum class When { StartUp, Enable, Resume };

struct BlockedCase {
  const char* name;
  Blockage blockage;
  When when;
};

void PrintTo(const BlockedCase& c, std::ostream* out) { *out << c.name; }

class BlockedPortTest : public InProcessFaultTest, public ::testing::WithParamInterface<BlockedCase> {
 protected:
  void Block() {
    switch (GetParam().blockage) {
      case Blockage::HeldElsewhere:
        // A lock belongs to an open file description, so one taken here
        // keeps the program out exactly as another process's would.
        held_ = ::open(pty_.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(held_, 0);
        ASSERT_EQ(::flock(held_, LOCK_EX | LOCK_NB), 0);
        break;
      case Blockage::Missing:
        device::MapPort(u"COM3:", "/nonexistent/ttyIR3");
        break;
      case Blockage::NotATerminal:
        device::MapPort(u"COM3:", "/dev/null");
        break;
    }
  }

  void Lift() {
    if (held_ >= 0) ::close(held_);
    held_ = -1;
    device::MapPort(u"COM3:", pty_.slavePath);
  }
};

TEST_P(BlockedPortTest, ShowsItsBoxesAndRecoversOnceThePortIsBack) {
  switch (GetParam().when) {
    case When::StartUp:
      Block();
      ASSERT_TRUE(program_.Start());
      EXPECT_EQ(program_.Join(), 1);
      EXPECT_EQ(Boxes(), (std::vector<Box>{kCannotOpen, {u"Port Initial Error!!", u"COM3:"}}));
      EXPECT_TRUE(device::TrayOps().empty());
      EXPECT_EQ(device::LiveThreads(), 0);
      EXPECT_EQ(device::OpenPorts(), 0);
      // The user starts the program again once the port is back.
      device::Reset();
      Arrange();
      Lift();
      ASSERT_TRUE(program_.Start());
      ASSERT_TRUE(program_.Running());
      break;

    case When::Enable: {
      ASSERT_TRUE(program_.Start());
      SendCommand(IDM_DISABLE);
      ASSERT_TRUE(device::WaitFor([] { return device::LiveThreads() == 0; }));
      device::ClearRecords();
      Block();
      SendCommand(IDM_ENABLE);
      EXPECT_EQ(Boxes(), (std::vector<Box>{kCannotOpen, {u"Unable to Enable IR port!", u"Error"}}));
      EXPECT_EQ(device::Tray().iconId, IDI_DISABLED);
      auto items = device::MenuItems();
      ASSERT_EQ(items.size(), 3u);
      EXPECT_EQ(items[1].state & MF_GRAYED, 0u) << "Enable stays on offer for a retry";
      EXPECT_EQ(device::LiveThreads(), 0);
      EXPECT_EQ(device::OpenPorts(), 0);
      Lift();
      SendCommand(IDM_ENABLE);
      break;
    }

    case When::Resume:
      ASSERT_TRUE(program_.Start());
      ASSERT_TRUE(device::WaitFor([] { return device::PortWaits() >= 1; }));
      device::ClearRecords();
      Block();
      device::Resume();
      ASSERT_TRUE(device::WaitFor(
          [] { return device::Tray().iconId == IDI_DISABLED && device::LiveThreads() == 0; }));
      EXPECT_EQ(Boxes(), (std::vector<Box>{kCannotOpen, {u"Can not initial IR port!", u"Error"}}));
      EXPECT_EQ(device::OpenPorts(), 0);
      Lift();
      SendCommand(IDM_ENABLE);
      break;
  }
  EXPECT_TRUE(IsIrPortOpen());
  EXPECT_TRUE(TrayShowsEnabled());
  EXPECT_EQ(device::LiveThreads(), 1);
  ExpectTypingWorks(pty_.master);
}

// A lock cannot be taken on a port the program holds, so a busy port at
// resume time is out of reach here.
INSTANTIATE_TEST_SUITE_P(
    Faults, BlockedPortTest,
    ::testing::Values(BlockedCase{"BusyAtStartUp", Blockage::HeldElsewhere, When::StartUp},
                      BlockedCase{"BusyAtEnable", Blockage::HeldElsewhere, When::Enable},
                      BlockedCase{"MissingAtStartUp", Blockage::Missing, When::StartUp},
                      BlockedCase{"MissingAtEnable", Blockage::Missing, When::Enable},
                      BlockedCase{"MissingAtResume", Blockage::Missing, When::Resume},
                      BlockedCase{"NotATerminalAtStartUp", Blockage::NotATerminal, When::StartUp},
                      BlockedCase{"NotATerminalAtEnable", Blockage::NotATerminal, When::Enable},
                      BlockedCase{"NotATerminalAtResume", Blockage::NotATerminal, When::Resume}),
    [](const ::testing::TestParamInfo<BlockedCase>& info) { return info.param.name; });

// ---- `nuvik` as a process ---------------------------------------------------

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

struct RegistryFileCase {
  const char* name;
  // Makes the file at `path`; false when this case cannot be arranged.
  std::function<bool(const std::string& path)> make;
  std::string says;  // in the message after the path
};

void PrintTo(const RegistryFileCase& c, std::ostream* out) { *out << c.name; }

class UnreadableRegistryTest : public ::testing::TestWithParam<RegistryFileCase> {};

TEST_P(UnreadableRegistryTest, RefusesToStartNamingTheFile) {
  const RegistryFileCase& c = GetParam();
  std::string path = ::testing::TempDir() + "nuvik-fault-" + c.name + "-" + std::to_string(getpid());
  ASSERT_TRUE(c.make(path));
  Process nuvik;
  ASSERT_TRUE(nuvik.Start({BinPath("nuvik")}, {"NUVIK_REGISTRY=" + path}));
  nuvik.CloseInput();
  EXPECT_EQ(nuvik.Wait(), 2);
  auto err = SplitLines(nuvik.Err());
  ASSERT_EQ(err.size(), 1u) << nuvik.Err();
  EXPECT_TRUE(StartsWith(err[0], "nuvik: " + path + ":")) << err[0];
  EXPECT_NE(err[0].find(c.says), std::string::npos) << err[0];
  EXPECT_TRUE(nuvik.Out().empty()) << "the program must not start";
  ::rmdir(path.c_str());
  ::unlink(path.c_str());
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  return static_cast<bool>(out);
}

std::string Garbage(size_t size) {
  std::mt19937 random(7);
  std::string bytes;
  for (size_t i = 0; i < size; ++i) bytes.push_back(static_cast<char>(random() & 0xFF));
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Files, UnreadableRegistryTest,
    ::testing::Values(
        RegistryFileCase{"Directory", [](const std::string& p) { return ::mkdir(p.c_str(), 0700) == 0; },
                         std::string("cannot read: ") + std::strerror(EISDIR)},
        RegistryFileCase{"Empty", [](const std::string& p) { return WriteFile(p, ""); }, "empty file"},
        // Whatever the bytes, the message names the first line it cannot take.
        RegistryFileCase{"BinaryGarbage", [](const std::string& p) { return WriteFile(p, Garbage(4096)); },
                         ":1: "},
        RegistryFileCase{"Missing", [](const std::string&) { return true; },
                         std::string("cannot read: ") + std::strerror(ENOENT)},
        RegistryFileCase{"BadValueNamesItsLine",
                         [](const std::string& p) {
                           return WriteFile(p,
                                            "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Comm]\n"
                                            "\"Port\"=dword:xyz\n");
                         },
                         ":4: bad dword value"}),
    [](const ::testing::TestParamInfo<RegistryFileCase>& info) { return info.param.name; });

struct BadLine {
  const char* name;
  std::string line;
  std::string complaint;  // how the line on standard error starts
};

std::string BinaryLine() {
  std::string line;
  for (int b = 0x80; b <= 0xFF; ++b) line.push_back(static_cast<char>(b));
  for (int b = 0x01; b < 0x20; ++b) {
    if (b != '\n' && b != '\r') line.push_back(static_cast<char>(b));
  }
  return line;
}

const std::string kNotUnderstood = "nuvik: cannot understand \"";
const std::string kMenuIsOpen = "nuvik: the menu is open: expected 'choose ID' or 'dismiss'";
const std::string kTooLong = "\"... (a line longer than 4096 bytes)";
const std::string kHoldsNul = "\" (a NUL byte in the line)";
const std::string kUsage = "\"... (commands: ";

// A picture path cut short at its NUL would be written; the run checks it
// was not.
std::string CutShortPicture() { return ::testing::TempDir() + "nuvik-pic-" + std::to_string(getpid()); }

// The peak of a process's resident memory, in KiB (0 if unknown).
long PeakKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line) && !StartsWith(line, "VmHWM:")) {
  }
  return std::atol(line.c_str() + std::min<size_t>(line.size(), 6));
}

// Lines the console refuses while no menu is open.
const std::vector<BadLine> kBadLines = {
    {"unknown command", "fly away", kNotUnderstood + "fly away\""},
    {"bare send", "send", kNotUnderstood + "send\""},
    {"tap with argument", "tap now", kNotUnderstood + "tap now\""},
    {"unknown panel", "sip maybe", kNotUnderstood + "sip maybe\""},
    {"very long", std::string(100 * 1024, 'x'), kNotUnderstood + std::string(80, 'x') + kTooLong},
    {"very long number", "send " + std::string(100 * 1024, '9'),
     kNotUnderstood + "send " + std::string(75, '9') + kTooLong},
    // The bound: 4096 bytes are a line (one the console does not know),
    // with a CRLF's carriage return too; one more byte is not.
    {"longest line", std::string(4096, 'w'), kNotUnderstood + std::string(80, 'w') + kUsage},
    {"longest line, CRLF", std::string(4096, 'v') + "\r", kNotUnderstood + std::string(80, 'v') + kUsage},
    {"a byte too long", std::string(4097, 'u'), kNotUnderstood + std::string(80, 'u') + kTooLong},
    {"binary", BinaryLine(), kNotUnderstood + "\xEF\xBF\xBD"},
    {"NUL after a good command", std::string("send 40010\0", 11),
     kNotUnderstood + "send 40010\\x00" + kHoldsNul},
    {"NUL first", std::string("\0tap", 4), kNotUnderstood + "\\x00tap" + kHoldsNul},
    {"NUL in a picture's path", "screen " + CutShortPicture() + std::string("\0.png", 5),
     kNotUnderstood + "screen " + CutShortPicture() + "\\x00.png" + kHoldsNul},
    {"negative", "send -1", kNotUnderstood + "send -1\""},
    {"overflow", "send 99999999999999999999999", kNotUnderstood + "send 99999999999999999999999\""},
    {"one past a word", "send 65536", kNotUnderstood + "send 65536\""},
    {"fraction", "send 4.5", kNotUnderstood + "send 4.5\""},
    {"hexadecimal", "send 0x9C4A", kNotUnderstood + "send 0x9C4A\""},
    {"two numbers", "send 102 103", kNotUnderstood + "send 102 103\""},
    {"a word", "send about", kNotUnderstood + "send about\""},
    {"resume with argument", "resume now", kNotUnderstood + "resume now\""},
    {"sip without panel", "sip", kNotUnderstood + "sip\""},
    {"sip in capitals", "sip CE-STAR", kNotUnderstood + "sip CE-STAR\""},
    {"no panel to lower", "sip none lowered", kNotUnderstood + "sip none lowered\""},
    {"panel state unknown", "sip ce-star sideways", kNotUnderstood + "sip ce-star sideways\""},
    {"panel state and more", "sip other lowered now", kNotUnderstood + "sip other lowered now\""},
    {"lowered without a panel", "sip lowered", "nuvik: there is no input panel to lower"},
    {"raised without a panel", "sip raised", "nuvik: there is no input panel to raise"},
    {"choose without menu", "choose 101", "nuvik: no menu is open: 'tap' first"},
    {"bare choose", "choose", "nuvik: no menu is open: 'tap' first"},
    {"dismiss without menu", "dismiss", "nuvik: no menu is open: 'tap' first"},
};

// Lines the console refuses while the tray menu is open.
const std::vector<BadLine> kBadMenuLines = {
    {"unknown item", "choose 999", "nuvik: the menu has no item 999"},
    {"grayed item", "choose 101", "nuvik: item 101 is grayed"},
    {"choose without id", "choose", kMenuIsOpen},
    {"negative id", "choose -1", kMenuIsOpen},
    {"id past a word", "choose 70000", kMenuIsOpen},
    {"two ids", "choose 100 102", kMenuIsOpen},
    {"ok without a box", "ok", kMenuIsOpen},
    {"dismiss with argument", "dismiss now", kMenuIsOpen},
    {"binary", BinaryLine(), kMenuIsOpen},
    // Refused as it streams in, whatever is up.
    {"very long", std::string(100 * 1024, 'y'), kNotUnderstood + std::string(80, 'y') + kTooLong},
};

// Every refused line gets exactly one complaint on standard error, in
// order, and has no effect: afterwards the program still answers.
TEST(NuvikConsoleFaults, BadLinesAreRefusedOneByOneAndChangeNothing) {
  Process nuvik;
  ASSERT_TRUE(nuvik.Start({BinPath("nuvik")}));
  // Start-up ends with the menu on the main thread and the reader's first
  // mask on its own; after both, only the console makes anything happen.
  int menuBuilt = nuvik.WaitLineStarting("AppendMenuW id=102");
  int readerWaits = nuvik.WaitLineStarting("SetCommMask port=\"COM3:\" mask=0x2139");
  ASSERT_GE(menuBuilt, 0);
  ASSERT_GE(readerWaits, 0);
  const int ready = std::max(menuBuilt, readerWaits);

  // A line dropped as it streams in, never held whole (the peak shows it).
  std::vector<BadLine> all = kBadLines;
  all.push_back({"64 MiB", std::string(64 << 20, 'h'), kNotUnderstood + std::string(80, 'h') + kTooLong});
  long peakBefore = PeakKiB(nuvik.Pid());
  for (const BadLine& bad : all) nuvik.Send(bad.line);
  nuvik.Send("tap");
  ASSERT_GE(nuvik.WaitLineStarting("TrackPopupMenuEx ", ready), 0);
  for (const BadLine& bad : kBadMenuLines) nuvik.Send(bad.line);
  // A good choice still works: About, whose box shows once the menu is gone.
  nuvik.Send("choose 102");
  ASSERT_GE(nuvik.WaitLineStarting("MessageBoxW owner=foreground caption=\"About Nuvik\"", ready), 0)
      << "the menu no longer answers";
  nuvik.Send("send 40010");
  ASSERT_GE(nuvik.WaitLineStarting("MessageBoxW owner=main caption=\"About Nuvik\"", ready), 0)
      << "the program no longer answers";
  ASSERT_GE(nuvik.WaitLineStarting("SendMessageW window=main msg=0x111 wparam=0x9C4A", ready), 0);
  EXPECT_LT(PeakKiB(nuvik.Pid()) - peakBefore, 16 * 1024) << "a long line was held";
  nuvik.CloseInput();  // the end of input changes nothing
  nuvik.Signal(SIGTERM);
  EXPECT_EQ(nuvik.Wait(), 1);

  // Up to the close, the only effects were the menu, its About box, and the
  // request for the other About box and the box itself. (The request's own
  // line may come just before or just after its box.)
  auto out = nuvik.Out();
  auto closing = std::find_if(out.begin() + ready, out.end(),
                              [](const std::string& l) { return StartsWith(l, "DestroyWindow "); });
  std::vector<std::string> effects;
  for (auto line = out.begin() + ready + 1; line != closing; ++line)
    effects.push_back(line->substr(0, line->find(" text=")));
  std::sort(effects.begin(), effects.end());
  EXPECT_EQ(effects, (std::vector<std::string>{"MessageBoxW owner=foreground caption=\"About Nuvik\"",
                                               "MessageBoxW owner=main caption=\"About Nuvik\"",
                                               "PopupMenuClosed choice=102 by=user",
                                               "SendMessageW window=main msg=0x111 wparam=0x9C4A lparam=0x0",
                                               "TrackPopupMenuEx x=208 y=304 flags=0x28"}));

  EXPECT_NE(::access(CutShortPicture().c_str(), F_OK), 0) << "a picture went to the path cut at its NUL";
  ::unlink(CutShortPicture().c_str());
  all.insert(all.end(), kBadMenuLines.begin(), kBadMenuLines.end());
  auto err = SplitLines(nuvik.Err());
  ASSERT_EQ(err.size(), all.size()) << "one complaint per refused line";
  for (size_t i = 0; i < all.size(); ++i) {
    EXPECT_TRUE(StartsWith(err[i], all[i].complaint))
        << all[i].name << ": " << err[i].substr(0, 200) << (err[i].size() > 200 ? "..." : "");
  }
}

// ---- `nuvik-adapter` given nonsense ----------------------------------------

struct BadAdapterRun {
  const char* name;
  std::vector<std::string> args;  // "TTY" stands for the pseudo-terminal
  std::string input;              // standard input, then a newline
  std::string says;
};

// Argument lists and inputs the simulator refuses before it opens the
// device (its own tests cover the common mistakes; these are the edges).
const std::vector<BadAdapterRun> kBadAdapterRuns = {
    {"gap over a minute", {"--gap", "60001", "--text", "a", "TTY"}, "", "--gap: '60001'"},
    {"empty gap", {"--gap=", "--text", "a", "TTY"}, "", "--gap: ''"},
    {"negative repeat", {"--repeat", "-3", "--text", "a", "TTY"}, "", "--repeat: '-3'"},
    {"repeat past the limit", {"--repeat", "1000001", "--text", "a", "TTY"}, "", "--repeat: '1000001'"},
    {"repeat overflow", {"--repeat=99999999999999999999999", "--text", "a", "TTY"}, "", "--repeat: '9999"},
    {"help with a value", {"--help=yes"}, "", "--help takes no value"},
    {"empty hex", {"--hex", "", "TTY"}, "", "--hex: "},
    {"bad hex after good", {"--hex", "41 1E 00 5F", "--hex", "0x100", "TTY"}, "", "--hex: '0x100'"},
    {"flags past a byte", {"--key", "41:1E:100", "TTY"}, "", "--key: flags '100'"},
    {"key without value", {"--key"}, "", "--key needs a value"},
    {"gap without value", {"--text", "ok", "TTY", "--gap"}, "", "--gap needs a value"},
    {"second tty after --", {"--text", "ok", "TTY", "--", "-odd"}, "", "more than one TTY"},
    {"text not UTF-8", {"--text", "ok\xFF\xFE", "TTY"}, "", "--text: "},
    {"long text, bad at its end",
     {"--text", std::string(100 * 1024, 'a') + "\x01", "TTY"},
     "",
     "--text: character U+0001 at position 102401"},
    {"NUL on standard input",
     {"--stdin", "TTY"},
     std::string("ok\0", 3),
     "--stdin: character U+0000 at position 3"},
    // One byte over the 256 KiB the simulator takes, with the newline.
    {"standard input too long",
     {"--stdin", "TTY"},
     std::string(256 * 1024, 'a'),
     "standard input is longer than"},
};

TEST(AdapterFaults, RefusedRunsExitTwoAndSendNothing) {
  device::Pty pty;
  ASSERT_TRUE(device::OpenPty(&pty));
  std::unique_ptr<device::Pty, void (*)(device::Pty*)> closePty(&pty, device::ClosePty);
  // Keeps the line up between the simulator's runs.
  int line = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(line, 0);

  auto run = [&](const std::vector<std::string>& args, const std::string& input, std::string* err) {
    std::vector<std::string> argv = {BinPath("nuvik-adapter")};
    for (const std::string& a : args) argv.push_back(a == "TTY" ? pty.slavePath : a);
    Process adapter;
    if (!adapter.Start(argv)) return -1;
    // Send ends the input with a newline, which the cases count in. The
    // simulator reads all of its input before it can find it too long, so
    // it never leaves this write hanging on a closed pipe.
    if (!input.empty()) adapter.Send(input);
    adapter.CloseInput();
    int code = adapter.Wait();
    *err = adapter.Err();
    if (!adapter.Out().empty()) *err += "(and wrote on standard output)";
    return code;
  };

  for (const BadAdapterRun& bad : kBadAdapterRuns) {
    std::string err;
    EXPECT_EQ(run(bad.args, bad.input, &err), 2) << bad.name << ": " << err.substr(0, 300);
    auto lines = SplitLines(err);
    ASSERT_EQ(lines.size(), 1u) << bad.name << ": " << err.substr(0, 300);
    EXPECT_TRUE(StartsWith(lines[0], "nuvik-adapter: ")) << bad.name << ": " << lines[0].substr(0, 300);
    EXPECT_NE(lines[0].find(bad.says), std::string::npos) << bad.name << ": " << lines[0].substr(0, 300);
  }

  // Had any refused run written a byte, it would come before this packet.
  std::string err;
  ASSERT_EQ(run({"--fast", "--key", "41:1E", "TTY"}, "", &err), 0) << err;
  std::vector<unsigned char> got;
  while (got.size() < 4) {
    pollfd ready = {pty.master, POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 5000), 1) << "the good run's packet never came";
    unsigned char buffer[64];
    ssize_t n = ::read(pty.master, buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    got.insert(got.end(), buffer, buffer + n);
  }
  EXPECT_EQ(got, (std::vector<unsigned char>{0x41, 0x1E, 0x00, 0x5F}));
  ::close(line);
}

}  // namespace
