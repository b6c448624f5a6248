// The adapter simulator: what it puts on the wire for text, hex and single
// keys, how it refuses bad input, and that the bytes arrive untouched on a
// pseudo-terminal, both through the library and through the program itself.

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "key_encoder.h"
#include "process_harness.h"
#include "tty_writer.h"

extern char** environ;

namespace {

using adapter::Packet;
using Bytes = std::vector<std::uint8_t>;

struct Event {
  std::uint8_t vk;
  std::uint8_t scan;
  std::uint8_t flags;
};

constexpr std::uint8_t kUp = 0x80;
constexpr Event kShiftDown{0x10, 42, 0};
constexpr Event kShiftUp{0x10, 42, kUp};

// The packets the box sends for these key events: a check that would be FF,
// which the handheld refuses, is moved off by setting bit 0 of the flags.
std::vector<Packet> ToPackets(const std::vector<Event>& events) {
  std::vector<Packet> packets;
  for (const Event& e : events) {
    std::uint8_t flags = e.flags;
    if ((e.vk ^ e.scan ^ flags) == 0xFF) flags |= 0x01;
    packets.push_back(Packet{e.vk, e.scan, flags, static_cast<std::uint8_t>(e.vk ^ e.scan ^ flags)});
  }
  return packets;
}

Bytes ToBytes(const std::vector<Packet>& packets) {
  Bytes bytes;
  for (const Packet& p : packets) adapter::AppendBytes(p, &bytes);
  return bytes;
}

std::vector<Packet> Encode(const std::string& text) {
  std::vector<Packet> packets;
  std::string error;
  EXPECT_TRUE(adapter::EncodeText(text, &packets, &error)) << error;
  return packets;
}

// ---- Packets ---------------------------------------------------------------

TEST(AdapterPacket, PressAndReleaseOfAOnTheWire) {
  Bytes bytes;
  adapter::AppendBytes(adapter::MakePacket(0x41, 0x1E, 0x00), &bytes);
  adapter::AppendBytes(adapter::MakePacket(0x41, 0x1E, 0x80), &bytes);
  EXPECT_EQ(bytes, (Bytes{0x41, 0x1E, 0x00, 0x5F, 0x41, 0x1E, 0x80, 0xDF}));
}

TEST(AdapterPacket, AcceptsOnlyWhatTheHandheldTakes) {
  struct Case {
    Packet packet;
    bool accepted;
  } cases[] = {
      {{0x41, 0x1E, 0x00, 0x5F}, true},
      {{0x41, 0x1E, 0x00, 0x5E}, false},  // wrong check
      {{0xFF, 0x00, 0x00, 0xFF}, false},  // filler as key code
      {{0xF0, 0x0F, 0x00, 0xFF}, false},  // check FF is never taken
      {{0x25, 0x4B, 0x40, 0x2E}, true},   // extended left arrow
      {{0x4D, 0x32, 0x80, 0xFF}, false},  // M let go, as the flags say it
      {{0x4D, 0x32, 0x81, 0xFE}, true},   // ...and as the box sends it
  };
  for (const Case& c : cases) {
    EXPECT_EQ(adapter::IsAcceptable(c.packet), c.accepted)
        << int(c.packet.key) << " " << int(c.packet.scan) << " " << int(c.packet.flags);
  }
}

// Only the six low flag bits may change, and only when the check would be FF.
TEST(AdapterPacket, KeyEventsNeverCheckToFF) {
  struct Case {
    Event event;
    Packet sent;
  } cases[] = {
      {{0x41, 0x1E, 0x00}, {0x41, 0x1E, 0x00, 0x5F}},  // nothing to move
      {{0x4D, 0x32, 0x80}, {0x4D, 0x32, 0x81, 0xFE}},  // M released
      {{0x4E, 0x31, 0x80}, {0x4E, 0x31, 0x81, 0xFE}},  // N released
      {{0xF0, 0x0F, 0x00}, {0xF0, 0x0F, 0x01, 0xFE}},
      {{0xB1, 0x0F, 0x41}, {0xB1, 0x0F, 0x43, 0xFD}},  // bit 0 already set: bit 1
      {{0x00, 0x00, 0xFF}, {0x00, 0x00, 0xFE, 0xFE}},  // every spare bit set: bit 0 cleared
  };
  for (const Case& c : cases) {
    const Packet sent = adapter::MakeKeyEventPacket(c.event.vk, c.event.scan, c.event.flags);
    EXPECT_EQ(sent, c.sent) << std::hex << int(c.event.vk) << " " << int(c.event.scan) << " " << int(c.event.flags);
    EXPECT_TRUE(adapter::IsAcceptable(sent));
    EXPECT_EQ(sent.flags & 0xC0, c.event.flags & 0xC0) << "released and extended are kept";
  }
}

TEST(AdapterPacket, FramesRawBytesAsTheHandheldWould) {
  struct Case {
    Bytes bytes;
    std::size_t count;
  } cases[] = {
      {{0xFF, 0xFF, 0x41, 0x1E, 0x00, 0x5F}, 1},
      {{0x41, 0x1E, 0x00, 0x5E, 0x41, 0x1E, 0x00, 0x5F}, 2},  // a bad packet is still one
      {{0xFF, 0x41, 0x1E, 0x00, 0x5F, 0xFF, 0x42}, 1},        // short tail is none
      {{0x41, 0x1E, 0x00}, 0},
      {{0x41, 0xFF, 0xFF, 0x41}, 1},  // FF inside a packet is data
      {{}, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(adapter::CountFramedPackets(c.bytes.data(), c.bytes.size()), c.count);
  }
}

// ---- Text ------------------------------------------------------------------

TEST(AdapterText, EncodesKeyEventSequences) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<Event> events;
  } cases[] = {
      {"lower a", "a", {{0x41, 0x1E, 0}, {0x41, 0x1E, kUp}}},
      {"upper A", "A", {kShiftDown, {0x41, 0x1E, 0}, {0x41, 0x1E, kUp}, kShiftUp}},
      {"1!", "1!", {{0x31, 2, 0}, {0x31, 2, kUp}, kShiftDown, {0x31, 2, 0}, {0x31, 2, kUp}, kShiftUp}},
      {"newline", "\n", {{0x0D, 28, 0}, {0x0D, 28, kUp}}},
      {"carriage return", "\r", {{0x0D, 28, 0}, {0x0D, 28, kUp}}},
      {"CR LF is one Return", "\r\n", {{0x0D, 28, 0}, {0x0D, 28, kUp}}},
      {"LF CR is two", "\n\r", {{0x0D, 28, 0}, {0x0D, 28, kUp}, {0x0D, 28, 0}, {0x0D, 28, kUp}}},
      {"tab", "\t", {{0x09, 15, 0}, {0x09, 15, kUp}}},
      {"backspace", "\b", {{0x08, 14, 0}, {0x08, 14, kUp}}},
      {"space", " ", {{0x20, 57, 0}, {0x20, 57, kUp}}},
      {"comma", ",", {{0xBC, 51, 0}, {0xBC, 51, kUp}}},
      {"double quote", "\"", {kShiftDown, {0xDE, 40, 0}, {0xDE, 40, kUp}, kShiftUp}},
      {"empty", "", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Encode(c.text), ToPackets(c.events)) << c.name;
  }
}

