#include "records.h"

#include <cstring>

#include "bridge.h"

namespace arm {
namespace ce {

namespace {

uint32_t U32(const uint8_t* p, size_t at) {
  uint32_t value;
  std::memcpy(&value, p + at, 4);
  return value;
}
uint16_t U16(const uint8_t* p, size_t at) {
  uint16_t value;
  std::memcpy(&value, p + at, 2);
  return value;
}
void Put32(uint8_t* p, size_t at, uint32_t value) { std::memcpy(p + at, &value, 4); }
void Put16(uint8_t* p, size_t at, uint16_t value) { std::memcpy(p + at, &value, 2); }
uint32_t Bits(uint32_t word, int first, int count) { return (word >> first) & ((1u << count) - 1); }

// DCB's flags word, at offset 8: fBinary is bit 0, then each flag in the
// order the SDK declares them.
enum DcbBit {
  kBinary = 0,
  kParity = 1,
  kOutxCtsFlow = 2,
  kOutxDsrFlow = 3,
  kDtrControl = 4,  // 2 bits
  kDsrSensitivity = 6,
  kTxContinueOnXoff = 7,
  kOutX = 8,
  kInX = 9,
  kErrorChar = 10,
  kNull = 11,
  kRtsControl = 12,  // 2 bits
  kAbortOnError = 14,
  kDummy2 = 15  // 17 bits
};

}  // namespace

uint32_t HostSize(uint32_t guestSize, uint32_t deviceSize, size_t hostSize) {
  if (guestSize == deviceSize) return static_cast<uint32_t>(hostSize);
  return guestSize == hostSize ? 0 : guestSize;
}

void ReadDcb(const uint8_t* ce, DCB* host) {
  *host = DCB();
  host->DCBlength = HostSize(U32(ce, 0), kDcbSize, sizeof(DCB));
  host->BaudRate = U32(ce, 4);
  uint32_t flags = U32(ce, 8);
  host->fBinary = Bits(flags, kBinary, 1);
  host->fParity = Bits(flags, kParity, 1);
  host->fOutxCtsFlow = Bits(flags, kOutxCtsFlow, 1);
  host->fOutxDsrFlow = Bits(flags, kOutxDsrFlow, 1);
  host->fDtrControl = Bits(flags, kDtrControl, 2);
  host->fDsrSensitivity = Bits(flags, kDsrSensitivity, 1);
  host->fTXContinueOnXoff = Bits(flags, kTxContinueOnXoff, 1);
  host->fOutX = Bits(flags, kOutX, 1);
  host->fInX = Bits(flags, kInX, 1);
  host->fErrorChar = Bits(flags, kErrorChar, 1);
  host->fNull = Bits(flags, kNull, 1);
  host->fRtsControl = Bits(flags, kRtsControl, 2);
  host->fAbortOnError = Bits(flags, kAbortOnError, 1);
  host->fDummy2 = Bits(flags, kDummy2, 17);
  host->wReserved = U16(ce, 12);
  host->XonLim = U16(ce, 14);
  host->XoffLim = U16(ce, 16);
  host->ByteSize = ce[18];
  host->Parity = ce[19];
  host->StopBits = ce[20];
  host->XonChar = static_cast<char>(ce[21]);
  host->XoffChar = static_cast<char>(ce[22]);
  host->ErrorChar = static_cast<char>(ce[23]);
  host->EofChar = static_cast<char>(ce[24]);
  host->EvtChar = static_cast<char>(ce[25]);
  host->wReserved1 = U16(ce, 26);
}

void WriteDcb(const DCB& host, uint8_t* ce) {
  Put32(ce, 0, host.DCBlength == sizeof(DCB) ? kDcbSize : host.DCBlength);
  Put32(ce, 4, host.BaudRate);
  uint32_t flags = host.fBinary << kBinary | host.fParity << kParity | host.fOutxCtsFlow << kOutxCtsFlow |
                   host.fOutxDsrFlow << kOutxDsrFlow | host.fDtrControl << kDtrControl |
                   host.fDsrSensitivity << kDsrSensitivity | host.fTXContinueOnXoff << kTxContinueOnXoff |
                   host.fOutX << kOutX | host.fInX << kInX | host.fErrorChar << kErrorChar |
                   host.fNull << kNull | host.fRtsControl << kRtsControl |
                   host.fAbortOnError << kAbortOnError | static_cast<uint32_t>(host.fDummy2) << kDummy2;
  Put32(ce, 8, flags);
  Put16(ce, 12, host.wReserved);
  Put16(ce, 14, host.XonLim);
  Put16(ce, 16, host.XoffLim);
  ce[18] = host.ByteSize;
  ce[19] = host.Parity;
  ce[20] = host.StopBits;
  ce[21] = static_cast<uint8_t>(host.XonChar);
  ce[22] = static_cast<uint8_t>(host.XoffChar);
  ce[23] = static_cast<uint8_t>(host.ErrorChar);
  ce[24] = static_cast<uint8_t>(host.EofChar);
  ce[25] = static_cast<uint8_t>(host.EvtChar);
  Put16(ce, 26, host.wReserved1);
}

void ReadCommTimeouts(const uint8_t* ce, COMMTIMEOUTS* host) {
  host->ReadIntervalTimeout = U32(ce, 0);
  host->ReadTotalTimeoutMultiplier = U32(ce, 4);
  host->ReadTotalTimeoutConstant = U32(ce, 8);
  host->WriteTotalTimeoutMultiplier = U32(ce, 12);
  host->WriteTotalTimeoutConstant = U32(ce, 16);
}

void WriteCommTimeouts(const COMMTIMEOUTS& host, uint8_t* ce) {
  Put32(ce, 0, host.ReadIntervalTimeout);
  Put32(ce, 4, host.ReadTotalTimeoutMultiplier);
  Put32(ce, 8, host.ReadTotalTimeoutConstant);
  Put32(ce, 12, host.WriteTotalTimeoutMultiplier);
  Put32(ce, 16, host.WriteTotalTimeoutConstant);
}

void ReadMsg(const uint8_t* ce, MSG* host) {
  *host = MSG();
  host->hwnd = HostHandleAs<HWND>(U32(ce, 0));
  host->message = U32(ce, 4);
  host->wParam = HostWparam(U32(ce, 8));
  host->lParam = HostLparam(U32(ce, 12));
  host->time = U32(ce, 16);
  host->pt.x = static_cast<LONG>(U32(ce, 20));
  host->pt.y = static_cast<LONG>(U32(ce, 24));
}

bool WriteMsg(const MSG& host, uint8_t* ce) {
  if (host.wParam > 0xFFFFFFFFu || host.lParam != static_cast<int32_t>(host.lParam)) return false;
  Put32(ce, 0, GuestHandle(host.hwnd));
  Put32(ce, 4, host.message);
  Put32(ce, 8, static_cast<uint32_t>(host.wParam));
  Put32(ce, 12, GuestValue(host.lParam));
  Put32(ce, 16, host.time);
  Put32(ce, 20, static_cast<uint32_t>(host.pt.x));
  Put32(ce, 24, static_cast<uint32_t>(host.pt.y));
  return true;
}

void ReadWndClass(const uint8_t* ce, WndClass* guest) {
  uint32_t* fields[] = {&guest->style,    &guest->proc,     &guest->clsExtra, &guest->wndExtra,
                        &guest->instance, &guest->icon,     &guest->cursor,   &guest->background,
                        &guest->menuName, &guest->className};
  for (size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i) *fields[i] = U32(ce, 4 * i);
}

void ReadNotifyIconData(const uint8_t* ce, NOTIFYICONDATA* host) {
  *host = NOTIFYICONDATA();
  host->cbSize = HostSize(U32(ce, 0), kNotifyIconDataSize, sizeof(NOTIFYICONDATA));
  host->hWnd = HostHandleAs<HWND>(U32(ce, 4));
  host->uID = U32(ce, 8);
  host->uFlags = U32(ce, 12);
  host->uCallbackMessage = U32(ce, 16);
  host->hIcon = HostHandleAs<HICON>(U32(ce, 20));
  for (size_t i = 0; i < 64; ++i) host->szTip[i] = static_cast<WCHAR>(U16(ce, 24 + 2 * i));
}

void ReadInput(const uint8_t* ce, INPUT* host) {
  *host = INPUT();
  host->type = U32(ce, 0);
  if (host->type == INPUT_KEYBOARD) {
    host->ki.wVk = U16(ce, 4);
    host->ki.wScan = U16(ce, 6);
    host->ki.dwFlags = U32(ce, 8);
    host->ki.time = U32(ce, 12);
    host->ki.dwExtraInfo = U32(ce, 16);
  } else {
    host->mi.dx = static_cast<LONG>(U32(ce, 4));
    host->mi.dy = static_cast<LONG>(U32(ce, 8));
    host->mi.mouseData = U32(ce, 12);
    host->mi.dwFlags = U32(ce, 16);
    host->mi.time = U32(ce, 20);
    host->mi.dwExtraInfo = U32(ce, 24);
  }
}

void ReadTpmParams(const uint8_t* ce, TPMPARAMS* host) {
  host->cbSize = HostSize(U32(ce, 0), kTpmParamsSize, sizeof(TPMPARAMS));
  host->rcExclude.left = static_cast<LONG>(U32(ce, 4));
  host->rcExclude.top = static_cast<LONG>(U32(ce, 8));
  host->rcExclude.right = static_cast<LONG>(U32(ce, 12));
  host->rcExclude.bottom = static_cast<LONG>(U32(ce, 16));
}

}  // namespace ce
}  // namespace arm
