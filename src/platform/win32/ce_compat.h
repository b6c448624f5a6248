// Windows: the real SDK headers, plus the handheld-only names that a desktop
// SDK lacks. Each stands for its closest desktop equivalent.
#pragma once

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include "../ce_values.h"

// The handheld's RegOpenKeyExW takes no access mask (it must be 0) and
// opens the key for reading; the desktop grants only the access asked for,
// and with none a later RegQueryValueExW is refused. A mask of 0 therefore
// asks for read access here.
inline LONG CeRegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  return RegOpenKeyExW(key, subKey, options, access == 0 ? KEY_READ : access, result);
}
#define RegOpenKeyExW CeRegOpenKeyExW

// The handheld's tray record is the first version of the desktop's: the
// fields up to szTip[64], 152 bytes on a 32-bit build, and CE's shellapi.h
// calls it NOTIFYICONDATA. A newer desktop shell takes that version when
// cbSize says so, so the program's sizeof(NOTIFYICONDATA) serves both.
struct CeNotifyIconData {
  DWORD cbSize;
  HWND hWnd;
  UINT uID;
  UINT uFlags;
  UINT uCallbackMessage;
  HICON hIcon;
  WCHAR szTip[64];
};
#define NOTIFYICONDATA CeNotifyIconData
inline BOOL CeShell_NotifyIcon(DWORD message, CeNotifyIconData* data) {
  return Shell_NotifyIconW(message, reinterpret_cast<NOTIFYICONDATAW*>(data));
}
#undef Shell_NotifyIcon
#define Shell_NotifyIcon CeShell_NotifyIcon

// The handheld's conditional exchange (CE 1.0); the desktop has the same
// operation as InterlockedCompareExchange, with its last two arguments the
// other way round.
inline LONG InterlockedTestExchange(LONG* target, LONG oldValue, LONG newValue) {
  return InterlockedCompareExchange(target, newValue, oldValue);
}

// Hands characters to the focus window as if they had been typed. On the
// desktop: WM_CHAR posted to the focus window of the foreground thread.
BOOL WINAPI PostKeybdMessage(HWND window, UINT vkey, UINT keyStateFlags, UINT count, UINT* shiftStates,
                             UINT* characters);

// The handheld's entry point takes a wide command line; the desktop's WinMain
// takes an 8-bit one. The program's WinMain is renamed here and called from
// the desktop's wide entry point (ce_compat.cpp).
#define WinMain CeWinMain
int WINAPI CeWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);

// ---- Serial ports: the handheld's semantics on a desktop port ----------------
// On the handheld one thread may change a port's event mask, or close the
// port, while another thread waits on it, and the wait ends at once. A
// desktop port opened without FILE_FLAG_OVERLAPPED carries out one request at
// a time: a SetCommMask from another thread waits until the pending
// WaitCommEvent returns, that is until the next byte comes. So COM ports are
// opened overlapped here, and the calls that would take an OVERLAPPED record
// from the caller are made as overlapped requests that the call itself waits
// for; a mask change then ends a pending wait as on the handheld, and
// closing a port ends what other threads still have pending on it. Other
// handles go straight to the system.
//
// The renamed calls below only choose: each still calls the system function
// it is named after, so the program's own imports stay the functions it
// calls, and hands a port this layer opened to comm_ports.cpp.

// True for a COM port's name: "COM3:", "COM3", "com12", "\\.\COM3"; the
// digits are one to three.
bool CeIsCommPortName(LPCWSTR name);
// Notes a port just opened overlapped and returns it; when the table of
// ports is full, closes it and fails with ERROR_TOO_MANY_OPEN_FILES.
HANDLE CeNoteOpenedPort(HANDLE port);
// True for a port noted and not yet closed.
bool CeIsNotedPort(HANDLE object);
// Blocking calls on a noted port, made as overlapped requests.
BOOL CeReadPort(HANDLE port, LPVOID buffer, DWORD count, LPDWORD got);
BOOL CeWritePort(HANDLE port, LPCVOID buffer, DWORD count, LPDWORD put);
BOOL CeWaitPortEvent(HANDLE port, LPDWORD events);
// A noted port's close, in two steps around the system's CloseHandle. The
// first ends every thread's pending requests on it and returns its place in
// the table (-1 for any other handle, or a port another close has begun);
// the second forgets the port. In between the port is still served as one:
// a reader still inside a call on it makes its request overlapped, which
// the close then ends, and never a plain blocking call on an overlapped
// handle, which Windows may report as done before it is.
int CeBeginPortClose(HANDLE object);
void CeEndPortClose(int place);

inline HANDLE CeCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                            DWORD disposition, DWORD flags, HANDLE templateFile) {
  if (!CeIsCommPortName(name))
    return CreateFileW(name, access, share, security, disposition, flags, templateFile);
  return CeNoteOpenedPort(
      CreateFileW(name, access, share, security, disposition, flags | FILE_FLAG_OVERLAPPED, templateFile));
}
inline BOOL CeReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD got, LPOVERLAPPED overlapped) {
  if (overlapped == NULL && CeIsNotedPort(file)) return CeReadPort(file, buffer, count, got);
  return ReadFile(file, buffer, count, got, overlapped);
}
inline BOOL CeWriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD put, LPOVERLAPPED overlapped) {
  if (overlapped == NULL && CeIsNotedPort(file)) return CeWritePort(file, buffer, count, put);
  return WriteFile(file, buffer, count, put, overlapped);
}
inline BOOL CeWaitCommEvent(HANDLE port, LPDWORD events, LPOVERLAPPED overlapped) {
  if (overlapped == NULL && CeIsNotedPort(port)) return CeWaitPortEvent(port, events);
  return WaitCommEvent(port, events, overlapped);
}
inline BOOL CeCloseHandle(HANDLE object) {
  int place = CeBeginPortClose(object);
  BOOL closed = CloseHandle(object);
  CeEndPortClose(place);
  return closed;
}
// The desktop has no power event, and desktop serial drivers refuse a wait
// mask with any bit above 0x1FFF (invalid parameter): with EV_POWER in it
// the program's mask would not be set at all, and every wait would fail at
// once. The rest of the mask goes to the system as it is.
inline BOOL CeSetCommMask(HANDLE port, DWORD mask) { return SetCommMask(port, mask & ~static_cast<DWORD>(EV_POWER)); }

#define CreateFileW CeCreateFileW
#define ReadFile CeReadFile
#define WriteFile CeWriteFile
#define WaitCommEvent CeWaitCommEvent
#define CloseHandle CeCloseHandle
#define SetCommMask CeSetCommMask
