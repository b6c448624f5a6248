// A reference model of how received bytes become key packets, written from
// the packet rules with plain containers: the packet path fuzzer checks the
// program's decoder against it, and the line-conditions benchmark runs it.
//
// The rules, one drain (one read of all the port holds) at a time:
// - While the place where packets start is known, packets are framed in
//   place: 0xFF where a packet would start is filler and skipped; every
//   other byte starts a 4-byte packet, handed on when its check byte agrees
//   (a check of 0xFF never does).
// - The place is in doubt when a drain ends inside a packet (the bytes may
//   start a packet the next drain completes, or be what is left of a damaged
//   one), when a packet is bad (a byte was lost, or came that nobody sent),
//   and when the port has just been opened (most likely between packets,
//   but the first bytes may be the tail of one that was on the wire during
//   the open). Then bytes wait, at most kLimit of them, and are read from
//   every place a packet could start: the start of the kept bytes (or of
//   the port's first bytes), the four places after a bad packet's first
//   byte (or after an open), and the start of every drain since.
// - Each reading frames packets in place from where it starts; in doubt, a
//   packet counts only if a keyboard could have sent it (key code not 0,
//   scan code 1 to 0x7F). A reading beats another with a longer run of
//   such packets in a row; on equal runs, with its run still going; then
//   with more of them. Readings whose runs start at the same byte hand on
//   the same packets and are one.
// - At the end of each drain, and when the limit is reached, a reading wins
//   - when it starts where the newest drain started, or at place 0 while
//     the kept bytes (or the port's first) may continue the place known
//     before, or where a drain started inside the bad packet that put the
//     place in doubt (or, when the kept bytes make a bad packet, where the
//     drain that showed it started), all its packets count, the last ends
//     where the bytes end or it has two in a row, and it beats every other;
//     or
//   - when it has two in a row and beats every other, each other reading
//     that has begun a packet ending less than a packet after its last one
//     being given that packet (it has not come as far).
//   Before the winner's run, the kept bytes' own packets (while they count)
//   and the packets drains brought whole at their very start are handed on
//   first (stray bytes came after them); then the winner's run and what
//   follows it are framed in place, and a bad packet there puts the place
//   in doubt again.
// - When the limit is reached and no reading wins, the oldest four bytes are
//   dropped: every place moves on by a packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace model {

struct Packet {
  uint8_t key, scan, flags, check;
};

inline bool Valid(const uint8_t* p) {
  uint8_t x = static_cast<uint8_t>(p[0] ^ p[1] ^ p[2]);
  return x != 0xFF && x == p[3];
}

// Whether a packet could come from a keyboard: a virtual-key code (never 0)
// and a set-1 scan code (1 to 0x7F; 0x80 and above are release codes, which
// the adapter says with its flags instead). Four bytes that straddle two
// packets of the same key pass the check byte with 0x00 or 0x80 where the
// scan code goes (the flags byte) or the key code goes.
inline bool KeyLike(const uint8_t* p) { return p[0] != 0 && p[1] != 0 && p[1] < 0x80; }

class Decoder {
 public:
  static const int kLimit = 32;
  using Deliver = std::function<void(const Packet&)>;

  // The port has just been opened: packets most likely start with its first
  // byte, but it may be the tail of a packet that was on the wire during the
  // open.
  void Open() {
    bytes_.clear();
    Clear();
    undecided_ = true;
    keptContinues_ = true;
    for (int at = 0; at < 4; ++at) place_[at] = true;
  }

  void Drain(const std::vector<uint8_t>& read, const Deliver& deliver) {
    deliver_ = &deliver;
    tailStarts_.clear();
    if (!undecided_) {
      drainStartInPacket_ = Count();
    } else if (Count() < kLimit) {
      newest_ = Count();
      place_[Count()] = drainStart_[Count()] = true;
    }
    for (uint8_t byte : read) Push(byte);
    if (undecided_ && Count() >= 4) Decide(false);
    if (!undecided_ && Count() > 0) {
      // The drain ended inside a packet: the bytes are kept, their place in
      // doubt; they may continue the place known so far.
      std::vector<int> starts = tailStarts_;
      Clear();
      undecided_ = true;
      keptContinues_ = true;
      keptFragment_ = true;
      place_[0] = true;
      for (int at : starts) place_[at] = drainStart_[at] = true;
    }
    deliver_ = nullptr;
  }

