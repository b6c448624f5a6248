// Desktop Windows stand-ins for the handheld-only operations.
#include "ce_compat.h"

BOOL WINAPI PostKeybdMessage(HWND window, UINT vkey, UINT keyStateFlags, UINT count, UINT* shiftStates,
                             UINT* characters) {
  (void)vkey;
  (void)keyStateFlags;
  (void)shiftStates;
  // (HWND)-1 on the handheld means "the focus window": on the desktop that
  // is the focus window of the foreground window's thread.
  HWND target = window;
  if (target == reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1))) {
    HWND foreground = GetForegroundWindow();
    GUITHREADINFO info;
    info.cbSize = sizeof info;
    target = nullptr;
    if (foreground != nullptr &&
        GetGUIThreadInfo(GetWindowThreadProcessId(foreground, nullptr), &info) != 0) {
      target = info.hwndFocus != nullptr ? info.hwndFocus : foreground;
    }
  }
  if (target == nullptr) return FALSE;
  BOOL ok = TRUE;
  for (UINT i = 0; i < count; ++i) {
    if (PostMessageW(target, WM_CHAR, static_cast<WPARAM>(characters[i]), 1) == 0) ok = FALSE;
  }
  return ok;
}

// The desktop's wide entry point hands over to the program's handheld-style
// WinMain.
#undef WinMain
extern "C" int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand) {
  return CeWinMain(instance, previous, commandLine, showCommand);
}
