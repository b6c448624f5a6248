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

void DrainKeyPacketBytes(KeyPacketDecoder* decoder, KeyPacketByteReader read, void* source,
                         KeyPacketReceiver receiver, void* context) {
  // A partial packet left over from a drain before the last idle gap is
  // noise: drop it so the next byte starts a packet again.
  if (decoder->count != 0 && GetTickCount() - decoder->lastByteTick > KEY_PACKET_MAX_GAP_MS) {
    decoder->count = 0;
  }

  for (;;) {
    if (decoder->count == 0) {
      BYTE keyCode = 0;
      if (read(source, &keyCode, 1) == 0) return;
      if (keyCode == KEY_PACKET_FILLER) continue;
      decoder->bytes[0] = keyCode;
      decoder->count = 1;
      decoder->lastByteTick = GetTickCount();
    }

    DWORD got = read(source, decoder->bytes + decoder->count, KEY_PACKET_SIZE - decoder->count);
    if (got != 0) {
      decoder->count += got;
      decoder->lastByteTick = GetTickCount();
    }
    // The port is empty; the rest of this packet is still on the wire.
    if (decoder->count < KEY_PACKET_SIZE) return;

    // No sliding resynchronisation: a rejected packet's four bytes are gone
    // and the very next byte is taken as a key code.
    decoder->count = 0;
    KeyPacket packet = {decoder->bytes[0], decoder->bytes[1], decoder->bytes[2], decoder->bytes[3]};
    if (IsValidKeyPacket(packet)) receiver(context, packet);
  }
}
