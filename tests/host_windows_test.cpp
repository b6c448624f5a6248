// The simulated handheld's windows and message queues: what the program's
// start-up, message loop and reader thread rely on, and the windows of other
// programs that the tap emulation looks for.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "win32.h"

namespace {

constexpr UINT kPing = WM_USER + 1;  // answered with wParam + 1
constexpr UINT kNote = WM_USER + 2;  // only logged
constexpr UINT kQuit = WM_USER + 3;  // posts the quit message with code 7

struct Seen {
  HWND window;
  UINT message;
  WPARAM wParam;
  std::thread::id thread;
};

std::mutex g_seenMutex;
std::vector<Seen> g_seen;
std::atomic<LRESULT> g_createAnswer{0};
HWND g_innerBoxOwner = nullptr;

std::vector<Seen> SeenMessages() {
  std::lock_guard<std::mutex> lock(g_seenMutex);
  return g_seen;
}

std::vector<UINT> SeenIds() {
  std::vector<UINT> ids;
  for (const Seen& seen : SeenMessages()) ids.push_back(seen.message);
  return ids;
}

LRESULT CALLBACK LoggingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  {
    std::lock_guard<std::mutex> lock(g_seenMutex);
    g_seen.push_back({window, message, wParam, std::this_thread::get_id()});
  }
  if (message == WM_CREATE) return g_createAnswer.load();
  if (message == kPing) return static_cast<LRESULT>(wParam + 1);
  if (message == kQuit) PostQuitMessage(7);
  if (message == kQuit + 1) MessageBoxW(g_innerBoxOwner, u"Text", u"Inner", MB_OK);
  return DefWindowProcW(window, message, wParam, lParam);
}

bool TraceHas(const std::string& line) {
  std::vector<std::string> trace = device::Trace();
  return std::find(trace.begin(), trace.end(), line) != trace.end();
}

// The trace line that shows a message from another thread has been queued.
std::string SentLine(UINT message, WPARAM wParam) {
  char line[96];
  std::snprintf(line, sizeof line, "SendMessageW window=main msg=0x%X wparam=0x%lX lparam=0x0", message,
                static_cast<unsigned long>(wParam));
  return line;
}

std::u16string FirstChildClass(HWND panel) {
  WCHAR name[256];
  int length = GetClassNameW(GetWindow(panel, GW_CHILD), name, 256);
  return std::u16string(name, static_cast<size_t>(length));
}

// Sends one message from a thread of its own. A sender that is never
// answered is released with a device reset, so a broken queue fails the test
// instead of hanging it.
class Sender {
 public:
  Sender(HWND window, UINT message, WPARAM wParam)
      : thread_([=] {
          answer_ = SendMessageW(window, message, wParam, 0);
          device::NotifyChanged();
        }) {}
  ~Sender() {
    if (thread_.joinable()) Answered();
  }
  // Whether the sender got its answer within the time.
  bool Answered(int timeoutMs = 2000) {
    bool answered = device::WaitFor([this] { return answer_.load() != kWaiting; }, timeoutMs);
    if (!answered) device::Reset();
    Join();
    return answered;
  }
  LRESULT Answer() const { return answer_.load(); }
  bool Waiting() const { return answer_.load() == kWaiting; }

 private:
  static constexpr LRESULT kWaiting = -5;
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  std::atomic<LRESULT> answer_{kWaiting};
  std::thread thread_;
};

class HostWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device::Reset();
    {
      std::lock_guard<std::mutex> lock(g_seenMutex);
      g_seen.clear();
    }
    g_createAnswer = 0;
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = LoggingProc;
    windowClass.lpszClassName = u"Test Class";
    ASSERT_NE(RegisterClassW(&windowClass), 0);
  }
  void TearDown() override { device::Reset(); }

  static HWND Create(HWND parent = nullptr, const char16_t* title = u"Test") {
    return CreateWindowExW(0, u"Test Class", title, 0, 0, 0, 0, 0, parent, nullptr, nullptr, nullptr);
  }
};

// ---- Classes, creation, destruction ------------------------------------------

