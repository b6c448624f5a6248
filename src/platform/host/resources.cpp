// The executable's resources: the bytes of the .res file the build compiles
// from the same resource script as the Windows executable, handed over by
// whoever runs the program (device::SetModuleResources). Icons are read from
// them as the handheld reads them from the executable, so an ICON missing
// from the script or numbered wrongly fails here as it would there.
//
// A .res file is a run of entries, each a header (data size, header size,
// type, name, then version and flags words) followed by its data, both
// padded to four bytes. An icon is an RT_GROUP_ICON entry listing its images
// by size, each image an RT_ICON entry holding a DIB with an AND mask.
#include <cstdlib>
#include <mutex>

#include "internal.h"

namespace {

constexpr WORD kRtIcon = 3;
constexpr WORD kRtGroupIcon = 14;
constexpr size_t kGroupEntrySize = 14;  // GRPICONDIRENTRY

struct Module {
  std::mutex mutex;
  const BYTE* bytes = nullptr;
  size_t size = 0;
};

Module& M() {
  static Module* module = new Module;  // never destroyed: threads may outlive main
  return *module;
}

DWORD Dword(const BYTE* p) {
  return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
         static_cast<DWORD>(p[3]) << 24;
}
WORD Word(const BYTE* p) { return static_cast<WORD>(p[0] | p[1] << 8); }

// A type or name field: a number (0xFFFF then the number) or a string,
// which this program never uses (-1). Advances *at past the field.
bool ReadId(const BYTE* header, size_t end, size_t* at, long* id) {
  if (*at + 4 > end) return false;
  if (Word(header + *at) == 0xFFFF) {
    *id = Word(header + *at + 2);
    *at += 4;
    return true;
  }
  while (*at + 2 <= end && Word(header + *at) != 0) *at += 2;
  if (*at + 2 > end) return false;
  *at += 2;
  *id = -1;
  return true;
}

// The data of the entry with this numeric type and name; false if there is
// none or the file is malformed up to it.
bool FindEntry(const BYTE* bytes, size_t size, WORD type, WORD name, const BYTE** data, size_t* dataSize) {
  size_t at = 0;
  while (at + 8 <= size) {
    DWORD length = Dword(bytes + at);
    DWORD headerSize = Dword(bytes + at + 4);
    if (headerSize < 16 || headerSize > size - at || length > size - at - headerSize) return false;
    const BYTE* header = bytes + at;
    size_t field = 8;
    long entryType = 0, entryName = 0;
    if (!ReadId(header, headerSize, &field, &entryType) || !ReadId(header, headerSize, &field, &entryName)) {
      return false;
    }
    if (entryType == type && entryName == name) {
      *data = header + headerSize;
      *dataSize = length;
      return true;
    }
    size_t next = at + headerSize + length;
    at = (next + 3) & ~static_cast<size_t>(3);
  }
  return false;
}

// Which image of a group fits a wanted size best: the exact size, else the
// nearest (the larger on a tie, as scaling down loses less).
bool PickImage(const BYTE* group, size_t groupSize, int cx, int cy, WORD* imageId, int* width, int* height) {
  if (groupSize < 6 || Word(group + 2) != 1) return false;  // 1: icons, not cursors
  size_t count = Word(group + 4);
  if (count == 0 || groupSize < 6 + count * kGroupEntrySize) return false;
  long best = -1;
  for (size_t i = 0; i < count; ++i) {
    const BYTE* entry = group + 6 + i * kGroupEntrySize;
    int w = entry[0] ? entry[0] : 256;
    int h = entry[1] ? entry[1] : 256;
    long distance = std::labs(static_cast<long>(w) - cx) + std::labs(static_cast<long>(h) - cy);
    if (best < 0 || distance < best || (distance == best && w > *width)) {
      best = distance;
      *imageId = Word(entry + 12);
      *width = w;
      *height = h;
    }
  }
  return true;
}

}  // namespace

