// Finds the handheld's raw-infrared serial port in the registry entries of
// its IrDA driver.
#pragma once

#include "platform.h"

// Looks the port up once, at start-up: its device name, TEXT("COM1:") to
// TEXT("COM4:"), a constant that lives as long as the program; or NULL after
// telling the user why in a message box owned by `owner`.
LPCWSTR LocateIrPort(HWND owner);
