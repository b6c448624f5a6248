// What the adapter box puts on the wire, built from what a user asks for:
// typed text, raw hex bytes or single hand-made packets. Everything here is
// a pure function so the command line can check all input before a single
// byte is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace adapter {

inline constexpr std::uint8_t kFlagReleased = 0x80;
inline constexpr std::uint8_t kFlagExtended = 0x40;
// Bits of the flags byte the handheld does not interpret.
inline constexpr std::uint8_t kFlagsUnused = 0x3F;
// A 0xFF where a packet would start is filler; the handheld skips it.
inline constexpr std::uint8_t kFiller = 0xFF;
inline constexpr std::size_t kPacketSize = 4;

inline constexpr std::uint8_t kVkShift = 0x10;
inline constexpr std::uint8_t kScanLeftShift = 42;

struct Packet {
  std::uint8_t key;    // Windows virtual-key code
  std::uint8_t scan;   // PC scan-code set 1
  std::uint8_t flags;  // kFlagReleased, kFlagExtended
  std::uint8_t check;  // key ^ scan ^ flags
};

bool operator==(const Packet& a, const Packet& b);
bool operator!=(const Packet& a, const Packet& b);

// The packet with exactly these bytes and its check.
Packet MakePacket(std::uint8_t key, std::uint8_t scan, std::uint8_t flags);

// The packet the box sends for a key event. The handheld refuses a check of
// 0xFF, which the releases of M (4D 32 80) and N (4E 31 80) would come out
// as; the six low bits of the flags byte mean nothing to the handheld, so
// the box sets bit 0 (or, when that is set already, the lowest clear one)
// and the check moves off 0xFF: 4D 32 81 FE.
Packet MakeKeyEventPacket(std::uint8_t key, std::uint8_t scan, std::uint8_t flags);

// True when the handheld would take the packet: its check matches, the check
// is not 0xFF and the key code is not the filler byte.
bool IsAcceptable(const Packet& packet);

void AppendBytes(const Packet& packet, std::vector<std::uint8_t>* out);

// How many packets these bytes hold as the handheld frames them when they
// arrive in one go: filler before a packet is skipped, every other byte
// starts a 4-byte packet, good or bad; a short tail is no packet.
std::size_t CountFramedPackets(const std::uint8_t* data, std::size_t size);

// One key of the US layout and whether Shift is held to get the character.
struct UsKey {
  std::uint8_t vk;
  std::uint8_t scan;
  bool shift;
};

// Finds the key that types the character c on a US keyboard; false when no
// key does.
bool LookupUsKey(char32_t c, UsKey* out);

// UTF-8 text -> press/release packets as the box sends them (see
// MakeKeyEventPacket), Shift held around shifted characters.
// CR LF counts as a single Return. On failure *out is untouched and *error
// names the offending character and where it is.
bool EncodeText(std::string_view utf8, std::vector<Packet>* out, std::string* error);

// "41 1E 00 5F" or "41,1e,0x00,5F" -> bytes. At least one byte.
bool ParseHex(std::string_view text, std::vector<std::uint8_t>* out, std::string* error);

// "VK:SCAN[:FLAGS]" in hexadecimal -> the packet the box sends for that key
// event (see MakeKeyEventPacket). FLAGS may also be
// "down", "up", "ext" or "up+ext". Key code FF is refused: it is filler,
// and the three bytes behind it would be taken as a new packet.
bool ParseKeyArgument(std::string_view argument, Packet* out, std::string* error);

// A decimal whole number from 0 to max.
bool ParseNumber(std::string_view text, unsigned long max, unsigned long* out,
                 std::string* error);

}  // namespace adapter
