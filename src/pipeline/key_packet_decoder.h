// Pulls validated key packets out of the bytes waiting in the port.
#pragma once

#include "pipeline/key_packet.h"
#include "platform.h"

typedef void (*KeyPacketReceiver)(void* context, const KeyPacket& packet);

// The bytes of a packet whose tail had not arrived when a drain ended,
// carried to the next drain. Owned by the reader thread; zero-initialise it.
//
// Whether carried bytes still belong to a packet is decided by the bytes
// that follow, never by the clock: on a busy handheld the reader itself can
// run tens of milliseconds late, and time cannot tell a late reader from a
// late byte. The next drain completes the packet with its first bytes and
// keeps it if that makes a valid packet. If not, the carried bytes were a
// fragment (a byte was lost on the way) and are dropped, and this drain's
// bytes start a packet, so framing resynchronises at the next key event.
// One completion is refused although its check byte agrees: two carried
// bytes followed by the same two again, which is how the next packet of the
// same key (its release, say) would finish a fragment of its press. No key
// the adapter sends has flags equal to its key code, so no real packet
// looks like that.
struct KeyPacketDecoder {
  BYTE bytes[KEY_PACKET_SIZE];
  DWORD count;
};

// Reads up to `count` bytes that are already waiting, without blocking;
// returns how many it read (0: none, or the reading must stop).
typedef DWORD (*KeyPacketByteReader)(void* source, BYTE* buffer, DWORD count);

// Reads and validates packets until the reader gives no byte, handing each
// valid packet to receiver(context, packet) before reading the next byte.
// Within one drain there is no sliding resynchronisation: after a rejected
// packet the very next byte is taken as a key code.
void DrainKeyPacketBytes(KeyPacketDecoder* decoder, KeyPacketByteReader read, void* source,
                         KeyPacketReceiver receiver, void* context);

// The same, reading the port with ReadFile until it has no byte left.
void DrainKeyPacketDecoder(KeyPacketDecoder* decoder, HANDLE port, KeyPacketReceiver receiver, void* context);