TEST_F(HostWindowsTest, RegisterClassRefusesDuplicatesBadRecordsAndTheFault) {
  WNDCLASSW good{};
  good.lpfnWndProc = LoggingProc;
  good.lpszClassName = u"Other Class";
  WNDCLASSW duplicate = good;
  duplicate.lpszClassName = u"TEST class";  // names compare without case
  WNDCLASSW noProc = good;
  noProc.lpfnWndProc = nullptr;
  WNDCLASSW noName = good;
  noName.lpszClassName = nullptr;
  WNDCLASSW emptyName = good;
  emptyName.lpszClassName = u"";

  struct Case {
    const char* name;
    const WNDCLASSW* record;
    bool fault;
    DWORD error;
  } cases[] = {
      {"duplicate", &duplicate, false, ERROR_CLASS_ALREADY_EXISTS},
      {"no procedure", &noProc, false, ERROR_INVALID_PARAMETER},
      {"no name", &noName, false, ERROR_INVALID_PARAMETER},
      {"empty name", &emptyName, false, ERROR_INVALID_PARAMETER},
      {"null record", nullptr, false, ERROR_INVALID_PARAMETER},
      {"fault", &good, true, ERROR_NOT_ENOUGH_MEMORY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device::SetFault(device::Fault::RegisterClass, c.fault);
    SetLastError(0);
    EXPECT_EQ(RegisterClassW(c.record), 0);
    EXPECT_EQ(GetLastError(), c.error);
  }
  device::SetFault(device::Fault::RegisterClass, false);
  EXPECT_NE(RegisterClassW(&good), 0);
}

TEST_F(HostWindowsTest, CreateWindowFailsWithoutClassOrParentAndUnderTheFault) {
  EXPECT_EQ(CreateWindowExW(0, u"No Such Class", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(CreateWindowExW(0, nullptr, u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(Create(reinterpret_cast<HWND>(0x7770)), nullptr);
  device::SetFault(device::Fault::CreateWindow, true);
  EXPECT_EQ(Create(), nullptr);
  EXPECT_TRUE(SeenMessages().empty());  // no procedure ran for any of them
  device::SetFault(device::Fault::CreateWindow, false);

  HWND window = Create();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(SeenIds(), std::vector<UINT>{WM_CREATE});
  EXPECT_EQ(FindWindowW(u"test CLASS", u"Test"), window);
}

TEST_F(HostWindowsTest, ProcedureVetoingCreationGetsItsWindowDestroyed) {
  g_createAnswer = -1;
  EXPECT_EQ(Create(), nullptr);
  EXPECT_EQ(SeenIds(), (std::vector<UINT>{WM_CREATE, WM_DESTROY}));
  EXPECT_EQ(FindWindowW(u"Test Class", nullptr), nullptr);
}

TEST_F(HostWindowsTest, DestroyWindowSendsDestroyParentFirstAndLeavesStaleHandles) {
  HWND parent = Create();
  HWND child = Create(parent, u"Child");
  HWND grandchild = Create(child, u"Grandchild");
  ASSERT_TRUE(parent && child && grandchild);
  ASSERT_TRUE(PostMessageW(child, kNote, 1, 0));

  EXPECT_TRUE(DestroyWindow(parent));
  std::vector<HWND> destroyed;
  for (const Seen& seen : SeenMessages()) {
    if (seen.message == WM_DESTROY) destroyed.push_back(seen.window);
  }
  EXPECT_EQ(destroyed, (std::vector<HWND>{parent, child, grandchild}));

  WCHAR name[32];
  for (HWND gone : {parent, child, grandchild}) {
    EXPECT_FALSE(DestroyWindow(gone));
    EXPECT_EQ(GetClassNameW(gone, name, 32), 0);
    EXPECT_FALSE(PostMessageW(gone, kNote, 0, 0));
    EXPECT_EQ(SendMessageW(gone, kPing, 1, 0), 0);
  }
  // The freed values come back, as on the handheld: the newer window owns
  // the value wholly, and no message meant for the old one reaches it. A
  // message posted before the destruction is still read, with the dead
  // handle, and holds the value back until then.
  HWND next = Create();
  EXPECT_TRUE(next == parent || next == grandchild);
  EXPECT_GT(GetClassNameW(next, name, 32), 0);
  PostQuitMessage(0);  // read after the message, if there is one
  MSG msg{};
  ASSERT_TRUE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.hwnd, child);
  DispatchMessageW(&msg);
  EXPECT_EQ(SeenIds().back(), static_cast<UINT>(WM_CREATE));  // the note reached nobody
  EXPECT_EQ(Create(), child);
}

TEST_F(HostWindowsTest, CloseThroughDefWindowProcDestroysTheWindow) {
  HWND window = Create();
  EXPECT_EQ(SendMessageW(window, WM_CLOSE, 0, 0), 0);
  EXPECT_EQ(SeenIds(), (std::vector<UINT>{WM_CREATE, WM_CLOSE, WM_DESTROY}));
  EXPECT_EQ(FindWindowW(u"Test Class", nullptr), nullptr);
}

TEST_F(HostWindowsTest, OnlyTheOwningThreadMayDestroyAWindow) {
  HWND window = Create();
  BOOL result = TRUE;
  DWORD error = 0;
  std::thread other([&] {
    result = DestroyWindow(window);
    error = GetLastError();
  });
  other.join();
  EXPECT_FALSE(result);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(FindWindowW(u"Test Class", nullptr), window);
  HWND foreign = device::CreateForeignWindow(u"Foreign");
  EXPECT_FALSE(DestroyWindow(foreign));  // nor a window of another program
  EXPECT_EQ(FindWindowW(u"Foreign", nullptr), foreign);
}

TEST_F(HostWindowsTest, ShowWindowReportsThePreviousVisibilityAndTraces) {
  HWND window = Create();
  HWND child = CreateWindowExW(0, u"Test Class", u"Child", 0x10000000 /* WS_VISIBLE */, 0, 0, 0, 0, window, nullptr,
                               nullptr, nullptr);
  // A visible child of a hidden window is hidden with it.
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_FALSE(IsWindowVisible(child));
  EXPECT_FALSE(ShowWindow(window, SW_HIDE));
  EXPECT_FALSE(ShowWindow(window, SW_SHOW));
  EXPECT_TRUE(IsWindowVisible(window));
  EXPECT_TRUE(IsWindowVisible(child));
  EXPECT_TRUE(ShowWindow(window, SW_HIDE));
  EXPECT_FALSE(IsWindowVisible(child));
  EXPECT_FALSE(IsWindowVisible(reinterpret_cast<HWND>(0x7770)));
  EXPECT_FALSE(IsWindowVisible(nullptr));
  EXPECT_TRUE(UpdateWindow(window));
  EXPECT_TRUE(TraceHas("ShowWindow window=main command=0"));
  EXPECT_TRUE(TraceHas("ShowWindow window=main command=5"));
  EXPECT_FALSE(ShowWindow(reinterpret_cast<HWND>(0x7770), SW_SHOW));
  EXPECT_FALSE(UpdateWindow(nullptr));
}

// ---- Posting, the loop, quitting ---------------------------------------------

TEST_F(HostWindowsTest, QuitArrivesAfterEveryPostedMessageWithItsCode) {
  HWND window = Create();
  ASSERT_TRUE(PostMessageW(window, kNote, 1, 0));
  PostQuitMessage(7);
  ASSERT_TRUE(PostMessageW(window, kNote, 2, 0));
  ASSERT_TRUE(PostMessageW(nullptr, kNote, 3, 0));  // to this thread, no window

  MSG msg{};
  std::vector<WPARAM> read;
  while (GetMessageW(&msg, nullptr, 0, 0)) {
    read.push_back(msg.wParam);
    EXPECT_FALSE(TranslateMessage(&msg));
    DispatchMessageW(&msg);
  }
  EXPECT_EQ(read, (std::vector<WPARAM>{1, 2, 3}));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 7u);
  // The window saw the two messages addressed to it; the thread's own did not reach it.
  EXPECT_EQ(SeenIds(), (std::vector<UINT>{WM_CREATE, kNote, kNote}));
}

TEST_F(HostWindowsTest, BadLoopArgumentsFailCleanly) {
  EXPECT_EQ(GetMessageW(nullptr, nullptr, 0, 0), -1);
  EXPECT_EQ(DispatchMessageW(nullptr), 0);
  MSG stale{reinterpret_cast<HWND>(0x7770), kPing, 1, 0, 0, {0, 0}};
  EXPECT_EQ(DispatchMessageW(&stale), 0);
  EXPECT_FALSE(PostMessageW(reinterpret_cast<HWND>(0x7770), kNote, 0, 0));
  EXPECT_EQ(SendMessageW(nullptr, kPing, 1, 0), 0);
}

TEST_F(HostWindowsTest, DispatchReturnsTheProcedureResult) {
  HWND window = Create();
  ASSERT_TRUE(PostMessageW(window, kPing, 41, 0));
  MSG msg{};
  ASSERT_TRUE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.hwnd, window);
  EXPECT_EQ(DispatchMessageW(&msg), 42);
}

TEST_F(HostWindowsTest, MessagesToAnotherProgramAreRecordedInOrder) {
  HWND keyboard = device::CreateForeignWindow(u"CE-StarIm");
  ASSERT_TRUE(PostMessageW(keyboard, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(33, 24)));
  ASSERT_TRUE(PostMessageW(keyboard, WM_LBUTTONUP, 0, MAKELPARAM(33, 24)));
  EXPECT_EQ(SendMessageW(keyboard, kPing, 5, 0), 0);  // another program's answer is not ours to see

  std::vector<device::PostedMessage> posted = device::PostedToOtherPrograms();
  ASSERT_EQ(posted.size(), 3u);
  UINT messages[] = {WM_LBUTTONDOWN, WM_LBUTTONUP, kPing};
  WPARAM wParams[] = {MK_LBUTTON, 0, 5};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(posted[i].window, keyboard);
    EXPECT_EQ(posted[i].className, u"CE-StarIm");
    EXPECT_EQ(posted[i].message, messages[i]);
    EXPECT_EQ(posted[i].wParam, wParams[i]);
  }
  EXPECT_EQ(posted[0].lParam, MAKELPARAM(33, 24));
}

// ---- Sending -----------------------------------------------------------------

TEST_F(HostWindowsTest, SendOnTheOwningThreadCallsTheProcedureDirectly) {
  HWND window = Create();
  EXPECT_EQ(SendMessageW(window, kPing, 9, 0), 10);
  std::vector<Seen> seen = SeenMessages();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].message, kPing);
  EXPECT_EQ(seen[1].thread, std::this_thread::get_id());
}

