// Serial ports: opening, line settings and time-outs (CE records), escape
// functions, event masks and waits, reads into the guest's buffer.
#include <cstring>

#include "bridge.h"
#include "device.h"
#include "records.h"

namespace arm {

namespace {

// CE has no overlapped I/O: the host refuses any OVERLAPPED, so one the
// guest passes is handed on as a pointer only.
LPOVERLAPPED Overlapped(Call& call, int n) {
  return reinterpret_cast<LPOVERLAPPED>(call.Bytes(n, 20, kRead | kWrite));
}

uint32_t BridgeCreateFileW(Call& call) {
  WideArg name = WideOf(call, 0);
  auto* security = reinterpret_cast<LPSECURITY_ATTRIBUTES>(call.Bytes(3, 4, kRead));
  return GuestHandle(CreateFileW(name.get(), call.Arg(1), call.Arg(2), security, call.Arg(4), call.Arg(5),
                                 HostHandle(call.Arg(6))));
}

uint32_t BridgeReadFile(Call& call) {
  uint32_t toRead = call.Arg(2);
  uint8_t* buffer = call.Bytes(1, toRead, kWrite);
  DWORD read = call.In32(3);
  BOOL ok =
      ReadFile(HostHandle(call.Arg(0)), buffer, toRead, call.Arg(3) ? &read : nullptr, Overlapped(call, 4));
  call.Out32(3, read);
  return ok;
}

// A port's record read into the guest's CE record, or set from it.
template <class Record>
uint32_t GetRecord(Call& call, uint32_t size, void (*read)(const uint8_t*, Record*),
                   void (*write)(const Record&, uint8_t*), BOOL(WINAPI* get)(HANDLE, Record*)) {
  uint8_t* record = call.Bytes(1, size, kRead | kWrite);
  Record host;
  if (record != nullptr) read(record, &host);
  BOOL ok = get(HostHandle(call.Arg(0)), record ? &host : nullptr);
  if (ok && record != nullptr) write(host, record);
  return ok;
}

template <class Record>
uint32_t SetRecord(Call& call, uint32_t size, void (*read)(const uint8_t*, Record*),
                   BOOL(WINAPI* set)(HANDLE, Record*)) {
  uint8_t* record = call.Bytes(1, size, kRead);
  Record host;
  if (record != nullptr) read(record, &host);
  return set(HostHandle(call.Arg(0)), record ? &host : nullptr);
}

uint32_t BridgeGetCommState(Call& call) {
  return GetRecord(call, ce::kDcbSize, ce::ReadDcb, ce::WriteDcb, GetCommState);
}
uint32_t BridgeSetCommState(Call& call) { return SetRecord(call, ce::kDcbSize, ce::ReadDcb, SetCommState); }
uint32_t BridgeGetCommTimeouts(Call& call) {
  return GetRecord(call, ce::kCommTimeoutsSize, ce::ReadCommTimeouts, ce::WriteCommTimeouts, GetCommTimeouts);
}
uint32_t BridgeSetCommTimeouts(Call& call) {
  return SetRecord(call, ce::kCommTimeoutsSize, ce::ReadCommTimeouts, SetCommTimeouts);
}

uint32_t BridgeEscapeCommFunction(Call& call) {
  return EscapeCommFunction(HostHandle(call.Arg(0)), call.Arg(1));
}
uint32_t BridgeSetCommMask(Call& call) { return SetCommMask(HostHandle(call.Arg(0)), call.Arg(1)); }

// Blocks this guest thread's host thread, as the wait blocks the thread on
// the device; the other threads run on.
uint32_t BridgeWaitCommEvent(Call& call) {
  DWORD event = call.In32(1);
  BOOL ok = WaitCommEvent(HostHandle(call.Arg(0)), call.Arg(1) ? &event : nullptr, Overlapped(call, 2));
  call.Out32(1, event);
  return ok;
}

}  // namespace

const std::vector<Bridged>& SerialFunctions() {
  static const std::vector<Bridged> functions = {
      {"CreateFileW", BridgeCreateFileW},
      {"ReadFile", BridgeReadFile},
      {"GetCommState", BridgeGetCommState},
      {"SetCommState", BridgeSetCommState},
      {"GetCommTimeouts", BridgeGetCommTimeouts},
      {"SetCommTimeouts", BridgeSetCommTimeouts},
      {"EscapeCommFunction", BridgeEscapeCommFunction},
      {"SetCommMask", BridgeSetCommMask},
      {"WaitCommEvent", BridgeWaitCommEvent},
  };
  return functions;
}

}  // namespace arm
