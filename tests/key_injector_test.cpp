// Dispatch of validated packets: key records, the Return character, and
// taps on the CE-Star soft keyboard.
#include <gtest/gtest.h>

#include <map>

#include "device.h"
#include "pipeline/key_injector.h"

namespace {

KeyPacket Packet(BYTE key, BYTE scan, BYTE flags) {
  return KeyPacket{key, scan, flags, static_cast<BYTE>(key ^ scan ^ flags)};
}

class KeyInjectorTest : public ::testing::Test {
 protected:
  void SetUp() override { device::Reset(); }
  void TearDown() override { device::Reset(); }
  KeyDispatchMemory memory_ = {};
};

struct RecordCase {
  const char* name;
  KeyPacket packet;
  DWORD flags;
  ULONG_PTR extra;
  BYTE extendedAfter;
};

class KeyRecordTest : public KeyInjectorTest, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(KeyRecordTest, SendsOneRecord) {
  const RecordCase& c = GetParam();
  DispatchKeyPacket(&memory_, c.packet);
  auto inputs = device::SendInputs();
  ASSERT_EQ(inputs.size(), 1u);
  EXPECT_EQ(inputs[0].count, 1u);
  EXPECT_EQ(inputs[0].size, static_cast<int>(sizeof(INPUT)));
  EXPECT_EQ(inputs[0].type, static_cast<DWORD>(INPUT_KEYBOARD));
  EXPECT_EQ(inputs[0].vk, c.packet.keyCode);
  EXPECT_EQ(inputs[0].scan, c.packet.scanCode);
  EXPECT_EQ(inputs[0].flags, c.flags);
  EXPECT_EQ(inputs[0].time, 0u);
  EXPECT_EQ(inputs[0].extra, c.extra);
  EXPECT_EQ(memory_.extendedFlag, c.extendedAfter);
  EXPECT_TRUE(device::KeybdMessages().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Records, KeyRecordTest,
    ::testing::Values(RecordCase{"PressA", Packet(0x41, 0x1E, 0x00), 0, 0, 0},
                      RecordCase{"ReleaseA", Packet(0x41, 0x1E, 0x80), KEYEVENTF_KEYUP, 0x00418000, 0},
                      RecordCase{"ReleaseReturn", Packet(0x0D, 0x1C, 0x80), KEYEVENTF_KEYUP, 0x000D8000, 0},
                      // The extended bit is remembered but never passed on.
                      RecordCase{"ExtendedRelease", Packet(0x26, 0x48, 0xC0), KEYEVENTF_KEYUP, 0x00268000, 0x40},
                      RecordCase{"ExtendedPress", Packet(0x26, 0x48, 0x40), 0, 0, 0x40},
                      RecordCase{"UnusedFlagBitsIgnored", Packet(0x42, 0x30, 0x3F), 0, 0, 0}),
    [](const ::testing::TestParamInfo<RecordCase>& info) { return info.param.name; });

TEST_F(KeyInjectorTest, ReturnPressGoesAsCharacter) {
  DispatchKeyPacket(&memory_, Packet(0x0D, 0x1C, 0x00));
  EXPECT_TRUE(device::SendInputs().empty());
  auto messages = device::KeybdMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].window, reinterpret_cast<HWND>(static_cast<intptr_t>(-1)));
  EXPECT_EQ(messages[0].vkey, 13u);
  EXPECT_EQ(messages[0].state, static_cast<UINT>(KeyStateDownFlag));
  EXPECT_EQ(messages[0].count, 1u);
  EXPECT_EQ(messages[0].shift, 13u);
  EXPECT_EQ(messages[0].character, 13u);
}

// The keys the reader pressed and has not released get their key-ups when
// it ends, in the order they went down; taps and released keys get none.
struct LeftDownCase {
  const char* name;
  device::Sip sip;
  std::vector<KeyPacket> packets;
  std::vector<std::pair<WORD, WORD>> keyUps;  // vk, scan, sent at the end
};

