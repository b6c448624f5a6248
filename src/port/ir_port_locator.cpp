#include "port/ir_port_locator.h"

// The size handed to the registry for the "Bind" value.
static const DWORD BIND_BUFFER_BYTES = 400;
static const DWORD BIND_BUFFER_CHARS = BIND_BUFFER_BYTES / sizeof(WCHAR);

static const WCHAR LINKAGE_KEY[] = TEXT("Comm\\IrDA\\Linkage");
static const WCHAR COMM_PREFIX[] = TEXT("Comm\\");
static const WCHAR PARMS_SUFFIX[] = TEXT("\\Parms");
static const DWORD COMM_PREFIX_CHARS = sizeof(COMM_PREFIX) / sizeof(WCHAR) - 1;
static const DWORD PARMS_SUFFIX_CHARS = sizeof(PARMS_SUFFIX) / sizeof(WCHAR) - 1;

// Room for the whole of any name the bind buffer can return, even one that
// fills all 200 characters without a NUL, so no name is ever cut short.
static const DWORD PARMS_PATH_CHARS = COMM_PREFIX_CHARS + BIND_BUFFER_CHARS + PARMS_SUFFIX_CHARS + 1;

// Room for the "Port" number: a DWORD as the driver writes it, with margin
// for a binary value a few bytes long. Only its first two bytes count.
static const DWORD PORT_BUFFER_BYTES = 16;

static LPCWSTR Fail(HWND owner, LPCWSTR text, LPCWSTR caption) {
  MessageBoxW(owner, text, caption, MB_OK);
  return NULL;
}

static WCHAR* Append(WCHAR* out, const WCHAR* text, DWORD count) {
  DWORD i;
  for (i = 0; i < count; ++i) *out++ = text[i];
  return out;
}

// The name of the infrared miniport from the Linkage key's "Bind" value:
// its text up to the first NUL (the first string of the usual multi-string
// value). Only the bytes the registry returned are looked at: a value with
// no NUL in them is taken whole, and an odd last byte is half a character
// and dropped. Returns the name's length, or -1 if the value can't be read.
static int ReadBindName(HKEY linkage, WCHAR* name) {
  DWORD type = 0;
  DWORD size = BIND_BUFFER_BYTES;
  if (RegQueryValueExW(linkage, TEXT("Bind"), NULL, &type, reinterpret_cast<BYTE*>(name), &size) !=
      ERROR_SUCCESS) {
    return -1;
  }
  DWORD chars = (size < BIND_BUFFER_BYTES ? size : BIND_BUFFER_BYTES) / sizeof(WCHAR);
  DWORD length = 0;
  while (length < chars && name[length] != 0) ++length;
  return static_cast<int>(length);
}

// The device name for the Parms key's "Port" value. A value that can't be
// read, is shorter than the two bytes that hold the number, or is longer
// than any port number could need (the registry then returns nothing) gives
// the last port, as any number other than 1 to 3 does.
static LPCWSTR ReadPortName(HKEY parms) {
  DWORD buffer[PORT_BUFFER_BYTES / sizeof(DWORD)] = {0};
  BYTE* bytes = reinterpret_cast<BYTE*>(buffer);
  DWORD type = 0;
  DWORD size = PORT_BUFFER_BYTES;
  if (RegQueryValueExW(parms, TEXT("Port"), NULL, &type, bytes, &size) != ERROR_SUCCESS || size < 2) {
    return TEXT("COM4:");
  }
  WORD number = static_cast<WORD>(bytes[0] | (bytes[1] << 8));
  switch (number) {
    case 1:
      return TEXT("COM1:");
    case 2:
      return TEXT("COM2:");
    case 3:
      return TEXT("COM3:");
    default:
      return TEXT("COM4:");
  }
}

LPCWSTR LocateIrPort(HWND owner) {
  HKEY linkage = NULL;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, LINKAGE_KEY, 0, 0, &linkage) != ERROR_SUCCESS) {
    return Fail(owner, TEXT("IrDA driver or IrDA port not found."), TEXT("Error 01"));
  }
  WCHAR bind[BIND_BUFFER_CHARS];
  int nameLength = ReadBindName(linkage, bind);
  RegCloseKey(linkage);
  if (nameLength < 0) return Fail(owner, TEXT("Port not found!"), TEXT("Error 02"));

  // "Comm\" + name + "\Parms". An empty name gives "Comm\\Parms", which names
  // no key, so it ends in the not-found box like any other missing key.
  WCHAR path[PARMS_PATH_CHARS];
  WCHAR* end = Append(path, COMM_PREFIX, COMM_PREFIX_CHARS);
  end = Append(end, bind, static_cast<DWORD>(nameLength));
  end = Append(end, PARMS_SUFFIX, PARMS_SUFFIX_CHARS);
  *end = 0;

  HKEY parms = NULL;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, 0, &parms) != ERROR_SUCCESS) {
    return Fail(owner, TEXT("Port not found!!"), TEXT("Error 03"));
  }
  LPCWSTR name = ReadPortName(parms);
  RegCloseKey(parms);
  return name;
}
