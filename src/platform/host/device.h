// The control surface of the simulated handheld.
//
// The program only sees Win32 operations; tests and tools use this header to
// play the rest of the handheld around it: what the registry holds, which tty
// stands behind each serial port, other programs' windows, the foreground
// window, power events and injected faults, and to read back a record of
// every effect the program had.
//
// Everything here is host-side C++ and may use the standard library.
#pragma once

// The program's own code is compiled with NUVIK_PROGRAM_CODE: it talks to
// the handheld through platform.h alone, as it must on the device.
#ifdef NUVIK_PROGRAM_CODE
#error "the program sees only platform.h: the device's control surface is for tests and tools"
#endif

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "win32.h"

// ---- Win32 calls the program does not make ------------------------------
// The handheld has them (Windows CE 1.0) and tests and tools use them to look
// at what the program did; win32.h leaves them out so that a program that
// starts calling one is noticed and its row added to docs/ce-api.md.

#define STILL_ACTIVE 259
#define INFINITE 0xffffffffu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xffffffffu

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);
BOOL WINAPI GetCommMask(HANDLE port, LPDWORD mask);
BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds);
DWORD WINAPI GetCurrentThreadId(void);
BOOL WINAPI IsWindowVisible(HWND window);

namespace device {

// ---- Lifecycle -------------------------------------------------------------

// Forgets the whole handheld: registry, port mapping, windows, menus, tray,
// records, faults and screen. Ports and threads still running are the
// caller's to end first (tests close the port and wait for the reader).
void Reset();

// ---- Records of effects ----------------------------------------------------

struct KeyInput {  // one SendInput record, as passed
  UINT count;
  int size;
  DWORD type;
  WORD vk;
  WORD scan;
  DWORD flags;
  DWORD time;
  ULONG_PTR extra;
};

struct KeybdMessage {  // one PostKeybdMessage call
  HWND window;
  UINT vkey;
  UINT state;
  UINT count;
  UINT shift;      // first shift-state word
  UINT character;  // first character word
};

struct PostedMessage {  // a message posted to another program's window
  HWND window;
  std::u16string className;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

struct MessageBoxRecord {
  HWND owner;
  std::string ownerKind;  // "main", "foreground", "none" or "other"
  std::u16string text;
  std::u16string caption;
  UINT type;
};

struct TrayOp {
  DWORD op;  // NIM_ADD, NIM_MODIFY, NIM_DELETE
  DWORD cbSize;
  HWND window;
  UINT id;
  UINT flags;
  UINT callbackMessage;
  int iconId;  // resource id behind hIcon, 0 if none
  BOOL result;
};

// The records and trace lines below are the newest RecordLimit() of each
// kind, oldest first: the handheld stays resident for days, so what it keeps
// is bounded. CountRecords() says how many there were in all.
std::vector<KeyInput> SendInputs();
std::vector<KeybdMessage> KeybdMessages();
std::vector<PostedMessage> PostedToOtherPrograms();
std::vector<MessageBoxRecord> MessageBoxes();
std::vector<TrayOp> TrayOps();

// Every effect as one trace line, in the order the effects happened:
// the operation's name, then key=value fields.
std::vector<std::string> Trace();

// Everything recorded since the records were last cleared, kept or not.
struct RecordCounts {
  uint64_t keyInputs;
  uint64_t keybdMessages;
  uint64_t posted;
  uint64_t boxes;
  uint64_t trayOps;
  uint64_t traceLines;
};
RecordCounts CountRecords();
// How many of the newest records of each kind (and trace lines) are kept;
// older ones are let go. Reset() restores the default.
constexpr size_t kDefaultRecordLimit = 1u << 17;
void SetRecordLimit(size_t newest);
size_t RecordLimit();

// Called with each new trace line as it is recorded (nullptr: none).
void SetTraceSink(std::function<void(const std::string&)> sink);
// Trace lines also go to the file descriptor `fd` (-1: none), one per line,
// in batches: a batch is written by FlushTrace, or as soon as it holds
// 64 KiB. When `fd` can take no more (its reader has gone: EPIPE, which the
// caller must ignore as a signal), the lines stop going there and nothing
// else changes.
void SetTraceOutput(int fd);
// Forgets the records and their counts (not the state of the handheld).
void ClearRecords();
// Writes out the trace lines batched for SetTraceOutput's descriptor. The
// handheld calls it whenever a thread is about to block or ends, so whoever
// waits for a line has it no later than the program next waits.
void FlushTrace();

// Blocks until predicate() holds or the timeout passes; re-evaluated each
// time anything is recorded or the device changes state. No polling loop.
bool WaitFor(const std::function<bool()>& predicate, int timeoutMs = 5000);
// Wakes WaitFor callers; the host calls it on every state change.
void NotifyChanged();

// The text that injected keys typed into the focused window: a US layout
// with the Shift state, Backspace deletes, Return adds "\r". It holds the
// newest kFocusTextLimit characters at most, the initial limit of the
// handheld's edit control; FocusTextDropped() counts the older characters
// let go since the last Reset() (a Backspace never brings them back).
constexpr size_t kFocusTextLimit = 30000;
std::u16string FocusText();
uint64_t FocusTextDropped();

// ---- Registry (HKEY_LOCAL_MACHINE) ----------------------------------------

void RegistryClear();
void RegistryCreateKey(const std::u16string& path);
void RegistrySetValue(const std::u16string& path, const std::u16string& name, DWORD type,
                      const std::vector<BYTE>& data);
void RegistrySetString(const std::u16string& path, const std::u16string& name, const std::u16string& value);
void RegistrySetMultiString(const std::u16string& path, const std::u16string& name,
                            const std::vector<std::u16string>& strings);
void RegistrySetDword(const std::u16string& path, const std::u16string& name, DWORD value);
// Loads a registry export (.reg text: "Windows Registry Editor Version 5.00"
// or "REGEDIT4", UTF-16LE with BOM or 8-bit) into the registry. On a
// malformed file nothing is loaded and *error says "FILE:LINE: what".
bool RegistryLoadFile(const std::string& path, std::string* error);
bool RegistryLoadText(const std::string& bytes, const std::string& fileName, std::string* error);
// Keys opened by RegOpenKeyExW and not yet closed.
int OpenRegistryKeys();

// ---- Serial ports ----------------------------------------------------------

// The tty behind a device name such as u"COM3:".
void MapPort(const std::u16string& name, const std::string& ttyPath);
// A tty already open in this process behind a device name, e.g. the
// master of a pseudo-terminal whose slave an adapter writes to. Each open
// of the port reads a duplicate of `fd`, set non-blocking and flushed of
// what came while no port was open, and closes it when the port closes;
// `fd` stays the caller's. Opens are exclusive (by the device's own rule:
// there is no tty lock to take). Refusals name the tty `shownAs` (say, the
// slave's path), or "descriptor N" when that is empty.
void MapPortToDescriptor(const std::u16string& name, int fd, const std::string& shownAs = std::string());
// Asked for a tty path when an unmapped name is opened; an empty result
// means the device does not exist, unless the resolver mapped the name
// itself meanwhile (with MapPort or MapPortToDescriptor).
void SetPortResolver(std::function<std::string(const std::u16string& name)> resolver);

// Told whenever the tty behind a port cannot be opened, with the port's
// name, the path and why ("not a terminal", "in use by another program", or
// the system's reason); nullptr: nobody. A path that is no terminal (a
// regular file, a FIFO, /dev/null), or a terminal that is neither a serial
// line nor a pseudo-terminal (/dev/tty, /dev/console, /dev/ptmx, a virtual
// console), is refused without being opened, and CreateFileW fails with
// ERROR_NOT_SUPPORTED.
void SetPortRefusalSink(
    std::function<void(const std::u16string& name, const std::string& path, const std::string& why)> sink);

// A pseudo-terminal pair for tests and tools: the test writes on master,
// the program opens slavePath. Returns false when none can be had.
struct Pty {
  int master = -1;
  std::string slavePath;
};
// On failure errno says why.
bool OpenPty(Pty* pty);
void ClosePty(Pty* pty);

// Why the terminal at `path`, device number `device`, is no port's tty
// (it is neither a serial line nor a pseudo-terminal), e.g. "a virtual
// console, not a serial line"; empty when it may be one.
std::string WhyNotASerialLine(const std::string& path, dev_t device);

// Gives every tty whose port is still open the settings it had before the
// handheld changed them, for a process about to end; the ports stay open.
// (A port's close gives them back itself.)
void RestoreTtys();

// The handheld resumes from suspend: EV_POWER on every open port whose
// event mask holds it.
void Resume();

// Modem-line events (EV_CTS, EV_DSR, EV_RLSD, EV_RING) on every open port
// whose mask holds them, as a line change would raise them on a real UART.
void RaiseLineEvents(DWORD events);

// A port that reads from memory instead of a tty, for benchmarks and
// fuzzing: opening `name` gives such a port (exclusive like any other), and
// FeedPort queues bytes on it as if they had just been received (EV_RXCHAR
// for its waiter). FeedPort returns false when no such port is open.
void MapPortToMemory(const std::u16string& name);
bool FeedPort(const std::u16string& name, const void* bytes, size_t count);

int OpenPorts();      // port handles not yet closed
long PortReads();     // ReadFile calls on ports so far
long PortWaits();     // WaitCommEvent calls on ports so far

// One port call as the handheld's serial driver sees it, for tests of what
// an old reader may touch once its handle value has come back to a newer
// open. The hook runs on the calling thread twice per call: first with
// `open` 0, before the handle is looked up (it may block there to let other
// threads close and reopen the port), then, if the handle reached an open
// port, with that open's number (1 for the first CreateFileW that opened a
// port, counting up; no later open repeats one).
struct PortCall {
  // The kinds of port call, for DelayAfterPortCall: WaitCommEvent,
  // ReadFile, SetCommMask.
  enum Kind { Wait, Read, SetMask };