// The expected keys come from the rows of a US keyboard, written out
// independently of the encoder's table.
TEST(AdapterText, EveryPrintableCharacterTypesItsUsKey) {
  struct Row {
    const char* plain;
    const char* shifted;
    std::vector<std::uint8_t> scans;
  } rows[] = {
      {"`1234567890-=", "~!@#$%^&*()_+", {41, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}},
      {"qwertyuiop[]\\", "QWERTYUIOP{}|", {16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 43}},
      {"asdfghjkl;'", "ASDFGHJKL:\"", {30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40}},
      {"zxcvbnm,./", "ZXCVBNM<>?", {44, 45, 46, 47, 48, 49, 50, 51, 52, 53}},
      {" ", "", {57}},
  };
  auto vk_of = [](char plain) -> std::uint8_t {
    if (plain >= 'a' && plain <= 'z') return static_cast<std::uint8_t>(plain - 'a' + 'A');
    if (plain >= '0' && plain <= '9') return static_cast<std::uint8_t>(plain);
    switch (plain) {
      case ' ': return 0x20;
      case ';': return 0xBA;
      case '=': return 0xBB;
      case ',': return 0xBC;
      case '-': return 0xBD;
      case '.': return 0xBE;
      case '/': return 0xBF;
      case '`': return 0xC0;
      case '[': return 0xDB;
      case '\\': return 0xDC;
      case ']': return 0xDD;
      case '\'': return 0xDE;
    }
    return 0;
  };
  std::string covered;
  for (const Row& row : rows) {
    ASSERT_EQ(std::strlen(row.plain), row.scans.size());
    for (std::size_t k = 0; k < row.scans.size(); ++k) {
      const std::uint8_t vk = vk_of(row.plain[k]);
      const std::uint8_t scan = row.scans[k];
      EXPECT_EQ(Encode(std::string(1, row.plain[k])),
                ToPackets({{vk, scan, 0}, {vk, scan, kUp}}))
          << "'" << row.plain[k] << "'";
      covered += row.plain[k];
      if (row.shifted[0] == '\0') continue;
      EXPECT_EQ(Encode(std::string(1, row.shifted[k])),
                ToPackets({kShiftDown, {vk, scan, 0}, {vk, scan, kUp}, kShiftUp}))
          << "'" << row.shifted[k] << "'";
      covered += row.shifted[k];
    }
  }
  for (char c = 0x20; c < 0x7F; ++c) {
    EXPECT_NE(covered.find(c), std::string::npos) << "'" << c << "' not checked";
  }
}

