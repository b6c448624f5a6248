// The port link and its reader thread, with a test window standing in for
// the main window (it carries out IDM_REINIT as the program's does).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <cstring>
#include <thread>
#include <vector>

#include "port/ir_port_link.h"
#include "pty_port.h"
#include "resource.h"
#include "shell/globals.h"

namespace {

const UINT WM_TEST_OPEN = WM_USER + 1;   // wParam: the port name
const UINT WM_TEST_CLOSE = WM_USER + 2;
const UINT WM_TEST_QUIT = WM_USER + 3;

std::atomic<int> g_reinits{0};

LRESULT CALLBACK TestMainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_TEST_OPEN:
      return OpenIrPort(reinterpret_cast<LPCWSTR>(wParam), window) ? 1 : 0;
    case WM_TEST_CLOSE:
      CloseIrPort();
      return 0;
    case WM_TEST_QUIT:
      PostQuitMessage(0);
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDM_REINIT) {
        CloseIrPort();
        OpenIrPort(TEXT("COM3:"), window);
        ++g_reinits;
        device::NotifyChanged();
      }
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

class IrPortLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device::Reset();
    g_reinits = 0;
    ASSERT_TRUE(pty_.Create(u"COM3:", false));
    std::atomic<bool> ready{false};
    main_ = std::thread([&] {
      WNDCLASSW windowClass = {};
      windowClass.lpfnWndProc = TestMainProc;
      windowClass.lpszClassName = TEXT("LinkTestMain");
      RegisterClassW(&windowClass);
      g_mainWindow = CreateWindowExW(0, TEXT("LinkTestMain"), TEXT("test"), 0, 0, 0, 0, 0, nullptr, nullptr,
                                     nullptr, nullptr);
      ready = true;
      device::NotifyChanged();
      MSG message;
      while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    });
    ASSERT_TRUE(device::WaitFor([&] { return ready.load(); }));
    ASSERT_NE(g_mainWindow, nullptr);
  }

  void TearDown() override {
    Close();
    SendMessageW(g_mainWindow, WM_TEST_QUIT, 0, 0);
    main_.join();
    EXPECT_TRUE(device::WaitFor([] { return device::LiveThreads() == 0; })) << "a reader outlived its port";
    EXPECT_EQ(device::OpenPorts(), 0);
    device::Reset();
    g_mainWindow = nullptr;
  }

  int Open(LPCWSTR name = TEXT("COM3:")) {
    return static_cast<int>(SendMessageW(g_mainWindow, WM_TEST_OPEN, reinterpret_cast<WPARAM>(name), 0));
  }
  void Close() { SendMessageW(g_mainWindow, WM_TEST_CLOSE, 0, 0); }

  // Types one key (press and release) on the adapter and waits until both
  // records have reached the handheld.
  bool TypeKeyAndSee(size_t expectedTotal) {
    if (!pty_.Write({0x41, 0x1E, 0x00, 0x5F, 0x41, 0x1E, 0x80, 0xDF})) return false;
    return device::WaitFor([&] { return device::SendInputs().size() >= expectedTotal; });
  }

  PtyPort pty_;
  std::thread main_;
};

TEST_F(IrPortLinkTest, OpenConfiguresPortAndStartsOneReader) {
  ASSERT_EQ(Open(), 1);
  EXPECT_TRUE(IsIrPortOpen());
  EXPECT_EQ(device::OpenPorts(), 1);
  EXPECT_EQ(device::LiveThreads(), 1);
  EXPECT_TRUE(device::MessageBoxes().empty());
  bool sawSetIr = false;
  for (const std::string& line : device::Trace()) {
    if (line.find("EscapeCommFunction") != std::string::npos && line.find("SETIR") != std::string::npos) {
      sawSetIr = true;
    }
  }
  EXPECT_TRUE(sawSetIr);
  ASSERT_TRUE(TypeKeyAndSee(2));
  EXPECT_EQ(device::SendInputs().size(), 2u);
}

struct OpenFailureCase {
  const char* name;
  bool useFault;
  device::Fault fault;
  const char16_t* portName;
  const char16_t* text;
  const char16_t* caption;
};

