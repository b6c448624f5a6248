// Makes the handheld act on each validated key packet: a key event for the
// focus window, the Return character, or a tap on the CE-Star keyboard.
#pragma once

#include "pipeline/key_packet.h"
#include "pipeline/soft_keyboard_tapper.h"

// Size of the platform's INPUT record as the handheld passes it.
const int KEY_INPUT_SIZE = sizeof(INPUT);

// Called once per validated packet, on the reader thread; windows is that
// reader's own memory of the extended flag and the panel's windows.
void Dispatch(SoftKeyboardWindows* windows, const KeyPacket& packet);

// The receiver the reader hands the decoder: context is the reader's
// SoftKeyboardWindows.
void DispatchKeyPacket(void* context, const KeyPacket& packet);
