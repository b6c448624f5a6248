// Makes the handheld act on each validated key packet: a key event for the
// focus window, the Return character, or a tap on the CE-Star keyboard.
#pragma once

#include "pipeline/key_packet.h"
#include "pipeline/soft_keyboard_tapper.h"

// What the reader remembers from one packet to the next. Owned by the reader
// thread; zero-initialise it.
struct KeyDispatchMemory {
  BYTE extendedFlag;             // of the last packet, 0x40 or 0: read by the tap table
  SoftKeyboardWindows windows;  // the panel's windows found at the last press
  // Keys this reader pressed (as key events or the Return character) and
  // has not released: one bit per virtual-key code, and the codes in the
  // order they went down with the scan code each came with.
  BYTE down[256 / 8];
  BYTE downOrder[256];
  BYTE downScan[256];
  DWORD downCount;
};

// Acts on one validated packet, on the reader thread.
void DispatchKeyPacket(KeyDispatchMemory* memory, const KeyPacket& packet);

// The same as the decoder's receiver: context is the reader's
// KeyDispatchMemory.
void DispatchReceivedKeyPacket(void* context, const KeyPacket& packet);

// Sends the key-up of every key still down, in the order they went down,
// and forgets them: the reader is ending (Disable, Exit, a reinitialise, a
// resume), and a release still on the wire, or damaged on it, would never
// come. A key left down turns what is typed next into capitals or commands.
void ReleaseKeysLeftDown(KeyDispatchMemory* memory);