class IrPortOpenFailureTest : public IrPortLinkTest, public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(IrPortOpenFailureTest, ShowsOneBoxAndLeavesPortClosed) {
  const OpenFailureCase& c = GetParam();
  if (c.useFault) device::SetFault(c.fault, true);
  EXPECT_EQ(Open(reinterpret_cast<LPCWSTR>(c.portName)), 0);
  auto boxes = device::MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, c.text);
  EXPECT_EQ(boxes[0].caption, c.caption);
  EXPECT_EQ(boxes[0].owner, g_mainWindow);
  EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
  EXPECT_FALSE(IsIrPortOpen());
  EXPECT_EQ(device::OpenPorts(), 0);
  EXPECT_EQ(device::LiveThreads(), 0);
  // Once the fault is gone the port opens normally.
  device::SetFault(c.fault, false);
  EXPECT_EQ(Open(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, IrPortOpenFailureTest,
    ::testing::Values(
        OpenFailureCase{"Busy", true, device::Fault::PortBusy, u"COM3:", u"Unable to open IR port!\r\n", u"COM3:"},
        OpenFailureCase{"Missing", false, device::Fault::PortBusy, u"COM2:", u"Unable to open IR port!\r\n", u"COM2:"},
        OpenFailureCase{"LineSettings", true, device::Fault::SetCommState, u"COM3:",
                        u"Unable to configure the serial port", u"Error"},
        OpenFailureCase{"Timeouts", true, device::Fault::SetCommTimeouts, u"COM3:",
                        u"Unable to set the time-out parameters", u"Error"},
        OpenFailureCase{"Thread", true, device::Fault::CreateThread, u"COM3:", u"Unable to create the read thread",
                        u"Error"}),
    [](const ::testing::TestParamInfo<OpenFailureCase>& info) { return info.param.name; });

// The flag word keeps bits 15 to 31 and has only fBinary among bits 0 to 14.
TEST(IrPortLineSettings, MasksFlagWordAndKeepsOtherFields) {
  for (uint32_t before : {0x00000000u, 0xFFFFFFFFu, 0x12345678u, 0x00007FFEu, 0xABCD8000u}) {
    DCB dcb;
    std::memset(&dcb, 0x5A, sizeof dcb);
    std::memcpy(reinterpret_cast<char*>(&dcb) + 8, &before, 4);
    ApplyAdapterLineSettings(&dcb);
    uint32_t after;
    std::memcpy(&after, reinterpret_cast<char*>(&dcb) + 8, 4);
    EXPECT_EQ(after, (before & 0xFFFF8001u) | 1u) << std::hex << before;
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, 0);
    EXPECT_EQ(dcb.StopBits, 0);
    EXPECT_EQ(dcb.XonLim, 0x5A5A);
    EXPECT_EQ(dcb.EvtChar, 0x5A);
  }
}

TEST_F(IrPortLinkTest, PowerEventReinitialisesOnceAndLeavesOneReader) {
  ASSERT_EQ(Open(), 1);
  // A resume only reaches a port whose reader already waits for it.
  ASSERT_TRUE(device::WaitFor([] { return device::PortWaits() >= 1; }));
  device::Resume();
  ASSERT_TRUE(device::WaitFor([] { return g_reinits.load() == 1; }));
  // The old reader ends after its SendMessageW returns; the new one runs.
  ASSERT_TRUE(device::WaitFor([] { return device::LiveThreads() == 1; }));
  EXPECT_EQ(device::OpenPorts(), 1);
  EXPECT_TRUE(IsIrPortOpen());
  ASSERT_TRUE(device::WaitFor([] { return device::PortWaits() >= 2; }));
  ASSERT_TRUE(TypeKeyAndSee(2));
  EXPECT_EQ(g_reinits.load(), 1);
  EXPECT_EQ(device::SendInputs().size(), 2u) << "each packet is delivered by exactly one reader";
}

// Modem-line events only wake the reader, which waits again; EV_RLSD is
// asked for by the first wait alone.
TEST_F(IrPortLinkTest, LineEventsOnlyWakeTheReader) {
  ASSERT_EQ(Open(), 1);
  ASSERT_TRUE(device::WaitFor([] { return device::PortWaits() >= 1; }));
  long reads = device::PortReads();
  long waits = device::PortWaits();
  for (DWORD line : {static_cast<DWORD>(EV_CTS), static_cast<DWORD>(EV_DSR), static_cast<DWORD>(EV_RING)}) {
    SCOPED_TRACE(line);
    device::RaiseLineEvents(line);
    ++waits;
    ASSERT_TRUE(device::WaitFor([waits] { return device::PortWaits() >= waits; }));
    EXPECT_EQ(device::PortWaits(), waits);
  }
  device::RaiseLineEvents(EV_RLSD);
  // A wake-up would show within microseconds; nothing is waited for here.
  EXPECT_FALSE(device::WaitFor([waits] { return device::PortWaits() > waits; }, 200)) << "EV_RLSD was delivered";
  device::RaiseLineEvents(EV_CTS);
  ASSERT_TRUE(device::WaitFor([waits] { return device::PortWaits() > waits; }));
  EXPECT_FALSE(device::WaitFor([waits] { return device::PortWaits() > waits + 1; }, 200));
  EXPECT_EQ(device::PortWaits(), waits + 1);
  EXPECT_EQ(device::PortReads(), reads);
  EXPECT_TRUE(device::SendInputs().empty());
  EXPECT_EQ(g_reinits.load(), 0);
  EXPECT_EQ(device::LiveThreads(), 1);
  EXPECT_TRUE(IsIrPortOpen());
}

