#include "shell/globals.h"

HINSTANCE g_instance = NULL;
HWND g_mainWindow = NULL;
