#include "pipeline/key_injector.h"

static void SendKeyRecord(INPUT* record) { SendInput(1, record, sizeof(INPUT)); }

void DispatchKeyPacket(KeyDispatchMemory* memory, const KeyPacket& packet) {
  memory->extendedFlag = static_cast<BYTE>(packet.flags & KEY_FLAG_EXTENDED);

  INPUT record = {0};
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
  if (IsCeStarShowing(&memory->windows)) {
    TapForScanCode(&memory->windows, packet.scanCode, memory->extendedFlag);
    return;
  }
  if (packet.keyCode == VK_RETURN) {
    // Return goes straight to the focus window as a character.
    // A window of -1 is the focus window of the foreground thread.
    UINT character = VK_RETURN;
    PostKeybdMessage((HWND)-1, VK_RETURN, KeyStateDownFlag, 1, &character, &character);
    return;
  }
  SendKeyRecord(&record);
}

void DispatchReceivedKeyPacket(void* context, const KeyPacket& packet) {
  DispatchKeyPacket(static_cast<KeyDispatchMemory*>(context), packet);
}
