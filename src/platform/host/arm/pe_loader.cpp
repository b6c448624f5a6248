// Maps the executable into the guest's slot as the handheld's loader does:
// headers and sections at their addresses with their access, moved by the
// base relocations if the image was linked for another address, and the
// import table read for the bridge to fill.
#include <strings.h>

#include <cstdio>
#include <cstring>

#include "pe_image.h"
#include "stop.h"

namespace arm {

namespace {

constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;
constexpr uint16_t kRelocationNone = 0;
constexpr uint16_t kRelocationHighLow = 3;
constexpr uint32_t kImportByOrdinal = 0x80000000;
// Past the image, the slot holds the stacks of the program's threads.
constexpr uint32_t kLargestImage = 16 * 1024 * 1024;

// The image's bytes, by relative address, bounded by its size.
struct ImageView {
  const GuestMemory& memory;
  uint32_t size;
  bool Has(uint32_t rva, uint32_t length) const { return rva <= size && length <= size - rva; }
  uint32_t U32(uint32_t rva) const {
    uint32_t value;
    std::memcpy(&value, memory.Host(kImageBase + rva), 4);
    return value;
  }
  uint16_t U16(uint32_t rva) const {
    uint16_t value;
    std::memcpy(&value, memory.Host(kImageBase + rva), 2);
    return value;
  }
  // A zero-terminated name within the image.
  bool Name(uint32_t rva, std::string* name) const {
    name->clear();
    for (uint32_t at = rva; Has(at, 1); ++at) {
      char c = static_cast<char>(*memory.Host(kImageBase + at));
      if (c == 0) return true;
      name->push_back(c);
    }
    return false;
  }
};

bool MapSections(const std::vector<uint8_t>& file, const PeHeaders& headers, GuestMemory* memory,
                 std::string* error) {
  uint32_t headerPages = PageUp(headers.headersSize == 0 ? 1 : headers.headersSize);
  if (headerPages > headers.imageSize || !memory->AddRegion(kImageBase, headerPages, kRead, "headers")) {
    *error = "headers larger than the image";
    return false;
  }
  std::memcpy(memory->Host(kImageBase), file.data(), std::min<size_t>(file.size(), headerPages));
  for (const PeSection& section : headers.sections) {
    uint32_t extent = std::max(section.virtualSize, section.rawSize);
    if (extent == 0) continue;
    int access = ((section.characteristics & kSectionRead) ? kRead : 0) |
                 ((section.characteristics & kSectionWrite) ? kWrite : 0) |
                 ((section.characteristics & kSectionExecute) ? kExecute : 0);
    if (section.rva % kPageSize != 0 || section.rva > headers.imageSize ||
        PageUp(extent) > headers.imageSize - section.rva ||
        !memory->AddRegion(kImageBase + section.rva, PageUp(extent), access, section.name)) {
      *error = "section " + section.name + " at " + Hex8(section.rva) +
               " is not page-aligned, overlaps another or lies outside the image";
      return false;
    }
    uint32_t copied =
        std::min(section.rawSize, section.virtualSize == 0 ? section.rawSize : section.virtualSize);
    std::memcpy(memory->Host(kImageBase + section.rva), file.data() + section.rawOffset, copied);
  }
  return true;
}

bool Relocate(const ImageView& image, const PeHeaders& headers, std::string* error) {
  uint32_t delta = kImageBase - headers.imageBase;
  if (delta == 0) return true;
  if (headers.relocationsStripped || headers.relocations.size == 0) {
    *error = "linked for " + Hex8(headers.imageBase) + " without base relocations: it cannot run at " +
             Hex8(kImageBase) + ", where a CE 3.0 program runs";
    return false;
  }
  if (!image.Has(headers.relocations.rva, headers.relocations.size)) {
    *error = "base relocations lie outside the image";
    return false;
  }
  uint32_t at = headers.relocations.rva, end = at + headers.relocations.size;
  while (end - at >= 8) {
    uint32_t page = image.U32(at), blockSize = image.U32(at + 4);
    if (blockSize < 8 || blockSize > end - at) {
      *error = "a base relocation block at " + Hex8(at) + " is malformed";
      return false;
    }
    for (uint32_t entry = at + 8; entry + 2 <= at + blockSize; entry += 2) {
      uint16_t fixup = image.U16(entry);
      uint16_t type = fixup >> 12;
      uint32_t target = page + (fixup & 0x0FFF);
      if (type == kRelocationNone) continue;
      if (type != kRelocationHighLow || !image.Has(target, 4)) {
        *error = "base relocation of type " + std::to_string(type) + " at " + Hex8(target) +
                 ": only 32-bit words inside the image can be moved";
        return false;
      }
      uint8_t* word = image.memory.Host(kImageBase + target);
      uint32_t value;
      std::memcpy(&value, word, 4);
      value += delta;
      std::memcpy(word, &value, 4);
    }
    at += blockSize;
  }
  return true;
}

bool IsCoreDll(const std::string& name) {
  return strcasecmp(name.c_str(), "COREDLL.dll") == 0 || strcasecmp(name.c_str(), "COREDLL") == 0;
}

bool ReadImports(const ImageView& image, const PeHeaders& headers, std::vector<PeImport>* imports,
                 std::string* error) {
  if (headers.imports.size == 0) return true;
  for (uint32_t descriptor = headers.imports.rva;; descriptor += 20) {
    if (!image.Has(descriptor, 20)) {
      *error = "the import table runs past the image";
      return false;
    }
    uint32_t lookup = image.U32(descriptor), dllName = image.U32(descriptor + 12),
             slots = image.U32(descriptor + 16);
    if (lookup == 0 && dllName == 0 && slots == 0) return true;
    std::string dll;
    if (!image.Name(dllName, &dll)) {
      *error = "an import's library name lies outside the image";
      return false;
    }
    if (!IsCoreDll(dll)) {
      *error = "imports from " + dll + "; the handheld provides COREDLL.dll only";
      return false;
    }
    if (lookup == 0) lookup = slots;
    for (uint32_t i = 0;; ++i) {
      if (!image.Has(lookup + 4 * i, 4) || !image.Has(slots + 4 * i, 4)) {
        *error = "the import list of " + dll + " runs past the image";
        return false;
      }
      uint32_t entry = image.U32(lookup + 4 * i);
      if (entry == 0) break;
      PeImport import;
      import.dll = dll;
      import.slot = kImageBase + slots + 4 * i;
      if (entry & kImportByOrdinal) {
        // Which function a COREDLL number stands for is the device's own
        // table, which nothing here can check: a guessed table would run
        // the wrong function.
        *error = "imports " + dll + " function #" + std::to_string(entry & 0xFFFF) +
                 " by ordinal; the handheld resolves imports by name only";
        return false;
      }
      if (!image.Has(entry, 2) || !image.Name(entry + 2, &import.name)) {
        *error = "an import's name lies outside the image";
        return false;
      }
      imports->push_back(import);
    }
  }
}

}  // namespace

bool LoadPe(const std::vector<uint8_t>& file, GuestMemory* memory, LoadedImage* image, std::string* error) {
  PeHeaders& headers = image->headers;
  if (!ReadPeHeaders(file, &headers, error)) return false;
  if (headers.imageSize == 0 || headers.imageSize > kLargestImage) {
    *error = "image size " + std::to_string(headers.imageSize) + " bytes: not between 1 byte and 16 MB";
    return false;
  }
  if (headers.tls.size != 0) {
    *error = "has a thread-local storage directory, which CE 3.0 does not load for a program";
    return false;
  }
  if (!MapSections(file, headers, memory, error)) return false;
  ImageView view{*memory, headers.imageSize};
  if (!Relocate(view, headers, error) || !ReadImports(view, headers, &image->imports, error)) return false;
  image->entry = kImageBase + headers.entry;
  const Region* code = memory->RegionOf(image->entry);
  if (headers.entry == 0 || code == nullptr || !(code->access & kExecute)) {
    *error = "the entry point " + Hex8(image->entry) + " is not in code";
    return false;
  }
  image->end = kImageBase + PageUp(headers.imageSize);
  if (headers.resources.size != 0 &&
      !ResourcesAsRes(*memory, kImageBase, headers.resources, &image->resources, error)) {
    return false;
  }
  return true;
}

}  // namespace arm