// Only the releases of M and N would check to FF; they go with bit 0 set.
TEST(AdapterText, EveryPacketChecksAndEveryKeyComesBackUp) {
  std::string all = "\t\n\r\b";
  for (char c = 0x20; c < 0x7F; ++c) all += c;
  const std::vector<Packet> packets = Encode(all);
  ASSERT_FALSE(packets.empty());
  int held[256] = {};
  std::vector<Packet> moved;
  for (const Packet& p : packets) {
    EXPECT_TRUE(adapter::IsAcceptable(p)) << std::hex << int(p.key) << " " << int(p.flags);
    if (p.flags & 0x01) moved.push_back(p);
    EXPECT_EQ(p.check, p.key ^ p.scan ^ p.flags);
    EXPECT_EQ(p.flags & ~(kUp | 0x01), 0) << "no extended keys in typed text";
    held[p.key] += (p.flags & kUp) ? -1 : 1;
    EXPECT_GE(held[p.key], 0);
    EXPECT_LE(held[p.key], 1);
  }
  for (int count : held) EXPECT_EQ(count, 0);
  // 'M', 'N', then 'm', 'n' in the order typed.
  const Event m_up{0x4D, 50, kUp | 0x01}, n_up{0x4E, 49, kUp | 0x01};
  EXPECT_EQ(moved, ToPackets({m_up, n_up, m_up, n_up}));
}

TEST(AdapterText, RefusesCharactersOutsideTheLayoutNamingThemAndWhere) {
  struct Case {
    std::string text;
    std::vector<std::string> in_error;
  } cases[] = {
      {"h\xC3\xA9llo", {"U+00E9", "\xC3\xA9", "position 2", "line 1, column 2"}},
      {"ab\x07", {"U+0007", "position 3"}},
      {"one\ntwo\x1B", {"U+001B", "position 8", "line 2, column 4"}},
      {"a\r\nb\x7F", {"U+007F", "position 5", "line 2, column 2"}},
      {std::string("x\0y", 3), {"U+0000", "position 2"}},
      {"\xE2\x82\xAC", {"U+20AC", "position 1"}},
      {"ok\xC3", {"0xC3", "not valid UTF-8", "position 3"}},
      {"\xC0\x80", {"0xC0", "not valid UTF-8"}},        // overlong NUL
      {"\xED\xA0\x80", {"0xED", "not valid UTF-8"}},    // surrogate
      {"\xF4\x90\x80\x80", {"0xF4", "not valid UTF-8"}},  // past U+10FFFF
  };
  for (const Case& c : cases) {
    std::vector<Packet> out = {adapter::MakePacket(1, 2, 3)};
    std::string error;
    EXPECT_FALSE(adapter::EncodeText(c.text, &out, &error)) << c.text;
    EXPECT_EQ(out.size(), 1u) << "nothing added on failure";
    for (const std::string& part : c.in_error) {
      EXPECT_NE(error.find(part), std::string::npos) << "'" << part << "' missing from: " << error;
    }
  }
}

// ---- Hex, keys, numbers ----------------------------------------------------

