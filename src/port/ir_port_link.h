// Opens, configures and closes the infrared port, and runs the reader
// thread that feeds its bytes into the key pipeline.
#pragma once

#include "platform.h"

// Events the reader waits for. The first wait also asks for carrier
// changes; only characters and power events are acted on.
const DWORD IR_FIRST_EVENT_MASK = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_POWER;  // 0x2139
const DWORD IR_EVENT_MASK = EV_RXCHAR | EV_CTS | EV_DSR | EV_RING | EV_POWER;                  // 0x2119

// How long the reader rests after a failed wait on a port that is still
// open, so an unplugged or faulty device cannot make it spin.
const DWORD IR_FAILED_WAIT_PAUSE_MS = 200;

// While closing, how often the mask is cleared again for a reader still
// inside a port call (normally none: it leaves at once), and how long the
// close waits for it at most before closing the handle under it, for a
// driver whose wait ignores the mask.
const DWORD IR_CLOSE_REPEAT_MASK_EVERY_MS = 50;
const DWORD IR_CLOSE_WAIT_LIMIT_MS = 2000;

// True when the port is open with its reader running; false after its own
// message box, owned by `owner`, which is not shown while an earlier
// failure's box is still up. A port that is already open is left as it is.
// The reader asks `owner` to reopen the port (WM_COMMAND IDM_REINIT) after a
// resume, and waits until it has.
bool OpenIrPort(LPCWSTR name, HWND owner);

// Closes the open port, which ends its reader; nothing when none is open.
// Waits only for a reader to finish a port call it already began (which
// returns at once once the mask is cleared), at most IR_CLOSE_WAIT_LIMIT_MS,
// and never for a reader's message.
void CloseIrPort(void);

// True while a port is open (the tray shows the truth from this).
bool IsIrPortOpen(void);

// The line settings the adapter uses, applied to a DCB read from the port:
// 9600 bit/s, 8N1, binary, no flow control, DTR and RTS off.
void ApplyAdapterLineSettings(DCB* dcb);

// The reader thread routine, started by OpenIrPort only; it takes its port
// and open from OpenIrPort's hand-over, not from its parameter.
DWORD WINAPI ReaderThread(LPVOID parameter);