namespace host {

bool FindIcon(int id, int cx, int cy, IconPick* pick) {
  if (id <= 0 || id > 0xFFFF) return false;
  std::lock_guard<std::mutex> lock(M().mutex);
  const BYTE* group = nullptr;
  size_t groupSize = 0;
  if (!FindEntry(M().bytes, M().size, kRtGroupIcon, static_cast<WORD>(id), &group, &groupSize)) return false;
  // The handheld's default icon size when none is asked for.
  if (cx <= 0) cx = 32;
  if (cy <= 0) cy = 32;
  WORD imageId = 0;
  if (!PickImage(group, groupSize, cx, cy, &imageId, &pick->width, &pick->height)) return false;
  return FindEntry(M().bytes, M().size, kRtIcon, imageId, &pick->image, &pick->imageSize);
}

// Decodes an icon image (a DIB of twice the icon's height: the colours, then
// the AND mask) into 0xAARRGGBB words, top row first; a set mask bit is a
// transparent pixel. Palette depths 1, 4 and 8 and direct 24 and 32 bits.
bool DecodeIcon(const IconPick& pick, std::vector<uint32_t>* argb, int* decodedWidth, int* decodedHeight) {
  const BYTE* dib = pick.image;
  size_t size = pick.imageSize;
  if (size < 40) return false;
  DWORD headerSize = Dword(dib);
  long width = static_cast<int32_t>(Dword(dib + 4));
  long height = static_cast<int32_t>(Dword(dib + 8)) / 2;
  WORD bits = Word(dib + 14);
  DWORD compression = Dword(dib + 16);
  DWORD used = Dword(dib + 32);
  if (headerSize < 40 || headerSize > size || width <= 0 || height <= 0 || width > 256 || height > 256 ||
      compression != 0) {
    return false;
  }
  if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) return false;
  size_t colours = bits <= 8 ? (used ? used : 1u << bits) : 0;
  if (colours > 256) return false;
  size_t palette = headerSize;
  size_t xorStride = ((static_cast<size_t>(width) * bits + 31) / 32) * 4;
  size_t andStride = ((static_cast<size_t>(width) + 31) / 32) * 4;
  size_t xorAt = palette + colours * 4;
  size_t andAt = xorAt + xorStride * static_cast<size_t>(height);
  if (andAt + andStride * static_cast<size_t>(height) > size) return false;

  *decodedWidth = static_cast<int>(width);
  *decodedHeight = static_cast<int>(height);
  argb->assign(static_cast<size_t>(width * height), 0);
  for (long y = 0; y < height; ++y) {
    const BYTE* row = dib + xorAt + xorStride * static_cast<size_t>(height - 1 - y);  // bottom-up
    const BYTE* mask = dib + andAt + andStride * static_cast<size_t>(height - 1 - y);
    for (long x = 0; x < width; ++x) {
      if (mask[x / 8] & (0x80 >> (x % 8))) continue;  // transparent
      uint32_t pixel;
      if (bits <= 8) {
        size_t bit = static_cast<size_t>(x) * bits;
        unsigned index = (row[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
        if (index >= colours) return false;
        const BYTE* quad = dib + palette + index * 4;  // blue, green, red, unused
        pixel = 0xFF000000u | static_cast<uint32_t>(quad[2]) << 16 | static_cast<uint32_t>(quad[1]) << 8 | quad[0];
      } else {
        const BYTE* p = row + static_cast<size_t>(x) * (bits / 8);
        uint32_t alpha = bits == 32 ? p[3] : 0xFF;
        pixel = alpha << 24 | static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
      }
      (*argb)[static_cast<size_t>(y * width + x)] = pixel;
    }
  }
  return true;
}

}  // namespace host

namespace device {

void SetModuleResources(const void* bytes, size_t size) {
  std::lock_guard<std::mutex> lock(M().mutex);
  M().bytes = static_cast<const BYTE*>(bytes);
  M().size = bytes ? size : 0;
}

bool IconImage(int iconId, int size, std::vector<uint32_t>* argb) {
  host::IconPick pick;
  std::vector<uint32_t> image;
  int width = 0, height = 0;
  if (!argb || size <= 0 || !host::FindIcon(iconId, size, size, &pick) ||
      !host::DecodeIcon(pick, &image, &width, &height)) {
    return false;
  }
  // An image of another size is scaled to the one asked for, nearest pixel,
  // as LoadImageW stretches it.
  argb->resize(static_cast<size_t>(size) * static_cast<size_t>(size));
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      size_t from = static_cast<size_t>(y * height / size) * static_cast<size_t>(width) +
                    static_cast<size_t>(x * width / size);
      (*argb)[static_cast<size_t>(y) * static_cast<size_t>(size) + static_cast<size_t>(x)] = image[from];
    }
  }
  return true;
}

}  // namespace device
