// What every bridged function shares: its arguments, its pointers and
// strings, handles, and the table that finds a function by its name.
#include "bridge.h"

#include <cstring>

namespace arm {

namespace {

// A string longer than this is taken for a pointer to something else.
constexpr size_t kLongestString = 32 * 1024;

}  // namespace

void Call::Refuse(const std::string& why) const {
  Stop(trap_.name + ": " + why + " (called from " + Hex8(caller_) + " on thread " +
       std::to_string(cpu_.Number()) + ")");
}

uint8_t* Call::Bytes(int n, uint32_t size, int access) {
  uint32_t address = Arg(n);
  if (address == 0) return nullptr;
  uint8_t* bytes = Memory().Span(address, size, access);
  if (bytes == nullptr) {
    Refuse("argument " + std::to_string(n + 1) + " (" + Hex8(address) + ") does not point to " +
           std::to_string(size) + " bytes the program may " + (access & kWrite ? "write" : "read"));
  }
  return bytes;
}

bool Call::Wide(int n, std::u16string* text) {
  uint32_t address = Arg(n);
  if (address == 0) return false;
  if (!Memory().ReadWide(address, kLongestString, text)) {
    Refuse("argument " + std::to_string(n + 1) + " (" + Hex8(address) +
           ") is no string the program may read");
  }
  return true;
}

uint32_t Call::In32(int n) {
  uint8_t* bytes = Bytes(n, 4, kRead);
  uint32_t value = 0;
  if (bytes != nullptr) std::memcpy(&value, bytes, 4);
  return value;
}

void Call::Out32(int n, uint32_t value) {
  uint8_t* bytes = Bytes(n, 4, kWrite);
  if (bytes != nullptr) std::memcpy(bytes, &value, 4);
}

WideArg WideOf(Call& call, int n) {
  WideArg arg;
  arg.null = !call.Wide(n, &arg.text);
  return arg;
}

WideArg WideOrNumber(Call& call, int n, uintptr_t* number) {
  *number = call.Arg(n);
  if (*number <= 0xFFFF) return WideArg();
  *number = 0;
  return WideOf(call, n);
}

uint32_t GuestHandle(const void* handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (handle == INVALID_HANDLE_VALUE) return 0xFFFFFFFFu;
  if (value > 0xFFFFFFFFu) Stop("the host gave a handle that does not fit in the guest's 32 bits");
  return static_cast<uint32_t>(value);
}

Handler FindBridged(const std::string& name) {
  for (const auto* group : {&KernelFunctions(), &SerialFunctions(), &RegistryFunctions(), &WindowFunctions(),
                            &ShellFunctions(), &InputFunctions()}) {
    for (const Bridged& function : *group) {
      if (name == function.name) return function.handler;
    }
  }
  return nullptr;
}

}  // namespace arm
