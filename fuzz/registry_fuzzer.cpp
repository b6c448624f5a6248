// Fuzzes what the registry can hand the port lookup: registry exports
// loaded whole, and arbitrary "Bind" and "Port" values.
//
// Byte 0 picks the mode. Even: the rest is a .reg file, loaded as
// "fuzz.reg"; it must load or fail with "fuzz.reg:LINE: what". Odd: the
// rest builds the values directly:
//   byte 1      flags: 1 Linkage key, 2 "Bind" value, 4 Parms key,
//               8 "Port" value, 16 the Parms key is named by the Bind text
//   byte 2      the Bind value's type
//   bytes 3-4   the Bind value's length (little-endian), then its bytes
//   byte        the Parms name's length in characters, then its UTF-16LE
//               units (unless flag 16)
//   byte        the Port value's type, then the Port value (the rest)
//               (flags 32 and 64 pick the encoding of the export below)
// After either, LocateIrPort() runs and its result is checked against a model
// that reads the same registry through plain queries with ample buffers.
// In the second mode the same keys and values are then written out as a
// registry export, loaded into an empty registry, and must read back
// exactly as they were set, with the same lookup result.
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "device.h"
#include "platform.h"
#include "port/ir_port_locator.h"

namespace {

#define CHECK(condition)                                                                     \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      fprintf(stderr, "registry_fuzzer: check failed at line %d: %s\n", __LINE__, #condition); \
      __builtin_trap();                                                                      \
    }                                                                                        \
  } while (0)

const char16_t kLinkage[] = u"Comm\\IrDA\\Linkage";

struct Outcome {
  int result;
  std::u16string text;     // the one box's text on failure
  std::u16string caption;  // and its caption
  std::u16string port;     // the device name on success
};

Outcome Failure(const char16_t* text, const char16_t* caption) { return Outcome{0, text, caption, u""}; }

// A value's bytes as the registry holds them; false if it cannot be read.
bool QueryWhole(HKEY key, const char16_t* name, std::vector<BYTE>* bytes) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  bytes->assign(size + 1, 0);  // never empty, so data() is a real buffer
  DWORD got = size;
  if (RegQueryValueExW(key, name, nullptr, &type, bytes->data(), &got) != ERROR_SUCCESS) return false;
  CHECK(got == size);
  bytes->resize(size);
  return true;
}

// What the lookup must give: the rules of the port lookup over what the
// registry holds.
Outcome Expected() {
  HKEY linkage = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLinkage, 0, 0, &linkage) != ERROR_SUCCESS) {
    return Failure(u"IrDA driver or IrDA port not found.", u"Error 01");
  }
  std::vector<BYTE> bind;
  bool readable = QueryWhole(linkage, u"Bind", &bind);
  CHECK(RegCloseKey(linkage) == ERROR_SUCCESS);
  // A value that does not fit the lookup's 400-byte buffer cannot be read.
  if (!readable || bind.size() > 400) return Failure(u"Port not found!", u"Error 02");

  std::u16string name;
  for (size_t i = 0; i + 1 < bind.size(); i += 2) {
    char16_t unit = static_cast<char16_t>(bind[i] | (bind[i + 1] << 8));
    if (unit == 0) break;
    name.push_back(unit);
  }
  std::u16string path = u"Comm\\" + name + u"\\Parms";
  HKEY parms = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, &parms) != ERROR_SUCCESS) {
    return Failure(u"Port not found!!", u"Error 03");
  }
  std::vector<BYTE> port;
  bool hasPort = QueryWhole(parms, u"Port", &port);
  CHECK(RegCloseKey(parms) == ERROR_SUCCESS);
  unsigned number = 0;
  // Only the first two bytes count, of a value no longer than a port number
  // could need.
  if (hasPort && port.size() >= 2 && port.size() <= 16) number = port[0] | (port[1] << 8);
  switch (number) {
    case 1:
      return Outcome{1, u"", u"", u"COM1:"};
    case 2:
      return Outcome{1, u"", u"", u"COM2:"};
    case 3:
      return Outcome{1, u"", u"", u"COM3:"};
    default:
      return Outcome{1, u"", u"", u"COM4:"};
  }
}

void CheckLocate() {
  Outcome expected = Expected();
  CHECK(device::OpenRegistryKeys() == 0);
  device::ClearRecords();
  LPCWSTR name = LocateIrPort(nullptr);
  int result = name != nullptr ? 1 : 0;
  CHECK(device::OpenRegistryKeys() == 0);
  CHECK(result == expected.result);
  std::vector<device::MessageBoxRecord> boxes = device::MessageBoxes();
  if (result == 0) {
    CHECK(boxes.size() == 1);
    CHECK(boxes[0].text == expected.text);
    CHECK(boxes[0].caption == expected.caption);
    CHECK(boxes[0].type == MB_OK);
    return;
  }
  CHECK(boxes.empty());
  CHECK(std::u16string(reinterpret_cast<const char16_t*>(name)) == expected.port);
}

