// The handheld's windows: registered classes, the tree of windows (the
// program's own and those of other programs), lookup by class and title,
// the foreground window, the soft input panel, and message boxes.
//
// One mutex guards the tree. It is never held while a window procedure runs,
// because procedures call straight back into these operations.
#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "internal.h"

namespace {

// Not in the program's header: it never creates a visible window.
constexpr DWORD kStyleVisible = 0x10000000;

struct WindowClass {
  ATOM atom;
  std::u16string name;
  WNDPROC proc;
};

struct Window {
  std::u16string className;
  std::u16string title;
  WNDPROC proc = nullptr;
  uint64_t thread = 0;  // 0: a window of another program
  HWND parent = nullptr;
  std::vector<HWND> children;  // in creation order
  bool visible = false;
  bool destroying = false;
};

struct Tree {
  std::mutex mutex;
  std::map<uintptr_t, Window> windows;
  // In z-order, top first. A new top-level window goes on top, as on the
  // handheld, so of two windows of one class FindWindowW finds the newer.
  // Nothing else reorders them: the host plays no activation.
  std::vector<HWND> topLevel;
  std::vector<WindowClass> classes;
  HWND foreground = nullptr;
  std::vector<HWND> sipWindows;  // made by device::SetSip
  HWND sipPanel = nullptr;       // the one of them that is the panel, while it lives
  device::Sip sip = device::Sip::None;
  bool sipLowered = false;
  uint64_t sipMadeAt = 0;  // host::PostedSerial() when the panel's windows were made
  ATOM nextAtom = 0xC000;  // where the handheld's class atoms start
};

// Left alive on purpose: threads that end during process exit still reach it.
Tree& T() {
  static Tree* tree = new Tree;
  return *tree;
}

uintptr_t Key(HWND window) { return reinterpret_cast<uintptr_t>(window); }

Window* FindLocked(HWND window) {
  auto found = T().windows.find(Key(window));
  return found == T().windows.end() ? nullptr : &found->second;
}

const WindowClass* ClassLocked(LPCWSTR name) {
  uintptr_t value = reinterpret_cast<uintptr_t>(name);
  std::u16string_view wanted(value <= 0xFFFF ? nullptr : name, value <= 0xFFFF ? 0 : host::WideLength(name));
  for (const WindowClass& c : T().classes) {
    if (value <= 0xFFFF ? c.atom == value : host::WideEqualNoCase(c.name, wanted)) return &c;
  }
  return nullptr;
}

// Window handles come from the handheld's one numbering of handles, so a
// destroyed window's value may come back for a newer window.
HWND AddLocked(Window window) {
  HWND handle = reinterpret_cast<HWND>(host::NewHandleValue());
  if (window.parent) {
    FindLocked(window.parent)->children.push_back(handle);
  } else {
    T().topLevel.insert(T().topLevel.begin(), handle);
  }
  T().windows.emplace(Key(handle), std::move(window));
  return handle;
}

std::vector<HWND>& SiblingsLocked(const Window& window) {
  return window.parent ? FindLocked(window.parent)->children : T().topLevel;
}

// Drops a window and everything below it from the table; the handles go to
// *removed. The caller has already unlinked the top of the subtree.
void EraseSubtreeLocked(HWND handle, std::vector<HWND>* removed) {
  Window* window = FindLocked(handle);
  if (!window) return;
  std::vector<HWND> children = std::move(window->children);
  for (HWND child : children) EraseSubtreeLocked(child, removed);
  T().windows.erase(Key(handle));
  // Nothing may keep a value that a newer window can get back.
  if (T().foreground == handle) T().foreground = nullptr;
  auto& sip = T().sipWindows;
  sip.erase(std::remove(sip.begin(), sip.end(), handle), sip.end());
  if (T().sipPanel == handle) T().sipPanel = nullptr;
  removed->push_back(handle);
}

void RemoveLocked(HWND handle, std::vector<HWND>* removed) {
  Window* window = FindLocked(handle);
  if (!window) return;
  std::vector<HWND>& siblings = SiblingsLocked(*window);
  for (size_t i = 0; i < siblings.size(); ++i) {
    if (siblings[i] == handle) {
      siblings.erase(siblings.begin() + static_cast<long>(i));
      break;
    }
  }
  EraseSubtreeLocked(handle, removed);
}

// A window and its descendants, parent before children, as the handheld
// sends WM_DESTROY.
void SubtreeLocked(HWND handle, std::vector<HWND>* out) {
  out->push_back(handle);
  for (HWND child : FindLocked(handle)->children) SubtreeLocked(child, out);
}

std::string OwnerKindLocked(HWND owner) {
  if (owner == nullptr) return "none";
  const Window* window = FindLocked(owner);
  if (window && window->thread != 0 && window->parent == nullptr) return "main";
  if (owner == T().foreground) return "foreground";
  return "other";
}

// A value goes back only once no queued message names its dead window, so
// that a newer window with the same value never receives the old one's.
void Forget(const std::vector<HWND>& removed) {
  for (HWND window : removed) {
    if (host::WindowGone(window)) host::FreeHandleValue(Key(window));
  }
  device::NotifyChanged();
}

// Sends WM_DESTROY down the tree, then removes it. The caller has checked
// that the window belongs to this thread.
BOOL DestroyTree(HWND handle) {
  uint64_t me = host::ThreadKey();
  std::vector<HWND> order;
  std::vector<WNDPROC> procs;
  {
    std::lock_guard<std::mutex> lock(T().mutex);
    Window* window = FindLocked(handle);
    if (!window || window->destroying) return FALSE;
    SubtreeLocked(handle, &order);
    for (HWND h : order) {
      Window* w = FindLocked(h);
      w->destroying = true;
      procs.push_back(w->thread == me ? w->proc : nullptr);
    }
  }
  for (size_t i = 0; i < order.size(); ++i) {
    if (procs[i]) procs[i](order[i], WM_DESTROY, 0, 0);
  }
  std::vector<HWND> removed;
  {
    std::lock_guard<std::mutex> lock(T().mutex);
    RemoveLocked(handle, &removed);
  }
  Forget(removed);
  return TRUE;
}

HWND CreateForeignLocked(const std::u16string& className, HWND parent, const std::u16string& title) {
  Window window;
  window.className = className;
  window.title = title;
  window.parent = parent;
  window.visible = true;
  return AddLocked(std::move(window));
}

}  // namespace

