#include "pipeline/soft_keyboard_tapper.h"

// The longest window class name the platform allows, plus its NUL.
static const int CLASS_NAME_ROOM = 257;

static bool IsClassName(HWND window, const WCHAR* expected) {
  WCHAR name[CLASS_NAME_ROOM];
  int length = GetClassNameW(window, name, CLASS_NAME_ROOM);
  if (length <= 0 || length >= CLASS_NAME_ROOM) return false;
  int i = 0;
  for (; i < length; ++i) {
    if (expected[i] == 0 || name[i] != expected[i]) return false;
  }
  return expected[i] == 0;
}

bool IsCeStarShowing(SoftKeyboardWindows* windows) {
  windows->inputMethod = FindWindowW(TEXT("WinXE_ImeClass"), NULL);
  windows->inputPanel = FindWindowW(TEXT("SipWndClass"), NULL);
  windows->softKeyboard = windows->inputPanel ? GetWindow(windows->inputPanel, GW_CHILD) : NULL;
  if (windows->softKeyboard == NULL) return false;
  // Whether the panel is raised or lowered does not matter: a lowered panel
  // keeps its windows, and a hidden window still receives what is posted to
  // it, so CE-Star takes the taps either way.
  return IsClassName(windows->softKeyboard, TEXT("CE-StarIm"));
}

struct TapKey {
  BYTE scanCode;
  bool needsExtended;  // arrows: without the bit they are the keypad's digits
  TapTarget target;
  WORD x;
  WORD y;
};

// Keys off the four letter rows, tried before the row formulas.
static const TapKey SINGLE_KEYS[] = {
    {87, false, TAP_INPUT_METHOD, 207, 28},   // F11
    {88, false, TAP_INPUT_METHOD, 221, 28},   // F12
    {72, true, TAP_SOFT_KEYBOARD, 195, 72},   // Up
    {75, true, TAP_SOFT_KEYBOARD, 213, 72},   // Left
    {77, true, TAP_SOFT_KEYBOARD, 230, 72},   // Right
    {80, true, TAP_SOFT_KEYBOARD, 177, 72},   // Down
    {28, false, TAP_SOFT_KEYBOARD, 227, 56},  // Enter
    {29, false, TAP_SOFT_KEYBOARD, 12, 72},   // Ctrl
    {41, false, TAP_SOFT_KEYBOARD, 54, 72},   // `
    {42, false, TAP_SOFT_KEYBOARD, 18, 56},   // left Shift
    {54, false, TAP_SOFT_KEYBOARD, 18, 56},   // right Shift
    {43, false, TAP_SOFT_KEYBOARD, 72, 72},   // backslash
    {56, false, TAP_SOFT_KEYBOARD, 34, 72},   // Alt
    {57, false, TAP_SOFT_KEYBOARD, 123, 72},  // Space
    {58, false, TAP_SOFT_KEYBOARD, 16, 40},   // Caps Lock
};

// The letter rows: keys 17 or 18 pixels apart, rows 16 pixels apart.
struct TapRow {
  BYTE first;
  BYTE last;
  WORD pitch;
  int offset;
  WORD y;
};

static const TapRow ROWS[] = {
    {1, 14, 17, -8, 8},     // Esc .. Backspace
    {15, 27, 18, -255, 24}, // Tab .. ]
    {30, 40, 18, -502, 40}, // A .. '
    {44, 53, 18, -749, 56}, // Z .. /
};

TapTarget LookUpTap(BYTE scanCode, BYTE extendedFlag, TapPoint* point) {
  size_t i;
  for (i = 0; i < sizeof(SINGLE_KEYS) / sizeof(SINGLE_KEYS[0]); ++i) {
    const TapKey& key = SINGLE_KEYS[i];
    if (key.scanCode != scanCode) continue;
    if (key.needsExtended && extendedFlag != KEY_FLAG_EXTENDED) continue;
    point->x = key.x;
    point->y = key.y;
    return key.target;
  }
  for (i = 0; i < sizeof(ROWS) / sizeof(ROWS[0]); ++i) {
    const TapRow& row = ROWS[i];
    if (scanCode < row.first || scanCode > row.last) continue;
    point->x = static_cast<WORD>(row.pitch * scanCode + row.offset);
    point->y = row.y;
    return TAP_SOFT_KEYBOARD;
  }
  return TAP_NONE;
}

void TapForScanCode(const SoftKeyboardWindows* windows, BYTE scanCode, BYTE extendedFlag) {
  TapPoint point = {0, 0};
  HWND target = NULL;
  switch (LookUpTap(scanCode, extendedFlag, &point)) {
    case TAP_NONE:
      return;
    case TAP_INPUT_METHOD:
      target = windows->inputMethod;
      break;
    case TAP_SOFT_KEYBOARD:
      target = windows->softKeyboard;
      break;
  }
  if (target == NULL) return;
  LPARAM where = TapPointParam(point);
  PostMessageW(target, WM_LBUTTONDOWN, MK_LBUTTON, where);
  PostMessageW(target, WM_LBUTTONUP, 0, where);
}
