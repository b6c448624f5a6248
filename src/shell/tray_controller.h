// The program's whole face: the tray icon, its popup menu, and the main
// window's procedure that carries out the commands.
#pragma once

#include "platform.h"

// The tray icon's callback message.
const UINT WM_TRAYNOTIFY = WM_USER + 100;

// Called once at start-up, after the port has been opened.
void AddTrayAndMenu(void);

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