// ---- Classes and windows of the program -------------------------------------

ATOM WINAPI RegisterClassW(const WNDCLASSW* windowClass) {
  if (host::FaultOn(device::Fault::RegisterClass)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  if (windowClass == nullptr || windowClass->lpfnWndProc == nullptr ||
      reinterpret_cast<uintptr_t>(windowClass->lpszClassName) <= 0xFFFF ||
      windowClass->lpszClassName[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> lock(T().mutex);
  if (ClassLocked(windowClass->lpszClassName)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  ATOM atom = T().nextAtom;
  T().nextAtom = atom == 0xFFFF ? 0xC000 : static_cast<ATOM>(atom + 1);
  T().classes.push_back({atom, host::Wide(windowClass->lpszClassName), windowClass->lpfnWndProc});
  return atom;
}

HWND WINAPI CreateWindowExW(DWORD, LPCWSTR className, LPCWSTR windowName, DWORD style, int, int, int, int,
                            HWND parent, HMENU, HINSTANCE, LPVOID) {
  if (host::FaultOn(device::Fault::CreateWindow)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  uint64_t me = host::ThreadKey();
  HWND handle;
  WNDPROC proc;
  std::string line;
  {
    std::lock_guard<std::mutex> lock(T().mutex);
    const WindowClass* windowClass = className ? ClassLocked(className) : nullptr;
    if (!windowClass) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    Window* parentWindow = parent ? FindLocked(parent) : nullptr;
    if (parent && (!parentWindow || parentWindow->destroying)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    Window window;
    window.className = windowClass->name;
    window.title = host::Wide(windowName);
    window.proc = proc = windowClass->proc;
    window.thread = me;
    window.parent = parent;
    window.visible = (style & kStyleVisible) != 0;
    handle = AddLocked(std::move(window));
    line = "CreateWindowExW class=" + device::Quote(windowClass->name) +
           " title=" + device::Quote(host::Wide(windowName)) + " window=" + OwnerKindLocked(handle);
  }
  host::Trace(line);
  // The handheld lets the procedure veto its window by answering -1. No
  // creation record comes with it (lParam 0): the program never reads one.
  if (proc(handle, WM_CREATE, 0, 0) == -1) {
    DestroyTree(handle);
    return nullptr;
  }
  return handle;
}

BOOL WINAPI ShowWindow(HWND handle, int command) {
  std::string kind;
  BOOL wasVisible;
  {
    std::lock_guard<std::mutex> lock(T().mutex);
    Window* window = FindLocked(handle);
    if (!window) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    wasVisible = window->visible ? TRUE : FALSE;
    window->visible = command != SW_HIDE;
    kind = OwnerKindLocked(handle);
  }
  host::Trace("ShowWindow window=" + kind + " command=" + std::to_string(command));
  return wasVisible;
}

BOOL WINAPI UpdateWindow(HWND handle) {
  std::lock_guard<std::mutex> lock(T().mutex);
  if (!FindLocked(handle)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;  // nothing is ever painted on the host
}

LRESULT WINAPI DefWindowProcW(HWND window, UINT message, WPARAM, LPARAM) {
  if (message == WM_CLOSE) DestroyWindow(window);
  return 0;
}

BOOL WINAPI DestroyWindow(HWND handle) {
  uint64_t me = host::ThreadKey();
  std::string kind;
  {
    std::lock_guard<std::mutex> lock(T().mutex);
    Window* window = FindLocked(handle);
    if (!window || window->destroying) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    // Only the thread that made a window may destroy it.
    if (window->thread != me) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    kind = OwnerKindLocked(handle);
  }
  host::Trace("DestroyWindow window=" + kind);
  return DestroyTree(handle);
}

// ---- Finding windows ----------------------------------------------------------

// The first match from the top of the z-order: of two windows of one class,
// the newer.
HWND WINAPI FindWindowW(LPCWSTR className, LPCWSTR windowName) {
  bool byAtom = className && reinterpret_cast<uintptr_t>(className) <= 0xFFFF;
  std::u16string_view wantedClass(byAtom ? nullptr : className, byAtom ? 0 : host::WideLength(className));
  std::u16string_view wantedTitle(windowName, host::WideLength(windowName));
  std::lock_guard<std::mutex> lock(T().mutex);
  const WindowClass* atomClass = byAtom ? ClassLocked(className) : nullptr;
  if (byAtom && !atomClass) return nullptr;
  for (HWND handle : T().topLevel) {
    const Window& window = *FindLocked(handle);
    if (byAtom && !host::WideEqualNoCase(window.className, atomClass->name)) continue;
    if (className && !byAtom && !host::WideEqualNoCase(window.className, wantedClass)) continue;
    if (windowName && !host::WideEqualNoCase(window.title, wantedTitle)) continue;
    return handle;
  }
  return nullptr;
}

HWND WINAPI GetWindow(HWND handle, UINT relation) {
  std::lock_guard<std::mutex> lock(T().mutex);
  const Window* window = FindLocked(handle);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (relation == GW_CHILD) return window->children.empty() ? nullptr : window->children.front();
  if (relation == GW_HWNDNEXT) {
    const std::vector<HWND>& siblings = SiblingsLocked(*window);
    for (size_t i = 0; i + 1 < siblings.size(); ++i) {
      if (siblings[i] == handle) return siblings[i + 1];
    }
    return nullptr;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

// Visible only when the window and every window above it are: a child of
// a hidden window is hidden with it, whatever its own style says.
BOOL WINAPI IsWindowVisible(HWND handle) {
  std::lock_guard<std::mutex> lock(T().mutex);
  const Window* window = FindLocked(handle);
  if (!window) return FALSE;
  for (; window != nullptr; window = window->parent ? FindLocked(window->parent) : nullptr) {
    if (!window->visible) return FALSE;
  }
  return TRUE;
}

int WINAPI GetClassNameW(HWND handle, LPWSTR buffer, int length) {
  std::lock_guard<std::mutex> lock(T().mutex);
  const Window* window = FindLocked(handle);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (buffer == nullptr || length <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Like the handheld: a short buffer gets the start of the name, terminated.
  size_t count = window->className.size();
  if (count > static_cast<size_t>(length - 1)) count = static_cast<size_t>(length - 1);
  window->className.copy(buffer, count);
  buffer[count] = 0;
  return static_cast<int>(count);
}

HWND WINAPI GetForegroundWindow(void) {
  std::lock_guard<std::mutex> lock(T().mutex);
  return FindLocked(T().foreground) ? T().foreground : nullptr;
}

// The box runs its modal loop until the simulated user answers it (at once,
// unless the device holds boxes).
int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  device::MessageBoxRecord box{owner, host::OwnerKind(owner), host::Wide(text),
                               caption ? host::Wide(caption) : u"Error", type};
  return host::RunMessageBox(box);
}

// ---- Shared with the message queues ----------------------------------------

namespace host {

bool LookupWindow(HWND handle, WindowInfo* info) {
  std::lock_guard<std::mutex> lock(T().mutex);
  const Window* window = FindLocked(handle);
  if (!window) return false;
  info->proc = window->proc;
  info->thread = window->thread;
  info->className = window->className;
  return true;
}

void ForgetThreadWindows(uint64_t thread) {
  std::vector<HWND> removed;
  {
    std::lock_guard<std::mutex> lock(T().mutex);
    std::vector<HWND> owned;
    for (const auto& entry : T().windows) {
      if (entry.second.thread == thread) owned.push_back(reinterpret_cast<HWND>(entry.first));
    }
    for (HWND handle : owned) RemoveLocked(handle, &removed);
  }
  if (!removed.empty()) Forget(removed);
}

std::string OwnerKind(HWND owner) {
  std::lock_guard<std::mutex> lock(T().mutex);
  return OwnerKindLocked(owner);
}

std::u16string ClassOf(HWND handle) {
  std::lock_guard<std::mutex> lock(T().mutex);
  const Window* window = FindLocked(handle);
  return window ? window->className : std::u16string();
}

uint64_t SipMadeAt() {
  std::lock_guard<std::mutex> lock(T().mutex);
  return T().sipMadeAt;
}

void ResetWindows() {
  std::vector<uintptr_t> values;
  {
    std::lock_guard<std::mutex> lock(T().mutex);
    for (const auto& entry : T().windows) values.push_back(entry.first);
    T().windows.clear();
    T().topLevel.clear();
    T().classes.clear();
    T().sipWindows.clear();
    T().sipPanel = nullptr;
    T().sip = device::Sip::None;
    T().sipLowered = false;
    T().foreground = nullptr;
  }
  ResetQueues();
  for (uintptr_t value : values) FreeHandleValue(value);
}

}  // namespace host

// ---- Other programs' windows, as tests play them ------------------------------

namespace device {

HWND CreateForeignWindow(const std::u16string& className, HWND parent, const std::u16string& title) {
  HWND handle;
  {
    std::lock_guard<std::mutex> lock(T().mutex);
    if (className.empty() || (parent && !FindLocked(parent))) return nullptr;
    handle = CreateForeignLocked(className, parent, title);
  }
  NotifyChanged();
  return handle;
}

void DestroyForeignWindow(HWND handle) {
  std::vector<HWND> removed;
  {
    std::lock_guard<std::mutex> lock(T().mutex);
    const Window* window = FindLocked(handle);
    if (!window || window->thread != 0) return;
    RemoveLocked(handle, &removed);
  }
  Forget(removed);
}

void SetForeground(HWND window) {
  {
    std::lock_guard<std::mutex> lock(T().mutex);
    T().foreground = window;
  }
  NotifyChanged();
}

void SetSip(Sip sip, bool lowered) {
  std::vector<HWND> removed;
  uint64_t now = host::PostedSerial();  // taken before the tree's lock: the records have their own
  {
    std::lock_guard<std::mutex> lock(T().mutex);
    std::vector<HWND> old = std::move(T().sipWindows);
    T().sipWindows.clear();
    for (HWND handle : old) RemoveLocked(handle, &removed);
    T().sip = sip;
    T().sipLowered = sip != Sip::None && lowered;
    T().sipMadeAt = now;
    if (sip != Sip::None) {
      HWND panel = CreateForeignLocked(u"SipWndClass", nullptr, u"SIP");
      FindLocked(panel)->visible = !lowered;
      T().sipWindows.push_back(panel);
      T().sipPanel = panel;
      // The panel's first child is the input method's own keyboard.
      bool ceStar = sip == Sip::CeStar;
      CreateForeignLocked(ceStar ? u"CE-StarIm" : u"QWERTY_Keyboard", panel, u"");
      if (ceStar) T().sipWindows.push_back(CreateForeignLocked(u"WinXE_ImeClass", nullptr, u""));
    }
  }
  Forget(removed);
}

Sip CurrentSip() {
  std::lock_guard<std::mutex> lock(T().mutex);
  return T().sip;
}

bool SetSipLowered(bool lowered) {
  {
    std::lock_guard<std::mutex> lock(T().mutex);
    if (T().sipPanel == nullptr) return false;
    // The panel is hidden or shown; its keyboard keeps its own style and is
    // hidden through its parent, as on the handheld. A hidden keyboard
    // still takes what is posted to it.
    FindLocked(T().sipPanel)->visible = !lowered;
    T().sipLowered = lowered;
  }
  NotifyChanged();
  return true;
}

bool SipLowered() {
  std::lock_guard<std::mutex> lock(T().mutex);
  return T().sipPanel != nullptr && T().sipLowered;
}

std::u16string WindowTitle(HWND handle) {
  std::lock_guard<std::mutex> lock(T().mutex);
  const Window* window = FindLocked(handle);
  return window ? window->title : std::u16string();
}

}  // namespace device