class LeftDownTest : public KeyInjectorTest, public ::testing::WithParamInterface<LeftDownCase> {};

TEST_P(LeftDownTest, ReleasedInTheOrderTheyWentDown) {
  const LeftDownCase& c = GetParam();
  device::SetSip(c.sip);
  for (const KeyPacket& packet : c.packets) DispatchKeyPacket(&memory_, packet);
  size_t before = device::SendInputs().size();
  ReleaseKeysLeftDown(&memory_);
  ReleaseKeysLeftDown(&memory_);  // nothing is owed twice
  auto inputs = device::SendInputs();
  ASSERT_EQ(inputs.size(), before + c.keyUps.size());
  for (size_t i = 0; i < c.keyUps.size(); ++i) {
    const auto& up = inputs[before + i];
    EXPECT_EQ(std::make_pair(up.vk, up.scan), c.keyUps[i]) << i;
    EXPECT_EQ(up.flags, static_cast<DWORD>(KEYEVENTF_KEYUP));
    EXPECT_EQ(up.extra, (static_cast<ULONG_PTR>(up.vk) << 16) | 0x8000);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, LeftDownTest,
    ::testing::Values(
        LeftDownCase{"ShiftThenA", device::Sip::None, {Packet(0x10, 0x2A, 0), Packet(0x41, 0x1E, 0)},
                     {{0x10, 0x2A}, {0x41, 0x1E}}},
        LeftDownCase{"AReleased", device::Sip::None,
                     {Packet(0x10, 0x2A, 0), Packet(0x41, 0x1E, 0), Packet(0x41, 0x1E, 0x80)}, {{0x10, 0x2A}}},
        LeftDownCase{"RepeatKeepsFirstPlace", device::Sip::None,
                     {Packet(0x11, 0x1D, 0), Packet(0x10, 0x2A, 0), Packet(0x11, 0x1D, 0)}, {{0x11, 0x1D}, {0x10, 0x2A}}},
        LeftDownCase{"ReturnCharacter", device::Sip::None, {Packet(0x0D, 0x1C, 0)}, {{0x0D, 0x1C}}},
        LeftDownCase{"TapsPressNoKey", device::Sip::CeStar, {Packet(0x51, 16, 0)}, {}},
        LeftDownCase{"ReleaseWithoutPress", device::Sip::None, {Packet(0x41, 0x1E, 0x80)}, {}}),
    [](const ::testing::TestParamInfo<LeftDownCase>& info) { return info.param.name; });

TEST_F(KeyInjectorTest, CeStarPressBecomesTapAndReleaseStillKeyUp) {
  device::SetSip(device::Sip::CeStar);
  DispatchKeyPacket(&memory_, Packet(0x51, 16, 0x00));  // Q
  DispatchKeyPacket(&memory_, Packet(0x51, 16, 0x80));
  auto posted = device::PostedToOtherPrograms();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0].className, u"CE-StarIm");
  EXPECT_EQ(posted[0].message, static_cast<UINT>(WM_LBUTTONDOWN));
  EXPECT_EQ(posted[0].wParam, static_cast<WPARAM>(MK_LBUTTON));
  EXPECT_EQ(posted[0].lParam, MAKELPARAM(33, 24));
  EXPECT_EQ(posted[1].message, static_cast<UINT>(WM_LBUTTONUP));
  EXPECT_EQ(posted[1].wParam, 0u);
  EXPECT_EQ(posted[1].lParam, MAKELPARAM(33, 24));
  auto inputs = device::SendInputs();
  ASSERT_EQ(inputs.size(), 1u);
  EXPECT_EQ(inputs[0].flags, static_cast<DWORD>(KEYEVENTF_KEYUP));
}

