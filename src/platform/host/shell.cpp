// The handheld's shell services: popup menus and the simulated user's choice
// in them, the taskbar tray, icon resources and the screen's metrics.
//
// One mutex guards them all; it is never held while the menu chooser runs or
// a message is posted, since both reach other parts of the handheld.
#include <map>
#include <mutex>
#include <vector>

#include "internal.h"

namespace {

// EnableMenuItem's answer when the menu has no such item.
constexpr BOOL kNoSuchItem = -1;
// Not in the program's header, but a caller may name an item by position.
constexpr UINT kByPosition = 0x0400;
constexpr UINT kStateBits = MF_GRAYED | MF_DISABLED;

struct Menu {
  std::vector<device::MenuItem> items;
  unsigned long created = 0;  // handle values come back, so age is kept apart
};

struct TrayEntry {
  HWND window;
  UINT id;
  UINT callbackMessage;
  uintptr_t icon;  // the handle the shell draws from
  int iconId;
};

struct Shell {
  std::mutex mutex;
  std::map<uintptr_t, Menu> menus;  // by handle
  unsigned long menusCreated = 0;
  std::vector<TrayEntry> tray;     // in the order they were added
  std::map<uintptr_t, int> icons;  // loaded icon -> resource id
  int screenWidth = 240;
  int screenHeight = 320;
};

Shell& S() {
  static Shell* shell = new Shell;
  return *shell;
}

Menu* FindMenuLocked(HMENU menu) {
  auto found = S().menus.find(reinterpret_cast<uintptr_t>(menu));
  return found == S().menus.end() ? nullptr : &found->second;
}

device::MenuItem* FindItemLocked(Menu& menu, UINT which, UINT flags) {
  if (flags & kByPosition) return which < menu.items.size() ? &menu.items[which] : nullptr;
  for (device::MenuItem& item : menu.items) {
    if (item.id == which) return &item;
  }
  return nullptr;
}

std::string StateName(UINT state) {
  switch (state & kStateBits) {
    case MF_ENABLED:
      return "MF_ENABLED";
    case MF_GRAYED:
      return "MF_GRAYED";
    case MF_DISABLED:
      return "MF_DISABLED";
  }
  return "MF_GRAYED|MF_DISABLED";
}

TrayEntry* FindTrayLocked(HWND window, UINT id) {
  for (TrayEntry& entry : S().tray) {
    if (entry.window == window && entry.id == id) return &entry;
  }
  return nullptr;
}

int IconIdLocked(HICON icon) {
  auto found = S().icons.find(reinterpret_cast<uintptr_t>(icon));
  return found == S().icons.end() ? 0 : found->second;
}

// Applies an add or a modify to the shown icon; false if the shell refuses.
bool ApplyTrayLocked(DWORD op, const NOTIFYICONDATA& data) {
  TrayEntry* entry = FindTrayLocked(data.hWnd, data.uID);
  switch (op) {
    case NIM_ADD:
      if (entry) return false;
      S().tray.push_back({data.hWnd, data.uID, 0, 0, 0});
      entry = &S().tray.back();
      break;
    case NIM_MODIFY:
      if (!entry) return false;
      break;
    case NIM_DELETE:
      if (!entry) return false;
      S().tray.erase(S().tray.begin() + (entry - S().tray.data()));
      return true;
    default:
      return false;
  }
  if (data.uFlags & NIF_MESSAGE) entry->callbackMessage = data.uCallbackMessage;
  if (data.uFlags & NIF_ICON) {
    entry->icon = reinterpret_cast<uintptr_t>(data.hIcon);
    entry->iconId = IconIdLocked(data.hIcon);
  }
  return true;
}

}  // namespace

// ---- Menus -------------------------------------------------------------------

HMENU WINAPI CreatePopupMenu(void) {
  HMENU menu;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    menu = reinterpret_cast<HMENU>(host::NewHandleValue());
    S().menus[reinterpret_cast<uintptr_t>(menu)].created = ++S().menusCreated;
  }
  host::Trace("CreatePopupMenu");
  return menu;
}

BOOL WINAPI AppendMenuW(HMENU menu, UINT flags, uintptr_t id, LPCWSTR text) {
  // Only text items are offered: separators, pop-ups and pictures are not.
  if (flags & ~kStateBits) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  device::MenuItem item{static_cast<UINT>(id), host::Wide(text), flags & kStateBits};
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    Menu* found = FindMenuLocked(menu);
    if (!found) {
      SetLastError(ERROR_INVALID_MENU_HANDLE);
      return FALSE;
    }
    found->items.push_back(item);
  }
  host::Trace("AppendMenuW id=" + std::to_string(item.id) + " text=" + device::Quote(item.text) +
              " state=" + StateName(item.state));
  return TRUE;
}

BOOL WINAPI EnableMenuItem(HMENU menu, UINT id, UINT enable) {
  UINT previous, state, itemId;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    Menu* found = FindMenuLocked(menu);
    device::MenuItem* item = found ? FindItemLocked(*found, id, enable) : nullptr;
    if (!item) return kNoSuchItem;
    previous = item->state;
    state = item->state = enable & kStateBits;
    itemId = item->id;
  }
  host::Trace("EnableMenuItem id=" + std::to_string(itemId) + " state=" + StateName(state));
  return static_cast<BOOL>(previous);
}

BOOL WINAPI DestroyMenu(HMENU menu) {
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (S().menus.erase(reinterpret_cast<uintptr_t>(menu)) == 0) {
      SetLastError(ERROR_INVALID_MENU_HANDLE);
      return FALSE;
    }
  }
  host::FreeHandleValue(reinterpret_cast<uintptr_t>(menu));
  host::Trace("DestroyMenu");
  return TRUE;
}

