#include "line_model.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "key_encoder.h"

namespace line {

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::None:
      return "none";
    case Fault::Loss01:
      return "0.1 % bytes lost";
    case Fault::Loss1:
      return "1 % bytes lost";
    case Fault::Stray1:
      return "1 % stray byte";
    case Fault::Burst1:
      return "1 % burst 1-7";
  }
  return "?";
}

const char* DeliveryName(Delivery delivery) {
  switch (delivery) {
    case Delivery::Whole:
      return "whole";
    case Delivery::Bytewise:
      return "byte";
    case Delivery::Late:
      return "late";
  }
  return "?";
}

namespace {

// Common English words with a few names, digits and punctuation: doubled
// letters, capitals (Shift) and the same key twice in a row all occur.
const char* const kWords[] = {
    "the",     "of",     "and",    "to",     "in",      "is",     "you",    "that",   "it",     "he",
    "was",     "for",    "on",     "are",    "as",      "with",   "his",    "they",   "at",     "be",
    "this",    "have",   "from",   "or",     "one",     "had",    "by",     "word",   "but",    "not",
    "what",    "all",    "were",   "we",     "when",    "your",   "can",    "said",   "there",  "use",
    "each",    "which",  "she",    "do",     "how",     "their",  "if",     "will",   "up",     "other",
    "about",   "out",    "many",   "then",   "them",    "these",  "so",     "some",   "her",    "would",
    "make",    "like",   "him",    "into",   "time",    "has",    "look",   "two",    "more",   "write",
    "go",      "see",    "number", "no",     "way",     "could",  "people", "my",     "than",   "first",
    "water",   "been",   "call",   "who",    "oil",     "its",    "now",    "find",   "long",   "down",
    "day",     "did",    "get",    "come",   "made",    "may",    "part",   "letter", "little", "all",
    "meeting", "tomorrow", "address", "will", "small",  "keyboard", "pocket", "still", "issue", "Hello",
    "London",  "Nuvik",  "IR",     "CE",     "3.0",     "2002",   "9600",   "10:30",  "e-mail", "(see",
    "below)",  "don't",  "it's",   "O'Neill", "#42",    "$15",    "50%",    "a/b",    "x=1;",   "OK!",
};

Packet KeyPacket(uint8_t vk, uint8_t scan, bool released) {
  adapter::Packet p = adapter::MakeKeyEventPacket(vk, scan, released ? adapter::kFlagReleased : 0);
  return Packet{p.key, p.scan, p.flags, p.check};
}

std::string MakeText(size_t characters, std::mt19937& random) {
  std::string text;
  std::uniform_int_distribution<size_t> word(0, sizeof(kWords) / sizeof(kWords[0]) - 1);
  std::uniform_int_distribution<int> sentence(4, 14);
  while (text.size() < characters) {
    int words = sentence(random);
    for (int i = 0; i < words; ++i) {
      std::string w = kWords[word(random)];
      if (i == 0 && w[0] >= 'a' && w[0] <= 'z') w[0] = static_cast<char>(w[0] - 'a' + 'A');
      text += w;
      if (i + 1 < words) text += (random() % 9 == 0) ? ", " : " ";
    }
    text += (random() % 6 == 0) ? "?\n" : ". ";
  }
  return text;
}

}  // namespace

std::vector<KeyEvent> TypeText(size_t keys, uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> hold(40, 150), gap(30, 300), roll(5, 20), shiftAfter(10, 60);
  std::bernoulli_distribution rolled(0.1);
  std::vector<KeyEvent> events;
  double lastPress = 0, lastRelease = 0;
  size_t typed = 0;
  bool lastShifted = true;
  double upAt[256] = {};  // when each key was last released
  while (typed < keys) {
    std::string text = MakeText(4096, random);
    for (char c : text) {
      if (typed >= keys) break;
      adapter::UsKey key;
      if (!adapter::LookupUsKey(static_cast<unsigned char>(c), &key)) continue;
      // One key in ten goes down before the last one is up; a key that is
      // still down itself cannot.
      double press = lastPress + roll(random);
      if (key.shift || lastShifted || typed == 0 || !rolled(random) || press <= upAt[key.vk]) {
        press = lastRelease + gap(random);
      }
      double release;
      if (key.shift) {
        // Shift goes down first and comes up after the key it shifts.
        double keyPress = press + gap(random);
        double keyRelease = keyPress + hold(random);
        release = keyRelease + shiftAfter(random);
        events.push_back({press, KeyPacket(adapter::kVkShift, adapter::kScanLeftShift, false)});
        events.push_back({keyPress, KeyPacket(key.vk, key.scan, false)});
        events.push_back({keyRelease, KeyPacket(key.vk, key.scan, true)});
        events.push_back({release, KeyPacket(adapter::kVkShift, adapter::kScanLeftShift, true)});
        typed += 2;
        lastPress = keyPress;
        upAt[key.vk] = keyRelease;
        upAt[adapter::kVkShift] = release;
      } else {
        release = press + hold(random);
        events.push_back({press, KeyPacket(key.vk, key.scan, false)});
        events.push_back({release, KeyPacket(key.vk, key.scan, true)});
        typed += 1;
        lastPress = press;
        upAt[key.vk] = release;
      }
      lastRelease = std::max(lastRelease, release);
      lastShifted = key.shift;
    }
  }
  // Stable: a press and a release at the same moment keep their order.
  std::stable_sort(events.begin(), events.end(), [](const KeyEvent& a, const KeyEvent& b) { return a.at < b.at; });
  return events;
}

