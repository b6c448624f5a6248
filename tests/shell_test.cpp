// Start-up, the tray and the commands: WinMain runs on its own thread as the
// program's main thread; the test plays the user and other programs.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "port/ir_port_link.h"
#include "in_process_program.h"
#include "pty_port.h"
#include "resource.h"
#include "shell/globals.h"
#include "shell/main_window.h"
#include "shell/tray.h"

namespace {

std::vector<std::u16string> Lines(const std::u16string& text) {
  std::vector<std::u16string> lines(1);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
      lines.emplace_back();
      ++i;
    } else {
      lines.back().push_back(text[i]);
    }
  }
  return lines;
}

struct Box {
  std::u16string text;
  std::u16string caption;
};

std::vector<Box> Boxes() {
  std::vector<Box> boxes;
  for (const auto& box : device::MessageBoxes()) boxes.push_back({box.text, box.caption});
  return boxes;
}

bool operator==(const Box& a, const Box& b) { return a.text == b.text && a.caption == b.caption; }

void PrintTo(const Box& box, std::ostream* out) {
  *out << device::Quote(box.text) << " / " << device::Quote(box.caption);
}

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device::Reset();
    FillIrRegistry();
    ASSERT_TRUE(pty_.Create(u"COM3:", false));
    foreground_ = device::CreateForeignWindow(u"NotesApp", nullptr, u"Notes");
    device::SetForeground(foreground_);
  }

  void TearDown() override {
    program_.Exit();
    EXPECT_TRUE(device::WaitFor([] { return device::LiveThreads() == 0; }));
    EXPECT_EQ(device::OpenPorts(), 0);
    device::SetMenuChooser(nullptr);
    device::Reset();
  }

  void Start() { ASSERT_TRUE(program_.Start()); }
  int End() { return program_.Join(); }

  std::vector<UINT> MenuStates() {
    std::vector<UINT> states;
    for (const auto& item : device::MenuItems()) states.push_back(item.state & MF_GRAYED);
    return states;
  }

  PtyPort pty_;
  HWND foreground_ = nullptr;
  InProcessProgram program_;
};

// ---- Start-up --------------------------------------------------------------

struct StartCase {
  const char* name;
  std::function<void()> arrange;
  std::vector<Box> boxes;
  int exitCode;  // -1: the program keeps running
};

class StartUpTest : public ShellTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartUpTest, BoxesExitCodeAndTray) {
  const StartCase& c = GetParam();
  c.arrange();
  Start();
  if (c.exitCode >= 0) {
    EXPECT_EQ(End(), c.exitCode);
    EXPECT_TRUE(device::TrayOps().empty());
    EXPECT_EQ(device::LiveMenus(), 0);
    EXPECT_EQ(device::LiveIcons(), 0);
  } else {
    EXPECT_TRUE(program_.Running());
    EXPECT_EQ(device::Tray().iconId, IDI_ENABLED);
    EXPECT_EQ(device::Tray().callbackMessage, WM_TRAYNOTIFY);
    auto items = device::MenuItems();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].text, u"&Disable");
    EXPECT_EQ(items[1].text, u"&Enable");
    EXPECT_EQ(items[2].text, u"&About");
    EXPECT_EQ(MenuStates(), (std::vector<UINT>{0, MF_GRAYED, 0}));
    EXPECT_EQ(device::LiveThreads(), 1);
    EXPECT_EQ(device::LiveIcons(), 1);
  }
  EXPECT_EQ(Boxes(), c.boxes);
  for (const auto& box : device::MessageBoxes()) EXPECT_EQ(box.ownerKind, "main");
}

const Box GET_REGISTRY_ERROR = {u"Get Registry Error!", u"Error"};
const Box PORT_INITIAL_ERROR = {u"Port Initial Error!!", u"COM3:"};

