#include "pipeline/key_injector.h"

static void SendKeyRecord(INPUT* record) { SendInput(1, record, sizeof(INPUT)); }

static bool IsDown(const KeyDispatchMemory* memory, BYTE key) { return (memory->down[key / 8] & (1 << (key % 8))) != 0; }

static void ClearDown(KeyDispatchMemory* memory, BYTE key) {
  memory->down[key / 8] = static_cast<BYTE>(memory->down[key / 8] & ~(1 << (key % 8)));
}

static void NoteDown(KeyDispatchMemory* memory, BYTE key, BYTE scan) {
  if (IsDown(memory, key)) return;  // a repeat keeps its first place
  memory->down[key / 8] = static_cast<BYTE>(memory->down[key / 8] | (1 << (key % 8)));
  memory->downOrder[memory->downCount] = key;
  memory->downScan[memory->downCount] = scan;
  ++memory->downCount;
}

static void NoteUp(KeyDispatchMemory* memory, BYTE key) {
  DWORD i;
  DWORD kept = 0;
  if (!IsDown(memory, key)) return;
  ClearDown(memory, key);
  for (i = 0; i < memory->downCount; ++i) {
    if (memory->downOrder[i] == key) continue;
    memory->downOrder[kept] = memory->downOrder[i];
    memory->downScan[kept] = memory->downScan[i];
    ++kept;
  }
  memory->downCount = kept;
}

// A key-up record, for a release from the adapter or one the reader owes.
static void SendKeyUp(BYTE key, BYTE scan) {
  INPUT record = {0};
  record.type = INPUT_KEYBOARD;
  record.ki.wVk = key;
  record.ki.wScan = scan;
  record.ki.time = 0;
  record.ki.dwFlags = KEYEVENTF_KEYUP;
  record.ki.dwExtraInfo = (static_cast<DWORD>(key) << 16) | 0x8000;
  SendKeyRecord(&record);
}

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
    NoteUp(memory, packet.keyCode);
    SendKeyUp(packet.keyCode, packet.scanCode);
    return;
  }

  record.ki.dwFlags = 0;
  record.ki.dwExtraInfo = 0;
  if (IsCeStarShowing(&memory->windows)) {
    TapForScanCode(&memory->windows, packet.scanCode, memory->extendedFlag);
    return;
  }
  NoteDown(memory, packet.keyCode, packet.scanCode);
  if (packet.keyCode == VK_RETURN) {
    // Return goes straight to the focus window as a character.
    // A window of -1 is the focus window of the foreground thread.
    UINT character = VK_RETURN;
    PostKeybdMessage((HWND)-1, VK_RETURN, KeyStateDownFlag, 1, &character, &character);
    return;
  }
  SendKeyRecord(&record);
}

void ReleaseKeysLeftDown(KeyDispatchMemory* memory) {
  DWORD i;
  for (i = 0; i < memory->downCount; ++i) {
    ClearDown(memory, memory->downOrder[i]);
    SendKeyUp(memory->downOrder[i], memory->downScan[i]);
  }
  memory->downCount = 0;
}

void DispatchReceivedKeyPacket(void* context, const KeyPacket& packet) {
  DispatchKeyPacket(static_cast<KeyDispatchMemory*>(context), packet);
}