TEST_F(HostWindowsTest, SendFromAnotherThreadWaitsForTheLoopAndGoesBeforePostedMessages) {
  HWND window = Create();
  ASSERT_TRUE(PostMessageW(window, kNote, 1, 0));
  Sender sender(window, kPing, 99);
  ASSERT_TRUE(device::WaitFor([] { return TraceHas(SentLine(kPing, 99)); }));
  EXPECT_TRUE(sender.Waiting());  // nothing has run the procedure yet

  MSG msg{};
  ASSERT_TRUE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_TRUE(sender.Answered()) << "the loop returned a posted message before handling the sent one";
  EXPECT_EQ(sender.Answer(), 100);
  EXPECT_EQ(msg.message, kNote);  // the posted one comes out after the sent one ran
  std::vector<Seen> seen = SeenMessages();
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[1].message, kPing);
  EXPECT_EQ(seen[1].thread, std::this_thread::get_id());  // on the window's own thread
}

TEST_F(HostWindowsTest, WaitingSenderIsReleasedWithZeroWhenTheWindowGoes) {
  HWND window = Create();
  Sender sender(window, kPing, 1);
  ASSERT_TRUE(device::WaitFor([] { return TraceHas(SentLine(kPing, 1)); }));
  ASSERT_TRUE(DestroyWindow(window));
  EXPECT_TRUE(sender.Answered());
  EXPECT_EQ(sender.Answer(), 0);
  EXPECT_EQ(SeenIds(), (std::vector<UINT>{WM_CREATE, WM_DESTROY}));  // the sent one never ran
}

