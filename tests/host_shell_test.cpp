// The simulated handheld's shell: popup menus and the user's pick in them,
// the tray icon, icon resources and the screen's metrics.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "device.h"
#include "quiet_window.h"
#include "win32.h"

namespace {

constexpr UINT kSentinel = WM_USER + 9;

bool TraceHas(const std::string& line) {
  std::vector<std::string> trace = device::Trace();
  return std::find(trace.begin(), trace.end(), line) != trace.end();
}

class HostShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device::Reset();
    window_ = CreateQuietWindow(u"Shell Test");
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override { device::Reset(); }

  // The program's menu: Disable, Enable (grayed), About.
  static HMENU ProgramMenu() {
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, 100, u"&Disable");
    AppendMenuW(menu, MF_STRING | MF_GRAYED, 101, u"&Enable");
    AppendMenuW(menu, MF_STRING, 102, u"&About");
    return menu;
  }

  // Everything posted to this thread so far, read up to a sentinel.
  static std::vector<MSG> Drain() {
    PostMessageW(nullptr, kSentinel, 0, 0);
    std::vector<MSG> read;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) && msg.message != kSentinel) read.push_back(msg);
    return read;
  }

  NOTIFYICONDATA Record(int iconId) const {
    NOTIFYICONDATA data{};
    data.cbSize = sizeof(NOTIFYICONDATA);
    data.hWnd = window_;
    data.uID = 256;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = WM_USER + 100;
    data.hIcon = static_cast<HICON>(LoadImageW(nullptr, MAKEINTRESOURCEW(iconId), IMAGE_ICON, 16, 16, 0));
    return data;
  }

  HWND window_ = nullptr;
};

// ---- Menus -------------------------------------------------------------------

TEST_F(HostShellTest, MenuItemsKeepOrderAndEnableReturnsThePreviousState) {
  HMENU menu = ProgramMenu();
  std::vector<device::MenuItem> items = device::MenuItems();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].text, u"&Disable");
  EXPECT_EQ(items[1].id, 101u);
  EXPECT_EQ(items[1].state, static_cast<UINT>(MF_GRAYED));
  EXPECT_EQ(items[2].state, static_cast<UINT>(MF_ENABLED));

  struct Step {
    UINT id;
    UINT enable;
    BOOL previous;
  } steps[] = {
      {100, MF_GRAYED, MF_ENABLED},
      {101, MF_ENABLED, MF_GRAYED},
      {100, MF_GRAYED, MF_GRAYED},
      {999, MF_ENABLED, -1},  // no such item
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.id);
    EXPECT_EQ(EnableMenuItem(menu, step.id, step.enable), step.previous);
  }
  items = device::MenuItems();
  EXPECT_EQ(items[0].state, static_cast<UINT>(MF_GRAYED));
  EXPECT_EQ(items[1].state, static_cast<UINT>(MF_ENABLED));
  EXPECT_TRUE(TraceHas("EnableMenuItem id=100 state=MF_GRAYED"));
  EXPECT_TRUE(TraceHas("EnableMenuItem id=101 state=MF_ENABLED"));
}

TEST_F(HostShellTest, DestroyedOrUnknownMenusAreRefused) {
  HMENU older = ProgramMenu();
  HMENU newer = CreatePopupMenu();
  AppendMenuW(newer, MF_STRING, 7, u"Seven");
  EXPECT_EQ(device::LiveMenus(), 2);
  EXPECT_EQ(device::MenuItems().size(), 1u);  // the newest live menu

  EXPECT_TRUE(DestroyMenu(newer));
  EXPECT_FALSE(DestroyMenu(newer));
  EXPECT_EQ(device::LiveMenus(), 1);
  EXPECT_EQ(device::MenuItems().size(), 3u);
  EXPECT_FALSE(AppendMenuW(newer, MF_STRING, 8, u"Eight"));
  EXPECT_EQ(EnableMenuItem(newer, 7, MF_GRAYED), -1);
  EXPECT_FALSE(TrackPopupMenuEx(newer, 0, 0, 0, window_, nullptr));
  EXPECT_FALSE(DestroyMenu(nullptr));
  EXPECT_FALSE(AppendMenuW(older, 0x800, 0, nullptr));  // separators are not offered
  EXPECT_EQ(device::MenuItems().size(), 3u);
}

