#include "shell/globals.h"

HINSTANCE g_instance = nullptr;
HWND g_mainWindow = nullptr;
