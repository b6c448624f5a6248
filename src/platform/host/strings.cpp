// The host's string helpers: UTF-16 as the program's WCHAR strings hold it,
// UTF-8 as the trace and the console show it, and the trace's quoting.
#include <cstdint>
#include <cstdio>

#include "internal.h"

namespace host {

size_t WideLength(const WCHAR* text) {
  size_t n = 0;
  if (text != nullptr) {
    while (text[n] != 0) ++n;
  }
  return n;
}

std::u16string Wide(const WCHAR* text) { return text ? std::u16string(text, WideLength(text)) : std::u16string(); }

std::u16string WideLower(const std::u16string& text) {
  std::u16string lower(text);
  for (char16_t& c : lower) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return lower;
}

// Without copies: the program looks windows up by class for every key.
bool WideEqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x - u'A' + u'a');
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y - u'A' + u'a');
    if (x != y) return false;
  }
  return true;
}

void AppendHex(std::string* out, unsigned long value, int digits) {
  constexpr int kMost = 2 + 2 * sizeof value;
  if (digits > kMost - 2) digits = kMost - 2;
  char text[kMost];  // filled from the end
  int at = kMost;
  do {
    text[--at] = "0123456789ABCDEF"[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (kMost - at < digits) text[--at] = '0';
  text[--at] = 'x';
  text[--at] = '0';
  out->append(text + at, static_cast<size_t>(kMost - at));
}

std::string Hex(unsigned long value, int digits) {
  std::string text;
  AppendHex(&text, value, digits);
  return text;
}

}  // namespace host

namespace device {

std::string ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string FromUtf8(const std::string& text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    uint32_t c = 0xFFFD;
    size_t length = 1;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      length = 2;
    } else if ((b & 0xF0) == 0xE0) {
      length = 3;
    } else if ((b & 0xF8) == 0xF0) {
      length = 4;
    }
    if (length > 1) {
      if (i + length > text.size()) {
        length = 1;
      } else {
        c = b & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
          unsigned char next = static_cast<unsigned char>(text[i + k]);
          if ((next & 0xC0) != 0x80) {
            c = 0xFFFD;
            length = 1;
            break;
          }
          c = (c << 6) | (next & 0x3F);
        }
      }
    }
    if (c >= 0x10000 && c <= 0x10FFFF) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c > 0x10FFFF ? 0xFFFD : c));
    }
    i += length;
  }
  return out;
}

std::string Quote(const std::u16string& text) {
  std::string out = "\"";
  std::u16string plain;  // printable run, converted whole so surrogate pairs stay together
  auto flush = [&] {
    out += ToUtf8(plain);
    plain.clear();
  };
  for (char16_t c : text) {
    const char* escape = nullptr;
    switch (c) {
      case u'\r':
        escape = "\\r";
        break;
      case u'\n':
        escape = "\\n";
        break;
      case u'\t':
        escape = "\\t";
        break;
      case u'"':
        escape = "\\\"";
        break;
      case u'\\':
        escape = "\\\\";
        break;
    }
    if (escape != nullptr) {
      flush();
      out += escape;
    } else if (c < 0x20 || c == 0x7F) {
      flush();
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(c));
      out += hex;
    } else {
      plain.push_back(c);
    }
  }
  flush();
  return out + "\"";
}

}  // namespace device