// With CE-Star showing, a press with no place on the panel sends nothing at
// all, Return included; the releases still go out.
TEST_F(KeyInjectorTest, CeStarPressWithoutTapSendsNothing) {
  device::SetSip(device::Sip::CeStar);
  DispatchKeyPacket(&memory_, Packet(0x70, 59, 0x00));  // F1
  DispatchKeyPacket(&memory_, Packet(0x0D, 0x1C, 0x00));
  EXPECT_TRUE(device::SendInputs().empty());
  EXPECT_TRUE(device::KeybdMessages().empty());
  auto posted = device::PostedToOtherPrograms();
  ASSERT_EQ(posted.size(), 2u);  // Return's scan code 28 is the panel's Enter
  EXPECT_EQ(posted[0].lParam, MAKELPARAM(227, 56));
  DispatchKeyPacket(&memory_, Packet(0x70, 59, 0x80));
  EXPECT_EQ(device::SendInputs().size(), 1u);
}

// A press goes as a tap whenever the panel's keyboard is CE-Star's, raised or
// lowered: a lowered panel keeps its windows, and a hidden window still
// receives the taps posted to it.
struct PanelStateCase {
  const char* name;
  device::Sip sip;
  bool lowered;
  KeyPacket press;
  size_t taps;        // button-down and button-up pairs posted
  size_t keyRecords;  // SendInput
  size_t characters;  // PostKeybdMessage
};

class PanelStateTest : public KeyInjectorTest, public ::testing::WithParamInterface<PanelStateCase> {};

TEST_P(PanelStateTest, PressTapsACeStarPanelRaisedOrLowered) {
  const PanelStateCase& c = GetParam();
  device::SetSip(c.sip, c.lowered);
  device::CreateForeignWindow(u"WinXE_ImeClass");  // F11 and F12 would tap here
  DispatchKeyPacket(&memory_, c.press);
  EXPECT_EQ(device::PostedToOtherPrograms().size(), c.taps * 2);
  EXPECT_EQ(device::SendInputs().size(), c.keyRecords);
  EXPECT_EQ(device::KeybdMessages().size(), c.characters);
}

INSTANTIATE_TEST_SUITE_P(
    Panels, PanelStateTest,
    ::testing::Values(PanelStateCase{"CeStarRaised", device::Sip::CeStar, false, Packet(0x51, 16, 0x00), 1, 0, 0},
                      PanelStateCase{"CeStarRaisedF11", device::Sip::CeStar, false, Packet(0x7A, 87, 0x00), 1, 0, 0},
                      PanelStateCase{"CeStarLowered", device::Sip::CeStar, true, Packet(0x51, 16, 0x00), 1, 0, 0},
                      PanelStateCase{"CeStarLoweredF11", device::Sip::CeStar, true, Packet(0x7A, 87, 0x00), 1, 0, 0},
                      PanelStateCase{"CeStarLoweredReturn", device::Sip::CeStar, true, Packet(0x0D, 0x1C, 0x00), 1,
                                     0, 0},
                      PanelStateCase{"OtherRaised", device::Sip::Other, false, Packet(0x41, 0x1E, 0x00), 0, 1, 0},
                      PanelStateCase{"OtherLowered", device::Sip::Other, true, Packet(0x41, 0x1E, 0x00), 0, 1, 0},
                      PanelStateCase{"NoPanel", device::Sip::None, false, Packet(0x41, 0x1E, 0x00), 0, 1, 0}),
    [](const ::testing::TestParamInfo<PanelStateCase>& info) { return info.param.name; });

// ---- IsCeStarShowing -------------------------------------------------------

struct PanelCase {
  const char* name;
  bool panel;
  const char16_t* childClass;  // nullptr: no child
  bool showing;
  bool panelHidden = false;
};

class CeStarDetectionTest : public KeyInjectorTest, public ::testing::WithParamInterface<PanelCase> {};

TEST_P(CeStarDetectionTest, ComparesExactClassName) {
  const PanelCase& c = GetParam();
  HWND panel = c.panel ? device::CreateForeignWindow(u"SipWndClass") : nullptr;
  if (panel && c.childClass) device::CreateForeignWindow(c.childClass, panel);
  if (c.panelHidden) ShowWindow(panel, SW_HIDE);  // as the shell lowers it
  EXPECT_EQ(IsCeStarShowing(&memory_.windows), c.showing);
  EXPECT_EQ(memory_.windows.inputPanel, panel);
}

