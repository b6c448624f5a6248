// The trace's string format, the simulated focus window's text, what the
// host keeps of its records, and the trace written in batches.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "device.h"
#include "platform.h"

extern char** environ;

namespace {

struct QuoteCase {
  std::u16string text;
  std::string quoted;
};

class HostQuoteTest : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(HostQuoteTest, EscapesAsC) { EXPECT_EQ(device::Quote(GetParam().text), GetParam().quoted); }

INSTANTIATE_TEST_SUITE_P(
    Strings, HostQuoteTest,
    ::testing::Values(QuoteCase{u"", "\"\""}, QuoteCase{u"COM3:", "\"COM3:\""},
                      QuoteCase{u"Unable to open IR port!\r\n", "\"Unable to open IR port!\\r\\n\""},
                      QuoteCase{u"say \"hi\" \\ bye\t", "\"say \\\"hi\\\" \\\\ bye\\t\""},
                      QuoteCase{std::u16string(u"a\0b\x1f\x7f", 5), "\"a\\x00b\\x1F\\x7F\""},
                      QuoteCase{u"caf\u00e9", "\"caf\xC3\xA9\""},
                      QuoteCase{u"\U0001F600!", "\"\xF0\x9F\x98\x80!\""},
                      QuoteCase{std::u16string(1, char16_t(0xD800)), "\"\xEF\xBF\xBD\""}));

TEST(HostUtf8, RoundTripsAndReplacesBadBytes) {
  for (const std::u16string& text : {std::u16string(u"plain"), std::u16string(u"\u00e9\u20ac\U0001F600")}) {
    EXPECT_EQ(device::FromUtf8(device::ToUtf8(text)), text);
  }
  EXPECT_EQ(device::FromUtf8("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(device::FromUtf8("\xE2\x82"), u"\uFFFD\uFFFD");  // cut short
}

using Keys = std::vector<std::pair<WORD, bool>>;  // virtual key, released

// `times` presses of one key, then the keys after them.
Keys Presses(WORD vk, size_t times, Keys after = {}) {
  Keys keys(times, {vk, false});
  keys.insert(keys.end(), after.begin(), after.end());
  return keys;
}

struct TypingCase {
  const char* name;
  Keys keys;
  std::u16string text;
  uint64_t dropped = 0;  // characters let go beyond the edit control's limit
};

// The newest characters up to the limit stay, whatever came before.
const size_t kLimit = device::kFocusTextLimit;

class HostFocusTextTest : public ::testing::TestWithParam<TypingCase> {};

TEST_P(HostFocusTextTest, TypesWithUsLayout) {
  device::Reset();
  for (auto [vk, up] : GetParam().keys) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    ASSERT_EQ(SendInput(1, &input, sizeof input), 1u);
  }
  EXPECT_EQ(device::FocusText(), GetParam().text);
  EXPECT_EQ(device::FocusTextDropped(), GetParam().dropped);
  device::Reset();
  EXPECT_EQ(device::FocusTextDropped(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, HostFocusTextTest,
    ::testing::Values(
        TypingCase{"Letters", {{'H', false}, {'H', true}, {'I', false}, {'I', true}}, u"hi"},
        TypingCase{"ShiftHeld", {{VK_SHIFT, false}, {'H', false}, {'1', false}, {VK_SHIFT, true}, {'I', false}}, u"H!i"},
        TypingCase{"BackspaceDeletes", {{'A', false}, {'B', false}, {VK_BACK, false}, {VK_BACK, false}, {VK_BACK, false}},
                   u""},
        TypingCase{"Punctuation", {{0xBC, false}, {0xBE, false}, {VK_SHIFT, false}, {0xBF, false}, {0xDE, false}},
                   u",.?\""},
        TypingCase{"CapsLock", {{0x14, false}, {0x14, true}, {'A', false}, {VK_SHIFT, false}, {'A', false}}, u"Aa"},
        TypingCase{"ReleasesTypeNothing", {{'A', true}, {0x20, true}}, u""},
        TypingCase{"ReleasesOfMAndN", {{'M', false}, {'M', true}, {'N', false}, {'N', true}}, u"mn"},
        TypingCase{"FillsToTheLimit", Presses('A', kLimit), std::u16string(kLimit, u'a')},
        TypingCase{"KeepsTheNewestBeyondTheLimit", Presses('A', kLimit, Presses('B', 3)),
                   std::u16string(kLimit - 3, u'a') + u"bbb", 3},
        TypingCase{"BackspaceBringsNothingBack", Presses('A', 2, Presses('B', kLimit, Presses(VK_BACK, 2))),
                   std::u16string(kLimit - 2, u'b'), 2},
        TypingCase{"LetsGoOfMoreThanALimit", Presses('A', kLimit + 5, Presses('B', kLimit - 1, {{VK_RETURN, false}})),
                   std::u16string(kLimit - 1, u'b') + u"\r", kLimit + 5}),
    [](const ::testing::TestParamInfo<TypingCase>& info) { return info.param.name; });

// ---- What the host keeps --------------------------------------------------

void PressKeys(size_t count) {
  for (size_t i = 0; i < count; ++i) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = static_cast<WORD>(0x100 + i);  // types nothing: the focus text stays empty
    input.ki.wScan = static_cast<WORD>(i);
    ASSERT_EQ(SendInput(1, &input, sizeof input), 1u);
  }
}

TEST(HostRecords, KeepTheNewestAndCountThemAll) {
  struct Case {
    size_t limit;
    size_t recorded;
    size_t kept;
  } cases[] = {
      {4, 0, 0}, {4, 3, 3}, {4, 4, 4}, {4, 5, 4}, {4, 11, 4}, {1, 7, 1}, {0, 5, 0}, {1000, 999, 999},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("limit " + std::to_string(c.limit) + ", recorded " + std::to_string(c.recorded));
    device::Reset();
    device::SetRecordLimit(c.limit);
    PressKeys(c.recorded);
    std::vector<device::KeyInput> inputs = device::SendInputs();
    std::vector<std::string> trace = device::Trace();
    ASSERT_EQ(inputs.size(), c.kept);
    ASSERT_EQ(trace.size(), c.kept);
    for (size_t k = 0; k < c.kept; ++k) {  // the newest, oldest first
      size_t n = c.recorded - c.kept + k;
      EXPECT_EQ(inputs[k].scan, n);
      char line[80];
      std::snprintf(line, sizeof line, "SendInput vk=0x%02zX scan=0x%02zX flags=0x0 extra=0x00000000", 0x100 + n, n);
      EXPECT_EQ(trace[k], line);
    }
    device::RecordCounts counts = device::CountRecords();
    EXPECT_EQ(counts.keyInputs, c.recorded);
    EXPECT_EQ(counts.traceLines, c.recorded);
    EXPECT_EQ(counts.keybdMessages, 0u);
  }
  device::Reset();
  EXPECT_EQ(device::RecordLimit(), device::kDefaultRecordLimit);
}

TEST(HostRecords, LoweringTheLimitKeepsTheNewestAndClearingForgetsTheCounts) {
  device::Reset();
  PressKeys(10);
  device::SetRecordLimit(3);
  std::vector<device::KeyInput> inputs = device::SendInputs();
  ASSERT_EQ(inputs.size(), 3u);
  EXPECT_EQ(inputs.front().scan, 7);
  EXPECT_EQ(inputs.back().scan, 9);
  PressKeys(1);  // the ring goes on from the trimmed records
  EXPECT_EQ(device::SendInputs().front().scan, 8);
  EXPECT_EQ(device::CountRecords().keyInputs, 11u);
  device::ClearRecords();
  EXPECT_TRUE(device::SendInputs().empty());
  EXPECT_EQ(device::CountRecords().keyInputs, 0u);
  EXPECT_EQ(device::RecordLimit(), 3u) << "clearing the records is not a reset";
  device::Reset();
}

// ---- The trace on a descriptor ---------------------------------------------

// The read end of a pipe drained by a thread: what the trace wrote so far.
class TraceReader {
 public:
  TraceReader() {
    EXPECT_EQ(pipe2(fds_, O_CLOEXEC), 0);
    thread_ = std::thread([this] {
      char buffer[4096];
      for (;;) {
        ssize_t n = read(fds_[0], buffer, sizeof buffer);
        if (n <= 0) return;
        std::lock_guard<std::mutex> lock(mutex_);
        text_.append(buffer, static_cast<size_t>(n));
        device::NotifyChanged();
      }
    });
  }
  ~TraceReader() {
    device::SetTraceOutput(-1);
    CloseWriteEnd();
    thread_.join();
    close(fds_[0]);
  }
  int fd() const { return fds_[1]; }
  void CloseWriteEnd() {
    if (fds_[1] >= 0) close(fds_[1]);
    fds_[1] = -1;
  }
  std::string Text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }
  bool WaitForBytes(size_t count, int timeoutMs = 5000) {
    return device::WaitFor([&] { return Text().size() >= count; }, timeoutMs);
  }

 private:
  int fds_[2] = {-1, -1};
  std::thread thread_;
  std::mutex mutex_;
  std::string text_;
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

DWORD WINAPI PressOneKey(LPVOID) {
  PressKeys(1);
  return 0;
}

std::atomic<bool> g_released{false};
DWORD WINAPI WaitForRelease(LPVOID) {
  while (!g_released.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return 0;
}

// Each row: how the lines got out without a FlushTrace of the test's own.
TEST(HostTraceOutput, LinesWaitForTheNextBlockingCallThenGoOutWhole) {
  struct Case {
    const char* name;
    std::function<void(TraceReader&)> block;
  } cases[] = {
      {"FlushTrace", [](TraceReader&) { device::FlushTrace(); }},
      {"Sleep", [](TraceReader&) { Sleep(0); }},
      {"a thread ends",
       [](TraceReader&) {
         HANDLE thread = CreateThread(nullptr, 0, PressOneKey, nullptr, 0, nullptr);
         ASSERT_NE(thread, nullptr);
         ASSERT_TRUE(device::WaitFor([] { return device::LiveThreads() == 0; }));
         CloseHandle(thread);
       }},
      {"a wait for a thread",
       [](TraceReader& reader) {
         g_released = false;
         HANDLE thread = CreateThread(nullptr, 0, WaitForRelease, nullptr, 0, nullptr);
         ASSERT_NE(thread, nullptr);
         EXPECT_EQ(WaitForSingleObject(thread, 1), static_cast<DWORD>(WAIT_TIMEOUT));
         EXPECT_TRUE(reader.WaitForBytes(1)) << "nothing out while the thread still runs";
         g_released = true;
         WaitForSingleObject(thread, INFINITE);
         CloseHandle(thread);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device::Reset();
    TraceReader reader;
    device::SetTraceOutput(reader.fd());
    PressKeys(3);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // (A handheld thread left running by an earlier test in this process
    // would flush the batch when it waits.)
    if (device::LiveThreads() == 0) {
      EXPECT_EQ(reader.Text(), "") << "written before anything blocked";
    }
    c.block(reader);
    std::string expected = Joined(device::Trace());
    ASSERT_TRUE(reader.WaitForBytes(expected.size()));
    EXPECT_EQ(reader.Text(), expected);
  }
  device::Reset();
}

TEST(HostTraceOutput, ABigBatchGoesOutWithoutWaitingForABlock) {
  device::Reset();
  TraceReader reader;
  device::SetTraceOutput(reader.fd());
  PressKeys(2000);  // about 120 KiB of lines
  ASSERT_TRUE(reader.WaitForBytes(64 * 1024));
  std::string early = reader.Text();
  device::FlushTrace();
  std::string expected = Joined(device::Trace());
  ASSERT_TRUE(reader.WaitForBytes(expected.size()));
  EXPECT_EQ(reader.Text(), expected);
  EXPECT_EQ(expected.compare(0, early.size(), early), 0) << "batches keep the trace's order";
  device::Reset();
}

TEST(HostTraceOutput, AReaderThatGoesAwayChangesNothingElse) {
  signal(SIGPIPE, SIG_IGN);  // as nuvik does
  device::Reset();
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  close(fds[0]);
  device::SetTraceOutput(fds[1]);
  PressKeys(2);
  device::FlushTrace();  // EPIPE
  PressKeys(2);
  device::FlushTrace();
  EXPECT_EQ(device::SendInputs().size(), 4u);
  EXPECT_EQ(device::Trace().size(), 4u);
  device::SetTraceOutput(-1);
  close(fds[1]);
  device::Reset();
}

// ---- Cause before effect ----------------------------------------------------

// A command to the window puts up a box (answered at once); WM_USER ends
// the window's thread.
LRESULT CALLBACK BoxOnCommand(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND) MessageBoxW(window, u"Unhandled WM_COMMAND message", u"ERROR", MB_OK);
  if (message == WM_USER) PostQuitMessage(0);
  return DefWindowProcW(window, message, wParam, lParam);
}

std::atomic<HWND> g_boxWindow{nullptr};

DWORD WINAPI RunBoxWindow(LPVOID) {
  g_boxWindow = CreateWindowExW(0, u"Order", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  device::NotifyChanged();
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  return 0;
}

// Another program's command to a window whose thread waits for messages.
void SendCommandToAWaitingWindow() {
  g_boxWindow = nullptr;
  HANDLE thread = CreateThread(nullptr, 0, RunBoxWindow, nullptr, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(device::WaitFor([] { return g_boxWindow.load() != nullptr; }));
  ASSERT_TRUE(device::WaitIdle(g_boxWindow));
  SendMessageW(g_boxWindow, WM_COMMAND, 106, 0);
  PostMessageW(g_boxWindow, WM_USER, 0, 0);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

// A reader blocked in WaitCommEvent on a memory port; `cause` ends its
// wait, after which the reader traces a line of its own (CreatePopupMenu).
// `cause` returns whether the port is still open.
void EndAWaitingReader(const std::function<bool(HANDLE)>& cause) {
  HANDLE port = CreateFileW(u"COM3:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_POWER | EV_CTS));
  long waits = device::PortWaits();
  std::thread reader([port] {
    DWORD event = 0;
    WaitCommEvent(port, &event, nullptr);
    DestroyMenu(CreatePopupMenu());
  });
  ASSERT_TRUE(device::WaitFor([waits] { return device::PortWaits() > waits; }));
  bool open = cause(port);
  reader.join();
  if (open) {
    EXPECT_TRUE(CloseHandle(port));
  }
}

// Empty when the lines hold `rounds` causes each followed by its effect
// (lines starting with `cause` and `effect`; others are ignored); else
// where the order first broke.
std::string OutOfOrder(const std::vector<std::string>& lines, const std::string& cause, const std::string& effect,
                       int rounds) {
  std::string seen;  // 'c' and 'e', in order
  for (const std::string& line : lines) {
    if (line.rfind(cause, 0) == 0) seen += 'c';
    if (line.rfind(effect, 0) == 0) seen += 'e';
  }
  std::string due;
  for (int round = 0; round < rounds; ++round) due += "ce";
  if (seen == due) return "";
  size_t at = 0;
  while (at < seen.size() && at < due.size() && seen[at] == due[at]) ++at;
  auto name = [&](const std::string& of) { return at >= of.size() ? "the end" : of[at] == 'e' ? effect : cause; };
  return "round " + std::to_string(at / 2 + 1) + ": " + name(seen) + " came where " + name(due) + " was due";
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  for (size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
    lines.push_back(text.substr(from, end - from));
  }
  return lines;
}

// What one thread does that wakes another comes first in the trace and on
// its descriptor, however the threads run: each row, many times over.
TEST(HostTraceOutput, ACauseComesBeforeWhatItLedTo) {
  constexpr int kRounds = 200;
  struct Case {
    const char* name;
    std::string cause, effect;  // the start of each line
    std::function<void()> round;
  } cases[] = {
      {"another program's command", "SendMessageW window=main msg=0x111 wparam=0x6A", "MessageBoxW ",
       SendCommandToAWaitingWindow},
      {"a resume", "resume", "CreatePopupMenu", [] {
         EndAWaitingReader([](HANDLE) {
           device::Resume();
           return true;
         });
       }},
      {"a line event", "line events=0x8", "CreatePopupMenu",
       [] {
         EndAWaitingReader([](HANDLE) {
           device::RaiseLineEvents(EV_CTS);
           return true;
         });
       }},
      {"a mask change", "SetCommMask port=\"COM3:\" mask=0x0", "CreatePopupMenu",
       [] { EndAWaitingReader([](HANDLE port) { return SetCommMask(port, 0) != FALSE; }); }},
      {"a close", "CloseHandle port=\"COM3:\"", "CreatePopupMenu",
       [] {
         EndAWaitingReader([](HANDLE port) {
           EXPECT_TRUE(CloseHandle(port));
           return false;
         });
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device::Reset();
    device::MapPortToMemory(u"COM3:");
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = BoxOnCommand;
    windowClass.lpszClassName = u"Order";
    ASSERT_NE(RegisterClassW(&windowClass), 0);
    TraceReader reader;
    device::SetTraceOutput(reader.fd());
    for (int round = 0; round < kRounds; ++round) c.round();
    device::FlushTrace();
    EXPECT_EQ(OutOfOrder(device::Trace(), c.cause, c.effect, kRounds), "") << "in the records";
    ASSERT_TRUE(reader.WaitForBytes(Joined(device::Trace()).size()));
    EXPECT_EQ(OutOfOrder(SplitLines(reader.Text()), c.cause, c.effect, kRounds), "") << "as written";
  }
  device::Reset();
}

// `nuvik | head -3`: once its standard output is gone the program runs on
// and still ends as it always does.
TEST(HostTraceOutput, NuvikRunsOnWithItsStandardOutputClosed) {
  int in[2], out[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  const std::string binary = NUVIK_BIN_DIR "/nuvik";
  char* argv[] = {const_cast<char*>(binary.c_str()), nullptr};
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  // Three lines, as `head -3` would take, then the reader goes away.
  std::string seen;
  char c;
  while (std::count(seen.begin(), seen.end(), '\n') < 3 && read(out[0], &c, 1) == 1) seen.push_back(c);
  close(out[0]);
  ASSERT_EQ(std::count(seen.begin(), seen.end(), '\n'), 3) << seen;
  // Commands that trace after the reader has gone, then the exit command.
  const std::string commands = "send 40010\nsend 104\nsend 103\n";
  ASSERT_EQ(write(in[1], commands.data(), commands.size()), static_cast<ssize_t>(commands.size()));
  int status = 0;
  pid_t ended = 0;
  for (int waited = 0; ended == 0 && waited < 20000; waited += 10) {
    ended = waitpid(pid, &status, WNOHANG);
    if (ended == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (ended == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    ADD_FAILURE() << "nuvik did not exit";
  }
  close(in[1]);
  EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
}

}  // namespace