TEST(AdapterHex, ParsesSeparatedBytes) {
  struct Case {
    const char* text;
    Bytes bytes;
  } cases[] = {
      {"41 1E 00 5F", {0x41, 0x1E, 0x00, 0x5F}},
      {"41,1e,00,5f", {0x41, 0x1E, 0x00, 0x5F}},
      {"0x41, 0X1E", {0x41, 0x1E}},
      {"  41\t1E\n00 ,, 5F  ", {0x41, 0x1E, 0x00, 0x5F}},
      {"F 0 ff", {0x0F, 0x00, 0xFF}},
  };
  for (const Case& c : cases) {
    Bytes out;
    std::string error;
    EXPECT_TRUE(adapter::ParseHex(c.text, &out, &error)) << c.text << ": " << error;
    EXPECT_EQ(out, c.bytes) << c.text;
  }
}

TEST(AdapterHex, RefusesBadHexNamingTheByte) {
  struct Case {
    const char* text;
    const char* in_error;
  } cases[] = {
      {"", "no bytes"},          {" , ", "no bytes"},   {"41 4G", "'4G' (byte 2)"},
      {"411E", "'411E'"},        {"0x", "'0x'"},        {"41 -1", "'-1'"},
      {"41;1E", "'41;1E'"},      {"0x100", "'0x100'"},
  };
  for (const Case& c : cases) {
    Bytes out = {0xAA};
    std::string error;
    EXPECT_FALSE(adapter::ParseHex(c.text, &out, &error)) << c.text;
    EXPECT_EQ(out, Bytes{0xAA}) << c.text;
    EXPECT_NE(error.find(c.in_error), std::string::npos) << c.text << ": " << error;
  }
}

TEST(AdapterKey, ParsesKeySpecs) {
  struct Case {
    const char* argument;
    Event event;
  } cases[] = {
      {"41:1E", {0x41, 0x1E, 0x00}},      {"0D:1C:80", {0x0D, 0x1C, 0x80}},
      {"0x25:0x4B:40", {0x25, 0x4B, 0x40}}, {"25:4b:up+ext", {0x25, 0x4B, 0xC0}},
      {"25:4B:ext", {0x25, 0x4B, 0x40}},  {"41:1E:up", {0x41, 0x1E, 0x80}},
      {"41:1E:down", {0x41, 0x1E, 0x00}}, {"0:0:3", {0x00, 0x00, 0x03}},
      {"F0:0F", {0xF0, 0x0F, 0x00}},      {"4D:32:up", {0x4D, 0x32, 0x80}},  // goes as 4D 32 81 FE
      {"4D:32:80", {0x4D, 0x32, 0x81}},   {"B1:0F:41", {0xB1, 0x0F, 0x43}},
  };
  for (const Case& c : cases) {
    Packet out{};
    std::string error;
    EXPECT_TRUE(adapter::ParseKeyArgument(c.argument, &out, &error)) << c.argument << ": " << error;
    EXPECT_EQ(out, ToPackets({c.event})[0]) << c.argument;
  }
}

TEST(AdapterKey, RefusesBadSpecs) {
  struct Case {
    const char* argument;
    const char* in_error;
  } cases[] = {
      {"41", "VK:SCAN[:FLAGS]"},
      {"41:1E:00:00", "VK:SCAN[:FLAGS]"},
      {"", "VK:SCAN[:FLAGS]"},
      {"GG:1E", "key code 'GG'"},
      {"41::00", "scan code ''"},
      {"141:1E", "key code '141'"},
      {"41:1E:sideways", "flags 'sideways'"},
      {"41:1E:up+", "flags 'up+'"},
      {"FF:00", "filler"},
      {"ff:1E:80", "filler"},
  };
  for (const Case& c : cases) {
    Packet out = adapter::MakePacket(1, 2, 3);
    std::string error;
    EXPECT_FALSE(adapter::ParseKeyArgument(c.argument, &out, &error)) << c.argument;
    EXPECT_EQ(out, adapter::MakePacket(1, 2, 3)) << c.argument;
    EXPECT_NE(error.find(c.in_error), std::string::npos) << c.argument << ": " << error;
  }
}

TEST(AdapterNumber, ParsesWholeNumbersWithinRange) {
  struct Case {
    const char* text;
    unsigned long max;
    bool ok;
    unsigned long value;
  } cases[] = {
      {"0", 100, true, 0},          {"30", 100, true, 30},         {"100", 100, true, 100},
      {"101", 100, false, 0},       {"", 100, false, 0},           {"-1", 100, false, 0},
      {"1.5", 100, false, 0},       {" 5", 100, false, 0},         {"7", 5, false, 0},
      {"99999999999999999999999", 60000, false, 0},
  };
  for (const Case& c : cases) {
    unsigned long value = 12345;
    std::string error;
    EXPECT_EQ(adapter::ParseNumber(c.text, c.max, &value, &error), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    } else {
      EXPECT_EQ(value, 12345u) << c.text;
      EXPECT_NE(error.find("whole number"), std::string::npos) << error;
    }
  }
}