// Shows the menu in its modal loop until the simulated user picks or it is
// taken down. The pick arrives later as WM_COMMAND in the owner's queue, as
// on the handheld; the result tells only whether something was picked (flags
// that ask for the id back are not offered).
BOOL WINAPI TrackPopupMenuEx(HMENU menu, UINT flags, int x, int y, HWND owner, LPTPMPARAMS) {
  if (!host::MenuExists(menu)) {
    SetLastError(ERROR_INVALID_MENU_HANDLE);
    return FALSE;
  }
  if (host::ClassOf(owner).empty()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  host::Trace("TrackPopupMenuEx x=" + std::to_string(x) + " y=" + std::to_string(y) + " flags=" + host::Hex(flags));
  UINT chosen = host::RunPopupMenu(menu, flags, x, y, owner);
  if (chosen == 0) return FALSE;
  return PostMessageW(owner, WM_COMMAND, chosen, 0);
}

// ---- Tray ----------------------------------------------------------------------

BOOL WINAPI Shell_NotifyIcon(DWORD message, PNOTIFYICONDATA data) {
  if (data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  device::TrayOp op{message, data->cbSize, data->hWnd, data->uID, data->uFlags, data->uCallbackMessage, 0, FALSE};
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    op.iconId = IconIdLocked(data->hIcon);
    // The handheld's shell knows only its own record layout.
    op.result = data->cbSize == sizeof(NOTIFYICONDATA) && !host::FaultOn(device::Fault::NotifyIcon) &&
                ApplyTrayLocked(message, *data);
  }
  if (!op.result) SetLastError(ERROR_INVALID_PARAMETER);
  host::RecordTrayOp(op);
  return op.result;
}

// ---- Icons and metrics -----------------------------------------------------------

// Icons come from the executable's resources, as on the handheld: an id
// they lack gets no icon.
HANDLE WINAPI LoadImageW(HINSTANCE, LPCWSTR name, UINT type, int cx, int cy, UINT) {
  if (type != IMAGE_ICON) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  }
  uintptr_t value = reinterpret_cast<uintptr_t>(name);
  int id = value <= 0xFFFF ? static_cast<int>(value) : 0;  // resources are named by number only
  host::IconPick pick;
  if (id == 0 || !host::FindIcon(id, cx, cy, &pick)) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(S().mutex);
  uintptr_t icon = host::NewHandleValue();
  S().icons[icon] = id;
  return reinterpret_cast<HANDLE>(icon);
}

// The tray draws from the handle it was given, so an icon destroyed while
// the tray still shows it leaves the tray with nothing to draw: a program
// that frees its shown icon is caught by an empty tray picture.
BOOL WINAPI DestroyIcon(HICON icon) {
  uintptr_t value = reinterpret_cast<uintptr_t>(icon);
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (S().icons.erase(value) == 0) {
      SetLastError(ERROR_INVALID_ICON_HANDLE);
      return FALSE;
    }
    for (TrayEntry& entry : S().tray) {
      if (entry.icon == value) {
        entry.icon = 0;
        entry.iconId = 0;
      }
    }
  }
  host::FreeHandleValue(value);
  device::NotifyChanged();
  return TRUE;
}

int WINAPI GetSystemMetrics(int index) {
  std::lock_guard<std::mutex> lock(S().mutex);
  if (index == SM_CXSCREEN) return S().screenWidth;
  if (index == SM_CYSCREEN) return S().screenHeight;
  return 0;
}

namespace host {

bool MenuExists(HMENU menu) {
  std::lock_guard<std::mutex> lock(S().mutex);
  return FindMenuLocked(menu) != nullptr;
}

std::vector<device::MenuItem> MenuItemsOf(HMENU menu) {
  std::lock_guard<std::mutex> lock(S().mutex);
  Menu* found = FindMenuLocked(menu);
  return found ? found->items : std::vector<device::MenuItem>();
}

void ResetShell() {
  std::vector<uintptr_t> values;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    for (const auto& entry : S().menus) values.push_back(entry.first);
    for (const auto& entry : S().icons) values.push_back(entry.first);
    S().menus.clear();
    S().tray.clear();
    S().icons.clear();
    S().screenWidth = 240;
    S().screenHeight = 320;
  }
  for (uintptr_t value : values) FreeHandleValue(value);
}

}  // namespace host

namespace device {

TrayIcon Tray() {
  std::lock_guard<std::mutex> lock(S().mutex);
  TrayIcon icon;
  if (S().tray.empty()) return icon;
  const TrayEntry& entry = S().tray.front();
  icon.shown = true;
  icon.iconId = entry.iconId;
  icon.window = entry.window;
  icon.id = entry.id;
  icon.callbackMessage = entry.callbackMessage;
  return icon;
}

int LiveMenus() {
  std::lock_guard<std::mutex> lock(S().mutex);
  return static_cast<int>(S().menus.size());
}

std::vector<MenuItem> MenuItems() {
  std::lock_guard<std::mutex> lock(S().mutex);
  const ::Menu* newest = nullptr;
  for (const auto& entry : S().menus) {
    if (!newest || entry.second.created > newest->created) newest = &entry.second;
  }
  return newest ? newest->items : std::vector<MenuItem>();
}

int IconIdOf(HICON icon) {
  std::lock_guard<std::mutex> lock(S().mutex);
  return IconIdLocked(icon);
}

int LiveIcons() {
  std::lock_guard<std::mutex> lock(S().mutex);
  return static_cast<int>(S().icons.size());
}


void SetScreenSize(int width, int height) {
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    S().screenWidth = width;
    S().screenHeight = height;
  }
  NotifyChanged();
}

}  // namespace device