TEST_F(HostShellTest, TrackPopupMenuDeliversOnlyEnabledPicks) {
  HMENU menu = ProgramMenu();
  struct Case {
    const char* name;
    bool chooser;
    UINT pick;
    BOOL result;
    bool delivered;
  } cases[] = {
      {"enabled item", true, 100, TRUE, true},
      {"another enabled item", true, 102, TRUE, true},
      {"grayed item", true, 101, FALSE, false},
      {"unknown id", true, 555, FALSE, false},
      {"dismissed", true, 0, FALSE, false},
      {"no chooser", false, 0, FALSE, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int seenX = -1, seenY = -1;
    HMENU seenMenu = nullptr;
    if (c.chooser) {
      device::SetMenuChooser([&](HMENU m, int x, int y) {
        seenMenu = m;
        seenX = x;
        seenY = y;
        return c.pick;
      });
    } else {
      device::SetMenuChooser(nullptr);
    }
    EXPECT_EQ(TrackPopupMenuEx(menu, TPM_RIGHTALIGN | TPM_BOTTOMALIGN, 208, 304, window_, nullptr), c.result);
    if (c.chooser) {
      EXPECT_EQ(seenMenu, menu);
      EXPECT_EQ(seenX, 208);
      EXPECT_EQ(seenY, 304);
    }
    std::vector<MSG> read = Drain();
    ASSERT_EQ(read.size(), c.delivered ? 1u : 0u);
    if (c.delivered) {
      EXPECT_EQ(read[0].hwnd, window_);
      EXPECT_EQ(read[0].message, static_cast<UINT>(WM_COMMAND));
      EXPECT_EQ(read[0].wParam, c.pick);
      EXPECT_EQ(read[0].lParam, 0);
    }
  }
  EXPECT_TRUE(TraceHas("TrackPopupMenuEx x=208 y=304 flags=0x28"));
}

TEST_F(HostShellTest, PickGrayedWhileTheMenuIsOpenIsNotDelivered) {
  HMENU menu = ProgramMenu();
  device::SetMenuChooser([menu](HMENU, int, int) -> UINT {
    EnableMenuItem(menu, 100, MF_GRAYED);
    return 100;
  });
  EXPECT_FALSE(TrackPopupMenuEx(menu, 0, 0, 0, window_, nullptr));
  EXPECT_TRUE(Drain().empty());
  EXPECT_FALSE(TrackPopupMenuEx(menu, 0, 0, 0, reinterpret_cast<HWND>(0x7770), nullptr));  // no owner
}

// ---- Tray --------------------------------------------------------------------

TEST_F(HostShellTest, TrayOperationsFollowTheShellsRules) {
  struct Step {
    const char* name;
    DWORD op;
    int iconId;
    DWORD cbSize;  // 0: the right size
    BOOL result;
    bool shownAfter;
    int iconAfter;
  } steps[] = {
      {"modify before add", NIM_MODIFY, 119, 0, FALSE, false, 0},
      {"delete before add", NIM_DELETE, 114, 0, FALSE, false, 0},
      {"add with a bad size", NIM_ADD, 114, 88, FALSE, false, 0},
      {"add", NIM_ADD, 114, 0, TRUE, true, 114},
      {"add again", NIM_ADD, 119, 0, FALSE, true, 114},
      {"modify with a bad size", NIM_MODIFY, 119, 504, FALSE, true, 114},
      {"modify", NIM_MODIFY, 119, 0, TRUE, true, 119},
      {"unknown operation", 7, 114, 0, FALSE, true, 119},
      {"delete", NIM_DELETE, 119, 0, TRUE, false, 0},
      {"delete again", NIM_DELETE, 119, 0, FALSE, false, 0},
  };
  size_t count = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    NOTIFYICONDATA data = Record(step.iconId);
    if (step.cbSize) data.cbSize = step.cbSize;
    EXPECT_EQ(Shell_NotifyIcon(step.op, &data), step.result);
    device::TrayIcon tray = device::Tray();
    EXPECT_EQ(tray.shown, step.shownAfter);
    if (step.shownAfter) {
      EXPECT_EQ(tray.iconId, step.iconAfter);
      EXPECT_EQ(tray.window, window_);
      EXPECT_EQ(tray.id, 256u);
      EXPECT_EQ(tray.callbackMessage, static_cast<UINT>(WM_USER + 100));
    }
    std::vector<device::TrayOp> ops = device::TrayOps();
    ASSERT_EQ(ops.size(), ++count);
    EXPECT_EQ(ops.back().op, step.op);
    EXPECT_EQ(ops.back().iconId, step.iconId);
    EXPECT_EQ(ops.back().result, step.result);
  }
  EXPECT_TRUE(TraceHas("Shell_NotifyIcon op=NIM_ADD icon=114"));
  EXPECT_FALSE(Shell_NotifyIcon(NIM_ADD, nullptr));
}

TEST_F(HostShellTest, IconsOfAnotherWindowOrIdAreSeparate) {
  NOTIFYICONDATA first = Record(114);
  NOTIFYICONDATA second = Record(119);
  second.uID = 257;
  EXPECT_TRUE(Shell_NotifyIcon(NIM_ADD, &first));
  EXPECT_TRUE(Shell_NotifyIcon(NIM_ADD, &second));
  EXPECT_TRUE(Shell_NotifyIcon(NIM_DELETE, &first));
  EXPECT_EQ(device::Tray().id, 257u);
  EXPECT_EQ(device::Tray().iconId, 119);
}

// ---- Icons and metrics -------------------------------------------------------