// "fuzz.reg:" then a line number from 1, ": " and some words.
bool IsLoadError(const std::string& error) {
  const std::string prefix = "fuzz.reg:";
  if (error.compare(0, prefix.size(), prefix) != 0) return false;
  size_t at = prefix.size();
  size_t digits = at;
  while (digits < error.size() && error[digits] >= '0' && error[digits] <= '9') ++digits;
  if (digits == at || error[at] == '0') return false;
  return error.compare(digits, 2, ": ") == 0 && error.size() > digits + 2;
}

void LoadRegFile(const uint8_t* data, size_t size) {
  std::string error = "untouched";
  std::string text(reinterpret_cast<const char*>(data), size);
  if (!device::RegistryLoadText(text, "fuzz.reg", &error)) {
    if (!IsLoadError(error)) {
      fprintf(stderr, "registry_fuzzer: load error not in FILE:LINE: form: %s\n", error.c_str());
      __builtin_trap();
    }
    // A malformed file loads nothing: the registry is still empty.
    HKEY comm = nullptr;
    CHECK(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Comm", 0, 0, &comm) == ERROR_FILE_NOT_FOUND);
  }
  CheckLocate();
}

// ---- Export and reload -----------------------------------------------------

// What the lookup's keys hold, read back through the program's registry
// calls: whether each key exists, and each value's type and bytes.
struct ValueState {
  bool present = false;
  DWORD type = 0;
  std::vector<BYTE> data;
};

struct Snapshot {
  bool linkage = false;
  ValueState bind;
  bool parms = false;
  ValueState port;
};

ValueState ReadValue(HKEY key, const char16_t* name) {
  ValueState value;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) return value;
  value.present = QueryWhole(key, name, &value.data);
  CHECK(value.present);
  return value;
}

void ReadKey(const std::u16string& path, const char16_t* valueName, bool* exists, ValueState* value) {
  HKEY key = nullptr;
  *exists = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, &key) == ERROR_SUCCESS;
  if (!*exists) return;
  *value = ReadValue(key, valueName);
  CHECK(RegCloseKey(key) == ERROR_SUCCESS);
}

Snapshot Take(const std::u16string& parmsPath) {
  Snapshot snapshot;
  ReadKey(kLinkage, u"Bind", &snapshot.linkage, &snapshot.bind);
  ReadKey(parmsPath, u"Port", &snapshot.parms, &snapshot.port);
  return snapshot;
}

bool Same(const ValueState& a, const ValueState& b) {
  return a.present == b.present && (!a.present || (a.type == b.type && a.data == b.data));
}

// The key path as the device side reads it: elements between backslashes,
// empty ones dropped.
std::vector<std::u16string> Elements(const std::u16string& path) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::u16string Join(const std::vector<std::u16string>& parts) {
  std::u16string path;
  for (const std::u16string& part : parts) path += (path.empty() ? u"" : u"\\") + part;
  return path;
}

enum class Encoding { Utf16, Utf8, Regedit4 };

// A value as "name"=hex(T):.. with continuation lines, as regedit writes
// it. REGEDIT4 holds the strings of hex(2) and hex(7) as 8-bit characters,
// so there the low bytes of the UTF-16 units are written.
std::u16string HexValue(const char16_t* name, DWORD type, const std::vector<BYTE>& data, bool narrow) {
  static const char16_t kDigits[] = u"0123456789abcdef";
  std::u16string line = u"\"" + std::u16string(name) + u"\"=hex(";
  std::u16string typeDigits;
  for (DWORD t = type;; t >>= 4) {
    typeDigits.insert(typeDigits.begin(), kDigits[t & 15]);
    if (t < 16) break;
  }
  line += typeDigits + u"):";
  size_t step = narrow ? 2 : 1;
  for (size_t i = 0, n = 0; i < data.size(); i += step, ++n) {
    if (n != 0) line += (n % 16 == 0) ? u",\\\r\n  " : u",";
    line += kDigits[data[i] >> 4];
    line += kDigits[data[i] & 15];
  }
  return line + u"\r\n";
}

