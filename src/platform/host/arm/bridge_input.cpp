// Input injection: SendInput's CE records, and the characters of
// PostKeybdMessage.
#include <cstring>

#include "bridge.h"
#include "records.h"

namespace arm {

namespace {

uint32_t BridgeSendInput(Call& call) {
  uint32_t count = call.Arg(0), size = call.Arg(2);
  int hostSize = static_cast<int>(ce::HostSize(size, ce::kInputSize, sizeof(INPUT)));
  if (size != ce::kInputSize || uint64_t{count} * size > 0xFFFFFFFFu) {
    // The host refuses the size as the device does, reading no record.
    INPUT none = INPUT();
    return SendInput(count, call.Arg(1) ? &none : nullptr, hostSize);
  }
  uint8_t* records = call.Bytes(1, count * size, kRead);
  std::vector<INPUT> inputs(count);
  for (uint32_t i = 0; records != nullptr && i < count; ++i) ce::ReadInput(records + i * size, &inputs[i]);
  return SendInput(count, records ? inputs.data() : nullptr, hostSize);
}

uint32_t BridgePostKeybdMessage(Call& call) {
  uint32_t count = call.Arg(3);
  if (count > 0xFFFF) call.Refuse("a count of " + std::to_string(count) + " characters");
  uint8_t* shifts = call.Bytes(4, 4 * count, kRead);
  uint8_t* characters = call.Bytes(5, 4 * count, kRead);
  std::vector<UINT> shiftStates(count), characterCodes(count);
  if (shifts != nullptr && count > 0) std::memcpy(shiftStates.data(), shifts, 4 * count);
  if (characters != nullptr && count > 0) std::memcpy(characterCodes.data(), characters, 4 * count);
  return PostKeybdMessage(HostHandleAs<HWND>(call.Arg(0)), call.Arg(1), call.Arg(2), count,
                          shifts ? shiftStates.data() : nullptr,
                          characters ? characterCodes.data() : nullptr);
}

}  // namespace

const std::vector<Bridged>& InputFunctions() {
  static const std::vector<Bridged> functions = {
      {"SendInput", BridgeSendInput},
      {"PostKeybdMessage", BridgePostKeybdMessage},
  };
  return functions;
}

}  // namespace arm
