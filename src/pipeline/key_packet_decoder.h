// Pulls validated key packets out of the bytes waiting in the port.
#pragma once

#include "pipeline/key_packet.h"
#include "platform.h"

typedef void (*KeyPacketReceiver)(void* context, const KeyPacket& packet);

// At most this many bytes wait while it is not known where packets start.
const DWORD KEY_PACKET_UNDECIDED_LIMIT = 32;

// What the reader keeps between drains. Owned by the reader thread;
// zero-initialise it, then StartKeyPacketDecoder once its port is open.
//
// While the place where packets start is known, packets are framed in
// place, as the adapter sends them. The check byte cannot tell a packet from
// four bytes that straddle two packets: for a packet k s f c, the bytes
// s f c k' pass whenever k' = k, and a press and its release share k. So the
// place is not trusted on one packet's word when it is in doubt: when a
// drain ends inside a packet (the bytes may start a packet the next drain
// completes, or be what is left of a damaged one), when a packet is bad (a
// byte was lost, or came that nobody sent) and when the port has just been
// opened (its first bytes may be the tail of a packet that was on the wire
// during the open). Then the bytes wait, and are read from every place a
// packet could start: the start of the kept bytes, the places after a bad
// packet's first byte, and the start of every drain since. The bytes decide,
// never the clock: a reader can run tens of milliseconds late on a busy
// handheld, and time cannot tell a late reader from a late byte.
//
// In doubt, four bytes count as a packet only if a keyboard could have sent
// them (a key code, and a set-1 scan code: the straddling bytes put the
// flags byte, 0x00 or 0x80, where one of them goes). Readings are compared
// by their longest run of such packets in a row, then by whether that run
// is still going, then by how many they have; two whose runs start at the
// same byte are the same packets. A reading wins at the end of a drain (or
// when the bytes reach the limit):
// - when it starts where the newest drain started, or continues the place
//   known before (the kept bytes, or the port's first), or starts where a
//   drain started inside the bad packet that put the place in doubt, and
//   all its packets count, and either its last ends where the bytes end or
//   it has two in a row, and it beats every other reading; or
// - when it has two in a row and beats every other reading, each of which
//   is given the packet it has begun, if that one will end less than a
//   packet later than the winner's last.
// So a packet split by a late reader is handed on as soon as it is whole,
// and a fragment that the next bytes only seem to complete waits until the
// packets after it tell the readings apart. Before the winner's run, the
// kept bytes' own packets and those drains brought whole at their start are
// handed on first (stray bytes came after them). Nothing is handed on out of
// order; at the limit, with no winner, the oldest four bytes are dropped.
struct KeyPacketDecoder {
  DWORD count;
  BYTE bytes[KEY_PACKET_UNDECIDED_LIMIT];
  BYTE undecided;       // the place is in doubt
  BYTE keptContinues;   // bytes[0] continues the place known before
  BYTE keptFragment;    // bytes[0] starts the bytes kept when a drain ended inside a packet
  BYTE drainStartInPacket;  // while the place is known: where this drain's bytes start
  // One bit per byte of `bytes`, bit 0 for bytes[0], while in doubt:
  DWORD places;         // where a packet could start
  DWORD drainStarts;    // where drains started
  DWORD newest;         // where the newest drain started (one bit, or none)
  DWORD restart;        // where a drain started inside the bad packet (one bit, or none)
  DWORD tailStarts;     // drain starts inside a partial packet a decision left
};

// The port has just been opened: where packets start is not known.
void StartKeyPacketDecoder(KeyPacketDecoder* decoder);

// Reads up to `count` bytes that are already waiting, without blocking;
// returns how many it read (0: none, or the reading must stop).
typedef DWORD (*KeyPacketByteReader)(void* source, BYTE* buffer, DWORD count);

// Reads until the reader gives no byte, handing each valid packet to
// receiver(context, packet) in the order the packets came.
void DrainKeyPacketBytes(KeyPacketDecoder* decoder, KeyPacketByteReader read, void* source,
                         KeyPacketReceiver receiver, void* context);

// The same, reading the port with ReadFile until it has no byte left.
void DrainKeyPacketDecoder(KeyPacketDecoder* decoder, HANDLE port, KeyPacketReceiver receiver, void* context);