INSTANTIATE_TEST_SUITE_P(
    Outcomes, StartUpTest,
    ::testing::Values(
        StartCase{"Normal", [] {}, {}, -1},
        StartCase{"NoInfraredDriver", [] { device::RegistryClear(); },
                  {{u"IrDA driver or IrDA port not found.", u"Error 01"}, GET_REGISTRY_ERROR}, 1},
        StartCase{"PortBusy", [] { device::SetFault(device::Fault::PortBusy, true); },
                  {{u"Unable to open IR port!\r\n", u"COM3:"}, PORT_INITIAL_ERROR}, 1},
        StartCase{"LineSettingsRefused", [] { device::SetFault(device::Fault::SetCommState, true); },
                  {{u"Unable to configure the serial port", u"Error"}, PORT_INITIAL_ERROR}, 1},
        StartCase{"TimeoutsRefused", [] { device::SetFault(device::Fault::SetCommTimeouts, true); },
                  {{u"Unable to set the time-out parameters", u"Error"}, PORT_INITIAL_ERROR}, 1},
        StartCase{"NoReaderThread", [] { device::SetFault(device::Fault::CreateThread, true); },
                  {{u"Unable to create the read thread", u"Error"}, PORT_INITIAL_ERROR}, 1},
        StartCase{"ClassRegistrationFails", [] { device::SetFault(device::Fault::RegisterClass, true); }, {}, 0},
        StartCase{"WindowCreationFails", [] { device::SetFault(device::Fault::CreateWindow, true); }, {}, 1}),
    [](const ::testing::TestParamInfo<StartCase>& info) { return info.param.name; });

// ---- Commands --------------------------------------------------------------

TEST_F(ShellTest, DisableThenEnableSwapsIconAndGrayedItem) {
  Start();
  SendCommand(IDM_DISABLE);
  EXPECT_FALSE(IsIrPortOpen());
  EXPECT_EQ(device::Tray().iconId, IDI_DISABLED);
  EXPECT_EQ(MenuStates(), (std::vector<UINT>{MF_GRAYED, 0, 0}));
  EXPECT_TRUE(device::WaitFor([] { return device::LiveThreads() == 0; }));

  SendCommand(IDM_ENABLE);
  EXPECT_TRUE(IsIrPortOpen());
  EXPECT_EQ(device::Tray().iconId, IDI_ENABLED);
  EXPECT_EQ(MenuStates(), (std::vector<UINT>{0, MF_GRAYED, 0}));
  EXPECT_EQ(device::LiveThreads(), 1);
  // Each change loads its icon afresh and frees the one it replaced.
  EXPECT_EQ(device::LiveIcons(), 1);

  // Gray first, then enable the other item.
  std::vector<std::string> menuLines;
  for (const auto& line : device::Trace()) {
    if (line.rfind("EnableMenuItem", 0) == 0) menuLines.push_back(line);
  }
  EXPECT_EQ(menuLines, (std::vector<std::string>{
                           "EnableMenuItem id=100 state=MF_GRAYED", "EnableMenuItem id=101 state=MF_ENABLED",
                           "EnableMenuItem id=101 state=MF_GRAYED", "EnableMenuItem id=100 state=MF_ENABLED"}));
  EXPECT_TRUE(device::MessageBoxes().empty());
  // A shell that refuses the change keeps showing the old icon, which
  // therefore stays loaded; the refused new one is freed.
  device::SetFault(device::Fault::NotifyIcon, true);
  SendCommand(IDM_DISABLE);
  device::SetFault(device::Fault::NotifyIcon, false);
  EXPECT_EQ(device::Tray().iconId, IDI_ENABLED);
  EXPECT_EQ(device::LiveIcons(), 1);
}

