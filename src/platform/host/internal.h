// What the host platform's files share among themselves (never seen by the
// program): the record of effects, the handle table, faults and resets.
#pragma once

#ifdef NUVIK_PROGRAM_CODE
#error "the program sees only platform.h: the host's internals are its own"
#endif

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "device.h"
#include "win32.h"

namespace host {

// ---- Records ---------------------------------------------------------------

// Appends one trace line (already formatted) and wakes WaitFor callers.
void Trace(const std::string& line);
// Typed records; each also writes its own trace line.
void RecordKeyInput(const device::KeyInput& input);
void RecordKeybdMessage(const device::KeybdMessage& message);
void RecordPosted(const device::PostedMessage& message);
void RecordMessageBox(const device::MessageBoxRecord& box);
void RecordTrayOp(const device::TrayOp& op);
void ResetRecords();

// Feeds the simulated focus window's text from key events and characters.
void FocusKey(WORD vk, bool up);
void FocusChar(char16_t character);
void ResetFocus();

// Queues a trace line for the trace's descriptor (device::SetTraceOutput);
// called under the record lock so lines queue in order. True when the batch
// is full: the caller flushes it once the lock is released.
bool QueueTraceLine(const std::string& line);

// The calling thread is about to block (a port wait, an empty message queue,
// Sleep, a modal loop): what the trace has buffered is written out first, so
// whoever waits on a line sees it no later than the program next waits.
void AboutToBlock();

// ---- Strings ---------------------------------------------------------------

size_t WideLength(const WCHAR* text);
std::u16string Wide(const WCHAR* text);  // empty for nullptr
bool WideEqualNoCase(std::u16string_view a, std::u16string_view b);
std::u16string WideLower(const std::u16string& text);
std::string Hex(unsigned long value, int digits = 0);  // "0x1E" style, upper case
// Hex's text appended to *out, without a printf: the key path formats a
// line per key.
void AppendHex(std::string* out, unsigned long value, int digits = 0);

// ---- Kernel objects and handles -------------------------------------------

// Anything a HANDLE can stand for. Close is called once, by CloseHandle,
// and must not return while another call is still inside the object.
struct Object {
  virtual ~Object() = default;
  virtual void Close() {}
};

// One numbering for every kind of handle (kernel.cpp): a freed value is the
// first to come back, unless device::SetHandleRecycling turned that off.
constexpr uintptr_t kFirstHandleValue = 0x1000;
constexpr uintptr_t kHandleValueStep = 4;
uintptr_t NewHandleValue();
// The caller no longer knows the value by any table of its own.
void FreeHandleValue(uintptr_t value);

// A handle for a kernel object; CloseHandle frees its value.
HANDLE NewHandle(std::shared_ptr<Object> object);
// Null for an unknown or closed handle. The shared pointer keeps the object
// alive while a call is inside it.
std::shared_ptr<Object> FindHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> FindAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(FindHandle(handle));
}
// Removes the handle from the table and returns its object (null if none).
std::shared_ptr<Object> TakeHandle(HANDLE handle);

// ---- The executable's resources (resources.cpp) ---------------------------

// One image of an icon resource: its size as the icon's group lists it and
// its RT_ICON data (a DIB with an AND mask).
struct IconPick {
  int width = 0, height = 0;
  const BYTE* image = nullptr;
  size_t imageSize = 0;
};
// The image of icon `id` that best fits cx by cy (0: the default size);
// false when the resources have no such icon.
bool FindIcon(int id, int cx, int cy, IconPick* pick);
// The image's pixels as 0xAARRGGBB, top row first, and its size.
bool DecodeIcon(const IconPick& pick, std::vector<uint32_t>* argb, int* width, int* height);

// ---- Faults ----------------------------------------------------------------

bool FaultOn(device::Fault fault);
void ResetFaults();

// ---- Per-area resets (called by device::Reset) -----------------------------

void ResetRegistry();
void ResetSerial();
void ResetWindows();
void ResetShell();
void ResetClock();

// ---- Windows and message queues (window_tree.cpp, message_queue.cpp) ------

// A key for the calling thread that no later thread repeats (system thread
// ids may come back once a thread has ended).
uint64_t ThreadKey();
// What the message queues need to know of a window; false if there is none.
struct WindowInfo {
  WNDPROC proc = nullptr;
  uint64_t thread = 0;  // owning thread's key; 0 for another program's window
  std::u16string className;
};
bool LookupWindow(HWND window, WindowInfo* info);
// A window is gone: senders waiting on it get 0. Its posted messages stay
// queued, naming the dead window, as the handheld's DestroyWindow leaves
// them; true when none is queued and the caller may free the window's value
// now, false when it is freed once the last of them has been read.
bool WindowGone(HWND window);
// A thread has ended: its windows go with it, as on the handheld.
void ForgetThreadWindows(uint64_t thread);
// Empties every queue and releases every waiting sender with 0.
void ResetQueues();

// Modal loops (modal.cpp). Both run on the calling thread, dispatching its
// posted messages and answering messages sent to it, until the device
// answers (or a WM_QUIT arrives, which is posted again, or the owner goes).
int RunMessageBox(const device::MessageBoxRecord& box);
// Returns the chosen id, or 0 when the menu was dismissed or taken down.
UINT RunPopupMenu(HMENU menu, UINT flags, int x, int y, HWND owner);
// Shell helpers the menu loop reads (shell.cpp).
bool MenuExists(HMENU menu);
std::vector<device::MenuItem> MenuItemsOf(HMENU menu);
void ResetModal();

// Runs the calling thread's queue until done() holds (checked after each
// message) or a WM_QUIT arrives; returns false in the latter case, with the
// quit posted again for the outer loop. done() runs without queue locks.
bool ModalLoop(const std::function<bool()>& done);
// Wakes a thread blocked in its message wait, so a modal loop re-checks.
void WakeThread(uint64_t thread);

// Which program window kind an owner handle is, for the trace: "main"
// (a window of the program's own), "foreground", "none" or "other".
std::string OwnerKind(HWND owner);
// The class name of any window, empty if none.
std::u16string ClassOf(HWND window);
// PostedSerial() as it was when the input panel's windows were made.
uint64_t SipMadeAt();

// Every message posted to another program so far, kept or not; unlike the
// records' counts it never starts over, so it marks a moment for good.
uint64_t PostedSerial();
// The kept records posted since PostedSerial() said `serial`, oldest first.
std::vector<device::PostedMessage> PostedSince(uint64_t serial);

}  // namespace host
