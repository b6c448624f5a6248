#include "reference_decoders.h"

#include <algorithm>

namespace reference {

namespace {

const uint8_t kFiller = 0xFF;

bool Valid(const uint8_t* p) {
  uint8_t x = static_cast<uint8_t>(p[0] ^ p[1] ^ p[2]);
  return x != 0xFF && x == p[3];
}

line::Packet At(const uint8_t* p) { return line::Packet{p[0], p[1], p[2], p[3]}; }

// A read handed over in the decoder's pattern: requests of up to `count`
// bytes, each returning what is left of the read.
struct ReadSource {
  const std::vector<uint8_t>& bytes;
  size_t at = 0;
  uint32_t Take(uint8_t* buffer, uint32_t count) {
    uint32_t n = 0;
    while (n < count && at < bytes.size()) buffer[n++] = bytes[at++];
    return n;
  }
};

}  // namespace

void NoState::Drain(const std::vector<uint8_t>& read, const line::Deliver& deliver) {
  ReadSource source{read};
  for (;;) {
    uint8_t packet[4];
    if (source.Take(packet, 1) == 0) return;
    if (packet[0] == kFiller) continue;
    uint32_t got = source.Take(packet + 1, 3);
    if (got == 0) return;
    if (got < 3) continue;
    if (Valid(packet)) deliver(At(packet));
  }
}

// The program's decoder before this change, line for line.
void Todays::Drain(const std::vector<uint8_t>& read, const line::Deliver& deliver) {
  ReadSource source{read};
  uint32_t carried = count_;
  for (;;) {
    if (count_ == 0) {
      uint8_t keyCode = 0;
      if (source.Take(&keyCode, 1) == 0) return;
      if (keyCode == kFiller) continue;
      bytes_[0] = keyCode;
      count_ = 1;
    }
    count_ += source.Take(bytes_ + count_, 4 - count_);
    if (count_ < 4) return;
    bool valid = Valid(bytes_);
    bool repeatsFirstHalf = bytes_[2] == bytes_[0] && bytes_[3] == bytes_[1];
    if (carried != 0 && (!valid || repeatsFirstHalf)) {
      uint32_t kept = 0;
      for (uint32_t i = carried; i < count_; ++i) {
        if (kept == 0 && bytes_[i] == kFiller) continue;
        bytes_[kept++] = bytes_[i];
      }
      count_ = kept;
      carried = 0;
      continue;
    }
    carried = 0;
    count_ = 0;
    if (valid) deliver(At(bytes_));
  }
}

void DropOnTie::Drain(const std::vector<uint8_t>& read, const line::Deliver& deliver) {
  if (!places_.empty() && bytes_.size() < 16) places_.push_back(bytes_.size());
  for (uint8_t byte : read) {
    if (bytes_.empty() && byte == kFiller) continue;
    bytes_.push_back(byte);
    if (places_.empty()) {
      if (bytes_.size() == 4) Frame(deliver);
    } else if (bytes_.size() == 16) {
      Decide(true, deliver);
    }
  }
  if (!places_.empty() && bytes_.size() >= 4) Decide(false, deliver);
  if (places_.empty() && !bytes_.empty()) places_.push_back(0);
}

void DropOnTie::Frame(const line::Deliver& deliver) {
  if (Valid(bytes_.data())) deliver(At(bytes_.data()));
  bytes_.clear();
}

void DropOnTie::Decide(bool atLimit, const line::Deliver& deliver) {
  size_t best = 0;
  long latest = -1;
  bool open = false;
  for (size_t from : places_) {
    size_t valid = 0, windows = 0;
    long first = -1;
    for (size_t at = from;; at += 4) {
      while (at < bytes_.size() && bytes_[at] == kFiller) ++at;
      if (at >= bytes_.size() || bytes_.size() - at < 4) break;
      ++windows;
      if (Valid(&bytes_[at])) {
        if (first < 0) first = static_cast<long>(at);
        ++valid;
      }
    }
    open |= windows == 0;
    if (valid > best) {
      best = valid;
      latest = first;
    } else if (valid == best && valid > 0) {
      latest = std::max(latest, first);
    }
  }
  if (best == 0) {
    if (open && !atLimit) return;
    size_t newest = 0;
    for (size_t from : places_) newest = std::max(newest, from);
    return Take(newest, deliver);
  }
  Take(static_cast<size_t>(latest), deliver);
}

void DropOnTie::Take(size_t from, const line::Deliver& deliver) {
  std::vector<uint8_t> rest(bytes_.begin() + static_cast<long>(from), bytes_.end());
  bytes_.clear();
  places_.clear();
  for (uint8_t byte : rest) {
    if (bytes_.empty() && byte == kFiller) continue;
    bytes_.push_back(byte);
    if (bytes_.size() == 4) Frame(deliver);
  }
}

void Sliding::Drain(const std::vector<uint8_t>& read, const line::Deliver& deliver) {
  pending_.insert(pending_.end(), read.begin(), read.end());
  size_t at = 0;
  for (;;) {
    while (at < pending_.size() && pending_[at] == kFiller) ++at;
    size_t left = pending_.size() - at;
    if (left < 4) break;
    if (trusted_) {
      if (Valid(&pending_[at])) {
        deliver(At(&pending_[at]));
        at += 4;
      } else {
        trusted_ = false;  // hunt from the next byte
        ++at;
      }
      continue;
    }
    if (!Valid(&pending_[at])) {
      ++at;
      continue;
    }
    // A valid packet while hunting: trusted once the next one agrees.
    size_t second = at + 4;
    while (second < pending_.size() && pending_[second] == kFiller) ++second;
    if (pending_.size() - second < 4) break;
    if (!Valid(&pending_[second])) {
      ++at;
      continue;
    }
    deliver(At(&pending_[at]));
    deliver(At(&pending_[second]));
    at = second + 4;
    trusted_ = true;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(at));
}

}  // namespace reference
