// The hidden main window: owner of the tray icon and the message boxes,
// target of the menu's commands and of other programs' (found by its class
// "IR PDA Keyboard Nuvik").
#pragma once

#include "platform.h"

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
