// Window classes, windows and the message queue. Dispatching a message, or
// sending one to a window of the calling thread, calls the guest's window
// procedure back through its host stand-in (window_procs.cpp).
#include <algorithm>
#include <cstring>

#include "bridge.h"
#include "device.h"
#include "records.h"

namespace arm {

namespace {

uint32_t BridgeRegisterClassW(Call& call) {
  uint8_t* record = call.Bytes(0, ce::kWndClassSize, kRead);
  if (record == nullptr) return RegisterClassW(nullptr);
  ce::WndClass guest;
  ce::ReadWndClass(record, &guest);
  WNDCLASSW host = WNDCLASSW();
  host.style = guest.style;
  if (guest.proc != 0 && (host.lpfnWndProc = HostProcFor(guest.proc)) == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  host.cbClsExtra = static_cast<int>(guest.clsExtra);
  host.cbWndExtra = static_cast<int>(guest.wndExtra);
  host.hInstance = HostHandleAs<HINSTANCE>(guest.instance);
  host.hIcon = HostHandleAs<HICON>(guest.icon);
  host.hCursor = HostHandleAs<HCURSOR>(guest.cursor);
  host.hbrBackground = HostHandleAs<HBRUSH>(guest.background);
  std::u16string menuName, className;
  auto name = [&](uint32_t address, std::u16string* text) -> LPCWSTR {
    if (address <= 0xFFFF) return MAKEINTRESOURCEW(address);
    if (!Memory().ReadWide(address, 256, text))
      call.Refuse("the class record names a string the program may not read");
    return text->c_str();
  };
  host.lpszMenuName = name(guest.menuName, &menuName);
  host.lpszClassName = name(guest.className, &className);
  return RegisterClassW(&host);
}

uint32_t BridgeCreateWindowExW(Call& call) {
  uintptr_t atom = 0;
  WideArg className = WideOrNumber(call, 1, &atom);
  WideArg title = WideOf(call, 2);
  auto toInt = [&](int n) { return static_cast<int>(call.Arg(n)); };
  // The creation parameter is the program's own word: handed on, never read.
  HWND window = CreateWindowExW(
      call.Arg(0), atom ? MAKEINTRESOURCEW(atom) : className.get(), title.get(), call.Arg(3), toInt(4),
      toInt(5), toInt(6), toInt(7), HostHandleAs<HWND>(call.Arg(8)), HostHandleAs<HMENU>(call.Arg(9)),
      HostHandleAs<HINSTANCE>(call.Arg(10)), reinterpret_cast<LPVOID>(static_cast<uintptr_t>(call.Arg(11))));
  return GuestHandle(window);
}

uint32_t BridgeShowWindow(Call& call) {
  return ShowWindow(HostHandleAs<HWND>(call.Arg(0)), static_cast<int>(call.Arg(1)));
}
uint32_t BridgeUpdateWindow(Call& call) { return UpdateWindow(HostHandleAs<HWND>(call.Arg(0))); }
uint32_t BridgeDestroyWindow(Call& call) { return DestroyWindow(HostHandleAs<HWND>(call.Arg(0))); }

uint32_t BridgeDefWindowProcW(Call& call) {
  return GuestValue(DefWindowProcW(HostHandleAs<HWND>(call.Arg(0)), call.Arg(1), HostWparam(call.Arg(2)),
                                   HostLparam(call.Arg(3))));
}

// Waits for a message; while it waits, messages sent to the thread's
// windows run their procedures, in the guest, from here.
uint32_t BridgeGetMessageW(Call& call) {
  uint8_t* record = call.Bytes(0, ce::kMsgSize, kWrite);
  MSG msg = MSG();
  BOOL result =
      GetMessageW(record ? &msg : nullptr, HostHandleAs<HWND>(call.Arg(1)), call.Arg(2), call.Arg(3));
  if (record != nullptr && result != -1 && !ce::WriteMsg(msg, record)) {
    call.Refuse("message " + Hex8(msg.message) + " carries a parameter wider than the guest's 32 bits");
  }
  return static_cast<uint32_t>(result);
}

uint32_t BridgeTranslateMessage(Call& call) {
  uint8_t* record = call.Bytes(0, ce::kMsgSize, kRead);
  MSG msg;
  if (record != nullptr) ce::ReadMsg(record, &msg);
  return TranslateMessage(record ? &msg : nullptr);
}

uint32_t BridgeDispatchMessageW(Call& call) {
  uint8_t* record = call.Bytes(0, ce::kMsgSize, kRead);
  MSG msg;
  if (record != nullptr) ce::ReadMsg(record, &msg);
  return GuestValue(DispatchMessageW(record ? &msg : nullptr));
}

uint32_t BridgePostQuitMessage(Call& call) {
  PostQuitMessage(static_cast<int>(call.Arg(0)));
  return 0;
}

uint32_t BridgePostMessageW(Call& call) {
  return PostMessageW(HostHandleAs<HWND>(call.Arg(0)), call.Arg(1), HostWparam(call.Arg(2)),
                      HostLparam(call.Arg(3)));
}

uint32_t BridgeSendMessageW(Call& call) {
  return GuestValue(SendMessageW(HostHandleAs<HWND>(call.Arg(0)), call.Arg(1), HostWparam(call.Arg(2)),
                                 HostLparam(call.Arg(3))));
}

uint32_t BridgeFindWindowW(Call& call) {
  uintptr_t atom = 0;
  WideArg className = WideOrNumber(call, 0, &atom);
  WideArg title = WideOf(call, 1);
  return GuestHandle(FindWindowW(atom ? MAKEINTRESOURCEW(atom) : className.get(), title.get()));
}

uint32_t BridgeGetWindow(Call& call) {
  return GuestHandle(GetWindow(HostHandleAs<HWND>(call.Arg(0)), call.Arg(1)));
}

uint32_t BridgeGetClassNameW(Call& call) {
  int length = static_cast<int>(call.Arg(2));
  uint8_t* buffer = call.Bytes(1, length > 0 ? 2 * static_cast<uint32_t>(length) : 0, kWrite);
  std::u16string name(length > 0 ? static_cast<size_t>(length) : 0, u'\0');
  int copied = GetClassNameW(HostHandleAs<HWND>(call.Arg(0)), buffer ? &name[0] : nullptr, length);
  // The name and its terminator, and nothing past them, as the device writes.
  if (buffer != nullptr && length > 0 && copied >= 0) {
    size_t written = std::min(static_cast<size_t>(copied) + 1, static_cast<size_t>(length));
    std::memcpy(buffer, name.data(), 2 * written);
  }
  return static_cast<uint32_t>(copied);
}

uint32_t BridgeGetForegroundWindow(Call&) { return GuestHandle(GetForegroundWindow()); }

}  // namespace

const std::vector<Bridged>& WindowFunctions() {
  static const std::vector<Bridged> functions = {
      {"RegisterClassW", BridgeRegisterClassW},
      {"CreateWindowExW", BridgeCreateWindowExW},
      {"ShowWindow", BridgeShowWindow},
      {"UpdateWindow", BridgeUpdateWindow},
      {"DestroyWindow", BridgeDestroyWindow},
      {"DefWindowProcW", BridgeDefWindowProcW},
      {"GetMessageW", BridgeGetMessageW},
      {"TranslateMessage", BridgeTranslateMessage},
      {"DispatchMessageW", BridgeDispatchMessageW},
      {"PostQuitMessage", BridgePostQuitMessage},
      {"PostMessageW", BridgePostMessageW},
      {"SendMessageW", BridgeSendMessageW},
      {"FindWindowW", BridgeFindWindowW},
      {"GetWindow", BridgeGetWindow},
      {"GetClassNameW", BridgeGetClassNameW},
      {"GetForegroundWindow", BridgeGetForegroundWindow},
  };
  return functions;
}

}  // namespace arm