TEST_F(HostShellTest, OnlyTheProgramsIconsLoadAndEachLoadIsFresh) {
  std::set<HANDLE> handles;
  for (int id : {105, 114, 119, 114}) {
    SCOPED_TRACE(id);
    HANDLE icon = LoadImageW(nullptr, MAKEINTRESOURCEW(id), IMAGE_ICON, 16, 16, 0);
    ASSERT_NE(icon, nullptr);
    EXPECT_TRUE(handles.insert(icon).second);
    EXPECT_EQ(device::IconIdOf(static_cast<HICON>(icon)), id);
  }
  EXPECT_EQ(device::LiveIcons(), 4);

  struct Bad {
    LPCWSTR name;
    UINT type;
  } bad[] = {
      {MAKEINTRESOURCEW(100), IMAGE_ICON},
      {MAKEINTRESOURCEW(0), IMAGE_ICON},
      {u"IDI_ENABLED", IMAGE_ICON},
      {MAKEINTRESOURCEW(114), 0},  // a bitmap
  };
  for (const Bad& b : bad) {
    SetLastError(0);
    EXPECT_EQ(LoadImageW(nullptr, b.name, b.type, 16, 16, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(b.type == IMAGE_ICON ? ERROR_RESOURCE_NAME_NOT_FOUND
                                                                       : ERROR_RESOURCE_TYPE_NOT_FOUND));
  }
  EXPECT_EQ(device::LiveIcons(), 4);
  EXPECT_EQ(device::IconIdOf(nullptr), 0);

  // Destroying frees the icon once; the tray drew from it, so it has nothing
  // left to show.
  HICON shown = static_cast<HICON>(*handles.begin());
  NOTIFYICONDATA data = {};
  data.cbSize = sizeof(data);
  data.uFlags = NIF_ICON;
  data.hIcon = shown;
  ASSERT_TRUE(Shell_NotifyIcon(NIM_ADD, &data));
  EXPECT_NE(device::Tray().iconId, 0);
  for (HICON icon : {shown, shown, static_cast<HICON>(nullptr)}) {
    SetLastError(0);
    BOOL first = icon != nullptr && device::IconIdOf(icon) != 0;
    EXPECT_EQ(DestroyIcon(icon), first);
    EXPECT_EQ(GetLastError(), first ? 0u : static_cast<DWORD>(ERROR_INVALID_ICON_HANDLE));
  }
  EXPECT_EQ(device::LiveIcons(), 3);
  EXPECT_EQ(device::Tray().iconId, 0);
}

// Pixels of the 16x16 images in res/enabled.ico and res/disabled.ico, and
// the 32x32 image of res/nuvik.ico, as the resources give them back.
TEST(HostIconImageTest, ImagesMatchTheIconFiles) {
  constexpr uint32_t kClear = 0, kBlack = 0xFF000000, kRed = 0xFFFF0000, kGrey = 0xFF808080,
                     kSilver = 0xFFC0C0C0, kWhite = 0xFFFFFFFF, kYellow = 0xFFFFFF00, kGreen = 0xFF00FF00;
  struct Case {
    int id, size, x, y;
    uint32_t argb;
  } cases[] = {
      {114, 16, 0, 0, kClear},  {119, 16, 0, 0, kClear},  {114, 16, 2, 0, kRed},     {119, 16, 2, 0, kGrey},
      {114, 16, 8, 2, kYellow}, {119, 16, 8, 2, kGrey},   {114, 16, 2, 10, kWhite},  {119, 16, 2, 10, kSilver},
      {114, 16, 15, 15, kBlack}, {119, 16, 15, 15, kBlack}, {105, 16, 15, 0, kClear}, {105, 16, 9, 5, kYellow},
      {105, 32, 0, 0, kClear},  {105, 32, 16, 16, kGreen},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("icon " + std::to_string(c.id) + " at " + std::to_string(c.x) + "," + std::to_string(c.y));
    std::vector<uint32_t> argb;
    ASSERT_TRUE(device::IconImage(c.id, c.size, &argb));
    ASSERT_EQ(argb.size(), static_cast<size_t>(c.size * c.size));
    EXPECT_EQ(argb[static_cast<size_t>(c.y * c.size + c.x)], c.argb);
  }
  std::vector<uint32_t> enabled, disabled, unknown;
  ASSERT_TRUE(device::IconImage(114, 16, &enabled));
  ASSERT_TRUE(device::IconImage(119, 16, &disabled));
  EXPECT_NE(enabled, disabled);
  EXPECT_FALSE(device::IconImage(100, 16, &unknown));
  EXPECT_FALSE(device::IconImage(114, 0, &unknown));
}

TEST_F(HostShellTest, ScreenMetricsFollowTheDevice) {
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 240);
  EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 320);
  device::SetScreenSize(480, 640);
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 480);
  EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 640);
  EXPECT_EQ(GetSystemMetrics(2), 0);
  device::Reset();
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 240);
}

}  // namespace
