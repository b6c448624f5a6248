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
};

// Acts on one validated packet, on the reader thread.
void DispatchKeyPacket(KeyDispatchMemory* memory, const KeyPacket& packet);

// The same as the decoder's receiver: context is the reader's
// KeyDispatchMemory.
void DispatchReceivedKeyPacket(void* context, const KeyPacket& packet);
