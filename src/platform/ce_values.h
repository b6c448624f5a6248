// Values of the handheld's SDK that neither a desktop SDK nor cegcc's
// headers define. Each is defined only where no header defined it first,
// so the Pocket PC SDK's own definitions win wherever they exist.
#pragma once

// Key-state flag of PostKeybdMessage: the key is down (keybd.h).
#ifndef KeyStateDownFlag
#define KeyStateDownFlag 0x0080
#endif

// EscapeCommFunction codes (winbase.h): the port's transceiver to raw
// infrared mode, and back to serial. A desktop port refuses them; the
// program does not examine the result.
#ifndef SETIR
#define SETIR 10
#endif
#ifndef CLRIR
#define CLRIR 11
#endif

// Comm event raised when the handheld resumes from suspend (winbase.h). A
// desktop port never raises it, and the desktop layer takes it out of the
// mask, which desktop serial drivers would refuse whole.
#ifndef EV_POWER
#define EV_POWER 0x2000
#endif
