// The handheld: the CE SDK's own headers, and the few of its names that
// cegcc's headers (the w32api of the arm-mingw32ce toolchain) lack.
//
// The Pocket PC SDK declares everything the program uses, and wherever it
// does, its declaration is the one used: the values (ce_values.h) are
// defined only where no header defined them, and the two functions are
// declared only for cegcc, whose headers are known to lack them (a second
// declaration that differed from the SDK's in one parameter type would be
// an error).
#pragma once

#if defined(__MINGW32CE__)
// cegcc's winuser.h shows INPUT and SendInput (CE 2.0 and later) only to a
// desktop NT 4.0 SP3 build, the level that brought them to the desktop.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0403
#endif
#endif

#include <windows.h>
#include <shellapi.h>  // Shell_NotifyIcon and its record

// The SDK keeps the key-state flags in keybd.h. NUVIK_SDK_LACKS_KEYBD_H is
// for an SDK without it; ce_values.h's value then stands in.
#if !defined(__MINGW32CE__) && !defined(NUVIK_SDK_LACKS_KEYBD_H)
#include <keybd.h>
#endif

#include "ce_values.h"

#if defined(__MINGW32CE__)
extern "C" {
// PostKeybdMessage (CE 2.0) and InterlockedTestExchange (CE 1.0) are coredll
// exports, and libcoredll.a has them; only the declarations are missing.
BOOL WINAPI PostKeybdMessage(HWND hwnd, UINT vkey, UINT32 keyStateFlags, UINT characterCount,
                             UINT32* shiftStateBuffer, UINT* characterBuffer);
LONG WINAPI InterlockedTestExchange(LPLONG target, LONG oldValue, LONG newValue);
}

// The records the program hands the system have the sizes the handheld's
// own headers give them; a header that laid one out differently would
// build a program the handheld misreads.
typedef char CeInputIs28Bytes[sizeof(INPUT) == 28 ? 1 : -1];
typedef char CeDcbIs28Bytes[sizeof(DCB) == 28 ? 1 : -1];
typedef char CeNotifyIconDataIs152Bytes[sizeof(NOTIFYICONDATA) == 152 ? 1 : -1];
#endif
