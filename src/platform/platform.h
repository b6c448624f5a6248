// The one header the program includes for everything it asks of the system.
//
// On the handheld it is the CE SDK's own headers; on desktop Windows the
// real <windows.h> plus the few handheld-only names a desktop SDK lacks; on
// Linux it is our own host platform, which implements the same operations
// over POSIX.
#pragma once

#if defined(_WIN32_WCE)
#include "ce_sdk.h"
#elif defined(_WIN32)
#include "win32/ce_compat.h"
#else
#include "host/win32.h"
#endif
