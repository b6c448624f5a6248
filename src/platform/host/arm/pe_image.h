// An ARM executable for Windows CE (PE32): what the handheld's loader reads
// from the file, checks, and maps into the guest's slot.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "guest_memory.h"

namespace arm {

// Every CE 3.0 executable runs at 64 KB in its slot; one linked elsewhere
// is moved there by its base relocations.
constexpr uint32_t kImageBase = 0x00010000;
constexpr uint16_t kMachineArm = 0x01C0;
constexpr uint16_t kSubsystemCeGui = 9;
// A CE 3.0 handheld runs programs made for CE 3.0 and earlier.
constexpr uint16_t kHandheldMajor = 3, kHandheldMinor = 0;
// The stack a CE 3.0 thread gets when the image does not say.
constexpr uint32_t kDefaultStack = 64 * 1024;

struct PeSection {
  std::string name;
  uint32_t rva = 0, virtualSize = 0, rawOffset = 0, rawSize = 0, characteristics = 0;
};

struct PeDirectory {
  uint32_t rva = 0, size = 0;
};

// The headers, checked: an ARM (0x01C0) executable, not a DLL, PE32, for the
// Windows CE GUI subsystem (9) at version 3.0 or earlier.
struct PeHeaders {
  uint32_t imageBase = 0, imageSize = 0, headersSize = 0, entry = 0, stackReserve = 0;
  uint16_t subsystemMajor = 0, subsystemMinor = 0;
  bool relocationsStripped = false;
  PeDirectory imports, resources, relocations, tls;
  std::vector<PeSection> sections;
};
bool ReadPeHeaders(const std::vector<uint8_t>& file, PeHeaders* headers, std::string* error);

// One import, with the guest address of its slot in the import address
// table, which the loader fills with the function's trap.
struct PeImport {
  std::string dll;
  std::string name;  // empty when imported by ordinal
  uint16_t ordinal = 0;
  uint32_t slot = 0;
};

struct LoadedImage {
  PeHeaders headers;
  uint32_t entry = 0;  // guest address of the entry point
  uint32_t end = 0;    // first guest address past the image
  std::vector<PeImport> imports;
  std::vector<uint8_t> resources;  // as a .res file: what the device reads icons from
};

// Maps the headers and sections at kImageBase with their access, applies
// the base relocations if the image was linked elsewhere, and lists the
// imports (every one from COREDLL.dll, the only library a handheld program
// may rely on here). The caller fills the import slots.
bool LoadPe(const std::vector<uint8_t>& file, GuestMemory* memory, LoadedImage* image, std::string* error);

// The resource section's tree, as the entries of a .res file (numbered
// types and names only, as the device reads them); false if it is
// malformed.
bool ResourcesAsRes(const GuestMemory& memory, uint32_t base, const PeDirectory& directory,
                    std::vector<uint8_t>* res, std::string* error);

}  // namespace arm