  bool Undecided() const { return undecided_; }
  int Waiting() const { return Count(); }

 private:
  struct Reading {
    int from = 0;
    int valid = 0;
    int windows = 0;  // complete packets, valid or not
    bool firstGood = false;
    int run = 0;        // the most valid packets in a row
    int runStart = -1;  // where the first such run starts
    int trailing = 0;   // valid packets in a row at its end
    int tail = 0;       // bytes after its last complete packet
  };

  int Count() const { return static_cast<int>(bytes_.size()); }
  const uint8_t* At(int at) const { return &bytes_[static_cast<size_t>(at)]; }

  // Forgets every place; the place is known.
  void Clear() {
    keptFragment_ = false;
    undecided_ = false;
    keptContinues_ = false;
    restart_ = -1;
    newest_ = -1;
    for (int at = 0; at < kLimit; ++at) place_[at] = drainStart_[at] = false;
  }

  void Push(uint8_t byte) {
    if (bytes_.empty() && byte == 0xFF) return;  // filler where a packet would start
    bytes_.push_back(byte);
    if (!undecided_ && Count() == 4) {
      tailStarts_.clear();
      if (Valid(At(0))) {
        Hand(0);
        bytes_.clear();
        drainStartInPacket_ = 0;  // the drain started before the next packet
      } else {
        // Where this drain started inside the bad packet, if it did.
        Bad(drainStartInPacket_ > 0 ? drainStartInPacket_ : -1);
      }
    } else if (undecided_ && Count() == kLimit) {
      Decide(true);
    }
  }

  void Hand(int at) {
    const uint8_t* p = At(at);
    (*deliver_)(Packet{p[0], p[1], p[2], p[3]});
  }

