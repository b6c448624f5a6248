#include "pipeline/key_injector.h"

static void SendKeyRecord(INPUT* record) { SendInput(1, record, KEY_INPUT_SIZE); }

void Dispatch(SoftKeyboardWindows* windows, const KeyPacket& packet) {
  windows->extendedFlag = static_cast<BYTE>(packet.flags & KEY_FLAG_EXTENDED);

  INPUT record = {};
  record.type = INPUT_KEYBOARD;
  record.ki.wVk = packet.keyCode;
  record.ki.wScan = packet.scanCode;
  record.ki.time = 0;

  // Releases always go out as key-up records, whichever way the press went,
  // so no key is ever left down in the focus window.
  if (packet.flags & KEY_FLAG_RELEASED) {
    record.ki.dwFlags = KEYEVENTF_KEYUP;
    record.ki.dwExtraInfo = (static_cast<DWORD>(packet.keyCode) << 16) | 0x8000;
    SendKeyRecord(&record);
    return;
  }

  record.ki.dwFlags = 0;
  record.ki.dwExtraInfo = 0;
  if (IsCeStarShowing(windows)) {
    TapForScanCode(windows, packet.scanCode);
    return;
  }
  if (packet.keyCode == VK_RETURN) {
    // Return goes straight to the focus window as a character.
    UINT character = VK_RETURN;
    PostKeybdMessage(reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1)), VK_RETURN, KeyStateDownFlag, 1,
                     &character, &character);
    return;
  }
  SendKeyRecord(&record);
}

void DispatchKeyPacket(void* context, const KeyPacket& packet) {
  Dispatch(static_cast<SoftKeyboardWindows*>(context), packet);
}
