// The input operations the program injects keys with. Each call is
// recorded (with its trace line) and types into the simulated focus window.
#include "internal.h"

UINT WINAPI SendInput(UINT count, LPINPUT inputs, int size) {
  if (inputs == nullptr || size != static_cast<int>(sizeof(INPUT))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  for (UINT i = 0; i < count; ++i) {
    const INPUT& input = inputs[i];
    device::KeyInput record{count,         size,          input.type,       input.ki.wVk, input.ki.wScan,
                            input.ki.dwFlags, input.ki.time, input.ki.dwExtraInfo};
    // The focus window first: whoever sees the record (and is woken by it)
    // then sees the text the key typed.
    if (input.type == INPUT_KEYBOARD) host::FocusKey(input.ki.wVk, (input.ki.dwFlags & KEYEVENTF_KEYUP) != 0);
    host::RecordKeyInput(record);
  }
  return count;
}

BOOL WINAPI PostKeybdMessage(HWND window, UINT vkey, UINT keyStateFlags, UINT count, UINT* shiftStates,
                             UINT* characters) {
  if (count != 0 && (shiftStates == nullptr || characters == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  device::KeybdMessage message{window, vkey, keyStateFlags, count, count ? shiftStates[0] : 0,
                               count ? characters[0] : 0};
  if (keyStateFlags & KeyStateDownFlag) {
    for (UINT i = 0; i < count; ++i) host::FocusChar(static_cast<char16_t>(characters[i]));
  }
  host::RecordKeybdMessage(message);
  return TRUE;
}