  // Drops the first `count` bytes; the places marked move with them.
  void DropFront(int count) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + count);
    for (int at = 0; at < kLimit; ++at) {
      bool inside = at + count < kLimit;
      place_[at] = inside && place_[at + count];
      drainStart_[at] = inside && drainStart_[at + count];
    }
    newest_ = newest_ >= count ? newest_ - count : -1;
    restart_ = restart_ >= count ? restart_ - count : -1;
  }

  // The bytes start with a bad packet; `restart` is where within it a
  // drain started, if one did (1 to 3). A packet may start at any of its
  // last three bytes, or after it where a drain started.
  void Bad(int restart) {
    DropFront(1);
    if (restart > 0) --restart;
    while (!bytes_.empty() && bytes_[0] == 0xFF) {
      DropFront(1);
      if (restart > 0) --restart;
    }
    undecided_ = true;
    keptContinues_ = false;
    keptFragment_ = false;
    restart_ = restart;
    for (int at = 0; at < kLimit; ++at) place_[at] = drainStart_[at] || at < 4;
  }

  Reading Parse(int from) const {
    Reading r;
    r.from = from;
    int at = from;
    int start = from;
    for (;;) {
      while (at < Count() && *At(at) == 0xFF) ++at;
      if (Count() - at < 4) {
        r.tail = Count() - at;
        return r;
      }
      ++r.windows;
      const uint8_t* w = At(at);
      if (Valid(w) && KeyLike(w)) {
        if (r.windows == 1) r.firstGood = true;
        if (r.trailing == 0) start = at;
        ++r.trailing;
        ++r.valid;
        if (r.trailing > r.run) {
          r.run = r.trailing;
          r.runStart = start;
        }
      } else {
        r.trailing = 0;
      }
      at += 4;
    }
  }

  static bool Beats(const Reading& r, const Reading& o, bool fair) {
    int oRun = o.run, oTrailing = o.trailing, oValid = o.valid;
    if (fair && o.tail > r.tail) {
      ++oTrailing;
      ++oValid;
      if (oTrailing > oRun) oRun = oTrailing;
    }
    if (r.run != oRun) return r.run > oRun;
    bool rGoing = r.trailing == r.run, oGoing = oTrailing == oRun;
    if (rGoing != oGoing) return rGoing;
    return r.valid > oValid;
  }

  static bool BeatsAll(const Reading& r, const std::vector<Reading>& all, bool fair) {
    if (r.run == 0) return false;
    for (const Reading& o : all) {
      if (o.runStart == r.runStart) continue;  // the same packets
      if (!Beats(r, o, fair)) return false;
    }
    return true;
  }

  bool Placed(const Reading& r) const {
    return r.from == newest_ || (r.from == 0 && keptContinues_) || r.from == restart_;
  }

  void Decide(bool atLimit) {
    std::vector<Reading> readings;
    for (int at = 0; at < Count(); ++at) {
      if (place_[at]) readings.push_back(Parse(at));
    }
    // The kept bytes make a bad packet: they continue nothing, and the
    // drain that showed it starts a packet as surely as a drain can.
    if (keptContinues_ && place_[0] && readings[0].windows > 0 && !readings[0].firstGood) {
      keptContinues_ = false;
      if (restart_ < 0) restart_ = newest_;
    }
    for (const Reading& r : readings) {
      bool perfect = r.windows > 0 && r.valid == r.windows;
      if (Placed(r) && perfect && (r.tail == 0 || r.run >= 2) && BeatsAll(r, readings, false)) {
        return Take(r.runStart);
      }
    }
    for (const Reading& r : readings) {
      if (r.run >= 2 && BeatsAll(r, readings, true)) return Take(r.runStart);
    }
    if (!atLimit) return;  // later bytes decide
    // Nothing decided within the limit: the oldest bytes go, every place
    // moving on by a packet.
    bool early[4];
    for (int at = 0; at < 4; ++at) early[at] = place_[at];
    DropFront(4);
    for (int at = 0; at < 4; ++at) place_[at] = place_[at] || early[at];
    keptContinues_ = false;
    keptFragment_ = false;
  }

  // The reading whose run starts at `from` wins.
  void Take(int from) {
    // Before the winner's run, packets that stand although stray bytes came
    // after them: the kept bytes' own, while valid, and those drains
    // brought whole at their very start.
    int handedTo = 0;
    if (keptFragment_) {
      int at = 0;
      for (;;) {
        while (at < from && *At(at) == 0xFF) ++at;
        if (at + 4 > from || !Valid(At(at)) || !KeyLike(At(at))) break;
        Hand(at);
        at += 4;
        handedTo = at;
      }
    }
    for (int at = 0; at < from; ++at) {
      if (!drainStart_[at]) continue;
      int next = at + 1;
      while (next < Count() && !drainStart_[next]) ++next;
      if (at >= handedTo && at + 4 <= from && at + 4 <= next && *At(at) != 0xFF && Valid(At(at)) && KeyLike(At(at))) {
        Hand(at);
        handedTo = at + 4;
      }
    }
    // The winner's packets and what follows, framed in place.
    int at = from;
    for (;;) {
      while (at < Count() && *At(at) == 0xFF) ++at;
      if (Count() - at < 4) break;
      if (!Valid(At(at))) {
        int restart = newest_ > at && newest_ < at + 4 ? newest_ - at : -1;
        DropFront(at);
        Bad(restart);
        return;
      }
      Hand(at);
      at += 4;
    }
    // What is left is a partial packet, its place known.
    DropFront(at);
    tailStarts_.clear();
    for (int i = 1; i < Count(); ++i) {
      if (drainStart_[i]) tailStarts_.push_back(i);
    }
    drainStartInPacket_ = newest_ > 0 ? newest_ : 0;
    Clear();
  }

  const Deliver* deliver_ = nullptr;
  std::vector<uint8_t> bytes_;
  bool undecided_ = false;
  bool keptContinues_ = false;    // place 0 continues the place known before
  bool keptFragment_ = false;     // place 0 starts bytes kept when a drain ended inside a packet
  int restart_ = -1;              // a place where a drain started in a bad packet
  int newest_ = -1;               // where the newest drain started, if among the bytes
  bool place_[kLimit] = {};       // where a packet could start, while undecided
  bool drainStart_[kLimit] = {};  // where drains started, while undecided
  std::vector<int> tailStarts_;   // drain starts inside the partial packet left by a decision
  int drainStartInPacket_ = 0;    // while the place is known: where this drain's bytes start
};

}  // namespace model
