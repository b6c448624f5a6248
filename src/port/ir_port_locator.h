// Finds the handheld's raw-infrared serial port in the registry entries of
// its IrDA driver.
#pragma once

#include "platform.h"

// The port's device name, TEXT("COM1:") to TEXT("COM4:"); null until a
// lookup succeeds. Also the caption of the port's message boxes.
extern LPCWSTR g_portName;

// Looks the port up once, at start-up: 1 with g_portName set, or 0 after
// telling the user why in a message box.
int Locate(void);
