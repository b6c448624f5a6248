// The simulated handheld around a program: set up from the environment,
// then the program's entry runs as its main thread, as on the device. Both
// executables of the handheld (`nuvik`, the program linked in, and
// `nuvik-arm`, the ARM executable emulated) run through here.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "handheld.h"
#include "internal.h"
#include "platform.h"

namespace {

const char DEFAULT_REGISTRY[] =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Comm\\IrDA\\Linkage]\r\n"
    "\"Bind\"=hex(7):49,00,72,00,53,00,49,00,52,00,31,00,00,00,00,00\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Comm\\IrSIR1\\Parms]\r\n"
    "\"Port\"=dword:00000003\r\n";

// Nobody reads the records back in a run of nuvik; a few of the newest are
// kept for whoever looks in, and memory stays flat however long it runs.
constexpr size_t kRecordsKept = 256;

bool SetUpRegistry() {
  std::string error;
  const char* file = std::getenv("NUVIK_REGISTRY");
  bool ok = file != nullptr && *file != 0
                ? device::RegistryLoadFile(file, &error)
                : device::RegistryLoadText(DEFAULT_REGISTRY, "(default registry)", &error);
  if (!ok) std::fprintf(stderr, "nuvik: %s\n", error.c_str());
  return ok;
}

bool SetUpSip() {
  const char* text = std::getenv("NUVIK_SIP");
  device::Sip sip = device::Sip::None;
  bool lowered = false;
  if (text != nullptr && *text != 0 && !handheld::ParseSip(text, &sip, &lowered)) {
    std::fprintf(
        stderr,
        "nuvik: NUVIK_SIP=%s: expected none, ce-star or other (the last two may be followed by lowered)\n",
        text);
    return false;
  }
  device::SetSip(sip, lowered);
  return true;
}

void SetUpPorts() {
  for (int n = 1; n <= 4; ++n) {
    char variable[] = "NUVIK_COM0";
    variable[9] = static_cast<char>('0' + n);
    const char* path = std::getenv(variable);
    std::u16string name = u"COM0:";
    name[3] = static_cast<char16_t>(u'0' + n);
    if (path != nullptr && *path != 0) device::MapPort(name, path);
  }
  device::SetPortResolver(handheld::AdapterPortFor);
  // A port whose tty cannot be had shows the program's own boxes; what
  // stands behind it, and why it was refused, is said here.
  device::SetPortRefusalSink([](const std::u16string& name, const std::string& path, const std::string& why) {
    std::string port = device::ToUtf8(name);
    if (!port.empty() && port.back() == ':') port.pop_back();
    std::fprintf(stderr, "nuvik: %s: %s: %s\n", port.c_str(), path.c_str(), why.c_str());
  });
}

// The first signal's teardown, on a thread of its own: should it block (a
// trace nobody reads any more), the signals are still heard.
void* CloseOnSignal(void*) {
  // Whatever the program does next, the trace so far is out.
  device::FlushTrace();
  handheld::CloseProgram();
  return nullptr;
}

// A second signal ends the process at once, by that signal, whatever the
// first one's teardown waits on.
void EndAtOnce(int received) {
  const char* name = received == SIGINT ? "SIGINT" : received == SIGTERM ? "SIGTERM" : "SIGHUP";
  char message[96];
  int length = std::snprintf(message, sizeof message, "nuvik: %s while closing: ending at once\n", name);
  if (length > 0) (void)!write(STDERR_FILENO, message, static_cast<size_t>(length));
  signal(received, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, received);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(received);
  _exit(128 + received);  // not reached: the signal's default action ends the process
}

// SIGINT, SIGTERM and SIGHUP (the terminal went away, the commonest end of
// a resident run) close the program the way the task manager would.
void* WaitForSignals(void* argument) {
  sigset_t* signals = static_cast<sigset_t*>(argument);
  bool closing = false;
  for (;;) {
    int received = 0;
    if (sigwait(signals, &received) != 0) continue;
    if (closing) EndAtOnce(received);
    closing = true;
    pthread_t closer;
    if (pthread_create(&closer, nullptr, CloseOnSignal, nullptr) == 0) {
      pthread_detach(closer);
    } else {
      CloseOnSignal(nullptr);
    }
  }
  return nullptr;
}

}  // namespace

namespace handheld {

const char kEnvironmentHelp[] =
    "  NUVIK_REGISTRY=FILE        the registry, a .reg export (default: IrSIR1 on COM3:)\n"
    "  NUVIK_COM1..NUVIK_COM4=TTY the tty behind each port (default: a pseudo-terminal)\n"
    "  NUVIK_SIP=none|ce-star|other[ lowered]  the soft input panel at start\n"
    "  NUVIK_SCREEN_AT_EXIT=FILE  a PNG of the screen as the program ends\n";

int Run(int (*program)()) {
  // The trace goes to standard output in batches. A reader that goes away
  // (`nuvik | head -3`) must not end the handheld: the lines then go nowhere.
  signal(SIGPIPE, SIG_IGN);
  device::SetTraceOutput(STDOUT_FILENO);
  device::SetRecordLimit(kRecordsKept);
  if (!SetUpRegistry() || !SetUpSip()) return 2;
  SetUpPorts();

  // The focused application that receives the typing.
  HWND notes = device::CreateForeignWindow(u"NotesApp", nullptr, u"Notes");
  device::SetForeground(notes);

  static sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  pthread_t signalThread;
  if (pthread_create(&signalThread, nullptr, WaitForSignals, &signals) == 0) pthread_detach(signalThread);

  StartConsole();
  int code = program();
  ProgramEnded();

  // A last picture of the screen, once the program and its tray icon are
  // gone, for whoever films the handheld.
  const char* lastScreen = std::getenv("NUVIK_SCREEN_AT_EXIT");
  std::string screenError;
  if (lastScreen != nullptr && *lastScreen != 0 && !device::SaveScreen(lastScreen, &screenError)) {
    std::fprintf(stderr, "nuvik: screen: %s\n", screenError.c_str());
  }
  // What was typed, and how many older characters the text box let go of
  // (only when it did, so the line of a short run keeps its old form).
  std::string typed = "focus text=" + device::Quote(device::FocusText());
  if (uint64_t dropped = device::FocusTextDropped()) typed += " dropped=" + std::to_string(dropped);
  host::Trace(typed);
  device::FlushTrace();
  // Readers and helpers may still be running: end the process as the
  // handheld does, without tearing down what they use.
  std::fflush(stderr);  // not fflush(nullptr): the console thread holds stdin's lock
  _exit(code);
}

}  // namespace handheld