// ---- Pseudo-terminal -------------------------------------------------------

// A pseudo-terminal standing in for the infrared port. The test keeps its
// own handle on the terminal side so the line stays up between writers.
class PseudoTerminal {
 public:
  PseudoTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) return;
    path_ = name;
    terminal_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  ~PseudoTerminal() {
    if (terminal_ >= 0) close(terminal_);
    if (master_ >= 0) close(master_);
  }
  bool ok() const { return master_ >= 0 && terminal_ >= 0; }
  const std::string& path() const { return path_; }
  int terminal() const { return terminal_; }

  // Waits for `count` bytes to arrive, up to a generous limit.
  Bytes Read(std::size_t count) {
    Bytes bytes;
    while (bytes.size() < count) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) break;
      std::uint8_t buffer[256];
      const ssize_t got = read(master_, buffer, std::min(sizeof buffer, count - bytes.size()));
      if (got <= 0) break;
      bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
  }

 private:
  int master_ = -1;
  int terminal_ = -1;
  std::string path_;
};

std::vector<adapter::Burst> PacketBursts(const std::vector<Packet>& packets) {
  std::vector<adapter::Burst> bursts;
  for (const Packet& p : packets) {
    adapter::Burst burst;
    adapter::AppendBytes(p, &burst.bytes);
    burst.packets = 1;
    bursts.push_back(burst);
  }
  return bursts;
}

// Typed '9' has scan code 0x0A and Return has key code 0x0D: a terminal left
// in its cooked settings would turn them into CR LF or LF.
TEST(AdapterTty, FastSendArrivesRawAtNineSixHundredEightNOne) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.ok()) << std::strerror(errno);
  const std::vector<Packet> packets = Encode("9\nA\r");
  std::vector<adapter::Burst> bursts = PacketBursts(packets);
  adapter::Burst raw;
  raw.bytes = {0xFF, 0x0A, 0x0D, 0x00, 0x07};
  bursts.push_back(raw);

  adapter::TtyWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(pty.path(), &error)) << error;

  termios settings;
  ASSERT_EQ(tcgetattr(pty.terminal(), &settings), 0);
  EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);
  EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));

  adapter::SendOptions options;
  options.fast = true;
  options.repeat = 2;
  adapter::SendStats stats;
  ASSERT_TRUE(adapter::SendBursts(&writer, bursts, options, &stats, &error)) << error;

  Bytes expected = ToBytes(packets);
  expected.insert(expected.end(), raw.bytes.begin(), raw.bytes.end());
  const Bytes once = expected;
  expected.insert(expected.end(), once.begin(), once.end());
  EXPECT_EQ(pty.Read(expected.size()), expected);
  EXPECT_EQ(stats.bytes, expected.size());
  EXPECT_EQ(stats.packets, 2 * packets.size());
  EXPECT_TRUE(writer.Close(&error)) << error;
  EXPECT_FALSE(writer.is_open());
}

// The paced path (wire rate and gaps) must deliver the same bytes; how long
// it takes is not asserted.
TEST(AdapterTty, PacedSendDeliversTheSameBytes) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.ok()) << std::strerror(errno);
  const std::vector<Packet> packets = Encode("Ok");
  std::vector<adapter::Burst> bursts = PacketBursts(packets);
  adapter::Burst raw;
  raw.bytes = {0xFF, 0xFF, 0x41, 0x1E, 0x00, 0x5F};
  raw.packets = 1;
  bursts.push_back(raw);

  adapter::TtyWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(pty.path(), &error)) << error;
  adapter::SendOptions options;
  options.gap_ms = 1;
  adapter::SendStats stats;
  ASSERT_TRUE(adapter::SendBursts(&writer, bursts, options, &stats, &error)) << error;

  Bytes expected = ToBytes(packets);
  expected.insert(expected.end(), raw.bytes.begin(), raw.bytes.end());
  EXPECT_EQ(pty.Read(expected.size()), expected);
  EXPECT_EQ(stats.packets, packets.size() + 1);
  EXPECT_TRUE(writer.Close(&error)) << error;
}

