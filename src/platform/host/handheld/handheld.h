// The simulated handheld around the program: its environment, its console
// (the stylus and other programs) and the adapter-side pseudo-terminals.
#pragma once

#include <string>

#include "device.h"

namespace handheld {

// The process's first step: blocks the closing signals (SIGINT, SIGTERM,
// SIGHUP) so that none is lost before Run's signal thread takes them, and
// opens /dev/null on any of descriptors 0, 1 and 2 left closed, so that no
// port or file takes their numbers. False, said on standard error, when
// /dev/null cannot be opened.
bool BeginProcess();

// Sets the handheld up from the environment (a bad value is refused on
// standard error: returns 2), starts the console, then calls `program` as
// the program's main thread. Once it returns, the screen and the focus
// text are written out and the process ends with its result.
int Run(int (*program)());

// What each environment variable means, a line each, for a usage message.
extern const char kEnvironmentHelp[];

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