bool IsString(DWORD type) { return type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Whether REGEDIT4 can hold the value: its strings must be 8-bit text.
bool NarrowFits(DWORD type, const std::vector<BYTE>& data) {
  if (!IsString(type)) return true;
  if (data.size() % 2 != 0) return false;
  for (size_t i = 1; i < data.size(); i += 2) {
    if (data[i] != 0) return false;
  }
  return true;
}

std::string Encode(const std::u16string& text, Encoding encoding) {
  std::string bytes;
  if (encoding == Encoding::Utf16) {
    bytes = "\xFF\xFE";
    for (char16_t unit : text) {
      bytes.push_back(static_cast<char>(unit & 0xFF));
      bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
  }
  for (char16_t unit : text) bytes.push_back(static_cast<char>(unit));  // ASCII only, checked by the caller
  return bytes;
}

// Writes what SetValues put in the registry as an export, loads it into an
// empty registry and checks that it reads back the same.
void ExportAndReload(BYTE flags, const std::vector<std::u16string>& parmsParts, DWORD bindType,
                     const std::vector<BYTE>& bind, DWORD portType, const std::vector<BYTE>& port) {
  Encoding encoding = (flags & 32) ? Encoding::Utf8 : (flags & 64) ? Encoding::Regedit4 : Encoding::Utf16;
  for (const std::u16string& part : parmsParts) {
    for (char16_t c : part) {
      if (c == u'\n' || c == u'\r') return;  // a key line cannot hold a line break
      if (c >= 0x80 && encoding != Encoding::Utf16) encoding = Encoding::Utf16;
    }
  }
  bool narrow = encoding == Encoding::Regedit4;
  if (narrow && (!NarrowFits(bindType, bind) || !NarrowFits(portType, port))) {
    encoding = Encoding::Utf16;
    narrow = false;
  }
  std::u16string parmsPath = Join(parmsParts);
  Snapshot before = Take(parmsPath);

  std::u16string text = narrow ? u"REGEDIT4\r\n\r\n" : u"Windows Registry Editor Version 5.00\r\n\r\n";
  if (flags & 3) {
    text += u"[HKEY_LOCAL_MACHINE\\" + std::u16string(kLinkage) + u"]\r\n";
    if (flags & 2) text += HexValue(u"Bind", bindType, bind, narrow && IsString(bindType));
  }
  if (flags & 12) {
    text += u"\r\n[HKEY_LOCAL_MACHINE\\" + parmsPath + u"]\r\n";
    if (flags & 8) text += HexValue(u"Port", portType, port, narrow && IsString(portType));
  }
  Outcome direct = Expected();

  device::Reset();
  std::string error;
  if (!device::RegistryLoadText(Encode(text, encoding), "export.reg", &error)) {
    fprintf(stderr, "registry_fuzzer: a written export does not load: %s\n", error.c_str());
    __builtin_trap();
  }
  Snapshot after = Take(parmsPath);
  CHECK(before.linkage == after.linkage);
  CHECK(Same(before.bind, after.bind));
  CHECK(before.parms == after.parms);
  CHECK(Same(before.port, after.port));
  Outcome reloaded = Expected();
  CHECK(direct.result == reloaded.result && direct.text == reloaded.text && direct.port == reloaded.port);
  CheckLocate();
}

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  BYTE Byte() { return at < size ? data[at++] : 0; }
  std::vector<BYTE> Bytes(size_t count) {
    if (count > size - at) count = size - at;
    std::vector<BYTE> bytes(data + at, data + at + count);
    at += count;
    return bytes;
  }
};

void SetValues(const uint8_t* data, size_t size) {
  Reader in{data, size};
  BYTE flags = in.Byte();
  DWORD bindType = in.Byte();
  size_t bindLength = in.Byte();
  bindLength |= static_cast<size_t>(in.Byte()) << 8;
  std::vector<BYTE> bind = in.Bytes(bindLength);

  std::u16string name;
  if (flags & 16) {
    for (size_t i = 0; i + 1 < bind.size() && i < 400; i += 2) {
      char16_t unit = static_cast<char16_t>(bind[i] | (bind[i + 1] << 8));
      if (unit == 0) break;
      name.push_back(unit);
    }
  } else {
    size_t chars = in.Byte();
    std::vector<BYTE> units = in.Bytes(chars * 2);
    for (size_t i = 0; i + 1 < units.size(); i += 2) name.push_back(static_cast<char16_t>(units[i] | (units[i + 1] << 8)));
  }
  DWORD portType = in.Byte();
  std::vector<BYTE> port = in.Bytes(size);

  if (flags & 1) device::RegistryCreateKey(kLinkage);
  if (flags & 2) device::RegistrySetValue(kLinkage, u"Bind", bindType, bind);
  std::u16string parms = u"Comm\\" + name + u"\\Parms";
  if (flags & 4) device::RegistryCreateKey(parms);
  if (flags & 8) device::RegistrySetValue(parms, u"Port", portType, port);
  CheckLocate();
  ExportAndReload(flags, Elements(parms), bindType, bind, portType, port);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  device::Reset();
  if (data[0] % 2 == 0) {
    LoadRegFile(data + 1, size - 1);
  } else {
    SetValues(data + 1, size - 1);
  }
  return 0;
}
