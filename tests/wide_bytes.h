// Registry values are stored as bytes: UTF-16 text little-endian, as the
// handheld keeps it.
#pragma once

#include <string>
#include <vector>

#include "platform.h"

inline std::vector<BYTE> Wide(const std::u16string& text) {
  std::vector<BYTE> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<BYTE>(c));
    bytes.push_back(static_cast<BYTE>(c >> 8));
  }
  return bytes;
}
