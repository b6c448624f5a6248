// Turns key presses into stylus taps on the CE-Star input method's
// on-screen keyboard while that input method is showing.
#pragma once

#include "pipeline/key_packet.h"
#include "platform.h"

// A point in client pixels of the tapped window.
struct TapPoint {
  WORD x;
  WORD y;
};

enum TapTarget { TAP_NONE, TAP_SOFT_KEYBOARD, TAP_INPUT_METHOD };

// The windows a press is tapped into, found afresh for every press.
struct SoftKeyboardWindows {
  HWND inputMethod;      // top-level "WinXE_ImeClass", may be none
  HWND inputPanel;       // top-level "SipWndClass"
  HWND softKeyboard;     // first child of the panel
};

// Finds the three windows afresh; true when the panel's first child is
// exactly the CE-Star keyboard, the panel raised or lowered.
bool IsCeStarShowing(SoftKeyboardWindows* windows);

// Where a press of this scan code taps, given the remembered extended flag.
// TAP_NONE for keys that have no place on the panel.
TapTarget LookUpTap(BYTE scanCode, BYTE extendedFlag, TapPoint* point);

// Posts the button-down and button-up of one tap for this scan code, if the
// panel has a key for it; extendedFlag is the packet's, which tells the
// arrows from the keypad's digits.
void TapForScanCode(const SoftKeyboardWindows* windows, BYTE scanCode, BYTE extendedFlag);

// The mouse messages' second parameter: x low, y high.
inline LPARAM TapPointParam(TapPoint point) {
  return static_cast<LPARAM>(static_cast<DWORD>(point.x) | (static_cast<DWORD>(point.y) << 16));
}