INSTANTIATE_TEST_SUITE_P(Panels, CeStarDetectionTest,
                         ::testing::Values(PanelCase{"CeStar", true, u"CE-StarIm", true},
                                           PanelCase{"Prefix", true, u"CE-Star", false},
                                           PanelCase{"Longer", true, u"CE-StarIme", false},
                                           PanelCase{"OtherCase", true, u"ce-starim", false},
                                           PanelCase{"OtherMethod", true, u"QWERTY", false},
                                           PanelCase{"NoChild", true, nullptr, false},
                                           PanelCase{"CeStarHidden", true, u"CE-StarIm", true, true},
                                           PanelCase{"NoPanel", false, nullptr, false}),
                         [](const ::testing::TestParamInfo<PanelCase>& info) { return info.param.name; });

// Only the panel's FIRST child counts.
TEST_F(KeyInjectorTest, OnlyFirstChildOfPanelCounts) {
  HWND panel = device::CreateForeignWindow(u"SipWndClass");
  device::CreateForeignWindow(u"QWERTY", panel);
  device::CreateForeignWindow(u"CE-StarIm", panel);
  EXPECT_FALSE(IsCeStarShowing(&memory_.windows));
}

// ---- The tap table ---------------------------------------------------------

// The CE-Star keyboard as the panel shows it: 240 by 80 client pixels.
const int kKeyboardWidth = 240;
const int kKeyboardHeight = 80;

struct Tapped {
  int scan;
  BYTE flag;
  TapTarget target;
  TapPoint point;
};

std::vector<Tapped> EveryTap() {
  std::vector<Tapped> taps;
  for (int scan = 0; scan < 256; ++scan) {
    for (BYTE flag : {BYTE(0), BYTE(0x40)}) {
      TapPoint point = {0xFFFF, 0xFFFF};
      TapTarget target = LookUpTap(static_cast<BYTE>(scan), flag, &point);
      if (target != TAP_NONE) taps.push_back({scan, flag, target, point});
    }
  }
  return taps;
}

// Two keys never share a point (the two Shift keys are the panel's one
// Shift), and every point lies on the window it is posted to.
TEST(TapTable, KeysHaveTheirOwnPointsInsideThePanel) {
  std::map<std::pair<int, std::pair<int, int>>, int> owner;  // target and point -> scan code
  for (const Tapped& tap : EveryTap()) {
    SCOPED_TRACE(tap.scan);
    EXPECT_LT(tap.point.x, kKeyboardWidth);
    EXPECT_LT(tap.point.y, kKeyboardHeight);
    auto key = std::make_pair(int(tap.target), std::make_pair(int(tap.point.x), int(tap.point.y)));
    auto found = owner.emplace(key, tap.scan);
    bool sameKey = found.first->second == tap.scan || (found.first->second == 42 && tap.scan == 54);
    EXPECT_TRUE(sameKey) << "shares a point with scan code " << found.first->second;
  }
}

// The four letter rows run left to right in scan-code order, each on its
// own line, and the rows run top to bottom.
TEST(TapTable, RowsRunInOrder) {
  const int rows[][2] = {{1, 14}, {15, 27}, {30, 40}, {44, 53}};
  int lastRowY = -1;
  for (const auto& row : rows) {
    TapPoint first = {0, 0};
    ASSERT_EQ(LookUpTap(static_cast<BYTE>(row[0]), 0, &first), TAP_SOFT_KEYBOARD);
    EXPECT_GT(int(first.y), lastRowY) << "row from scan code " << row[0];
    lastRowY = first.y;
    int lastX = -1;
    for (int scan = row[0]; scan <= row[1]; ++scan) {
      TapPoint point = {0, 0};
      ASSERT_EQ(LookUpTap(static_cast<BYTE>(scan), 0, &point), TAP_SOFT_KEYBOARD) << scan;
      EXPECT_EQ(point.y, first.y) << scan;
      EXPECT_GE(int(point.x) - lastX, lastX < 0 ? 0 : 17) << scan;  // keys 17 or 18 pixels apart
      EXPECT_LE(int(point.x) - lastX, lastX < 0 ? 255 : 18) << scan;
      lastX = point.x;
    }
  }
}