TEST_F(HostWindowsTest, WaitingSenderIsReleasedWhenTheOwningThreadEnds) {
  std::promise<HWND> created;
  std::promise<void> mayEnd;
  std::thread owner([&] {
    created.set_value(Create());
    mayEnd.get_future().wait();
  });
  HWND window = created.get_future().get();
  ASSERT_NE(window, nullptr);
  Sender sender(window, kPing, 1);
  bool queued = device::WaitFor([] { return TraceHas(SentLine(kPing, 1)); });
  EXPECT_TRUE(PostMessageW(window, kNote, 1, 0));
  mayEnd.set_value();
  owner.join();
  ASSERT_TRUE(queued);
  EXPECT_TRUE(sender.Answered());
  EXPECT_EQ(sender.Answer(), 0);
  EXPECT_EQ(FindWindowW(u"Test Class", nullptr), nullptr);  // its windows went with it
  EXPECT_EQ(Create(), window);  // and its queue: nothing holds the value back
}

TEST_F(HostWindowsTest, WaitingSenderIsReleasedByReset) {
  HWND window = Create();
  Sender sender(window, kPing, 1);
  ASSERT_TRUE(device::WaitFor([] { return TraceHas(SentLine(kPing, 1)); }));
  device::Reset();
  EXPECT_TRUE(sender.Answered());
  EXPECT_EQ(sender.Answer(), 0);
}