// A manufacturer's raw-infrared driver need not end a wait when the mask
// changes. Disable then waits for the reader only so long (about 2 s), closes
// the handle under it, which ends the wait, and the tray answers again. The
// 10 s below only catches a hang; the bound itself is the program's.
TEST_F(ShellTest, DisableWithADeafDriverIsBoundedAndEnableWorksAfter) {
  device::SetFault(device::Fault::DeafWait, true);
  Start();
  ASSERT_TRUE(device::WaitFor([] { return device::PortWaits() >= 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the reader is inside its wait

  std::atomic<bool> disabled{false};
  std::thread user([&] {
    SendCommand(IDM_DISABLE);
    disabled = true;
    device::NotifyChanged();
  });
  bool returned = device::WaitFor([&] { return disabled.load(); }, 10000);
  EXPECT_TRUE(returned) << "Disable hangs on a driver that ignores the mask";
  user.join();
  EXPECT_FALSE(IsIrPortOpen());
  EXPECT_EQ(device::Tray().iconId, IDI_DISABLED);
  EXPECT_TRUE(device::WaitFor([] { return device::LiveThreads() == 0; })) << "the old reader never ended";

  // The next open gets the old handle value back; only its own reader reads.
  SendCommand(IDM_ENABLE);
  EXPECT_TRUE(IsIrPortOpen());
  EXPECT_EQ(device::Tray().iconId, IDI_ENABLED);
  EXPECT_EQ(device::LiveThreads(), 1);
  ASSERT_TRUE(pty_.Write({0x41, 0x1E, 0x00, 0x5F}));
  EXPECT_TRUE(device::WaitFor([] { return device::SendInputs().size() == 1; }));
  EXPECT_TRUE(device::MessageBoxes().empty());
  device::SetFault(device::Fault::DeafWait, false);
}

struct BoxCommandCase {
  const char* name;
  UINT command;
  std::vector<std::u16string> lines;
  const char16_t* caption;
  const char* owner;
};

class BoxCommandTest : public ShellTest, public ::testing::WithParamInterface<BoxCommandCase> {};

TEST_P(BoxCommandTest, ShowsBox) {
  const BoxCommandCase& c = GetParam();
  Start();
  EXPECT_EQ(SendCommand(c.command), 0);
  auto boxes = device::MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(Lines(boxes[0].text), c.lines);
  EXPECT_EQ(boxes[0].caption, c.caption);
  EXPECT_EQ(boxes[0].ownerKind, c.owner);
  EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
  EXPECT_TRUE(IsIrPortOpen()) << "a box changes nothing else";
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, BoxCommandTest,
    ::testing::Values(BoxCommandCase{"AboutLong",
                                     IDM_ABOUT,
                                     {u"IR PDA Keyboard Nuvik", u"       Version 1.11", u"Written by the Nuvik project.",
                                      u"Free to use, copy and share.", u"https://nuvik.example.org/"},
                                     u"About Nuvik",
                                     "foreground"},
                      BoxCommandCase{"AboutShort",
                                     IDM_ABOUT_SHORT,
                                     {u"IR PDA Keyboard Nuvik", u"Written by the Nuvik project.",
                                      u"Free to use, copy and share."},
                                     u"About Nuvik",
                                     "main"},
                      BoxCommandCase{"Unhandled105", 105, {u"Unhandled WM_COMMAND message"}, u"ERROR", "foreground"},
                      BoxCommandCase{"Unhandled0", 0, {u"Unhandled WM_COMMAND message"}, u"ERROR", "foreground"}),
    [](const ::testing::TestParamInfo<BoxCommandCase>& info) { return info.param.name; });

TEST_F(ShellTest, ReinitWhileEnabledKeepsTrayAndOneReader) {
  Start();
  size_t trayOps = device::TrayOps().size();
  SendCommand(IDM_REINIT);
  EXPECT_TRUE(IsIrPortOpen());
  EXPECT_EQ(device::TrayOps().size(), trayOps) << "nothing changed, nothing sent to the tray";
  EXPECT_TRUE(device::WaitFor([] { return device::LiveThreads() == 1; }));
  EXPECT_TRUE(device::MessageBoxes().empty());
}

// The tray shows the truth after a reinitialise (a deliberate change: the
// tray never claims a state the port is not in).
TEST_F(ShellTest, ReinitWhileDisabledOpensPortAndShowsEnabled) {
  Start();
  SendCommand(IDM_DISABLE);
  SendCommand(IDM_REINIT);
  EXPECT_TRUE(IsIrPortOpen());
  EXPECT_EQ(device::Tray().iconId, IDI_ENABLED);
  EXPECT_EQ(MenuStates(), (std::vector<UINT>{0, MF_GRAYED, 0}));
  EXPECT_TRUE(device::WaitFor([] { return device::LiveThreads() == 1; }));
}

TEST_F(ShellTest, ReinitFailingShowsBothBoxesAndDisabledTray) {
  Start();
  device::SetFault(device::Fault::PortBusy, true);
  SendCommand(IDM_REINIT);
  EXPECT_FALSE(IsIrPortOpen());
  EXPECT_EQ(Boxes(), (std::vector<Box>{{u"Unable to open IR port!\r\n", u"COM3:"},
                                        {u"Can not initial IR port!", u"Error"}}));
  EXPECT_EQ(device::Tray().iconId, IDI_DISABLED);
  EXPECT_EQ(MenuStates(), (std::vector<UINT>{MF_GRAYED, 0, 0}));
  // The user can retry with Enable once the port is free.
  device::SetFault(device::Fault::PortBusy, false);
  SendCommand(IDM_ENABLE);
  EXPECT_TRUE(IsIrPortOpen());
  EXPECT_EQ(device::Tray().iconId, IDI_ENABLED);
}

TEST_F(ShellTest, EnableWhileEnabledKeepsPortWorking) {
  Start();
  SendCommand(IDM_ENABLE);
  EXPECT_EQ(Boxes(), (std::vector<Box>{{u"Unable to open IR port!\r\n", u"COM3:"},
                                        {u"Unable to Enable IR port!", u"Error"}}));
  EXPECT_TRUE(IsIrPortOpen());
  EXPECT_EQ(device::Tray().iconId, IDI_ENABLED);
  EXPECT_EQ(device::LiveThreads(), 1);
  ASSERT_TRUE(pty_.Write({0x41, 0x1E, 0x00, 0x5F}));
  EXPECT_TRUE(device::WaitFor([] { return device::SendInputs().size() == 1; }));
}

struct EndCase {
  const char* name;
  UINT command;
};

class EndTest : public ShellTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(EndTest, CleansUpAndEndsWithOne) {
  Start();
  SendCommand(GetParam().command);
  EXPECT_EQ(End(), 1);
  EXPECT_FALSE(device::Tray().shown);
  EXPECT_EQ(device::LiveMenus(), 0);
  EXPECT_EQ(device::LiveIcons(), 0);
  EXPECT_EQ(device::OpenPorts(), 0);
  auto ops = device::TrayOps();
  ASSERT_FALSE(ops.empty());
  EXPECT_EQ(ops.back().op, static_cast<DWORD>(NIM_DELETE));
  for (const auto& op : ops) EXPECT_TRUE(op.result);
}

INSTANTIATE_TEST_SUITE_P(Ends, EndTest,
                         ::testing::Values(EndCase{"Exit", IDM_EXIT}, EndCase{"Close", IDM_CLOSE}),
                         [](const ::testing::TestParamInfo<EndCase>& info) { return info.param.name; });

// ---- The tray tap ----------------------------------------------------------

struct MenuProbe {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  bool release = false;
  UINT choice = 0;
  int x = 0;
  int y = 0;
};

TEST_F(ShellTest, TapOpensMenuAtCornerAndDeliversChoice) {
  Start();
  for (auto [width, height, choice] : {std::tuple{240, 320, IDM_DISABLE}, std::tuple{480, 640, IDM_ENABLE}}) {
    device::SetScreenSize(width, height);
    int x = -1, y = -1;
    device::SetMenuChooser([&, choice = choice](HMENU, int atX, int atY) -> UINT {
      x = atX;
      y = atY;
      return choice;
    });
    size_t before = device::Trace().size();
    SendMessageW(ProgramWindow(), WM_TRAYNOTIFY, 256, WM_LBUTTONUP);
    EXPECT_EQ(x, width - 32);
    EXPECT_EQ(y, height - 16);
    // The chosen item arrives afterwards as WM_COMMAND.
    bool wantOpen = choice == IDM_ENABLE;
    EXPECT_TRUE(device::WaitFor([&] { return IsIrPortOpen() == wantOpen; }));
    bool sawTrack = false;
    auto trace = device::Trace();
    for (size_t i = before; i < trace.size(); ++i) {
      if (trace[i] == "TrackPopupMenuEx x=" + std::to_string(width - 32) + " y=" + std::to_string(height - 16) +
                          " flags=0x28") {
        sawTrack = true;
      }
    }
    EXPECT_TRUE(sawTrack);
  }
}

TEST_F(ShellTest, OtherTrayNotificationsOpenNoMenu) {
  Start();
  int opened = 0;
  device::SetMenuChooser([&](HMENU, int, int) -> UINT {
    ++opened;
    return 0;
  });
  SendMessageW(ProgramWindow(), WM_TRAYNOTIFY, 256, WM_LBUTTONDOWN);
  SendMessageW(ProgramWindow(), WM_TRAYNOTIFY, 256, 0x0203);
  EXPECT_EQ(opened, 0);
  SendMessageW(ProgramWindow(), WM_TRAYNOTIFY, 256, WM_LBUTTONUP);
  EXPECT_EQ(opened, 1);
}

// While the menu is open, IDM_EXIT and IDM_CLOSE both queue up; the second
// clean-up finds nothing left to do; an Enable behind them reaches nothing.
TEST_F(ShellTest, CleanUpHappensOnce) {
  Start();
  MenuProbe probe;
  device::SetMenuChooser([&](HMENU, int, int) -> UINT {
    std::unique_lock<std::mutex> lock(probe.mutex);
    probe.open = true;
    probe.changed.notify_all();
    probe.changed.wait(lock, [&] { return probe.release; });
    return 0;
  });
  HWND main = ProgramWindow();
  PostMessageW(main, WM_TRAYNOTIFY, 256, WM_LBUTTONUP);
  {
    std::unique_lock<std::mutex> lock(probe.mutex);
    probe.changed.wait(lock, [&] { return probe.open; });
  }
  PostMessageW(main, WM_COMMAND, IDM_EXIT, 0);
  PostMessageW(main, WM_COMMAND, IDM_CLOSE, 0);
  PostMessageW(main, WM_COMMAND, IDM_ENABLE, 0);
  {
    std::lock_guard<std::mutex> lock(probe.mutex);
    probe.release = true;
  }
  probe.changed.notify_all();
  EXPECT_EQ(End(), 1);
  int deletes = 0;
  for (const auto& op : device::TrayOps()) {
    EXPECT_TRUE(op.result);
    if (op.op == NIM_DELETE) ++deletes;
  }
  EXPECT_EQ(deletes, 1);
  EXPECT_EQ(device::LiveMenus(), 0);
  EXPECT_EQ(device::OpenPorts(), 0);
  EXPECT_EQ(ProgramWindow(), nullptr);
}

// A tray notification queued before the menu opened is dispatched by the
// menu's own loop: it opens no second menu, and an exit from that loop still
// leaves the menu to be destroyed once it has closed.
TEST_F(ShellTest, TapQueuedUnderTheOpenMenuOpensNothing) {
  Start();
  device::SetMenuChooser([](HMENU, int, int) { return device::kMenuStaysOpen; });
  PostMessageW(ProgramWindow(), WM_TRAYNOTIFY, 256, WM_LBUTTONUP);
  ASSERT_TRUE(device::WaitFor([] { return device::OpenMenu().open; }));
  SendMessageW(ProgramWindow(), WM_TRAYNOTIFY, 256, WM_LBUTTONUP);
  SendCommand(IDM_EXIT);
  EXPECT_EQ(End(), 1);
  std::vector<std::string> menuLines;
  for (const auto& line : device::Trace()) {
    if (line.rfind("TrackPopupMenuEx", 0) == 0 || line.rfind("PopupMenuClosed", 0) == 0 ||
        line.rfind("DestroyMenu", 0) == 0)
      menuLines.push_back(line);
  }
  EXPECT_EQ(menuLines, (std::vector<std::string>{"TrackPopupMenuEx x=208 y=304 flags=0x28",
                                                 "PopupMenuClosed choice=none by=quit", "DestroyMenu"}));
}

}  // namespace
