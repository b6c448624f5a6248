// Handles set once at start-up and read for the program's lifetime.
#pragma once

#include "platform.h"

extern HINSTANCE g_instance;  // the program's instance
extern HWND g_mainWindow;     // the hidden main window: owner of boxes, target of IDM_REINIT
extern LPCWSTR g_portName;    // "COM1:" to "COM4:", found at start-up; also the caption of the port's boxes
