// nuvik-arm reads the records the ARM program hands the system at the
// device's offsets: each field the host reads comes from exactly the bytes
// the CE SDK puts it at, so an ARM build whose compiler laid a record out
// otherwise hands the host other values, as a Pocket PC would read them.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "records.h"

namespace {

std::map<std::string, uint32_t> Flags(const DCB& d) {
  return {{"fBinary", d.fBinary},
          {"fParity", d.fParity},
          {"fOutxCtsFlow", d.fOutxCtsFlow},
          {"fOutxDsrFlow", d.fOutxDsrFlow},
          {"fDtrControl", d.fDtrControl},
          {"fDsrSensitivity", d.fDsrSensitivity},
          {"fTXContinueOnXoff", d.fTXContinueOnXoff},
          {"fOutX", d.fOutX},
          {"fInX", d.fInX},
          {"fErrorChar", d.fErrorChar},
          {"fNull", d.fNull},
          {"fRtsControl", d.fRtsControl},
          {"fAbortOnError", d.fAbortOnError},
          {"fDummy2", d.fDummy2}};
}

// The CE record with one bit of its flags word (offset 8) set.
std::vector<uint8_t> DcbWithFlagBit(int bit) {
  std::vector<uint8_t> ce(arm::ce::kDcbSize, 0);
  uint32_t flags = 1u << bit;
  std::memcpy(&ce[8], &flags, 4);
  return ce;
}

TEST(ArmRecords, EachDcbFlagBitIsTheFieldTheSdkDeclaresThere) {
  const struct {
    int bit;
    const char* field;
    uint32_t value;
  } rows[] = {{0, "fBinary", 1},         {1, "fParity", 1},
              {2, "fOutxCtsFlow", 1},    {3, "fOutxDsrFlow", 1},
              {4, "fDtrControl", 1},     {5, "fDtrControl", 2},
              {6, "fDsrSensitivity", 1}, {7, "fTXContinueOnXoff", 1},
              {8, "fOutX", 1},           {9, "fInX", 1},
              {10, "fErrorChar", 1},     {11, "fNull", 1},
              {12, "fRtsControl", 1},    {13, "fRtsControl", 2},
              {14, "fAbortOnError", 1},  {15, "fDummy2", 1},
              {31, "fDummy2", 1u << 16}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.bit);
    DCB host;
    std::vector<uint8_t> ce = DcbWithFlagBit(row.bit);
    arm::ce::ReadDcb(ce.data(), &host);
    for (const auto& field : Flags(host))
      EXPECT_EQ(field.second, field.first == row.field ? row.value : 0u) << field.first;
    std::vector<uint8_t> back(arm::ce::kDcbSize, 0xEE);
    arm::ce::WriteDcb(host, back.data());
    EXPECT_EQ(back, ce);
  }
}

TEST(ArmRecords, DcbAndInputFieldsComeFromTheirOffsets) {
  std::vector<uint8_t> ce(arm::ce::kDcbSize);
  for (size_t i = 0; i < ce.size(); ++i) ce[i] = static_cast<uint8_t>(0x10 + i);
  DCB dcb;
  arm::ce::ReadDcb(ce.data(), &dcb);
  EXPECT_EQ(dcb.DCBlength, 0x13121110u);  // not the CE size, so not the host's either
  EXPECT_EQ(dcb.BaudRate, 0x17161514u);
  EXPECT_EQ(dcb.XonLim, 0x1F1E);
  EXPECT_EQ(dcb.XoffLim, 0x2120);
  EXPECT_EQ((std::vector<int>{dcb.ByteSize, dcb.Parity, dcb.StopBits, dcb.XonChar, dcb.XoffChar,
                              dcb.ErrorChar, dcb.EofChar, dcb.EvtChar}),
            (std::vector<int>{0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29}));
  EXPECT_EQ(dcb.wReserved1, 0x2B2A);

  // A key-up of A as the program's INPUT lays it out: type, then the
  // keyboard record of the union at offset 4.
  const uint8_t input[arm::ce::kInputSize] = {1, 0, 0,    0,    0x41, 0,    0x1E, 0,    2,    0,
                                              0, 0, 0x78, 0x56, 0x34, 0x12, 0x00, 0x80, 0x41, 0x00};
  INPUT key;
  arm::ce::ReadInput(input, &key);
  EXPECT_EQ(key.type, static_cast<DWORD>(INPUT_KEYBOARD));
  EXPECT_EQ(
      (std::vector<uint64_t>{key.ki.wVk, key.ki.wScan, key.ki.dwFlags, key.ki.time, key.ki.dwExtraInfo}),
      (std::vector<uint64_t>{0x41, 0x1E, KEYEVENTF_KEYUP, 0x12345678, 0x00418000}));
}

TEST(ArmRecords, TrayRecordAndMessageAtTheDevicesOffsets) {
  std::vector<uint8_t> ce(arm::ce::kNotifyIconDataSize, 0);
  const uint32_t words[] = {arm::ce::kNotifyIconDataSize, 0x1010,        7,
                            NIF_ICON | NIF_MESSAGE,       WM_USER + 100, 0x1024};
  std::memcpy(ce.data(), words, sizeof words);
  ce[24] = 'N';
  ce[24 + 2 * 63] = '!';
  NOTIFYICONDATA data;
  arm::ce::ReadNotifyIconData(ce.data(), &data);
  EXPECT_EQ(data.cbSize, sizeof(NOTIFYICONDATA)) << "the device's size stands for the host's";
  EXPECT_EQ(reinterpret_cast<uintptr_t>(data.hWnd), 0x1010u);
  EXPECT_EQ((std::vector<UINT>{data.uID, data.uFlags, data.uCallbackMessage}),
            (std::vector<UINT>{7, NIF_ICON | NIF_MESSAGE, WM_USER + 100}));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(data.hIcon), 0x1024u);
  EXPECT_EQ(data.szTip[0], u'N');
  EXPECT_EQ(data.szTip[63], u'!');

  // A message out to the guest and back; a parameter wider than 32 bits
  // cannot go out at all.
  MSG msg = MSG();
  msg.hwnd = reinterpret_cast<HWND>(0x1008);
  msg.message = WM_COMMAND;
  msg.wParam = 0xFFFFFFFFu;
  msg.lParam = -2;
  msg.pt.y = -1;
  uint8_t record[arm::ce::kMsgSize];
  ASSERT_TRUE(arm::ce::WriteMsg(msg, record));
  MSG back;
  arm::ce::ReadMsg(record, &back);
  EXPECT_EQ((std::vector<int64_t>{reinterpret_cast<intptr_t>(back.hwnd), back.message,
                                  static_cast<int64_t>(back.wParam), back.lParam, back.pt.y}),
            (std::vector<int64_t>{0x1008, WM_COMMAND, 0xFFFFFFFF, -2, -1}));
  msg.lParam = static_cast<LPARAM>(0x100000000);
  EXPECT_FALSE(arm::ce::WriteMsg(msg, record));
}

TEST(ArmRecords, OnlyTheDevicesSizeStandsForTheHosts) {
  // The device's size becomes the host's; the host's own size, which the
  // device would refuse, must not pass on the host either.
  EXPECT_EQ(arm::ce::HostSize(152, 152, 168), 168u);
  EXPECT_EQ(arm::ce::HostSize(168, 152, 168), 0u);
  EXPECT_EQ(arm::ce::HostSize(88, 152, 168), 88u);
  EXPECT_EQ(arm::ce::HostSize(28, 28, 28), 28u);
}

}  // namespace
