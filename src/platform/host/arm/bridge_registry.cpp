// Registry reads: keys opened and closed, values copied into the guest's
// buffer with their type and size.
#include "bridge.h"

namespace arm {

namespace {

uint32_t BridgeRegOpenKeyExW(Call& call) {
  WideArg subKey = WideOf(call, 1);
  uint32_t out = call.Arg(4);
  call.Bytes(4, 4, kWrite);
  HKEY key = nullptr;
  LONG result = RegOpenKeyExW(HostHandleAs<HKEY>(call.Arg(0)), subKey.get(), call.Arg(2), call.Arg(3),
                              out ? &key : nullptr);
  if (result == ERROR_SUCCESS) call.Out32(4, GuestHandle(key));
  return static_cast<uint32_t>(result);
}

uint32_t BridgeRegQueryValueExW(Call& call) {
  WideArg name = WideOf(call, 1);
  DWORD reserved = call.In32(2), type = call.In32(3), size = call.In32(5);
  // The buffer is as large as the size the guest gives for it.
  uint8_t* data = call.Bytes(4, call.Arg(5) ? size : 0, kWrite);
  LONG result =
      RegQueryValueExW(HostHandleAs<HKEY>(call.Arg(0)), name.get(), call.Arg(2) ? &reserved : nullptr,
                       call.Arg(3) ? &type : nullptr, data, call.Arg(5) ? &size : nullptr);
  call.Out32(3, type);
  call.Out32(5, size);
  return static_cast<uint32_t>(result);
}

uint32_t BridgeRegCloseKey(Call& call) {
  return static_cast<uint32_t>(RegCloseKey(HostHandleAs<HKEY>(call.Arg(0))));
}

}  // namespace

const std::vector<Bridged>& RegistryFunctions() {
  static const std::vector<Bridged> functions = {
      {"RegOpenKeyExW", BridgeRegOpenKeyExW},
      {"RegQueryValueExW", BridgeRegQueryValueExW},
      {"RegCloseKey", BridgeRegCloseKey},
  };
  return functions;
}

}  // namespace arm
