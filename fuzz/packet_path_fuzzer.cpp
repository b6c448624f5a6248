// Fuzzes the path from received bytes to key effects: the packet decoder
// draining a memory port, and the dispatcher behind it.
//
// The input is a script. Byte 0: bits 0-1 choose the soft input panel
// (0 none, 1 and 3 CE-Star, 2 another input method), bit 3 lowers the panel
// (CE-Star takes the taps all the same); bit 2 set, the port has just been
// opened (the decoder does not know where packets start).
// Then, repeatedly: a length byte (low 6 bits) and that many bytes fed to
// the port as one chunk, drained at once.
//
// Every effect is checked against the reference model of the packet rules
// (packet_rules_model.h), written with plain containers rather than from the
// decoder's bit masks and fixed buffer.
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "device.h"
#include "packet_rules_model.h"
#include "pipeline/key_injector.h"
#include "pipeline/key_packet_decoder.h"
#include "pipeline/soft_keyboard_tapper.h"
#include "platform.h"

namespace {

#define CHECK(condition)                                                       \
  do {                                                                         \
    if (!(condition)) {                                                        \
      fprintf(stderr, "packet_path_fuzzer: check failed at line %d: %s\n", __LINE__, #condition); \
      __builtin_trap();                                                        \
    }                                                                          \
  } while (0)

const char16_t kPort[] = u"COM3:";

enum class Kind { Key, Char, Tap };

struct Effect {
  Kind kind;
  device::KeyInput key;
  device::KeybdMessage keybd;
  device::PostedMessage tap;
};

struct Windows {
  bool ceStar = false;
  HWND inputMethod = nullptr;
  HWND softKeyboard = nullptr;
};

Effect KeyRecord(BYTE keyCode, BYTE scanCode, bool up) {
  Effect effect = {};
  effect.kind = Kind::Key;
  effect.key = {1,
                static_cast<int>(sizeof(INPUT)),
                INPUT_KEYBOARD,
                keyCode,
                scanCode,
                up ? static_cast<DWORD>(KEYEVENTF_KEYUP) : 0u,
                0,
                up ? ((static_cast<ULONG_PTR>(keyCode) << 16) | 0x8000) : 0};
  return effect;
}

Effect Tap(HWND window, const char16_t* className, UINT message, WPARAM wParam, TapPoint point) {
  Effect effect = {};
  effect.kind = Kind::Tap;
  effect.tap = {window, className, message, wParam,
                static_cast<LPARAM>(static_cast<DWORD>(point.x) | (static_cast<DWORD>(point.y) << 16))};
  return effect;
}

// What one accepted packet must make the handheld do.
void ExpectDispatch(const Windows& windows, BYTE k, BYTE s, BYTE f, std::vector<Effect>* out) {
  if (f & 0x80) {
    out->push_back(KeyRecord(k, s, true));
    return;
  }
  if (windows.ceStar) {
    TapPoint point = {0, 0};
    switch (LookUpTap(s, static_cast<BYTE>(f & 0x40), &point)) {
      case TAP_NONE:
        return;
      case TAP_INPUT_METHOD:
        out->push_back(Tap(windows.inputMethod, u"WinXE_ImeClass", WM_LBUTTONDOWN, MK_LBUTTON, point));
        out->push_back(Tap(windows.inputMethod, u"WinXE_ImeClass", WM_LBUTTONUP, 0, point));
        return;
      case TAP_SOFT_KEYBOARD:
        out->push_back(Tap(windows.softKeyboard, u"CE-StarIm", WM_LBUTTONDOWN, MK_LBUTTON, point));
        out->push_back(Tap(windows.softKeyboard, u"CE-StarIm", WM_LBUTTONUP, 0, point));
        return;
    }
    return;
  }
  if (k == 0x0D) {
    Effect effect = {};
    effect.kind = Kind::Char;
    effect.keybd = {reinterpret_cast<HWND>(static_cast<intptr_t>(-1)), 0x0D, KeyStateDownFlag, 1, 0x0D, 0x0D};
    out->push_back(effect);
    return;
  }
  out->push_back(KeyRecord(k, s, false));
}

bool SameKey(const device::KeyInput& a, const device::KeyInput& b) {
  return a.count == b.count && a.size == b.size && a.type == b.type && a.vk == b.vk && a.scan == b.scan &&
         a.flags == b.flags && a.time == b.time && a.extra == b.extra;
}

bool SameKeybd(const device::KeybdMessage& a, const device::KeybdMessage& b) {
  return a.window == b.window && a.vkey == b.vkey && a.state == b.state && a.count == b.count &&
         a.shift == b.shift && a.character == b.character;
}

bool SameTap(const device::PostedMessage& a, const device::PostedMessage& b) {
  return a.window == b.window && a.className == b.className && a.message == b.message && a.wParam == b.wParam &&
         a.lParam == b.lParam;
}

bool StartsWith(const std::string& line, const char* prefix) { return line.rfind(prefix, 0) == 0; }

// The effects that happened, in their order: the trace gives the order,
// the typed records the fields.
std::vector<Effect> Happened() {
  std::vector<device::KeyInput> keys = device::SendInputs();
  std::vector<device::KeybdMessage> keybds = device::KeybdMessages();
  std::vector<device::PostedMessage> taps = device::PostedToOtherPrograms();
  size_t k = 0, c = 0, t = 0;
  std::vector<Effect> effects;
  for (const std::string& line : device::Trace()) {
    Effect effect = {};
    if (StartsWith(line, "SendInput ")) {
      CHECK(k < keys.size());
      effect.kind = Kind::Key;
      effect.key = keys[k++];
    } else if (StartsWith(line, "PostKeybdMessage ")) {
      CHECK(c < keybds.size());
      effect.kind = Kind::Char;
      effect.keybd = keybds[c++];
    } else if (StartsWith(line, "PostMessageW ")) {
      CHECK(t < taps.size());
      effect.kind = Kind::Tap;
      effect.tap = taps[t++];
    } else {
      continue;
    }
    effects.push_back(effect);
  }
  CHECK(k == keys.size() && c == keybds.size() && t == taps.size());
  return effects;
}

Windows ShowPanel(BYTE choice) {
  Windows windows;
  switch (choice & 3) {
    case 0:
      device::SetSip(device::Sip::None);
      return windows;
    case 2:
      device::SetSip(device::Sip::Other, (choice & 8) != 0);
      return windows;
    default:
      device::SetSip(device::Sip::CeStar, (choice & 8) != 0);
      break;
  }
  windows.ceStar = true;
  windows.inputMethod = FindWindowW(u"WinXE_ImeClass", nullptr);
  HWND panel = FindWindowW(u"SipWndClass", nullptr);
  windows.softKeyboard = panel ? GetWindow(panel, GW_CHILD) : nullptr;
  CHECK(windows.inputMethod != nullptr && windows.softKeyboard != nullptr);
  return windows;
}

HANDLE OpenPort() {
  HANDLE port = CreateFileW(kPort, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  CHECK(port != INVALID_HANDLE_VALUE);
  COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 10, 1000};
  CHECK(SetCommTimeouts(port, &timeouts));
  return port;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  device::Reset();
  Windows windows = ShowPanel(data[0]);
  device::MapPortToMemory(kPort);
  HANDLE port = OpenPort();

  KeyPacketDecoder decoder = {};
  KeyDispatchMemory reader = {};
  model::Decoder rules;
  if (data[0] & 4) {
    StartKeyPacketDecoder(&decoder);
    rules.Open();
  }
  std::vector<Effect> expected;
  size_t at = 1;
  while (at < size) {
    size_t length = data[at++] & 0x3F;
    if (length > size - at) length = size - at;
    const uint8_t* chunk = data + at;
    at += length;

    CHECK(device::FeedPort(kPort, chunk, length));
    rules.Drain(std::vector<uint8_t>(chunk, chunk + length), [&](const model::Packet& p) {
      ExpectDispatch(windows, p.key, p.scan, p.flags, &expected);
    });
    DrainKeyPacketDecoder(&decoder, port, DispatchReceivedKeyPacket, &reader);
    // What waits undecided is the same, and never more than the limit.
    CHECK(decoder.count == static_cast<DWORD>(rules.Waiting()));
    CHECK(decoder.count <= KEY_PACKET_UNDECIDED_LIMIT);

    // A drain leaves nothing behind in the port.
    BYTE left;
    DWORD got = 99;
    CHECK(ReadFile(port, &left, 1, &got, nullptr) && got == 0);
  }

  std::vector<Effect> happened = Happened();
  CHECK(happened.size() == expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    CHECK(happened[i].kind == expected[i].kind);
    switch (expected[i].kind) {
      case Kind::Key:
        CHECK(SameKey(happened[i].key, expected[i].key));
        break;
      case Kind::Char:
        CHECK(SameKeybd(happened[i].keybd, expected[i].keybd));
        break;
      case Kind::Tap:
        CHECK(SameTap(happened[i].tap, expected[i].tap));
        break;
    }
  }
  CHECK(device::MessageBoxes().empty());
  CHECK(CloseHandle(port));
  CHECK(device::OpenPorts() == 0);
  return 0;
}