// Paced, the wire's bytes leave one write each, so the handheld meets packets
// split across its reads in every run; fast, a packet is one write. The
// bytes and the counts are the same either way.
TEST(AdapterSend, PacedWritesAByteAtATimeAndFastAPacketAtATime) {
  std::vector<adapter::Burst> bursts = PacketBursts(Encode("k"));
  adapter::Burst raw;
  raw.bytes = {0xFF, 0xFF, 0x41, 0x1E, 0x00, 0x5F};
  raw.packets = 1;
  bursts.push_back(raw);
  const struct {
    bool fast;
    std::vector<std::size_t> writes;
  } cases[] = {
      {false, std::vector<std::size_t>(14, 1)},
      {true, {4, 4, 4, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fast ? "fast" : "paced");
    Bytes sent;
    std::vector<std::size_t> writes;
    auto record = [&](const std::uint8_t* data, std::size_t size, std::string*) {
      sent.insert(sent.end(), data, data + size);
      writes.push_back(size);
      return true;
    };
    adapter::SendOptions options;
    options.fast = c.fast;
    options.gap_ms = 0;
    adapter::SendStats stats;
    std::string error;
    ASSERT_TRUE(adapter::SendBursts(record, bursts, options, &stats, &error)) << error;
    EXPECT_EQ(writes, c.writes);
    Bytes expected = ToBytes(Encode("k"));
    expected.insert(expected.end(), raw.bytes.begin(), raw.bytes.end());
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(stats.bytes, expected.size());
    EXPECT_EQ(stats.packets, 3u);
  }
}

// Far more than the terminal buffers: the writer must wait on a full device
// and carry on where each partial write stopped.
TEST(AdapterTty, LargeWriteRidesOutAFullDevice) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.ok()) << std::strerror(errno);
  adapter::TtyWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(pty.path(), &error)) << error;
  Bytes data(256 * 1024);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 % 251);
  Bytes received;
  std::thread reader([&] { received = pty.Read(data.size()); });
  const bool written = writer.WriteAll(data.data(), data.size(), &error);
  reader.join();
  EXPECT_TRUE(written) << error;
  EXPECT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data);
}

TEST(AdapterTty, DeviceThatTakesNothingEndsInAStallError) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.ok()) << std::strerror(errno);
  adapter::TtyWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(pty.path(), &error)) << error;
  writer.set_stall_timeout_ms(20);
  const Bytes data(1 << 20, 0x41);
  EXPECT_FALSE(writer.WriteAll(data.data(), data.size(), &error));
  EXPECT_NE(error.find("write stalled on " + pty.path()), std::string::npos) << error;
}

TEST(AdapterTty, OpenFailuresNameThePathAndReason) {
  struct Case {
    std::string path;
    std::vector<std::string> in_error;
  } cases[] = {
      {"/nonexistent/ttyIR0", {"/nonexistent/ttyIR0", std::strerror(ENOENT)}},
      {NUVIK_SOURCE_DIR "/CMakeLists.txt", {"CMakeLists.txt", "not a terminal"}},
      {"", {"cannot open", std::strerror(ENOENT)}},
  };
  for (const Case& c : cases) {
    adapter::TtyWriter writer;
    std::string error;
    EXPECT_FALSE(writer.Open(c.path, &error)) << c.path;
    EXPECT_FALSE(writer.is_open());
    for (const std::string& part : c.in_error) {
      EXPECT_NE(error.find(part), std::string::npos) << "'" << part << "' missing from: " << error;
    }
  }
}

// ---- The program -----------------------------------------------------------

struct ProcessResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

