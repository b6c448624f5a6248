// The executable's resource section, handed to the device in the form it
// reads icons from (a .res file: one entry per resource, numbered type and
// name), so that the icons the tray shows are the ARM executable's own.
//
// The section is a three-level tree (type, name, language) of directories
// whose leaves give each resource's address and size.
#include <cstring>

#include "pe_image.h"

namespace arm {

namespace {

constexpr uint32_t kSubdirectory = 0x80000000;
constexpr uint32_t kNamedEntry = 0x80000000;

struct Tree {
  const GuestMemory& memory;
  uint32_t base;  // guest address of the image
  PeDirectory section;

  bool Has(uint32_t offset, uint32_t length) const {
    return offset <= section.size && length <= section.size - offset;
  }
  uint32_t U32(uint32_t offset) const {
    uint32_t value;
    std::memcpy(&value, memory.Host(base + section.rva + offset), 4);
    return value;
  }
  uint16_t U16(uint32_t offset) const {
    uint16_t value;
    std::memcpy(&value, memory.Host(base + section.rva + offset), 2);
    return value;
  }
};

void Put32(std::vector<uint8_t>* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void Put16(std::vector<uint8_t>* out, uint16_t value) {
  out->push_back(static_cast<uint8_t>(value));
  out->push_back(static_cast<uint8_t>(value >> 8));
}

// One .res entry: its header (sizes, numbered type and name, version and
// flag words), then the data, padded to four bytes.
void PutEntry(std::vector<uint8_t>* out, uint16_t type, uint16_t name, uint16_t language, const uint8_t* data,
              uint32_t size) {
  Put32(out, size);
  Put32(out, 32);  // the header's size
  Put16(out, 0xFFFF);
  Put16(out, type);
  Put16(out, 0xFFFF);
  Put16(out, name);
  Put32(out, 0);       // data version
  Put16(out, 0x1030);  // memory flags: moveable, pure, discardable
  Put16(out, language);
  Put32(out, 0);  // version
  Put32(out, 0);  // characteristics
  out->insert(out->end(), data, data + size);
  while (out->size() % 4 != 0) out->push_back(0);
}

// The entries of the directory at `offset`: (id, target) pairs; false if it
// does not fit in the section.
bool Entries(const Tree& tree, uint32_t offset, std::vector<std::pair<uint32_t, uint32_t>>* entries) {
  if (!tree.Has(offset, 16)) return false;
  uint32_t count = static_cast<uint32_t>(tree.U16(offset + 12)) + tree.U16(offset + 14);
  if (!tree.Has(offset + 16, 8 * count)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    entries->push_back({tree.U32(offset + 16 + 8 * i), tree.U32(offset + 20 + 8 * i)});
  }
  return true;
}

}  // namespace

bool ResourcesAsRes(const GuestMemory& memory, uint32_t base, const PeDirectory& directory,
                    std::vector<uint8_t>* res, std::string* error) {
  Tree tree{memory, base, directory};
  *error = "the resource section is malformed";
  res->clear();
  // A .res file opens with an empty entry.
  PutEntry(res, 0, 0, 0, nullptr, 0);
  std::vector<std::pair<uint32_t, uint32_t>> types;
  if (!Entries(tree, 0, &types)) return false;
  for (const auto& type : types) {
    if (!(type.second & kSubdirectory)) return false;
    std::vector<std::pair<uint32_t, uint32_t>> names;
    if (!Entries(tree, type.second & ~kSubdirectory, &names)) return false;
    for (const auto& name : names) {
      if (!(name.second & kSubdirectory)) return false;
      std::vector<std::pair<uint32_t, uint32_t>> languages;
      if (!Entries(tree, name.second & ~kSubdirectory, &languages)) return false;
      for (const auto& language : languages) {
        uint32_t leaf = language.second;
        if ((leaf & kSubdirectory) || !tree.Has(leaf, 16)) return false;
        uint32_t dataRva = tree.U32(leaf), dataSize = tree.U32(leaf + 4);
        const uint8_t* data = memory.Span(base + dataRva, dataSize, kRead);
        if (data == nullptr) return false;
        // The device names the program's resources by number only.
        if ((type.first & kNamedEntry) || (name.first & kNamedEntry)) continue;
        PutEntry(res, static_cast<uint16_t>(type.first), static_cast<uint16_t>(name.first),
                 static_cast<uint16_t>(language.first), data, dataSize);
      }
    }
  }
  error->clear();
  return true;
}

}  // namespace arm
