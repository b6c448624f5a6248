#include "pipeline/key_packet_decoder.h"

// A failed read counts as a read that yielded nothing.
static DWORD ReadPortBytes(void* port, BYTE* buffer, DWORD count) {
  DWORD got = 0;
  if (ReadFile(port, buffer, count, &got, NULL) == 0 || got > count) return 0;
  return got;
}

void DrainKeyPacketDecoder(KeyPacketDecoder* decoder, HANDLE port, KeyPacketReceiver receiver, void* context) {
  DrainKeyPacketBytes(decoder, ReadPortBytes, port, receiver, context);
}

// A fragment's key code and scan code followed by the same two bytes: the
// check byte always agrees, yet it is the same key starting over.
static bool RepeatsItsFirstHalf(const BYTE* bytes) { return bytes[2] == bytes[0] && bytes[3] == bytes[1]; }

// Drops the first `count` bytes of the packet being gathered; what is left
// starts a packet, so filler at its front is skipped as anywhere else.
static void DropFront(KeyPacketDecoder* decoder, DWORD count) {
  DWORD kept = 0;
  DWORD i;
  for (i = count; i < decoder->count; ++i) {
    if (kept == 0 && decoder->bytes[i] == KEY_PACKET_FILLER) continue;
    decoder->bytes[kept++] = decoder->bytes[i];
  }
  decoder->count = kept;
}

void DrainKeyPacketBytes(KeyPacketDecoder* decoder, KeyPacketByteReader read, void* source,
                         KeyPacketReceiver receiver, void* context) {
  // How many of the gathered bytes came from earlier drains.
  DWORD carried = decoder->count;

  for (;;) {
    if (decoder->count == 0) {
      BYTE keyCode = 0;
      if (read(source, &keyCode, 1) == 0) return;
      if (keyCode == KEY_PACKET_FILLER) continue;
      decoder->bytes[0] = keyCode;
      decoder->count = 1;
    }

    decoder->count += read(source, decoder->bytes + decoder->count, KEY_PACKET_SIZE - decoder->count);
    // The port is empty; the rest of this packet is still on the wire, or
    // behind a reader that is running late.
    if (decoder->count < KEY_PACKET_SIZE) return;

    KeyPacket packet = {decoder->bytes[0], decoder->bytes[1], decoder->bytes[2], decoder->bytes[3]};
    bool valid = IsValidKeyPacket(packet);
    if (carried != 0 && (!valid || RepeatsItsFirstHalf(decoder->bytes))) {
      // The carried bytes were a fragment: this drain's bytes start over.
      DropFront(decoder, carried);
      carried = 0;
      continue;
    }
    // No sliding resynchronisation: a rejected packet's four bytes are gone
    // and the very next byte is taken as a key code.
    carried = 0;
    decoder->count = 0;
    if (valid) receiver(context, packet);
  }
}
