#include "pipeline/key_packet_decoder.h"

// Places after an open or a bad packet's first byte: the next four bytes.
static const DWORD FIRST_FOUR_PLACES = 0x0F;

// A failed read counts as a read that yielded nothing.
static DWORD ReadPortBytes(void* port, BYTE* buffer, DWORD count) {
  DWORD got = 0;
  if (ReadFile(port, buffer, count, &got, NULL) == 0 || got > count) return 0;
  return got;
}

void DrainKeyPacketDecoder(KeyPacketDecoder* decoder, HANDLE port, KeyPacketReceiver receiver, void* context) {
  DrainKeyPacketBytes(decoder, ReadPortBytes, port, receiver, context);
}

// Where the packets of one drain go.
struct PacketSink {
  KeyPacketReceiver receiver;
  void* context;
};

// One way of reading the waiting bytes: packets framed in place from `from`.
struct Reading {
  BYTE from;
  BYTE valid;      // valid packets
  BYTE windows;    // complete packets, valid or not
  BYTE firstGood;  // the first complete packet is valid
  BYTE run;        // the most valid packets in a row
  BYTE runStart;   // where the first such run starts (when run > 0)
  BYTE trailing;   // valid packets in a row at the end
  BYTE tail;       // bytes after the last complete packet
};

static DWORD Bit(DWORD at) { return at < 32 ? static_cast<DWORD>(1) << at : 0; }

static DWORD ShiftDown(DWORD bits, DWORD count) { return count < 32 ? bits >> count : 0; }

// The position of a mask's one bit; -1 for none.
static int BitPosition(DWORD bit) {
  int at = 0;
  if (bit == 0) return -1;
  while ((bit & 1) == 0) {
    bit >>= 1;
    ++at;
  }
  return at;
}

static KeyPacket PacketAt(const KeyPacketDecoder* decoder, DWORD at) {
  KeyPacket packet = {decoder->bytes[at], decoder->bytes[at + 1], decoder->bytes[at + 2], decoder->bytes[at + 3]};
  return packet;
}

static bool ValidAt(const KeyPacketDecoder* decoder, DWORD at) { return IsValidKeyPacket(PacketAt(decoder, at)); }

// While the place is in doubt, four bytes count as a packet only if a
// keyboard could have sent them: a virtual-key code (never 0) and a set-1
// scan code (1 to 0x7F; the adapter says "released" with its flags, never
// with the scan code's top bit). Four bytes that straddle two packets of the
// same key pass the check byte with the flags byte, 0x00 or 0x80, where the
// scan code or the key code goes.
static bool KeyLikeAt(const KeyPacketDecoder* decoder, DWORD at) {
  BYTE key = decoder->bytes[at];
  BYTE scan = decoder->bytes[at + 1];
  return key != 0 && scan != 0 && scan < 0x80 && ValidAt(decoder, at);
}

static void Hand(const KeyPacketDecoder* decoder, DWORD at, const PacketSink* sink) {
  sink->receiver(sink->context, PacketAt(decoder, at));
}

// The place is known again: no place is marked.
static void ForgetPlaces(KeyPacketDecoder* decoder) {
  decoder->undecided = 0;
  decoder->keptContinues = 0;
  decoder->keptFragment = 0;
  decoder->places = 0;
  decoder->drainStarts = 0;
  decoder->newest = 0;
  decoder->restart = 0;
}

void StartKeyPacketDecoder(KeyPacketDecoder* decoder) {
  decoder->count = 0;
  decoder->tailStarts = 0;
  ForgetPlaces(decoder);
  // Most likely the open came between packets; but the first bytes may be
  // the tail of one that was on the wire during it.
  decoder->undecided = 1;
  decoder->keptContinues = 1;
  decoder->places = FIRST_FOUR_PLACES;
}

// Drops the first `count` bytes; the marked places move with them.
static void DropFront(KeyPacketDecoder* decoder, DWORD count) {
  DWORD i;
  for (i = count; i < decoder->count; ++i) decoder->bytes[i - count] = decoder->bytes[i];
  decoder->count -= count;
  decoder->places = ShiftDown(decoder->places, count);
  decoder->drainStarts = ShiftDown(decoder->drainStarts, count);
  decoder->newest = ShiftDown(decoder->newest, count);
  decoder->restart = ShiftDown(decoder->restart, count);
}

// The bytes start with a bad packet; `restart` is where within it a drain
// started (1 to 3), or -1. A packet may start at any of its last three
// bytes, or after it where a drain started.
static void PutInDoubt(KeyPacketDecoder* decoder, int restart) {
  DropFront(decoder, 1);
  if (restart > 0) --restart;
  while (decoder->count > 0 && decoder->bytes[0] == KEY_PACKET_FILLER) {
    DropFront(decoder, 1);
    if (restart > 0) --restart;
  }
  decoder->undecided = 1;
  decoder->keptContinues = 0;
  decoder->keptFragment = 0;
  decoder->restart = restart >= 0 ? Bit(static_cast<DWORD>(restart)) : 0;
  decoder->places = decoder->drainStarts | FIRST_FOUR_PLACES;
}

