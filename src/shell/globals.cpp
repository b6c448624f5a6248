#include "shell/globals.h"

HINSTANCE g_instance = NULL;
HWND g_mainWindow = NULL;
LPCWSTR g_portName = NULL;
