// The executable's headers, read and checked as the handheld's loader
// checks them before it maps anything: whatever is not a CE 3.0 ARM program
// is refused with what it is instead.
#include <cstdio>
#include <cstring>

#include "pe_image.h"

namespace arm {

namespace {

uint16_t U16(const std::vector<uint8_t>& file, size_t at) {
  return static_cast<uint16_t>(file[at] | file[at + 1] << 8);
}
uint32_t U32(const std::vector<uint8_t>& file, size_t at) {
  return static_cast<uint32_t>(file[at]) | static_cast<uint32_t>(file[at + 1]) << 8 |
         static_cast<uint32_t>(file[at + 2]) << 16 | static_cast<uint32_t>(file[at + 3]) << 24;
}

std::string Hex4(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

const char* MachineName(uint16_t machine) {
  switch (machine) {
    case 0x014C:
      return " (x86)";
    case 0x8664:
      return " (x86-64)";
    case 0x01C2:
      return " (ARM Thumb)";
    case 0x01C4:
      return " (ARMv7 Thumb-2)";
    case 0xAA64:
      return " (ARM64)";
    case 0x0166:
      return " (MIPS)";
    case 0x01A2:
      return " (Hitachi SH3)";
    case 0x01A6:
      return " (Hitachi SH4)";
    default:
      return "";
  }
}

const char* SubsystemName(uint16_t subsystem) {
  switch (subsystem) {
    case 1:
      return " (native)";
    case 2:
      return " (Windows GUI)";
    case 3:
      return " (Windows console)";
    default:
      return "";
  }
}

constexpr uint16_t kCharacteristicRelocsStripped = 0x0001;
constexpr uint16_t kCharacteristicExecutable = 0x0002;
constexpr uint16_t kCharacteristicDll = 0x2000;
constexpr uint16_t kMagicPe32 = 0x010B;
constexpr size_t kSectionHeaderSize = 40;

}  // namespace

bool ReadPeHeaders(const std::vector<uint8_t>& file, PeHeaders* headers, std::string* error) {
  if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') {
    *error = "not an executable (no MZ header)";
    return false;
  }
  size_t pe = U32(file, 0x3C);
  if (pe > file.size() || file.size() - pe < 24 || std::memcmp(&file[pe], "PE\0\0", 4) != 0) {
    *error = "not a PE executable (no PE header)";
    return false;
  }
  size_t coff = pe + 4;
  uint16_t machine = U16(file, coff);
  if (machine != kMachineArm) {
    *error = "machine " + Hex4(machine) + MachineName(machine) +
             ", not ARM (0x01C0): a Pocket PC runs only ARM code";
    return false;
  }
  uint16_t sectionCount = U16(file, coff + 2);
  uint16_t optionalSize = U16(file, coff + 16);
  uint16_t characteristics = U16(file, coff + 18);
  if (!(characteristics & kCharacteristicExecutable) || (characteristics & kCharacteristicDll)) {
    *error = (characteristics & kCharacteristicDll) ? "a DLL, not a program" : "not marked executable";
    return false;
  }
  headers->relocationsStripped = (characteristics & kCharacteristicRelocsStripped) != 0;
  size_t optional = coff + 20;
  if (optionalSize < 96 || file.size() - optional < optionalSize || U16(file, optional) != kMagicPe32) {
    *error = "no PE32 optional header";
    return false;
  }
  headers->entry = U32(file, optional + 16);
  headers->imageBase = U32(file, optional + 28);
  headers->subsystemMajor = U16(file, optional + 48);
  headers->subsystemMinor = U16(file, optional + 50);
  headers->imageSize = U32(file, optional + 56);
  headers->headersSize = U32(file, optional + 60);
  uint16_t subsystem = U16(file, optional + 68);
  headers->stackReserve = U32(file, optional + 72);
  uint32_t directories = U32(file, optional + 92);
  if (subsystem != kSubsystemCeGui) {
    *error = "subsystem " + std::to_string(subsystem) + SubsystemName(subsystem) +
             ", not Windows CE GUI (9): a program for another Windows";
    return false;
  }
  if (headers->subsystemMajor > kHandheldMajor ||
      (headers->subsystemMajor == kHandheldMajor && headers->subsystemMinor > kHandheldMinor)) {
    *error = "made for Windows CE " + std::to_string(headers->subsystemMajor) + "." +
             std::to_string(headers->subsystemMinor) + " (subsystem version); this handheld runs CE 3.0";
    return false;
  }
  PeDirectory* wanted[] = {
      nullptr, &headers->imports, &headers->resources, nullptr, nullptr, &headers->relocations, nullptr,
      nullptr, nullptr,           &headers->tls};
  for (uint32_t i = 0; i < directories && i < 10; ++i) {
    size_t at = optional + 96 + 8 * i;
    if (at + 8 > optional + optionalSize) break;
    if (wanted[i] != nullptr) *wanted[i] = {U32(file, at), U32(file, at + 4)};
  }
  size_t table = optional + optionalSize;
  if (sectionCount == 0 || (file.size() - table) / kSectionHeaderSize < sectionCount) {
    *error = "section table missing or cut short";
    return false;
  }
  for (uint16_t i = 0; i < sectionCount; ++i) {
    size_t at = table + i * kSectionHeaderSize;
    PeSection section;
    section.name.assign(reinterpret_cast<const char*>(&file[at]),
                        strnlen(reinterpret_cast<const char*>(&file[at]), 8));
    section.virtualSize = U32(file, at + 8);
    section.rva = U32(file, at + 12);
    section.rawSize = U32(file, at + 16);
    section.rawOffset = U32(file, at + 20);
    section.characteristics = U32(file, at + 36);
    if (section.rawSize > 0 &&
        (section.rawOffset > file.size() || section.rawSize > file.size() - section.rawOffset)) {
      *error = "section " + section.name + " lies past the end of the file";
      return false;
    }
    headers->sections.push_back(section);
  }
  return true;
}

}  // namespace arm