static void Parse(const KeyPacketDecoder* decoder, DWORD from, Reading* reading) {
  DWORD at = from;
  DWORD start = from;
  Reading blank = {0, 0, 0, 0, 0, 0, 0, 0};
  *reading = blank;
  reading->from = static_cast<BYTE>(from);
  for (;;) {
    while (at < decoder->count && decoder->bytes[at] == KEY_PACKET_FILLER) ++at;
    if (decoder->count - at < KEY_PACKET_SIZE) {
      reading->tail = static_cast<BYTE>(decoder->count - at);
      return;
    }
    ++reading->windows;
    if (KeyLikeAt(decoder, at)) {
      if (reading->windows == 1) reading->firstGood = 1;
      if (reading->trailing == 0) start = at;
      ++reading->trailing;
      ++reading->valid;
      if (reading->trailing > reading->run) {
        reading->run = reading->trailing;
        reading->runStart = static_cast<BYTE>(start);
      }
    } else {
      reading->trailing = 0;
    }
    at += KEY_PACKET_SIZE;
  }
}

// Whether `r` beats `o`: a longer run of valid packets in a row, or as long
// a run still going where the other's ended, or then more valid packets.
// With `fair`, `o` is given the packet it has begun as valid when that one
// will end less than a packet after `r`'s last: it has not come as far.
static bool Beats(const Reading* r, const Reading* o, bool fair) {
  int run = o->run;
  int trailing = o->trailing;
  int valid = o->valid;
  bool going = false;
  bool otherGoing = false;
  if (fair && o->tail > r->tail) {
    ++trailing;
    ++valid;
    if (trailing > run) run = trailing;
  }
  if (r->run != run) return r->run > run;
  going = r->trailing == r->run;
  otherGoing = trailing == run;
  if (going != otherGoing) return going;
  return r->valid > valid;
}

// Readings whose runs start at the same byte hand on the same packets.
static bool BeatsAll(const Reading* r, const Reading* readings, DWORD count, bool fair) {
  DWORD i;
  if (r->run == 0) return false;
  for (i = 0; i < count; ++i) {
    if (readings[i].run > 0 && readings[i].runStart == r->runStart) continue;
    if (!Beats(r, &readings[i], fair)) return false;
  }
  return true;
}

// Where a drain's start (or the place known before) vouches for a packet.
static bool IsPlaced(const KeyPacketDecoder* decoder, const Reading* r) {
  if (Bit(r->from) & (decoder->newest | decoder->restart)) return true;
  return r->from == 0 && decoder->keptContinues;
}

static void Take(KeyPacketDecoder* decoder, DWORD from, const PacketSink* sink);

static void Decide(KeyPacketDecoder* decoder, bool atLimit, const PacketSink* sink) {
  Reading readings[KEY_PACKET_UNDECIDED_LIMIT];
  DWORD count = 0;
  DWORD at;
  DWORD i;
  DWORD early;
  for (at = 0; at < decoder->count; ++at) {
    if (decoder->places & Bit(at)) Parse(decoder, at, &readings[count++]);
  }
  // The kept bytes make a bad packet: they continue nothing, and the drain
  // that showed it starts a packet as surely as any drain does.
  if (decoder->keptContinues && (decoder->places & 1)) {
    Reading kept;
    Parse(decoder, 0, &kept);
    if (kept.windows > 0 && !kept.firstGood) {
      decoder->keptContinues = 0;
      if (decoder->restart == 0) decoder->restart = decoder->newest;
    }
  }
  for (i = 0; i < count; ++i) {
    const Reading* r = &readings[i];
    bool allValid = r->windows > 0 && r->valid == r->windows;
    if (IsPlaced(decoder, r) && allValid && (r->tail == 0 || r->run >= 2) && BeatsAll(r, readings, count, false)) {
      Take(decoder, r->runStart, sink);
      return;
    }
  }
  for (i = 0; i < count; ++i) {
    if (readings[i].run >= 2 && BeatsAll(&readings[i], readings, count, true)) {
      Take(decoder, readings[i].runStart, sink);
      return;
    }
  }
  if (!atLimit) return;  // later bytes decide
  // Nothing decided within the limit: the oldest bytes go, every place
  // moving on by a packet.
  early = decoder->places & FIRST_FOUR_PLACES;
  DropFront(decoder, KEY_PACKET_SIZE);
  decoder->places |= early;
  decoder->keptContinues = 0;
  decoder->keptFragment = 0;
}

