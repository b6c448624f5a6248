// The bridge between the guest's calls into COREDLL and the host platform:
// each bridged function reads its arguments from the guest's registers and
// stack, turns the CE records and strings they point to into the host's,
// calls the host's own implementation (the same code `nuvik` runs), and
// writes back what the function returns through pointers.
//
// The guest's pointers are 32-bit addresses in its slot and its strings
// UTF-16; its handles are the host's values, which all fit in 32 bits.
// A pointer that does not reach memory the guest may use as asked stops
// the run: on the device the call would fault in the program.
#pragma once

#include <string>
#include <vector>

#include "cpu.h"
#include "stop.h"
#include "win32.h"

namespace arm {

class Call {
 public:
  Call(Cpu& cpu, const Trap& trap, uint32_t caller) : cpu_(cpu), trap_(trap), caller_(caller) {}

  uint32_t Arg(int n) { return cpu_.Arg(n); }
  Cpu& Processor() { return cpu_; }

  // Stops the run, naming the function, the caller and `why`.
  [[noreturn]] void Refuse(const std::string& why) const;

  // The host bytes behind pointer argument n, `size` bytes of them, with
  // `access` (kRead, kWrite); nullptr when the guest passed NULL.
  uint8_t* Bytes(int n, uint32_t size, int access);
  // String argument n; false when the guest passed NULL.
  bool Wide(int n, std::u16string* text);
  // A DWORD in or out through pointer argument n (ignored when NULL).
  uint32_t In32(int n);
  void Out32(int n, uint32_t value);

 private:
  Cpu& cpu_;
  const Trap& trap_;
  uint32_t caller_;
};

// A host string argument: the text, or NULL.
struct WideArg {
  std::u16string text;
  bool null = true;
  LPCWSTR get() const { return null ? nullptr : text.c_str(); }
};
WideArg WideOf(Call& call, int n);
// A name that may be a number instead (a class atom, a resource id): values
// up to 0xFFFF are numbers, as MAKEINTRESOURCE makes them.
WideArg WideOrNumber(Call& call, int n, uintptr_t* number);

// Handles: the guest's -1 is INVALID_HANDLE_VALUE; every other value,
// the predefined registry keys included, is the host's value as it is.
inline HANDLE HostHandle(uint32_t value) {
  return value == 0xFFFFFFFFu ? INVALID_HANDLE_VALUE
                              : reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}
template <class T>
T HostHandleAs(uint32_t value) {
  return reinterpret_cast<T>(HostHandle(value));
}
uint32_t GuestHandle(const void* handle);

// Message parameters: WPARAM is unsigned, LPARAM and LRESULT signed.
inline WPARAM HostWparam(uint32_t value) { return value; }
inline LPARAM HostLparam(uint32_t value) { return static_cast<int32_t>(value); }
inline uint32_t GuestValue(intptr_t value) { return static_cast<uint32_t>(value); }

// The guest window procedure behind a host one (window_procs.cpp): the
// host calls it as any window procedure and it runs the guest's on the
// calling thread's CPU. Null once every slot is taken.
WNDPROC HostProcFor(uint32_t guestProc);

// The bridged functions of each group, by name.
struct Bridged {
  const char* name;
  Handler handler;
};
const std::vector<Bridged>& KernelFunctions();
const std::vector<Bridged>& SerialFunctions();
const std::vector<Bridged>& RegistryFunctions();
const std::vector<Bridged>& WindowFunctions();
const std::vector<Bridged>& ShellFunctions();
const std::vector<Bridged>& InputFunctions();
// The host's implementation of a COREDLL function, or null.
Handler FindBridged(const std::string& name);

}  // namespace arm
