// The guest's address space: the 32 MB slot a Windows CE 3.0 process runs
// in, kept in one host allocation so that every emulated CPU (one a guest
// thread) maps the very same bytes, and the bridge reads and writes what
// the guest sees without copying through the emulator.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace arm {

// CE 3.0 gives each process a 32 MB slot and loads its executable at
// 64 KB; the first 64 KB stay unmapped, so a null pointer faults.
constexpr uint32_t kSlotSize = 0x02000000;
constexpr uint32_t kPageSize = 0x1000;

enum Access : int { kRead = 1, kWrite = 2, kExecute = 4 };

struct Region {
  uint32_t start = 0;
  uint32_t size = 0;
  int access = 0;
  std::string what;  // for fault messages: ".text", "stack of thread 2"
};

inline uint32_t PageUp(uint32_t value) { return (value + kPageSize - 1) & ~(kPageSize - 1); }

class GuestMemory {
 public:
  GuestMemory();
  ~GuestMemory();
  GuestMemory(const GuestMemory&) = delete;
  GuestMemory& operator=(const GuestMemory&) = delete;

  // False if the host has no room for the slot.
  bool Reserved() const { return base_ != nullptr; }

  // Regions are added while the image is loaded, before any guest code
  // runs; they never change afterwards, so reading them needs no lock.
  // Regions are page-aligned and do not overlap.
  bool AddRegion(uint32_t start, uint32_t size, int access, const std::string& what);
  const std::vector<Region>& Regions() const { return regions_; }

  // The host bytes behind [address, address + size), or nullptr unless the
  // whole range lies in one region that allows `access`.
  uint8_t* Span(uint32_t address, uint32_t size, int access) const;
  // The region holding the address, or nullptr.
  const Region* RegionOf(uint32_t address) const;

  // The host bytes behind the slot, for the emulator's mappings and the
  // loader (unchecked).
  uint8_t* Host(uint32_t address) const { return base_ + address; }

  bool Read32(uint32_t address, uint32_t* value) const;
  bool Write32(uint32_t address, uint32_t value) const;
  // A zero-terminated UTF-16 string of at most `limit` characters; false
  // if it runs into memory the guest may not read, or past the limit.
  bool ReadWide(uint32_t address, size_t limit, std::u16string* text) const;

 private:
  uint8_t* base_ = nullptr;
  std::vector<Region> regions_;
};

}  // namespace arm
