// The handheld is a 32-bit platform: the records it exchanges with the
// system must have the sizes its own headers give them. The 32-bit desktop
// build has the same layouts, so it checks them here.
#include "ce_compat.h"

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(INPUT) == 28, "INPUT is 28 bytes on the handheld");
static_assert(sizeof(DCB) == 28, "DCB is 28 bytes on the handheld");
static_assert(sizeof(NOTIFYICONDATA) == 152, "the tray record is passed with 152 bytes");
#endif
// On every build the record is exactly the desktop's first version.
static_assert(sizeof(NOTIFYICONDATA) == NOTIFYICONDATAW_V1_SIZE, "the tray record is the version-1 record");
