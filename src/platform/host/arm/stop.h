// Ends the run when the guest cannot go on: a fault in its code, a bad
// pointer handed to the system, a call the handheld does not provide.
#pragma once

#include <stdint.h>

#include <string>

namespace arm {

// The exit code of a run stopped so (the program's own codes are 0 and 1,
// the handheld's refusals 2).
constexpr int kStoppedExit = 3;

// Writes out the trace so far, then "nuvik-arm: " + message on standard
// error, and ends the process with kStoppedExit. Safe from any thread; a
// second caller waits for the first to end the process.
[[noreturn]] void Stop(const std::string& message);

std::string Hex8(uint32_t value);  // "0x0001F2A0"

}  // namespace arm