  const char* operation;  // "ReadFile", "WaitCommEvent" or "SetCommMask"
  HANDLE handle;
  DWORD thread;        // GetCurrentThreadId() of the caller
  unsigned long open;  // 0: not looked up yet, or no open port
};
void SetPortCallHook(std::function<void(const PortCall& call)> hook);  // nullptr: none

// A late reader, as on a busy single-CPU handheld where the thread whose
// call the driver has finished waits for the processor: the next `times`
// calls of kind `call` (e.g. PortCall::Read) that reach an open port, on
// any port and thread, do their work, leave the port (a close need not
// wait for them) and then sleep `milliseconds` before returning to the
// caller. Bytes that arrive meanwhile stay for later calls. `times` 0
// turns it off; Reset() clears it. The trace is written out before the
// sleep, as before any wait.
void DelayAfterPortCall(PortCall::Kind call, DWORD milliseconds, int times);

// ---- Threads ---------------------------------------------------------------

int LiveThreads();  // threads from CreateThread that have not yet returned

// ---- Handles -----------------------------------------------------------------

// Handle values (kernel objects, windows, menus, icons, registry keys) come
// back once freed, the most recently freed first, as on the handheld. Off:
// no value is handed out twice, for tests that tell runs apart by handle.
// Reset() turns recycling back on.
void SetHandleRecycling(bool on);

// ---- Faults ----------------------------------------------------------------

enum class Fault {
  PortBusy,         // CreateFileW on a port fails as if held elsewhere
  SetCommState,     // SetCommState returns FALSE
  SetCommTimeouts,  // SetCommTimeouts returns FALSE
  CreateThread,     // CreateThread returns NULL
  WaitCommEvent,    // WaitCommEvent returns FALSE at once
  RegisterClass,    // RegisterClassW returns 0
  CreateWindow,     // CreateWindowExW returns NULL
  NotifyIcon,       // Shell_NotifyIcon is refused (the shell is busy)
  // A port whose pending WaitCommEvent ignores SetCommMask, as a
  // manufacturer's raw-infrared driver may: a mask change neither ends the
  // wait nor reaches it, so once the mask holds nothing the wait raises it
  // can only end when another thread closes the port's handle, which makes
  // it return FALSE (ERROR_OPERATION_ABORTED). An event the port's current
  // mask holds still ends it. Read when the wait begins.
  DeafWait,
  FaultCount  // not a fault: how many there are
};
void SetFault(Fault fault, bool on);

// ---- Windows of other programs, foreground, screen ------------------------

HWND CreateForeignWindow(const std::u16string& className, HWND parent = nullptr,
                         const std::u16string& title = u"");
void DestroyForeignWindow(HWND window);
void SetForeground(HWND window);
void SetScreenSize(int width, int height);

// The soft input panel as the handheld shows it: no panel, the CE-Star
// input method (panel, its "CE-StarIm" keyboard and the "WinXE_ImeClass"
// window), or another input method in the panel. SetSip makes the windows
// anew, raised (visible) unless `lowered`.
enum class Sip { None, CeStar, Other };
void SetSip(Sip sip, bool lowered = false);
Sip CurrentSip();
// Lowers or raises the panel as its button on the command bar does: a
// lowered panel keeps its windows ("SipWndClass" and its keyboard) but
// hides the panel, so IsWindowVisible says FALSE for both; the hidden
// keyboard still takes the taps posted to it. False (and nothing changes)
// when there is no panel.
bool SetSipLowered(bool lowered);
bool SipLowered();  // false when there is no panel
// A window's title; empty for none.
std::u16string WindowTitle(HWND window);

// ---- The screen as a picture -------------------------------------------------

// Writes a PNG of the handheld's screen as it is now. False with *error
// saying why (the file cannot be written, ...).
bool SaveScreen(const std::string& path, std::string* error);

// ---- Tray, menus, icons ----------------------------------------------------

struct TrayIcon {
  bool shown = false;
  int iconId = 0;
  HWND window = nullptr;
  UINT id = 0;
  UINT callbackMessage = 0;
};
TrayIcon Tray();

struct MenuItem {
  UINT id;
  std::u16string text;
  UINT state;  // MF_ENABLED or MF_GRAYED
};
int LiveMenus();
// Items of the most recently created menu that is still alive.
std::vector<MenuItem> MenuItems();

// Plays the user's choice while TrackPopupMenuEx shows the menu: returns the
// chosen command id, or 0 to dismiss, or kMenuStaysOpen to leave the menu up
// until ChooseMenuItem or DismissMenu answers it (the menu's modal loop runs
// meanwhile). Without a chooser the menu is dismissed. A grayed or unknown id
// is not delivered.
constexpr UINT kMenuStaysOpen = 0xFFFFFFFFu;
void SetMenuChooser(std::function<UINT(HMENU menu, int x, int y)> chooser);

// The popup menu TrackPopupMenuEx is showing, if any.
struct OpenMenuState {
  bool open = false;
  HMENU menu = nullptr;
  int x = 0, y = 0;  // as TrackPopupMenuEx was asked
  UINT flags = 0;    // TPM_ alignment flags as passed
  std::vector<MenuItem> items;
};
OpenMenuState OpenMenu();
// Answers the open menu; false (and nothing happens) if no menu is open or,
// for ChooseMenuItem, the item is unknown or grayed.
bool ChooseMenuItem(UINT id);
bool DismissMenu();
// Taps the tray icon as the shell does: the registered callback message with
// the registered id and WM_LBUTTONUP, posted even while a box is up (the
// box's loop dispatches it). While a popup menu is open the tap lands outside
// it: the menu closes with no choice and nothing is posted. False if no menu
// was open and no icon is shown.
bool TapTray();

// ---- Message boxes -----------------------------------------------------------

// Auto: every box is answered with OK as soon as it appears (the default).
// Hold: a box stays up, running its modal loop, until AnswerBox.
enum class BoxMode { Auto, Hold };
void SetBoxMode(BoxMode mode);
BoxMode GetBoxMode();
struct BoxUp {
  HWND owner;
  std::u16string caption;
  std::u16string text;
};
// The boxes that are up, oldest first (nested boxes stack).
std::vector<BoxUp> BoxesUp();
// Answers the newest box with OK; false if none is up.
bool AnswerBox();

// Blocks until the thread that owns `window` waits for messages with none
// to handle (its message loop or a modal loop is idle), or the timeout
// passes; false on a timeout or when there is no such window.
bool WaitIdle(HWND window, int timeoutMs = 5000);
// Whether that thread waits for messages with none to handle right now;
// false for a thread that has not yet made its first message call.
bool IsIdle(HWND window);
int IconIdOf(HICON icon);  // resource id behind a loaded icon, 0 if none
int LiveIcons();
// The image of icon resource `iconId` at size x size pixels, as LoadImageW
// would load it: 0xAARRGGBB words, row by row from the top. False if the
// program's resources have no such icon.
bool IconImage(int iconId, int size, std::vector<uint32_t>* argb);
// The executable's compiled resources (a .res file's bytes, which must stay
// valid): LoadImageW and IconImage read the icons from them, as the
// handheld reads the executable's. Without them no icon loads. Reset()
// keeps them: they belong to the executable, not to the handheld's state.
void SetModuleResources(const void* bytes, size_t size);
// The program's compiled resources: the build generates them from
// res/nuvik.rc into the nuvik_resources library, which the handheld
// executable and the tests link (the host library itself does not).
extern const unsigned char kProgramResources[];
extern const size_t kProgramResourcesSize;

// ---- Utilities -------------------------------------------------------------

std::string ToUtf8(const std::u16string& text);
std::u16string FromUtf8(const std::string& text);
// A string in double quotes with C escapes, as the trace writes it.
std::string Quote(const std::u16string& text);

}  // namespace device
