// The adapter's key packet: four bytes per key press or release.
#pragma once

#include "platform.h"

struct KeyPacket {
  BYTE keyCode;   // virtual-key code; 0xFF never starts a packet
  BYTE scanCode;  // PC scan-code set 1
  BYTE flags;     // KEY_FLAG_RELEASED, KEY_FLAG_EXTENDED; other bits unused
  BYTE check;     // keyCode ^ scanCode ^ flags
};

const BYTE KEY_PACKET_FILLER = 0xFF;
const BYTE KEY_FLAG_RELEASED = 0x80;
const BYTE KEY_FLAG_EXTENDED = 0x40;
const DWORD KEY_PACKET_SIZE = 4;

// A packet is taken only when its check byte matches; a check of 0xFF is
// never valid, so a run of filler bytes can never pass for a packet.
inline bool IsValidKeyPacket(const KeyPacket& packet) {
  BYTE x = static_cast<BYTE>(packet.keyCode ^ packet.scanCode ^ packet.flags);
  return x != 0xFF && x == packet.check;
}