ProcessResult RunAdapter(const std::vector<std::string>& args, const std::string& input = "") {
  // The program may exit before reading its input.
  std::signal(SIGPIPE, SIG_IGN);
  ProcessResult run;
  const std::string binary = NUVIK_BIN_DIR "/nuvik-adapter";
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  const int spawned = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot run " << binary << ": " << std::strerror(spawned);
    close(in[1]);
    close(out[0]);
    close(err[0]);
    return run;
  }
  // Inputs here are far below a pipe's capacity, so this never blocks.
  if (!input.empty() && write(in[1], input.data(), input.size()) < 0 && errno != EPIPE) {
    ADD_FAILURE() << "write to stdin: " << std::strerror(errno);
  }
  close(in[1]);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open_count = 2;
  while (open_count > 0 && poll(fds, 2, 30000) > 0) {
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || fds[k].revents == 0) continue;
      char buffer[1024];
      const ssize_t got = read(fds[k].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[k]->append(buffer, static_cast<std::size_t>(got));
      } else {
        close(fds[k].fd);
        fds[k].fd = -1;
        --open_count;
      }
    }
  }
  for (const pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  return run;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// None of these ever opens the device: its path does not even exist.
TEST(AdapterCli, BadArgumentsAndInputExitTwoWithAMessage) {
  const std::string tty = "/nonexistent/ttyIR0";
  struct Case {
    std::vector<std::string> args;
    std::string in_error;
  } cases[] = {
      {{}, "no TTY given"},
      {{"--text"}, "--text needs a value"},
      {{"--bogus", tty}, "unknown option '--bogus'"},
      {{"-x", tty}, "unknown option '-x'"},
      {{"--gap", "soon", "--text", "a", tty}, "--gap: 'soon'"},
      {{"--repeat", "0", "--text", "a", tty}, "--repeat"},
      {{"--fast=yes", "--text", "a", tty}, "--fast takes no value"},
      {{"--text", "a", tty, "/dev/other"}, "more than one TTY"},
      {{tty}, "nothing to send"},
      {{"--text", "", tty}, "nothing to send"},
      {{"--key", "41", tty}, "--key: '41' is not VK:SCAN[:FLAGS]"},
      {{"--hex", "41 zz", tty}, "--hex: 'zz' (byte 2)"},
      {{"--text", "gr\xC3\xBC\xC3\x9F", tty}, "--text: character '\xC3\xBC' (U+00FC) at position 3"},
      {{"--text=ok", "--key", "FF:00", tty}, "filler"},
      {{"--stdin", "--stdin", tty}, "--stdin given twice"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += "[" + a + "] ";
    const ProcessResult run = RunAdapter(c.args);
    EXPECT_EQ(run.exit_code, 2) << line << run.err;
    EXPECT_TRUE(StartsWith(run.err, "nuvik-adapter: ")) << line << run.err;
    EXPECT_NE(run.err.find(c.in_error), std::string::npos) << line << run.err;
    EXPECT_EQ(run.out, "") << line;
  }
}

TEST(AdapterCli, BadStdinTextIsRefusedWithItsPosition) {
  const ProcessResult run = RunAdapter({"--stdin", "/nonexistent/ttyIR0"}, "fine\nbut \x01 not");
  EXPECT_EQ(run.exit_code, 2) << run.err;
  EXPECT_NE(run.err.find("--stdin: character U+0001 at position 10 (line 2, column 5)"), std::string::npos)
      << run.err;
}

TEST(AdapterCli, MissingDeviceIsAnIoErrorNamingIt) {
  const ProcessResult run = RunAdapter({"--fast", "--key", "41:1E", "/nonexistent/ttyIR0"});
  EXPECT_EQ(run.exit_code, 1) << run.err;
  EXPECT_TRUE(StartsWith(run.err, "nuvik-adapter: cannot open /nonexistent/ttyIR0: ")) << run.err;
  EXPECT_NE(run.err.find(std::strerror(ENOENT)), std::string::npos) << run.err;
}

TEST(AdapterCli, HelpGoesToStandardOutput) {
  const ProcessResult run = RunAdapter({"--help"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(StartsWith(run.out, "Usage: nuvik-adapter")) << run.out;
  EXPECT_EQ(run.err, "");
}

TEST(AdapterCli, SendsEverythingInOrderAndSummarises) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.ok()) << std::strerror(errno);
  const ProcessResult run = RunAdapter(
      {"--fast", "--text", "Hi\n", "--key", "25:4B:up+ext", "--hex", "FF 41 1E 00 5F", pty.path()});
  ASSERT_EQ(run.exit_code, 0) << run.err;

  Bytes expected = ToBytes(Encode("Hi\n"));
  adapter::AppendBytes(adapter::MakePacket(0x25, 0x4B, 0xC0), &expected);
  for (std::uint8_t b : {0xFF, 0x41, 0x1E, 0x00, 0x5F}) expected.push_back(b);
  EXPECT_EQ(pty.Read(expected.size()), expected);
  EXPECT_EQ(run.err, "nuvik-adapter: sent 10 packets (41 bytes) to " + pty.path() + "\n");
}

TEST(AdapterCli, TypesStandardInputRepeatedly) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.ok()) << std::strerror(errno);
  const ProcessResult run = RunAdapter({"--fast", "--repeat", "2", "--stdin", pty.path()}, "ab\r\n");
  ASSERT_EQ(run.exit_code, 0) << run.err;
  Bytes expected = ToBytes(Encode("ab\nab\n"));
  EXPECT_EQ(pty.Read(expected.size()), expected);
  EXPECT_EQ(run.err, "nuvik-adapter: sent 12 packets (48 bytes) to " + pty.path() + "\n");
}