// A window on another thread that, while handling kPing, sends kPing back to
// a window of the thread that is waiting for it.
HWND g_backTarget = nullptr;
LRESULT CALLBACK SendBackProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kPing) {
    LRESULT back = SendMessageW(g_backTarget, kPing, wParam * 10, 0);
    PostQuitMessage(0);
    return back + 1;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

TEST_F(HostWindowsTest, ThreadsSendingToEachOtherDoNotWaitForEver) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = SendBackProc;
  windowClass.lpszClassName = u"Send Back";
  ASSERT_NE(RegisterClassW(&windowClass), 0);
  g_backTarget = Create();
  std::promise<HWND> created;
  std::thread other([&] {
    created.set_value(
        CreateWindowExW(0, u"Send Back", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr));
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0)) DispatchMessageW(&msg);
  });
  HWND remote = created.get_future().get();
  ASSERT_NE(remote, nullptr);
  // 3 goes over, 30 comes back and is answered here with 31, plus one there.
  EXPECT_EQ(SendMessageW(remote, kPing, 3, 0), 32);
  other.join();
  std::vector<Seen> seen = SeenMessages();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].wParam, 30u);
  EXPECT_EQ(seen[1].thread, std::this_thread::get_id());
}

// ---- Finding windows ---------------------------------------------------------