// The reading whose run starts at `from` wins.
static void Take(KeyPacketDecoder* decoder, DWORD from, const PacketSink* sink) {
  DWORD handedTo = 0;
  DWORD at;
  DWORD next;
  int newest = BitPosition(decoder->newest);
  // Before the run, packets that stand although stray bytes came after
  // them: the kept bytes' own, while valid, and those drains brought whole
  // at their very start.
  if (decoder->keptFragment) {
    at = 0;
    for (;;) {
      while (at < from && decoder->bytes[at] == KEY_PACKET_FILLER) ++at;
      if (at + KEY_PACKET_SIZE > from || !KeyLikeAt(decoder, at)) break;
      Hand(decoder, at, sink);
      at += KEY_PACKET_SIZE;
      handedTo = at;
    }
  }
  for (at = 0; at < from; ++at) {
    if ((decoder->drainStarts & Bit(at)) == 0) continue;
    next = at + 1;
    while (next < decoder->count && (decoder->drainStarts & Bit(next)) == 0) ++next;
    if (at < handedTo || at + KEY_PACKET_SIZE > from || at + KEY_PACKET_SIZE > next) continue;
    if (decoder->bytes[at] == KEY_PACKET_FILLER || !KeyLikeAt(decoder, at)) continue;
    Hand(decoder, at, sink);
    handedTo = at + KEY_PACKET_SIZE;
  }
  // The run and what follows it, framed in place.
  at = from;
  for (;;) {
    while (at < decoder->count && decoder->bytes[at] == KEY_PACKET_FILLER) ++at;
    if (decoder->count - at < KEY_PACKET_SIZE) break;
    if (!ValidAt(decoder, at)) {
      int inside = newest - static_cast<int>(at);
      DropFront(decoder, at);
      PutInDoubt(decoder, inside > 0 && inside < static_cast<int>(KEY_PACKET_SIZE) ? inside : -1);
      return;
    }
    Hand(decoder, at, sink);
    at += KEY_PACKET_SIZE;
  }
  // A partial packet is left, its place known.
  DropFront(decoder, at);
  decoder->tailStarts = decoder->drainStarts & ~static_cast<DWORD>(1) & (Bit(decoder->count) - 1);
  newest = BitPosition(decoder->newest);
  decoder->drainStartInPacket = static_cast<BYTE>(newest > 0 ? newest : 0);
  ForgetPlaces(decoder);
}

static void Push(KeyPacketDecoder* decoder, BYTE byte, const PacketSink* sink) {
  if (decoder->count == 0 && byte == KEY_PACKET_FILLER) return;  // filler where a packet would start
  decoder->bytes[decoder->count++] = byte;
  if (decoder->undecided) {
    if (decoder->count == KEY_PACKET_UNDECIDED_LIMIT) Decide(decoder, true, sink);
    return;
  }
  if (decoder->count < KEY_PACKET_SIZE) return;
  decoder->tailStarts = 0;
  if (ValidAt(decoder, 0)) {
    Hand(decoder, 0, sink);
    decoder->count = 0;
    decoder->drainStartInPacket = 0;  // this drain started before the next packet
    return;
  }
  PutInDoubt(decoder, decoder->drainStartInPacket > 0 ? decoder->drainStartInPacket : -1);
}

void DrainKeyPacketBytes(KeyPacketDecoder* decoder, KeyPacketByteReader read, void* source,
                         KeyPacketReceiver receiver, void* context) {
  PacketSink sink = {receiver, context};
  DWORD starts;
  decoder->tailStarts = 0;
  if (!decoder->undecided) {
    decoder->drainStartInPacket = static_cast<BYTE>(decoder->count);
  } else if (decoder->count < KEY_PACKET_UNDECIDED_LIMIT) {
    decoder->newest = Bit(decoder->count);
    decoder->places |= decoder->newest;
    decoder->drainStarts |= decoder->newest;
  }

  for (;;) {
    // A key code alone, then the rest of its packet; while the place is in
    // doubt, up to three bytes at a time within the limit.
    BYTE chunk[3] = {0};
    DWORD want = 3;
    DWORD got;
    DWORD i;
    if (!decoder->undecided) {
      want = decoder->count == 0 ? 1 : KEY_PACKET_SIZE - decoder->count;
    } else if (KEY_PACKET_UNDECIDED_LIMIT - decoder->count < want) {
      want = KEY_PACKET_UNDECIDED_LIMIT - decoder->count;
    }
    got = read(source, chunk, want);
    if (got == 0 || got > want) break;
    for (i = 0; i < got; ++i) Push(decoder, chunk[i], &sink);
  }

  if (decoder->undecided && decoder->count >= KEY_PACKET_SIZE) Decide(decoder, false, &sink);
  if (!decoder->undecided && decoder->count > 0) {
    // The drain ended inside a packet: the bytes are kept, their place in
    // doubt; they may continue the place known so far.
    starts = decoder->tailStarts;
    ForgetPlaces(decoder);
    decoder->undecided = 1;
    decoder->keptContinues = 1;
    decoder->keptFragment = 1;
    decoder->places = 1 | starts;
    decoder->drainStarts = starts;
  }
}