TEST(AdapterCli, MAndNLetGoAsTheHandheldTakesThemButHexIsSentAsIs) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.ok()) << std::strerror(errno);
  const ProcessResult run = RunAdapter({"--fast", "--text", "mn", "--hex", "4D 32 80 FF", pty.path()});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const Bytes expected = {0x4D, 0x32, 0x00, 0x7F, 0x4D, 0x32, 0x81, 0xFE, 0x4E, 0x31, 0x00, 0x7F,
                          0x4E, 0x31, 0x81, 0xFE, 0x4D, 0x32, 0x80, 0xFF};
  EXPECT_EQ(pty.Read(expected.size()), expected);
  EXPECT_EQ(run.err, "nuvik-adapter: sent 5 packets (20 bytes) to " + pty.path() + "\n");
}

// A refused run leaves the line silent: the next good run's bytes are the
// first to arrive.
TEST(AdapterCli, RefusedInputSendsNothing) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.ok()) << std::strerror(errno);
  const ProcessResult bad = RunAdapter({"--fast", "--text", "ok", "--text", "no\x01", pty.path()});
  EXPECT_EQ(bad.exit_code, 2) << bad.err;
  const ProcessResult good = RunAdapter({"--fast", "--key", "41:1E", pty.path()});
  ASSERT_EQ(good.exit_code, 0) << good.err;
  EXPECT_EQ(pty.Read(4), (Bytes{0x41, 0x1E, 0x00, 0x5F}));
}

// ---- Through the handheld ------------------------------------------------

// Typed into `nuvik`, then the program ends: every press and every release
// reaches the handheld (none refused), and the focus window holds the text.
TEST(AdapterWithHandheld, EveryKeyEventOfTypedTextArrives) {
  struct Case {
    std::string text;
    bool fast;          // paced: every packet reaches the handheld split byte by byte
    size_t keyRecords;  // SendInput lines: Return's press goes as a character
    std::string focusLine;
  } cases[] = {
      {"mn", true, 4, "focus text=\"mn\""},
      {"Nm\n", true, 7, "focus text=\"Nm\\r\""},
      {"Nm\n", false, 7, "focus text=\"Nm\\r\""},
      // Beyond the edit control's limit the oldest go, and the line says how many.
      {"xy" + std::string(30000, 'a'), true, 60004, "focus text=\"" + std::string(30000, 'a') + "\" dropped=2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 20) + (c.fast ? " (fast)" : " (paced)"));
    Process nuvik;
    ASSERT_TRUE(nuvik.Start({BinPath("nuvik")}));
    const int announced = nuvik.WaitLineStarting("port name=\"COM3:\" path=");
    ASSERT_GE(announced, 0);
    ASSERT_GE(nuvik.WaitLineStarting("Shell_NotifyIcon op=NIM_ADD icon=114"), 0);
    const std::string line = nuvik.Out()[announced];
    const size_t at = line.find("path=\"") + 6;
    const std::string path = line.substr(at, line.size() - at - 1);
    const ProcessResult typed =
        RunAdapter(c.fast ? std::vector<std::string>{"--fast", "--text", c.text, path}
                          : std::vector<std::string>{"--gap", "1", "--text", c.text, path});
    ASSERT_EQ(typed.exit_code, 0) << typed.err;
    auto isKey = [](const std::string& l) { return StartsWith(l, "SendInput "); };
    EXPECT_TRUE(nuvik.WaitCount(isKey, c.keyRecords));
    nuvik.Send("send 103");  // the program's own exit command
    EXPECT_EQ(nuvik.Wait(), 1);
    EXPECT_EQ(nuvik.Count(isKey), c.keyRecords);
    ASSERT_FALSE(nuvik.Out().empty());
    EXPECT_EQ(nuvik.Out().back(), c.focusLine);
  }
}

}  // namespace
