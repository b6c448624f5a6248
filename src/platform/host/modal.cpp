// Modal loops: message boxes and the popup menu.
//
// On the handheld both run a message loop of their own on the calling
// thread until the user answers: posted messages are dispatched and messages
// sent from other threads are answered meanwhile, so the window procedure
// can be entered again while a box or the menu is up. The device decides
// when they end: boxes are answered at once unless it holds them, and the
// menu waits for the chooser's pick.
//
// The mutex here is never held while a loop runs, the chooser is asked or
// the trace is written.
#include <algorithm>
#include <mutex>
#include <vector>

#include "internal.h"

namespace {

// ERROR_POPUP_ALREADY_ACTIVE: one popup menu is tracked at a time.
constexpr DWORD kErrorPopupAlreadyActive = 1446;

struct Box {
  device::BoxUp shown;
  uint64_t thread;
  bool ownerIsOurs;  // the owner is a window of the showing thread
  bool answered = false;
};

struct MenuShown {
  device::OpenMenuState state;
  HWND owner = nullptr;
  uint64_t thread = 0;
  bool answered = false;
  UINT choice = 0;
};

struct Modal {
  std::mutex mutex;
  device::BoxMode mode = device::BoxMode::Auto;
  std::vector<std::shared_ptr<Box>> boxes;  // oldest first
  std::shared_ptr<MenuShown> menu;
  std::function<UINT(HMENU, int, int)> chooser;
};

// Left alive on purpose: threads that end during process exit still reach it.
Modal& M() {
  static Modal* modal = new Modal;
  return *modal;
}

bool WindowExists(HWND window) {
  host::WindowInfo info;
  return host::LookupWindow(window, &info);
}

// An owned box or menu goes with its owner, as owned windows do.
bool OwnerGone(HWND owner, bool ours) { return ours && !WindowExists(owner); }

const char* How(bool answered, bool ownerGone) {
  if (answered) return "ok";
  return ownerGone ? "owner" : "quit";
}

}  // namespace

namespace host {

int RunMessageBox(const device::MessageBoxRecord& record) {
  RecordMessageBox(record);
  host::WindowInfo info;
  auto box = std::make_shared<Box>();
  box->shown = device::BoxUp{record.owner, record.caption, record.text};
  box->thread = ThreadKey();
  box->ownerIsOurs = LookupWindow(record.owner, &info) && info.thread == box->thread;
  {
    std::lock_guard<std::mutex> lock(M().mutex);
    if (M().mode == device::BoxMode::Auto) return IDOK;
    M().boxes.push_back(box);
  }
  device::NotifyChanged();

  ModalLoop([&] {
    std::lock_guard<std::mutex> lock(M().mutex);
    return box->answered || OwnerGone(record.owner, box->ownerIsOurs);
  });
  bool answered;
  {
    std::lock_guard<std::mutex> lock(M().mutex);
    answered = box->answered;
    auto& boxes = M().boxes;
    boxes.erase(std::remove(boxes.begin(), boxes.end(), box), boxes.end());
  }
  Trace("MessageBoxClosed caption=" + device::Quote(record.caption) + " by=" +
        How(answered, OwnerGone(record.owner, box->ownerIsOurs)));
  return answered ? IDOK : 0;
}

UINT RunPopupMenu(HMENU menu, UINT flags, int x, int y, HWND owner) {
  auto shown = std::make_shared<MenuShown>();
  shown->state = device::OpenMenuState{true, menu, x, y, flags, MenuItemsOf(menu)};
  shown->owner = owner;
  shown->thread = ThreadKey();
  std::function<UINT(HMENU, int, int)> chooser;
  {
    std::lock_guard<std::mutex> lock(M().mutex);
    if (M().menu) {
      SetLastError(kErrorPopupAlreadyActive);
      return 0;
    }
    M().menu = shown;
    chooser = M().chooser;
  }
  device::NotifyChanged();

  UINT picked = chooser ? chooser(menu, x, y) : 0;
  bool held = picked == device::kMenuStaysOpen;
  if (held) {
    ModalLoop([&] {
      std::lock_guard<std::mutex> lock(M().mutex);
      return shown->answered || !MenuExists(menu) || !WindowExists(owner);
    });
  }
  bool ownerGone = !WindowExists(owner);
  bool menuGone = !MenuExists(menu);
  bool gone = ownerGone || menuGone;
  {
    std::lock_guard<std::mutex> lock(M().mutex);
    if (held) picked = shown->answered ? shown->choice : 0;
    M().menu.reset();
  }
  if (held) {
    Trace("PopupMenuClosed choice=" + (picked ? std::to_string(picked) : std::string("none")) +
          " by=" + (shown->answered ? "user" : ownerGone ? "owner" : menuGone ? "destroyed" : "quit"));
  }
  device::NotifyChanged();
  if (picked == 0 || gone) return 0;
  // What counts is the menu's state now: the loop may have changed it.
  for (const device::MenuItem& item : MenuItemsOf(menu)) {
    if (item.id == picked) return (item.state & (MF_GRAYED | MF_DISABLED)) ? 0 : picked;
  }
  return 0;
}

void ResetModal() {
  std::lock_guard<std::mutex> lock(M().mutex);
  M().mode = device::BoxMode::Auto;
  M().chooser = nullptr;
  // Loops still running end as if answered.
  for (auto& box : M().boxes) box->answered = true;
  if (M().menu) M().menu->answered = true;
}

}  // namespace host