TEST_F(HostWindowsTest, FindWindowLooksAtTopLevelWindowsByClassAndTitle) {
  HWND first = device::CreateForeignWindow(u"SipWndClass", nullptr, u"One");
  HWND second = device::CreateForeignWindow(u"SipWndClass", nullptr, u"Two");
  HWND child = device::CreateForeignWindow(u"Hidden Child", first);
  HWND own = Create(nullptr, u"Nuvik");
  ASSERT_TRUE(first && second && child && own);

  struct Case {
    const char16_t* className;
    const char16_t* title;
    HWND expected;
  } cases[] = {
      {u"SipWndClass", nullptr, second},  // the newest: it went on top
      {u"sipwndclass", nullptr, second},
      {u"SipWndClass", u"One", first},
      {u"SipWndClass", u"Three", nullptr},
      {u"Hidden Child", nullptr, nullptr},  // children are not top-level
      {u"Test Class", u"Nuvik", own},
      {u"SipWndCla", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(device::ToUtf8(c.className));
    EXPECT_EQ(FindWindowW(c.className, c.title), c.expected);
  }
  device::DestroyForeignWindow(second);
  EXPECT_EQ(FindWindowW(u"SipWndClass", nullptr), first);
  device::DestroyForeignWindow(first);
  EXPECT_EQ(FindWindowW(u"Hidden Child", nullptr), nullptr);
  EXPECT_EQ(GetWindow(child, GW_CHILD), nullptr);  // went with its parent
}

TEST_F(HostWindowsTest, GetWindowWalksChildrenInCreationOrder) {
  HWND panel = device::CreateForeignWindow(u"SipWndClass");
  HWND a = device::CreateForeignWindow(u"A", panel);
  HWND b = device::CreateForeignWindow(u"B", panel);
  HWND c = device::CreateForeignWindow(u"C", panel);
  EXPECT_EQ(GetWindow(panel, GW_CHILD), a);
  EXPECT_EQ(GetWindow(a, GW_HWNDNEXT), b);
  EXPECT_EQ(GetWindow(b, GW_HWNDNEXT), c);
  EXPECT_EQ(GetWindow(c, GW_HWNDNEXT), nullptr);
  EXPECT_EQ(GetWindow(a, GW_CHILD), nullptr);
  device::DestroyForeignWindow(a);
  EXPECT_EQ(GetWindow(panel, GW_CHILD), b);
  EXPECT_EQ(GetWindow(nullptr, GW_CHILD), nullptr);
  EXPECT_EQ(GetWindow(panel, 77), nullptr);
  EXPECT_EQ(device::CreateForeignWindow(u""), nullptr);
  EXPECT_EQ(device::CreateForeignWindow(u"X", reinterpret_cast<HWND>(0x7770)), nullptr);
}

TEST_F(HostWindowsTest, GetClassNameCopiesWhatFitsAndTerminates) {
  HWND window = device::CreateForeignWindow(u"CE-StarIm");
  struct Case {
    int length;
    int expected;
    std::u16string text;
  } cases[] = {
      {256, 9, u"CE-StarIm"}, {10, 9, u"CE-StarIm"}, {9, 8, u"CE-StarI"}, {4, 3, u"CE-"}, {1, 0, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    WCHAR buffer[300];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(GetClassNameW(window, buffer, c.length), c.expected);
    EXPECT_EQ(std::u16string(buffer), c.text);
    EXPECT_EQ(buffer[c.length], u'#');  // nothing written past the length given
  }
  WCHAR buffer[8] = u"#";
  EXPECT_EQ(GetClassNameW(window, buffer, 0), 0);
  EXPECT_EQ(GetClassNameW(window, buffer, -3), 0);
  EXPECT_EQ(GetClassNameW(window, nullptr, 8), 0);
  EXPECT_EQ(GetClassNameW(nullptr, buffer, 8), 0);
  EXPECT_EQ(buffer[0], u'#');
}

TEST_F(HostWindowsTest, SoftInputPanelShowsTheWindowsOfEachInputMethod) {
  struct Case {
    device::Sip sip;
    bool lowered;
    bool panel;
    std::u16string keyboardClass;
    bool imeWindow;
  } cases[] = {
      {device::Sip::CeStar, false, true, u"CE-StarIm", true},
      {device::Sip::Other, false, true, u"QWERTY_Keyboard", false},
      {device::Sip::None, false, false, u"", false},
      {device::Sip::CeStar, false, true, u"CE-StarIm", true},  // back again after none
      {device::Sip::CeStar, true, true, u"CE-StarIm", true},   // made lowered: there, but hidden
      {device::Sip::Other, true, true, u"QWERTY_Keyboard", false},
      {device::Sip::None, true, false, u"", false},  // nothing to lower
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.sip)) + (c.lowered ? " lowered" : ""));
    device::SetSip(c.sip, c.lowered);
    HWND panel = FindWindowW(u"SipWndClass", nullptr);
    EXPECT_EQ(panel != nullptr, c.panel);
    EXPECT_EQ(device::ToUtf8(FirstChildClass(panel)), device::ToUtf8(c.keyboardClass));
    EXPECT_EQ(FindWindowW(u"WinXE_ImeClass", nullptr) != nullptr, c.imeWindow);
    EXPECT_EQ(device::SipLowered(), c.panel && c.lowered);
    EXPECT_EQ(IsWindowVisible(panel) != FALSE, c.panel && !c.lowered);
    EXPECT_EQ(IsWindowVisible(GetWindow(panel, GW_CHILD)) != FALSE, c.panel && !c.lowered);
  }
}