// A reader that runs late, as on a busy single-CPU handheld: it takes a
// packet's first byte, finds nothing more yet, and gets the processor back
// only after the rest has arrived. The packet is still typed, once.
TEST_F(IrPortLinkTest, LateReaderStillTypesTheWholePacket) {
  ASSERT_EQ(Open(), 1);
  ASSERT_TRUE(device::WaitFor([] { return device::PortWaits() >= 1; }));
  long reads = device::PortReads();
  device::DelayAfterPortCall(device::PortCall::Read, 60, 2);  // the key code, then the empty read after it
  ASSERT_TRUE(pty_.Write({0x41}));
  ASSERT_TRUE(device::WaitFor([&] { return device::PortReads() >= reads + 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(pty_.Write({0x1E, 0x00, 0x5F}));
  EXPECT_TRUE(device::WaitFor([] { return device::SendInputs().size() == 1; }));
  ASSERT_TRUE(TypeKeyAndSee(3));
  EXPECT_EQ(device::SendInputs().size(), 3u) << "framing stays on packet boundaries";
}

TEST_F(IrPortLinkTest, DisableWhileWaitingEndsReaderAndReadsNoMore) {
  ASSERT_EQ(Open(), 1);
  ASSERT_TRUE(device::WaitFor([] { return device::PortWaits() >= 1; }));
  Close();
  ASSERT_TRUE(device::WaitFor([] { return device::LiveThreads() == 0; }));
  long reads = device::PortReads();
  ASSERT_TRUE(pty_.Send({0x41, 0x1E, 0x00, 0x5F}));  // nobody reads them: they stay buffered
  EXPECT_EQ(device::PortReads(), reads);
  EXPECT_TRUE(device::SendInputs().empty());
  EXPECT_FALSE(IsIrPortOpen());
}

TEST_F(IrPortLinkTest, CloseThenReopenEndsOldReader) {
  for (int round = 1; round <= 20; ++round) {
    ASSERT_EQ(Open(), 1);
    Close();
  }
  ASSERT_EQ(Open(), 1);
  ASSERT_TRUE(device::WaitFor([] { return device::LiveThreads() == 1; }));
  ASSERT_TRUE(TypeKeyAndSee(2));
  EXPECT_EQ(device::SendInputs().size(), 2u);
  EXPECT_EQ(device::LiveThreads(), 1);
}

TEST_F(IrPortLinkTest, SecondOpenLeavesFirstPortWorking) {
  ASSERT_EQ(Open(), 1);
  EXPECT_EQ(Open(), 0);
  auto boxes = device::MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, u"Unable to open IR port!\r\n");
  EXPECT_EQ(boxes[0].caption, u"COM3:");
  EXPECT_TRUE(IsIrPortOpen());
  EXPECT_EQ(device::OpenPorts(), 1);
  EXPECT_EQ(device::LiveThreads(), 1);
  ASSERT_TRUE(TypeKeyAndSee(2));
}

TEST_F(IrPortLinkTest, CloseWhenClosedChangesNothing) {
  Close();
  Close();
  EXPECT_FALSE(IsIrPortOpen());
  EXPECT_TRUE(device::MessageBoxes().empty());
}

// The handheld gives a closed handle's value to the next open. A reader
// that passed its check just before the port was closed must not then make
// its next call on the newer open that got the value back. The device stops
// the old reader at the start of a read, before the handle is looked up;
// the port is meanwhile closed and reopened (the same value comes back) and
// a key is typed on the new open. The old reader is let go once the reopen
// and the key are done, or once the closer is seen waiting for the reader
// to leave its call (it clears the mask again while it waits).
TEST_F(IrPortLinkTest, OldReaderNeverReachesANewerOpenWithTheSameHandle) {
  const std::string maskCleared = "SetCommMask port=\"COM3:\" mask=0x0";
  auto countLines = [](const std::string& line) {
    auto trace = device::Trace();
    return std::count(trace.begin(), trace.end(), line);
  };
  std::atomic<long> clearedBefore{0};
  std::atomic<bool> armed{false}, paused{false}, keyTyped{false};
  std::atomic<DWORD> oldReader{0};
  std::atomic<unsigned long> firstOpen{0};
  std::atomic<HANDLE> pausedHandle{nullptr}, newerHandle{nullptr};
  std::mutex seenMutex;
  std::vector<unsigned long> opensReachedByOldReader;
  device::SetPortCallHook([&](const device::PortCall& call) {
    unsigned long none = 0;
    if (call.open != 0) firstOpen.compare_exchange_strong(none, call.open);
    if (call.open != 0 && call.open != firstOpen.load()) newerHandle = call.handle;
    if (call.open == 0 && std::string(call.operation) == "ReadFile" && armed.exchange(false)) {
      oldReader = call.thread;
      pausedHandle = call.handle;
      paused = true;
      device::NotifyChanged();
      device::WaitFor([&] { return keyTyped.load() || countLines(maskCleared) >= clearedBefore + 2; }, 30000);
      return;
    }
    if (call.open != 0 && call.thread == oldReader.load()) {
      std::lock_guard<std::mutex> lock(seenMutex);
      opensReachedByOldReader.push_back(call.open);
    }
  });
  ASSERT_EQ(Open(), 1);
  ASSERT_TRUE(device::WaitFor([] { return device::PortWaits() >= 1; }));
  clearedBefore = countLines(maskCleared);
  armed = true;

  // A key wakes the reader, whose drain then stops at its first read.
  ASSERT_TRUE(pty_.Write({0x42, 0x30, 0x00, 0x72}));
  ASSERT_TRUE(device::WaitFor([&] { return paused.load(); }));
  std::thread other([&] {
    Close();
    Open();
    pty_.Write({0x41, 0x1E, 0x00, 0x5F});
    keyTyped = true;
    device::NotifyChanged();
  });
  other.join();
  ASSERT_TRUE(IsIrPortOpen());
  ASSERT_TRUE(device::WaitFor([] { return device::SendInputs().size() >= 1 && device::LiveThreads() == 1; }));
  device::SetPortCallHook(nullptr);
  {
    std::lock_guard<std::mutex> lock(seenMutex);
    ASSERT_NE(firstOpen.load(), 0u);
    EXPECT_EQ(newerHandle.load(), pausedHandle.load()) << "the reopen did not get the old value back";
    for (unsigned long open : opensReachedByOldReader) {
      EXPECT_EQ(open, firstOpen.load()) << "the old reader reached a newer open";
    }
  }
  // The new open's key arrives once; the old open's key went with its port.
  auto inputs = device::SendInputs();
  ASSERT_EQ(inputs.size(), 1u);
  EXPECT_EQ(inputs[0].vk, 0x41);
}

// A device whose waits keep failing must not make the reader spin: it
// pauses IR_FAILED_WAIT_PAUSE_MS after each, so no two of its waits start
// closer than that (a lower bound its sleep guarantees, however loaded the
// machine). Closing the port still ends the reader.
TEST_F(IrPortLinkTest, FailingWaitsDoNotSpin) {
  std::mutex mutex;
  std::vector<std::chrono::steady_clock::time_point> starts;
  device::SetPortCallHook([&](const device::PortCall& call) {
    if (call.open == 0 || std::string(call.operation) != "WaitCommEvent") return;
    std::lock_guard<std::mutex> lock(mutex);
    starts.push_back(std::chrono::steady_clock::now());
  });
  device::SetFault(device::Fault::WaitCommEvent, true);
  ASSERT_EQ(Open(), 1);
  ASSERT_TRUE(device::WaitFor([] { return device::PortWaits() >= 4; }));
  Close();
  EXPECT_TRUE(device::WaitFor([] { return device::LiveThreads() == 0; }, 2000));
  device::SetPortCallHook(nullptr);  // the reader has ended: no call is left to reach it
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_GE(starts.size(), 4u);
  for (size_t i = 1; i < starts.size(); ++i) {
    EXPECT_GE(starts[i] - starts[i - 1], std::chrono::milliseconds(IR_FAILED_WAIT_PAUSE_MS)) << "wait " << i;
  }
}

}  // namespace
