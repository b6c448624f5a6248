// A model of the infrared line for measuring decoders: typed text turned
// into key events with a person's timing, the adapter's packets on a
// 9600 bit/s wire, faults on the line, and the reads a reader makes of it.
// Then what a decoder made of those reads, scored against what was sent.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace line {

// 10 bits a byte at 9600 bit/s, in milliseconds.
constexpr double kByteMs = 10.0 / 9.6;

struct Packet {
  uint8_t key, scan, flags, check;
  bool operator==(const Packet& other) const {
    return key == other.key && scan == other.scan && flags == other.flags && check == other.check;
  }
};

// What arrives at the handheld: each byte with when its stop bit ends and
// which packet it belongs to (-1: a stray byte).
struct Byte {
  double at;
  uint8_t value;
  long packet;
};

struct Line {
  std::vector<Byte> bytes;
  std::vector<bool> intact;  // of each packet: all four bytes arrived
};

struct Reads {
  std::vector<std::vector<uint8_t>> bytes;  // of each read
  std::vector<long> completes;             // of each intact packet: the read with its last byte; -1 if damaged
};

enum class Fault { None, Loss01, Loss1, Stray1, Burst1 };
enum class Delivery { Whole, Bytewise, Late };

const char* FaultName(Fault fault);
const char* DeliveryName(Delivery delivery);

struct KeyEvent {
  double at;  // ms
  Packet packet;
};

// The keys a person typed: `keys` keys of English-like text (each a press
// and a release, Shift a key of its own around shifted characters), held
// 40-150 ms, 30-300 ms between keys, one key in ten pressed 5-20 ms after
// the one before while that one is still down. In time order.
std::vector<KeyEvent> TypeText(size_t keys, uint32_t seed);

// The packets on the wire, each starting when its event happens or when the
// line is free, the fault applied, bytes as they arrive.
Line PutOnLine(const std::vector<KeyEvent>& events, Fault fault, uint32_t seed);

// The reads a reader makes of those bytes: the bytes of each read, in order.
// whole: a read whenever the line has been quiet for three byte times;
// byte: a read per byte; late: a read 0-1 ms after the first new byte seven
// times in ten, otherwise after an exponentially distributed delay with a
// 40 ms mean, taking every byte arrived by then.
Reads Read(const Line& line, Delivery delivery, uint32_t seed);

// A decoder under test: it is handed one read's bytes at a time and calls
// `deliver` for each packet it hands on.
using Deliver = std::function<void(const Packet&)>;
using DrainRead = std::function<void(const std::vector<uint8_t>& read, const Deliver& deliver)>;

struct Score {
  size_t sent = 0;
  size_t lost = 0;      // sent key events never delivered
  size_t invented = 0;  // delivered packets nobody sent
  // Delivered presses with no release of the same key before that key is
  // pressed again or the text ends; not counted: a press whose release was
  // damaged on the line, which no decoder could have handed on.
  size_t stuck = 0;
  size_t held = 0;      // delivered after the read that completed the packet after them
  std::vector<Packet> delivered;
};

// Runs a decoder over the reads and scores what it delivered.
Score Run(const std::vector<KeyEvent>& sent, const Line& line, const Reads& reads, const DrainRead& drain);

}  // namespace line