namespace device {

void SetMenuChooser(std::function<UINT(HMENU menu, int x, int y)> chooser) {
  std::lock_guard<std::mutex> lock(M().mutex);
  M().chooser = std::move(chooser);
}

OpenMenuState OpenMenu() {
  std::shared_ptr<MenuShown> shown;
  {
    std::lock_guard<std::mutex> lock(M().mutex);
    shown = M().menu;
  }
  if (!shown) return OpenMenuState();
  OpenMenuState state = shown->state;
  state.items = host::MenuItemsOf(state.menu);  // grayed as they are now
  return state;
}

namespace {

bool AnswerMenu(UINT id) {
  uint64_t thread;
  {
    std::lock_guard<std::mutex> lock(M().mutex);
    if (!M().menu || M().menu->answered) return false;
    M().menu->answered = true;
    M().menu->choice = id;
    thread = M().menu->thread;
  }
  host::WakeThread(thread);
  return true;
}

}  // namespace

bool ChooseMenuItem(UINT id) {
  OpenMenuState state = OpenMenu();
  if (!state.open) return false;
  for (const MenuItem& item : state.items) {
    if (item.id == id) return (item.state & (MF_GRAYED | MF_DISABLED)) == 0 && AnswerMenu(id);
  }
  return false;
}

bool DismissMenu() { return AnswerMenu(0); }

// A popup menu's loop takes every tap while it is up: one outside the menu,
// the tray icon included, closes it without an action and goes no further,
// as a Pocket PC's menus do. Otherwise the shell posts the callback.
bool TapTray() {
  if (AnswerMenu(0)) return true;
  TrayIcon icon = Tray();
  return icon.shown && PostMessageW(icon.window, icon.callbackMessage, icon.id, WM_LBUTTONUP);
}

void SetBoxMode(BoxMode mode) {
  {
    std::lock_guard<std::mutex> lock(M().mutex);
    M().mode = mode;
  }
  NotifyChanged();
}

BoxMode GetBoxMode() {
  std::lock_guard<std::mutex> lock(M().mutex);
  return M().mode;
}

std::vector<BoxUp> BoxesUp() {
  std::lock_guard<std::mutex> lock(M().mutex);
  std::vector<BoxUp> up;
  for (const auto& box : M().boxes) up.push_back(box->shown);
  return up;
}

bool AnswerBox() {
  uint64_t thread;
  {
    std::lock_guard<std::mutex> lock(M().mutex);
    auto open = std::find_if(M().boxes.rbegin(), M().boxes.rend(), [](const auto& box) { return !box->answered; });
    if (open == M().boxes.rend()) return false;
    (*open)->answered = true;
    thread = (*open)->thread;
  }
  host::WakeThread(thread);
  return true;
}

}  // namespace device