Line PutOnLine(const std::vector<KeyEvent>& events, Fault fault, uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> unit(0, 1);
  std::uniform_int_distribution<int> anyByte(0, 255), burstLength(1, 7);
  double lossRate = fault == Fault::Loss01 ? 0.001 : fault == Fault::Loss1 ? 0.01 : 0;
  Line line;
  line.intact.assign(events.size(), true);
  double free = 0;  // when the line can start the next byte
  auto send = [&](uint8_t value, long packet) {
    double at = free + kByteMs;
    free = at;
    if (lossRate > 0 && unit(random) < lossRate) {
      if (packet >= 0) line.intact[static_cast<size_t>(packet)] = false;
      return;
    }
    line.bytes.push_back({at, value, packet});
  };
  for (size_t i = 0; i < events.size(); ++i) {
    free = std::max(free, events[i].at);
    const Packet& p = events[i].packet;
    long packet = static_cast<long>(i);
    for (uint8_t value : {p.key, p.scan, p.flags, p.check}) send(value, packet);
    if ((fault == Fault::Stray1 || fault == Fault::Burst1) && unit(random) < 0.01) {
      int count = fault == Fault::Stray1 ? 1 : burstLength(random);
      for (int j = 0; j < count; ++j) send(static_cast<uint8_t>(anyByte(random)), -1);
    }
  }
  return line;
}

Reads Read(const Line& line, Delivery delivery, uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> soon(0, 1);
  std::bernoulli_distribution onTime(0.7);
  std::exponential_distribution<double> late(1.0 / 40);
  const std::vector<Byte>& bytes = line.bytes;
  Reads reads;
  reads.completes.assign(line.intact.size(), -1);
  size_t i = 0;
  while (i < bytes.size()) {
    // Up to which byte this read takes.
    size_t end = i + 1;
    switch (delivery) {
      case Delivery::Whole:
        while (end < bytes.size() && bytes[end].at - bytes[end - 1].at < 3 * kByteMs) ++end;
        break;
      case Delivery::Bytewise:
        break;
      case Delivery::Late: {
        double at = bytes[i].at + (onTime(random) ? soon(random) : late(random));
        while (end < bytes.size() && bytes[end].at <= at) ++end;
        break;
      }
    }
    std::vector<uint8_t> read;
    for (; i < end; ++i) {
      read.push_back(bytes[i].value);
      long packet = bytes[i].packet;
      if (packet >= 0 && line.intact[static_cast<size_t>(packet)]) {
        reads.completes[static_cast<size_t>(packet)] = static_cast<long>(reads.bytes.size());
      }
    }
    reads.bytes.push_back(read);
  }
  return reads;
}

Score Run(const std::vector<KeyEvent>& sent, const Line& line, const Reads& reads, const DrainRead& drain) {
  std::vector<std::pair<Packet, long>> delivered;
  for (size_t r = 0; r < reads.bytes.size(); ++r) {
    long read = static_cast<long>(r);
    drain(reads.bytes[r], [&](const Packet& p) { delivered.push_back({p, read}); });
  }

  Score score;
  score.sent = sent.size();
  // Delivered packets keep the order they were sent in, so each is matched
  // to the first equal packet not yet matched within a few packets ahead;
  // one that matches none was invented.
  const size_t kLookAhead = 12;
  std::vector<long> matched;  // of each delivered packet: the sent packet, or -1
  size_t next = 0;
  for (const auto& [packet, read] : delivered) {
    score.delivered.push_back(packet);
    size_t found = next;
    while (found < sent.size() && found < next + kLookAhead && !(sent[found].packet == packet)) ++found;
    if (found >= sent.size() || found >= next + kLookAhead) {
      ++score.invented;
      matched.push_back(-1);
      continue;
    }
    matched.push_back(static_cast<long>(found));
    score.lost += found - next;
    next = found + 1;
    // Held: handed on only after the read that completed the packet after it.
    if (next < sent.size() && reads.completes[next] >= 0 && read > reads.completes[next]) ++score.held;
  }
  score.lost += sent.size() - next;

  // For each press sent, whether its release reached the handheld intact.
  std::vector<bool> releaseIntact(sent.size(), false);
  for (size_t j = 0; j < sent.size(); ++j) {
    if (sent[j].packet.flags & 0x80) continue;
    for (size_t k = j + 1; k < sent.size(); ++k) {
      const Packet& p = sent[k].packet;
      if (p.key == sent[j].packet.key && (p.flags & 0x80)) {
        releaseIntact[j] = line.intact[k];
        break;
      }
    }
  }
  // Stuck: a press with no release of the same key before that key is
  // pressed again, or before the end; a press whose release was damaged on
  // the line is not the decoder's doing.
  long downBy[256];
  std::fill(downBy, downBy + 256, -2);  // -2: up; -1: an invented press; else the sent press
  auto leftDown = [&](long by) { return by == -1 || (by >= 0 && releaseIntact[static_cast<size_t>(by)]); };
  for (size_t d = 0; d < score.delivered.size(); ++d) {
    const Packet& p = score.delivered[d];
    if (p.flags & 0x80) {
      downBy[p.key] = -2;
      continue;
    }
    if (downBy[p.key] != -2 && leftDown(downBy[p.key])) ++score.stuck;
    downBy[p.key] = matched[d];
  }
  for (long by : downBy) score.stuck += by != -2 && leftDown(by);
  return score;
}

}  // namespace line