// Lowering and raising keep the panel's windows; with no panel there is
// nothing to lower or raise.
TEST_F(HostWindowsTest, LoweredPanelKeepsItsWindowsHidden) {
  EXPECT_FALSE(device::SetSipLowered(true));
  EXPECT_FALSE(device::SipLowered());
  device::SetSip(device::Sip::CeStar);
  HWND panel = FindWindowW(u"SipWndClass", nullptr);
  HWND keyboard = GetWindow(panel, GW_CHILD);
  for (bool lowered : {true, true, false, true, false}) {
    SCOPED_TRACE(lowered);
    EXPECT_TRUE(device::SetSipLowered(lowered));
    EXPECT_EQ(device::SipLowered(), lowered);
    EXPECT_EQ(FindWindowW(u"SipWndClass", nullptr), panel);
    EXPECT_EQ(GetWindow(panel, GW_CHILD), keyboard);
    EXPECT_EQ(IsWindowVisible(keyboard) != FALSE, !lowered);
    EXPECT_EQ(device::CurrentSip(), device::Sip::CeStar);
  }
}

// ---- Owners, foreground, message boxes ---------------------------------------

TEST_F(HostWindowsTest, MessageBoxRecordsItsOwnerKindAndAnswersOk) {
  HWND main = Create();
  HWND child = Create(main);
  HWND foreground = device::CreateForeignWindow(u"Foreground App");
  HWND other = device::CreateForeignWindow(u"Background App");
  device::SetForeground(foreground);
  EXPECT_EQ(GetForegroundWindow(), foreground);

  struct Case {
    HWND owner;
    const char* kind;
  } cases[] = {{main, "main"}, {foreground, "foreground"}, {nullptr, "none"}, {other, "other"}, {child, "other"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    device::ClearRecords();
    EXPECT_EQ(MessageBoxW(c.owner, u"Text", u"Caption", MB_OK), IDOK);
    std::vector<device::MessageBoxRecord> boxes = device::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, c.owner);
    EXPECT_EQ(boxes[0].ownerKind, c.kind);
    EXPECT_EQ(boxes[0].text, u"Text");
    EXPECT_EQ(boxes[0].caption, u"Caption");
  }
  device::ClearRecords();
  MessageBoxW(nullptr, nullptr, nullptr, MB_OK);
  ASSERT_EQ(device::MessageBoxes().size(), 1u);
  EXPECT_EQ(device::MessageBoxes()[0].caption, u"Error");  // the handheld's default caption

  device::DestroyForeignWindow(foreground);
  EXPECT_EQ(GetForegroundWindow(), nullptr);  // a window that is gone is nobody's foreground
}

