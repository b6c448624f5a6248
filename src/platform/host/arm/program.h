// The ARM program as the handheld starts it: its file loaded into a fresh
// slot, its imports bound to the bridge, stacks for its threads, and its
// entry point called as the program's main thread.
#pragma once

#include <string>

namespace arm {

// Loads the executable at `path`; false with the reason if the handheld
// would refuse it (not an ARM CE 3.0 GUI program, malformed, imports from
// another library or by ordinal). Hands its resources to the device.
bool LoadProgram(const std::string& path, std::string* error);

// Calls the entry point (WinMain's arguments: the instance, no previous
// instance, an empty command line, SW_SHOW) on the calling thread, which
// becomes the program's main thread; returns what it returns.
int RunProgram();

}  // namespace arm
