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
#include <shellapi.h>

// Key state flag of PostKeybdMessage: the key is down.
#ifndef KeyStateDownFlag
#define KeyStateDownFlag 0x0080
#endif

// EscapeCommFunction code that puts the port's transceiver in raw infrared
// mode. The desktop has no such code; the value is passed through and the
// program does not examine the result.
#ifndef SETIR
#define SETIR 10
#endif
#ifndef CLRIR
#define CLRIR 11
#endif

// Comm event raised when the handheld resumes from suspend. A desktop port
// never raises it; the value is passed through in the event mask.
#ifndef EV_POWER
#define EV_POWER 0x2000
#endif

// Hands characters to the focus window as if they had been typed. On the
// desktop: WM_CHAR posted to the focus window of the foreground thread.
BOOL WINAPI PostKeybdMessage(HWND window, UINT vkey, UINT keyStateFlags, UINT count, UINT* shiftStates,
                             UINT* characters);

// The handheld's entry point takes a wide command line; the desktop's WinMain
// takes an 8-bit one. The program's WinMain is renamed here and called from
// the desktop's wide entry point (ce_compat.cpp).
#define WinMain CeWinMain
int WINAPI CeWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);
