// The guest's slot, reserved once: pages the guest never touches cost the
// host nothing.
#include "guest_memory.h"

#include <sys/mman.h>

#include <cstring>

namespace arm {

GuestMemory::GuestMemory() {
  void* slot =
      mmap(nullptr, kSlotSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  base_ = slot == MAP_FAILED ? nullptr : static_cast<uint8_t*>(slot);
}

GuestMemory::~GuestMemory() {
  if (base_ != nullptr) munmap(base_, kSlotSize);
}

bool GuestMemory::AddRegion(uint32_t start, uint32_t size, int access, const std::string& what) {
  if (size == 0 || start % kPageSize != 0 || size % kPageSize != 0 || start > kSlotSize ||
      size > kSlotSize - start) {
    return false;
  }
  for (const Region& region : regions_) {
    if (start < region.start + region.size && region.start < start + size) return false;
  }
  regions_.push_back({start, size, access, what});
  return true;
}

const Region* GuestMemory::RegionOf(uint32_t address) const {
  for (const Region& region : regions_) {
    if (address >= region.start && address - region.start < region.size) return &region;
  }
  return nullptr;
}

uint8_t* GuestMemory::Span(uint32_t address, uint32_t size, int access) const {
  const Region* region = RegionOf(address);
  if (region == nullptr || (region->access & access) != access) return nullptr;
  if (size > region->size - (address - region->start)) return nullptr;
  return base_ + address;
}

bool GuestMemory::Read32(uint32_t address, uint32_t* value) const {
  uint8_t* bytes = Span(address, 4, kRead);
  if (bytes == nullptr) return false;
  std::memcpy(value, bytes, 4);  // the guest, like the host, is little-endian
  return true;
}

bool GuestMemory::Write32(uint32_t address, uint32_t value) const {
  uint8_t* bytes = Span(address, 4, kWrite);
  if (bytes == nullptr) return false;
  std::memcpy(bytes, &value, 4);
  return true;
}

bool GuestMemory::ReadWide(uint32_t address, size_t limit, std::u16string* text) const {
  text->clear();
  for (size_t i = 0; i <= limit; ++i) {
    uint8_t* unit = Span(address + static_cast<uint32_t>(2 * i), 2, kRead);
    if (unit == nullptr) return false;
    char16_t c = static_cast<char16_t>(unit[0] | (unit[1] << 8));
    if (c == 0) return true;
    text->push_back(c);
  }
  return false;
}

}  // namespace arm
