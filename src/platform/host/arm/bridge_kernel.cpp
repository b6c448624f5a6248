// Kernel calls: the clock, interlocked words, handles, threads, and
// the C runtime's memset and memcpy that COREDLL exports.
#include <cstring>

#include "bridge.h"
#include "device.h"

namespace arm {

namespace {

// A thread the guest asked for: its routine and parameter, and the stack it
// was given before the host thread started.
struct GuestStart {
  uint32_t routine, parameter;
  int stack;
};

DWORD WINAPI RunGuestThread(LPVOID argument) {
  GuestStart start = *static_cast<GuestStart*>(argument);
  delete static_cast<GuestStart*>(argument);
  uint32_t code = Cpu::Begin(start.stack).Call(start.routine, {start.parameter});
  Cpu::End();
  return code;
}

// The guest word behind an interlocked call, which must be aligned: the
// host's atomic operation then works on the word every CPU sees.
LPLONG Word(Call& call) {
  uint8_t* bytes = call.Bytes(0, 4, kRead | kWrite);
  if (bytes == nullptr || call.Arg(0) % 4 != 0)
    call.Refuse("the word is not an aligned one the program may write");
  return reinterpret_cast<LPLONG>(bytes);
}

uint32_t BridgeGetTickCount(Call&) { return GetTickCount(); }
uint32_t BridgeSleep(Call& call) {
  Sleep(call.Arg(0));
  return 0;
}
uint32_t BridgeInterlockedExchange(Call& call) { return InterlockedExchange(Word(call), call.Arg(1)); }
uint32_t BridgeInterlockedIncrement(Call& call) { return InterlockedIncrement(Word(call)); }
uint32_t BridgeInterlockedDecrement(Call& call) { return InterlockedDecrement(Word(call)); }
uint32_t BridgeInterlockedTestExchange(Call& call) {
  return InterlockedTestExchange(Word(call), call.Arg(1), call.Arg(2));
}
uint32_t BridgeCloseHandle(Call& call) { return CloseHandle(HostHandle(call.Arg(0))); }

// CE 3.0 gives every thread the stack the executable asks for, whatever
// CreateThread's size says; the host thread runs the emulator on its own.
uint32_t BridgeCreateThread(Call& call) {
  uint32_t routine = call.Arg(2), flags = call.Arg(4);
  auto* security = reinterpret_cast<LPSECURITY_ATTRIBUTES>(call.Bytes(0, 4, kRead));
  call.Bytes(5, 4, kWrite);  // the id's word, checked before the thread exists
  int stack = TakeStack();
  if (stack < 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  auto* start = new GuestStart{routine, call.Arg(3), stack};
  DWORD id = 0;
  HANDLE thread = CreateThread(security, 0, routine != 0 ? RunGuestThread : nullptr, start, flags, &id);
  if (thread == nullptr) {
    delete start;
    ReturnStack(stack);
    return 0;
  }
  call.Out32(5, id);
  return GuestHandle(thread);
}

uint32_t BridgeMemset(Call& call) {
  uint8_t* bytes = call.Bytes(0, call.Arg(2), kWrite);
  if (bytes != nullptr)
    std::memset(bytes, static_cast<int>(call.Arg(1) & 0xFF), call.Arg(2));
  else if (call.Arg(2) != 0)
    call.Refuse("argument 1 is NULL");
  return call.Arg(0);
}

// Whole records copied by value; the source and the destination never
// overlap there, so memmove's care is not needed, and a copy inside one
// record is refused rather than made in some order.
uint32_t BridgeMemcpy(Call& call) {
  uint32_t size = call.Arg(2);
  if (size == 0) return call.Arg(0);
  uint32_t to = call.Arg(0), from = call.Arg(1);
  if (to < from + size && from < to + size) call.Refuse("the two buffers overlap");
  uint8_t* target = call.Bytes(0, size, kWrite);
  const uint8_t* source = call.Bytes(1, size, kRead);
  if (target == nullptr || source == nullptr) call.Refuse("a buffer is NULL");
  std::memcpy(target, source, size);
  return call.Arg(0);
}

}  // namespace

const std::vector<Bridged>& KernelFunctions() {
  static const std::vector<Bridged> functions = {
      {"GetTickCount", BridgeGetTickCount},
      {"Sleep", BridgeSleep},
      {"InterlockedExchange", BridgeInterlockedExchange},
      {"InterlockedIncrement", BridgeInterlockedIncrement},
      {"InterlockedDecrement", BridgeInterlockedDecrement},
      {"InterlockedTestExchange", BridgeInterlockedTestExchange},
      {"CloseHandle", BridgeCloseHandle},
      {"CreateThread", BridgeCreateThread},
      {"memset", BridgeMemset},
      {"memcpy", BridgeMemcpy},
  };
  return functions;
}

}  // namespace arm
