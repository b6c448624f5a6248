#include "key_encoder.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

namespace adapter {

bool operator==(const Packet& a, const Packet& b) {
  return a.key == b.key && a.scan == b.scan && a.flags == b.flags && a.check == b.check;
}

bool operator!=(const Packet& a, const Packet& b) { return !(a == b); }

Packet MakePacket(std::uint8_t key, std::uint8_t scan, std::uint8_t flags) {
  return Packet{key, scan, flags, static_cast<std::uint8_t>(key ^ scan ^ flags)};
}

Packet MakeKeyEventPacket(std::uint8_t key, std::uint8_t scan, std::uint8_t flags) {
  const Packet packet = MakePacket(key, scan, flags);
  if (packet.check != 0xFF) return packet;
  // Flipping any one unused bit moves the check off 0xFF.
  for (std::uint8_t bit = 0x01; bit & kFlagsUnused; bit = static_cast<std::uint8_t>(bit << 1)) {
    if (!(flags & bit)) return MakePacket(key, scan, static_cast<std::uint8_t>(flags | bit));
  }
  return MakePacket(key, scan, static_cast<std::uint8_t>(flags & ~0x01));
}

bool IsAcceptable(const Packet& packet) {
  const std::uint8_t x = static_cast<std::uint8_t>(packet.key ^ packet.scan ^ packet.flags);
  return packet.key != kFiller && x != 0xFF && x == packet.check;
}

void AppendBytes(const Packet& packet, std::vector<std::uint8_t>* out) {
  out->push_back(packet.key);
  out->push_back(packet.scan);
  out->push_back(packet.flags);
  out->push_back(packet.check);
}

std::size_t CountFramedPackets(const std::uint8_t* data, std::size_t size) {
  std::size_t count = 0;
  std::size_t i = 0;
  while (i < size) {
    if (data[i] == kFiller) {
      ++i;
      continue;
    }
    if (size - i < kPacketSize) break;
    ++count;
    i += kPacketSize;
  }
  return count;
}

namespace {

// The keys of the US layout that type something: the plain character, the
// one Shift gives (0 for none), the virtual-key code and the set-1 scan code.
struct LayoutKey {
  char plain;
  char shifted;
  std::uint8_t vk;
  std::uint8_t scan;
};

constexpr LayoutKey kLayout[] = {
    {'`', '~', 0xC0, 41},  {'1', '!', 0x31, 2},   {'2', '@', 0x32, 3},
    {'3', '#', 0x33, 4},   {'4', '$', 0x34, 5},   {'5', '%', 0x35, 6},
    {'6', '^', 0x36, 7},   {'7', '&', 0x37, 8},   {'8', '*', 0x38, 9},
    {'9', '(', 0x39, 10},  {'0', ')', 0x30, 11},  {'-', '_', 0xBD, 12},
    {'=', '+', 0xBB, 13},  {'\b', 0, 0x08, 14},   {'\t', 0, 0x09, 15},
    {'q', 'Q', 0x51, 16},  {'w', 'W', 0x57, 17},  {'e', 'E', 0x45, 18},
    {'r', 'R', 0x52, 19},  {'t', 'T', 0x54, 20},  {'y', 'Y', 0x59, 21},
    {'u', 'U', 0x55, 22},  {'i', 'I', 0x49, 23},  {'o', 'O', 0x4F, 24},
    {'p', 'P', 0x50, 25},  {'[', '{', 0xDB, 26},  {']', '}', 0xDD, 27},
    {'\n', 0, 0x0D, 28},   {'\r', 0, 0x0D, 28},   {'a', 'A', 0x41, 30},
    {'s', 'S', 0x53, 31},  {'d', 'D', 0x44, 32},  {'f', 'F', 0x46, 33},
    {'g', 'G', 0x47, 34},  {'h', 'H', 0x48, 35},  {'j', 'J', 0x4A, 36},
    {'k', 'K', 0x4B, 37},  {'l', 'L', 0x4C, 38},  {';', ':', 0xBA, 39},
    {'\'', '"', 0xDE, 40}, {'\\', '|', 0xDC, 43}, {'z', 'Z', 0x5A, 44},
    {'x', 'X', 0x58, 45},  {'c', 'C', 0x43, 46},  {'v', 'V', 0x56, 47},
    {'b', 'B', 0x42, 48},  {'n', 'N', 0x4E, 49},  {'m', 'M', 0x4D, 50},
    {',', '<', 0xBC, 51},  {'.', '>', 0xBE, 52},  {'/', '?', 0xBF, 53},
    {' ', 0, 0x20, 57},
};

// Decodes one UTF-8 sequence at s[i]. Overlong forms, surrogates and values
// past U+10FFFF are refused so that the error names what the user meant.
bool DecodeUtf8(std::string_view s, std::size_t i, char32_t* cp, std::size_t* length) {
  const unsigned char lead = static_cast<unsigned char>(s[i]);
  std::size_t n;
  char32_t value;
  char32_t least;
  if (lead < 0x80) {
    *cp = lead;
    *length = 1;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    n = 2, value = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    n = 3, value = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    n = 4, value = lead & 0x07, least = 0x10000;
  } else {
    return false;
  }
  if (s.size() - i < n) return false;
  for (std::size_t k = 1; k < n; ++k) {
    const unsigned char c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return false;
    value = (value << 6) | (c & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  *cp = value;
  *length = n;
  return true;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

// 'x' for what prints as itself, U+XXXX otherwise, both for other scripts.
std::string NameCharacter(char32_t cp, std::string_view utf8) {
  const std::string code = Format("U+%04X", static_cast<unsigned>(cp));
  if (cp >= 0x20 && cp < 0x7F) return "'" + std::string(utf8) + "'";
  if (cp >= 0xA0) return "'" + std::string(utf8) + "' (" + code + ")";
  return code;
}

bool IsSeparator(char c) {
  return c == ' ' || c == ',' || c == '\t' || c == '\n' || c == '\r';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One or two hex digits, with or without 0x.
bool ParseHexByte(std::string_view token, std::uint8_t* out) {
  if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
    token.remove_prefix(2);
  }
  if (token.empty() || token.size() > 2) return false;
  int value = 0;
  for (char c : token) {
    const int digit = HexDigit(c);
    if (digit < 0) return false;
    value = value * 16 + digit;
  }
  *out = static_cast<std::uint8_t>(value);
  return true;
}

// Only the first part of a long argument is quoted back, so one stray
// argument cannot flood the terminal.
std::string Quote(std::string_view text) {
  constexpr std::size_t kMax = 40;
  if (text.size() <= kMax) return "'" + std::string(text) + "'";
  return "'" + std::string(text.substr(0, kMax)) + "...'";
}

bool ParseFlags(std::string_view text, std::uint8_t* out) {
  if (ParseHexByte(text, out)) return true;
  std::uint8_t flags = 0;
  while (true) {
    const std::size_t plus = text.find('+');
    const std::string_view word = text.substr(0, plus);
    if (word == "up") {
      flags |= kFlagReleased;
    } else if (word == "ext") {
      flags |= kFlagExtended;
    } else if (word != "down") {
      return false;
    }
    if (plus == std::string_view::npos) break;
    text.remove_prefix(plus + 1);
  }
  *out = flags;
  return true;
}

}  // namespace

bool LookupUsKey(char32_t c, UsKey* out) {
  if (c == 0) return false;  // 0 marks "no shifted character" in the table
  for (const LayoutKey& key : kLayout) {
    if (static_cast<unsigned char>(key.plain) == c) {
      *out = UsKey{key.vk, key.scan, false};
      return true;
    }
    if (key.shifted != 0 && static_cast<unsigned char>(key.shifted) == c) {
      *out = UsKey{key.vk, key.scan, true};
      return true;
    }
  }
  return false;
}

bool EncodeText(std::string_view utf8, std::vector<Packet>* out, std::string* error) {
  std::vector<Packet> packets;
  std::size_t position = 0;
  std::size_t line = 1;
  std::size_t column = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    ++position;
    ++column;
    char32_t cp;
    std::size_t length;
    if (!DecodeUtf8(utf8, i, &cp, &length)) {
      *error = Format("byte 0x%02X at position %zu (line %zu, column %zu) is not valid UTF-8",
                      static_cast<unsigned char>(utf8[i]), position, line, column);
      return false;
    }
    UsKey key;
    if (!LookupUsKey(cp, &key)) {
      *error = "character " + NameCharacter(cp, utf8.substr(i, length)) +
               Format(" at position %zu (line %zu, column %zu) is not on the US keyboard layout",
                      position, line, column);
      return false;
    }
    i += length;
    // Text from Windows ends its lines with CR LF; one Return per line is
    // what the person at the keyboard would have typed.
    if (cp == '\r' && i < utf8.size() && utf8[i] == '\n') {
      ++i;
      ++position;
    }
    if (cp == '\r' || cp == '\n') {
      ++line;
      column = 0;
    }
    if (key.shift) packets.push_back(MakeKeyEventPacket(kVkShift, kScanLeftShift, 0));
    packets.push_back(MakeKeyEventPacket(key.vk, key.scan, 0));
    packets.push_back(MakeKeyEventPacket(key.vk, key.scan, kFlagReleased));
    if (key.shift) packets.push_back(MakeKeyEventPacket(kVkShift, kScanLeftShift, kFlagReleased));
  }
  out->insert(out->end(), packets.begin(), packets.end());
  return true;
}

bool ParseHex(std::string_view text, std::vector<std::uint8_t>* out, std::string* error) {
  std::vector<std::uint8_t> bytes;
  std::size_t i = 0;
  while (i < text.size()) {
    if (IsSeparator(text[i])) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    const std::string_view token = text.substr(i, end - i);
    std::uint8_t byte;
    if (!ParseHexByte(token, &byte)) {
      *error = Quote(token) + Format(" (byte %zu) is not a hexadecimal byte 00 to FF", bytes.size() + 1);
      return false;
    }
    bytes.push_back(byte);
    i = end;
  }
  if (bytes.empty()) {
    *error = "no bytes given";
    return false;
  }
  out->insert(out->end(), bytes.begin(), bytes.end());
  return true;
}

bool ParseKeyArgument(std::string_view argument, Packet* out, std::string* error) {
  std::string_view parts[3];
  std::size_t count = 0;
  std::string_view rest = argument;
  while (count < 4) {
    const std::size_t colon = rest.find(':');
    if (count < 3) parts[count] = rest.substr(0, colon);
    ++count;
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  if (count < 2 || count > 3) {
    *error = Quote(argument) + " is not VK:SCAN[:FLAGS]";
    return false;
  }
  std::uint8_t key, scan, flags = 0;
  if (!ParseHexByte(parts[0], &key)) {
    *error = "key code " + Quote(parts[0]) + " in " + Quote(argument) + " is not a hexadecimal byte 00 to FF";
    return false;
  }
  if (!ParseHexByte(parts[1], &scan)) {
    *error = "scan code " + Quote(parts[1]) + " in " + Quote(argument) + " is not a hexadecimal byte 00 to FF";
    return false;
  }
  if (count == 3 && !ParseFlags(parts[2], &flags)) {
    *error = "flags " + Quote(parts[2]) + " in " + Quote(argument) +
             " are neither a hexadecimal byte nor down, up, ext, up+ext";
    return false;
  }
  if (key == kFiller) {
    *error = "key code FF in " + Quote(argument) + " is the filler byte, never a key (use --hex to send it)";
    return false;
  }
  *out = MakeKeyEventPacket(key, scan, flags);
  return true;
}

bool ParseNumber(std::string_view text, unsigned long max, unsigned long* out, std::string* error) {
  unsigned long value = 0;
  bool ok = !text.empty();
  for (char c : text) {
    if (c < '0' || c > '9') {
      ok = false;
      break;
    }
    const unsigned long digit = static_cast<unsigned long>(c - '0');
    if (digit > max || value > (max - digit) / 10) {
      ok = false;
      break;
    }
    value = value * 10 + digit;
  }
  if (!ok) {
    *error = Quote(text) + Format(" is not a whole number from 0 to %lu", max);
    return false;
  }
  *out = value;
  return true;
}

}  // namespace adapter
