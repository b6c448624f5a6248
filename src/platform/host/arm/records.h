// The records the program hands the system, as the Windows CE 3.0 SDK lays
// them out for ARM (32-bit pointers and handles, little-endian, bit-fields
// from the lowest bit), turned into the host's records and back.
//
// The offsets are the device's, written out here rather than taken from
// any compiler's idea of the structures: if the ARM build's compiler laid
// a record out otherwise, the fields the host reads differ from what the
// program meant, exactly as a Pocket PC would misread them.
#pragma once

#include <stdint.h>

#include "win32.h"

namespace arm {
namespace ce {

constexpr uint32_t kDcbSize = 28;
constexpr uint32_t kCommTimeoutsSize = 20;
constexpr uint32_t kMsgSize = 28;
constexpr uint32_t kWndClassSize = 40;
constexpr uint32_t kNotifyIconDataSize = 152;
constexpr uint32_t kInputSize = 28;
constexpr uint32_t kTpmParamsSize = 20;

// A record's size field as the host must see it: the device's size for the
// record stands for the host's; any other size stays wrong on the host too.
uint32_t HostSize(uint32_t guestSize, uint32_t deviceSize, size_t hostSize);

void ReadDcb(const uint8_t* ce, DCB* host);
void WriteDcb(const DCB& host, uint8_t* ce);
void ReadCommTimeouts(const uint8_t* ce, COMMTIMEOUTS* host);
void WriteCommTimeouts(const COMMTIMEOUTS& host, uint8_t* ce);

void ReadMsg(const uint8_t* ce, MSG* host);
// False if a parameter does not fit the guest's 32 bits.
bool WriteMsg(const MSG& host, uint8_t* ce);

// WNDCLASSW with the guest's pointers as they are: the bridge turns the
// window procedure and the strings into the host's.
struct WndClass {
  uint32_t style, proc, clsExtra, wndExtra, instance, icon, cursor, background, menuName, className;
};
void ReadWndClass(const uint8_t* ce, WndClass* guest);

void ReadNotifyIconData(const uint8_t* ce, NOTIFYICONDATA* host);
void ReadInput(const uint8_t* ce, INPUT* host);
void ReadTpmParams(const uint8_t* ce, TPMPARAMS* host);

}  // namespace ce
}  // namespace arm
