// Message boxes, the popup menu, the tray icon (the CE record), icons from
// the executable's resources, and the screen's metrics.
#include "bridge.h"
#include "records.h"

namespace arm {

namespace {

// A message box runs its modal loop inside this call, and the loop calls
// the guest's window procedure for what arrives meanwhile.
uint32_t BridgeMessageBoxW(Call& call) {
  WideArg text = WideOf(call, 1), caption = WideOf(call, 2);
  return static_cast<uint32_t>(
      MessageBoxW(HostHandleAs<HWND>(call.Arg(0)), text.get(), caption.get(), call.Arg(3)));
}

uint32_t BridgeCreatePopupMenu(Call&) { return GuestHandle(CreatePopupMenu()); }

uint32_t BridgeAppendMenuW(Call& call) {
  WideArg text = WideOf(call, 3);
  return AppendMenuW(HostHandleAs<HMENU>(call.Arg(0)), call.Arg(1), call.Arg(2), text.get());
}

uint32_t BridgeEnableMenuItem(Call& call) {
  return static_cast<uint32_t>(EnableMenuItem(HostHandleAs<HMENU>(call.Arg(0)), call.Arg(1), call.Arg(2)));
}

// The menu's modal loop runs inside this call, as a box's does.
uint32_t BridgeTrackPopupMenuEx(Call& call) {
  uint8_t* record = call.Bytes(5, ce::kTpmParamsSize, kRead);
  TPMPARAMS params;
  if (record != nullptr) ce::ReadTpmParams(record, &params);
  return TrackPopupMenuEx(HostHandleAs<HMENU>(call.Arg(0)), call.Arg(1), static_cast<int>(call.Arg(2)),
                          static_cast<int>(call.Arg(3)), HostHandleAs<HWND>(call.Arg(4)),
                          record ? &params : nullptr);
}

uint32_t BridgeDestroyMenu(Call& call) { return DestroyMenu(HostHandleAs<HMENU>(call.Arg(0))); }

uint32_t BridgeShellNotifyIcon(Call& call) {
  uint8_t* record = call.Bytes(1, ce::kNotifyIconDataSize, kRead);
  NOTIFYICONDATA data;
  if (record != nullptr) ce::ReadNotifyIconData(record, &data);
  return Shell_NotifyIcon(call.Arg(0), record ? &data : nullptr);
}

uint32_t BridgeLoadImageW(Call& call) {
  uintptr_t id = 0;
  WideArg name = WideOrNumber(call, 1, &id);
  return GuestHandle(LoadImageW(HostHandleAs<HINSTANCE>(call.Arg(0)), id ? MAKEINTRESOURCEW(id) : name.get(),
                                call.Arg(2), static_cast<int>(call.Arg(3)), static_cast<int>(call.Arg(4)),
                                call.Arg(5)));
}

uint32_t BridgeDestroyIcon(Call& call) { return DestroyIcon(HostHandleAs<HICON>(call.Arg(0))); }
uint32_t BridgeGetSystemMetrics(Call& call) {
  return static_cast<uint32_t>(GetSystemMetrics(static_cast<int>(call.Arg(0))));
}

}  // namespace

const std::vector<Bridged>& ShellFunctions() {
  static const std::vector<Bridged> functions = {
      {"MessageBoxW", BridgeMessageBoxW},           {"CreatePopupMenu", BridgeCreatePopupMenu},
      {"AppendMenuW", BridgeAppendMenuW},           {"EnableMenuItem", BridgeEnableMenuItem},
      {"TrackPopupMenuEx", BridgeTrackPopupMenuEx}, {"DestroyMenu", BridgeDestroyMenu},
      {"Shell_NotifyIcon", BridgeShellNotifyIcon},  {"LoadImageW", BridgeLoadImageW},
      {"DestroyIcon", BridgeDestroyIcon},           {"GetSystemMetrics", BridgeGetSystemMetrics},
  };
  return functions;
}

}  // namespace arm