// A held box or menu runs the thread's messages until it ends: sent
// messages are answered and posted ones dispatched meanwhile. It ends when
// the device answers, when a quit arrives (posted again for the outer loop),
// or when its owner goes.
TEST_F(HostWindowsTest, ModalLoopsRunTheThreadsMessagesUntilTheyEnd) {
  enum Kind { Box, Menu };
  enum End { Answer, Quit, OwnerGoes };
  struct Case {
    const char* name;
    Kind kind;
    End end;
    int result;               // MessageBoxW's answer, or TrackPopupMenuEx's
    const char* closedLine;   // the trace line that shows the end
  } cases[] = {
      {"box answered", Box, Answer, IDOK, "MessageBoxClosed caption=\"Held\" by=ok"},
      {"box ended by a quit", Box, Quit, 0, "MessageBoxClosed caption=\"Held\" by=quit"},
      {"box whose owner goes", Box, OwnerGoes, 0, "MessageBoxClosed caption=\"Held\" by=owner"},
      {"menu answered", Menu, Answer, TRUE, "PopupMenuClosed choice=100 by=user"},
      {"menu ended by a quit", Menu, Quit, FALSE, "PopupMenuClosed choice=none by=quit"},
      {"menu whose owner goes", Menu, OwnerGoes, FALSE, "PopupMenuClosed choice=none by=owner"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HWND main = Create();
    HMENU menu = CreatePopupMenu();
    ASSERT_TRUE(AppendMenuW(menu, MF_STRING, 100, u"&Disable"));
    device::SetBoxMode(device::BoxMode::Hold);
    device::SetMenuChooser([](HMENU, int, int) { return device::kMenuStaysOpen; });
    std::atomic<bool> pinged{false};
    std::thread stylus([&] {
      auto up = [&] { return c.kind == Box ? device::BoxesUp().size() == 1 : device::OpenMenu().open; };
      if (!device::WaitFor(up)) return;
      Sender ping(main, kPing, 41);
      pinged = ping.Answered() && ping.Answer() == 42;
      PostMessageW(main, kNote, 1, 0);
      ASSERT_TRUE(device::WaitIdle(main));  // the note has been dispatched
      if (c.end == Answer) {
        EXPECT_TRUE(c.kind == Box ? device::AnswerBox() : device::ChooseMenuItem(100));
      } else {
        PostMessageW(main, c.end == Quit ? kQuit : WM_CLOSE, 0, 0);
      }
    });
    int result = c.kind == Box ? MessageBoxW(main, u"Text", u"Held", MB_OK)
                               : TrackPopupMenuEx(menu, 0x28, 208, 304, main, nullptr);
    stylus.join();
    EXPECT_EQ(result, c.result);
    EXPECT_TRUE(pinged.load()) << "a message sent while it was up was not answered";
    EXPECT_TRUE(TraceHas(c.closedLine));
    EXPECT_TRUE(device::BoxesUp().empty());
    EXPECT_FALSE(device::OpenMenu().open);
    // The quit is still there for the message loop, after the menu's pick.
    MSG msg;
    if (c.kind == Menu && c.end == Answer) {
      ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
      EXPECT_EQ(msg.message, static_cast<UINT>(WM_COMMAND));
      EXPECT_EQ(msg.wParam, 100u);
    }
    if (c.end == Quit) {
      EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), FALSE);
      EXPECT_EQ(msg.wParam, 7u);
    }
    std::vector<UINT> ids = SeenIds();
    EXPECT_NE(std::find(ids.begin(), ids.end(), kNote), ids.end()) << "a posted message was not dispatched";
    DestroyMenu(menu);
    if (c.end != OwnerGoes) DestroyWindow(main);
    device::SetBoxMode(device::BoxMode::Auto);
    device::ClearRecords();
  }
}

TEST_F(HostWindowsTest, NestedHeldBoxesAreAnsweredNewestFirst) {
  HWND main = Create();
  device::SetBoxMode(device::BoxMode::Hold);
  std::vector<std::u16string> seenUp;
  std::thread stylus([&] {
    ASSERT_TRUE(device::WaitFor([] { return device::BoxesUp().size() == 2; }));
    for (const auto& box : device::BoxesUp()) seenUp.push_back(box.caption);
    EXPECT_TRUE(device::AnswerBox());
    ASSERT_TRUE(device::WaitFor([] { return device::BoxesUp().size() == 1; }));
    EXPECT_EQ(device::BoxesUp()[0].caption, u"Outer");
    EXPECT_TRUE(device::AnswerBox());
  });
  // The outer box's loop dispatches the message that puts up the inner one.
  std::thread other([&] {
    ASSERT_TRUE(device::WaitFor([] { return device::BoxesUp().size() == 1; }));
    PostMessageW(main, kQuit + 1, 0, 0);
  });
  g_innerBoxOwner = main;
  EXPECT_EQ(MessageBoxW(main, u"Text", u"Outer", MB_OK), IDOK);
  other.join();
  stylus.join();
  EXPECT_EQ(seenUp, (std::vector<std::u16string>{u"Outer", u"Inner"}));
  EXPECT_FALSE(device::AnswerBox()) << "no box is left to answer";
}

}  // namespace
