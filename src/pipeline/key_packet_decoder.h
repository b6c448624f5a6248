// Pulls validated key packets out of the bytes waiting in the port.
#pragma once

#include "pipeline/key_packet.h"
#include "platform.h"

// Bytes of one packet that arrive further apart than this belong to no
// packet. At 9600 bit/s a packet takes 4.2 ms on the wire and the port may
// signal after its first byte, so a packet split over character events spans
// a few milliseconds; 20 ms covers that with margin (and the 10-16 ms tick of
// a desktop clock) while staying below the idle gap between a person's key
// events, on which framing resynchronises after a corrupted packet.
const DWORD KEY_PACKET_MAX_GAP_MS = 20;

typedef void (*KeyPacketReceiver)(void* context, const KeyPacket& packet);

// The bytes of a packet whose tail has not arrived yet, carried from one
// drain to the next. Owned by the reader thread; zero-initialise it.
struct KeyPacketDecoder {
  BYTE bytes[KEY_PACKET_SIZE];
  DWORD count;
  DWORD lastByteTick;
};

// Reads up to `count` bytes that are already waiting, without blocking;
// returns how many it read (0: none, or the reading must stop).
typedef DWORD (*KeyPacketByteReader)(void* source, BYTE* buffer, DWORD count);

// Reads and validates packets until the reader gives no byte, handing each
// valid packet to receiver(context, packet) before reading the next byte.
void DrainKeyPacketBytes(KeyPacketDecoder* decoder, KeyPacketByteReader read, void* source,
                         KeyPacketReceiver receiver, void* context);

// The same, reading the port with ReadFile until it has no byte left.
void DrainKeyPacketDecoder(KeyPacketDecoder* decoder, HANDLE port, KeyPacketReceiver receiver, void* context);
