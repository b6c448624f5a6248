// Decoders the program's is measured against, kept here and nowhere else:
// they are yardsticks, not candidates for the handheld.
#pragma once

#include <cstdint>
#include <vector>

#include "line_model.h"

namespace reference {

// Keeps nothing between reads: a packet split over two reads is lost, and
// its tail is read as the start of a new packet.
class NoState {
 public:
  void Drain(const std::vector<uint8_t>& read, const line::Deliver& deliver);
};

// The rule the program had before this change, as it was: the bytes of a
// packet cut short by the end of a read are kept, and the next read's bytes
// complete them whenever that makes a valid packet (unless the completion
// repeats the fragment's first two bytes); otherwise the fragment is
// dropped and the new bytes start a packet.
class Todays {
 public:
  void Drain(const std::vector<uint8_t>& read, const line::Deliver& deliver);

 private:
  uint8_t bytes_[4] = {};
  uint32_t count_ = 0;
};

// The bytes of a packet cut short by the end of a read are a fragment whose
// place the following bytes decide: what is waiting is parsed from the
// fragment's start and from the start of every read since (packets framed
// in place, no sliding), and the reading with the most valid packets wins;
// on a tie the one that starts latest wins at once (the fragment dropped).
// Undecided bytes are bounded at 16.
class DropOnTie {
 public:
  void Drain(const std::vector<uint8_t>& read, const line::Deliver& deliver);

 private:
  void Frame(const line::Deliver& deliver);
  void Decide(bool atLimit, const line::Deliver& deliver);
  void Take(size_t from, const line::Deliver& deliver);
  std::vector<uint8_t> bytes_;
  std::vector<size_t> places_;  // empty: the place is known
};

// Slides one byte at a time to find packets again after a bad one, and
// trusts a new place only once two valid packets in a row start there (the
// reference decoder of the black-box runs). Bytes cut short by the end of a
// read are completed by the next read at the trusted place.
class Sliding {
 public:
  void Drain(const std::vector<uint8_t>& read, const line::Deliver& deliver);

 private:
  std::vector<uint8_t> pending_;
  bool trusted_ = true;
};

}  // namespace reference