// Where the panel's own pictures put a few keys the user checks first.
TEST(TapTable, KnownKeysLandWhereThePanelDrawsThem) {
  struct Known {
    BYTE scan, flag;
    TapTarget target;
    WORD x, y;
  } known[] = {{16, 0, TAP_SOFT_KEYBOARD, 33, 24}, {2, 0, TAP_SOFT_KEYBOARD, 26, 8},
               {44, 0, TAP_SOFT_KEYBOARD, 43, 56}, {41, 0, TAP_SOFT_KEYBOARD, 54, 72},
               {72, 0x40, TAP_SOFT_KEYBOARD, 195, 72}, {87, 0, TAP_INPUT_METHOD, 207, 28}};
  for (const Known& k : known) {
    TapPoint point = {0, 0};
    EXPECT_EQ(LookUpTap(k.scan, k.flag, &point), k.target) << int(k.scan);
    EXPECT_EQ(point.x, k.x) << int(k.scan);
    EXPECT_EQ(point.y, k.y) << int(k.scan);
  }
}

// Every scan code outside the listed keys gives no tap, whatever the flag.
TEST(TapTable, CodesOffThePanelGiveNoTap) {
  for (int scan = 0; scan < 256; ++scan) {
    bool onPanel = (scan >= 1 && scan <= 58 && scan != 55) || scan == 87 || scan == 88 || scan == 72 ||
                   scan == 75 || scan == 77 || scan == 80;
    TapPoint point;
    for (BYTE flag : {BYTE(0), BYTE(0x40)}) {
      bool arrow = scan == 72 || scan == 75 || scan == 77 || scan == 80;
      bool expected = onPanel && !(arrow && flag == 0);
      EXPECT_EQ(LookUpTap(static_cast<BYTE>(scan), flag, &point) != TAP_NONE, expected) << scan;
    }
  }
}

struct FunctionKeyCase {
  BYTE scan;
  bool inputMethodWindow;
  size_t taps;
};

class FunctionKeyTapTest : public KeyInjectorTest, public ::testing::WithParamInterface<FunctionKeyCase> {};

TEST_P(FunctionKeyTapTest, TapsInputMethodWindowOnlyWhenPresent) {
  const FunctionKeyCase& c = GetParam();
  HWND panel = device::CreateForeignWindow(u"SipWndClass");
  device::CreateForeignWindow(u"CE-StarIm", panel);
  if (c.inputMethodWindow) device::CreateForeignWindow(u"WinXE_ImeClass");
  DispatchKeyPacket(&memory_, Packet(0x7A, c.scan, 0x00));
  auto posted = device::PostedToOtherPrograms();
  ASSERT_EQ(posted.size(), c.taps * 2);
  for (const auto& message : posted) EXPECT_EQ(message.className, u"WinXE_ImeClass");
}

INSTANTIATE_TEST_SUITE_P(FunctionKeys, FunctionKeyTapTest,
                         ::testing::Values(FunctionKeyCase{87, true, 1}, FunctionKeyCase{88, true, 1},
                                           FunctionKeyCase{87, false, 0}, FunctionKeyCase{88, false, 0}));

TEST_F(KeyInjectorTest, ArrowTapFollowsThisPacketsExtendedFlag) {
  device::SetSip(device::Sip::CeStar);
  DispatchKeyPacket(&memory_, Packet(0x26, 72, 0x40));
  DispatchKeyPacket(&memory_, Packet(0x68, 72, 0x00));  // keypad 8: no tap
  auto posted = device::PostedToOtherPrograms();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0].lParam, MAKELPARAM(195, 72));
  EXPECT_TRUE(device::SendInputs().empty());
}

}  // namespace
