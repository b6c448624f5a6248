// The simulated handheld around the program: its environment, its console
// (the stylus and other programs) and the adapter-side pseudo-terminals.
#pragma once

#include <string>

#include "device.h"

namespace handheld {

// An unmapped port's tty, made on first open and kept for the run: returns
// the path the program opens; the path an adapter writes to is announced in
// the trace. Empty when no pseudo-terminal can be had.
std::string BridgePortFor(const std::u16string& name);

// Reads commands from standard input on its own thread until end of input.
// The first line is taken once start-up is over: the program's main thread
// idle in its message loop, or ProgramEnded() called.
void StartConsole();

// WinMain has returned.
void ProgramEnded();

// A soft input panel as NUVIK_SIP and the console's `sip` name it: "none",
// "ce-star" or "other", the last two optionally followed by "lowered" or
// "raised" (the default). False for anything else.
bool ParseSip(const std::string& text, device::Sip* sip, bool* lowered);

// Ends the program as the handheld's task manager does: WM_CLOSE to the
// main window.
void CloseProgram();

}  // namespace handheld
