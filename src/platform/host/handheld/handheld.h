// The simulated handheld around the program: its environment, its console
// (the stylus and other programs) and the adapter-side pseudo-terminals.
#pragma once

#include <string>

#include "device.h"

namespace handheld {

// A port resolver: an unmapped port gets a pseudo-terminal, made on its
// first open and kept for the run, whose master the port reads
// (device::MapPortToDescriptor); the slave's path, where an adapter writes,
// is announced in the trace. Returns no path: the mapping is the answer,
// and without one (no pseudo-terminal could be had) the device does not
// exist.
std::string AdapterPortFor(const std::u16string& name);

// Says on standard error why the tty behind a port cannot be had:
// "nuvik: COM3: SUBJECT: WHY", the subject being the tty's path or what
// could not be done.
void SayPortRefused(const std::u16string& name, const std::string& subject, const std::string& why);

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
