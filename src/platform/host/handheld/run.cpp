// The simulated handheld around a program: set up from the environment,
// then the program's entry runs as its main thread, as on the device. Both
// executables of the handheld (`nuvik`, the program linked in, and
// `nuvik-arm`, the ARM executable emulated) run through here.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

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
  device::SetPortRefusalSink(handheld::SayPortRefused);
}

// SIGINT, SIGTERM and SIGHUP, the requests to close.
//
// The first one closes the program the way the task manager would. A
// second is usually a copy of the same request, not a new one: a closing
// terminal sends SIGHUP twice (the kernel and the shell), `timeout` signals
// the child and then its process group, a user presses Ctrl-C twice. So a
// second one ends the process at once only when the teardown has not
// finished within kGraceMs of the first: at once if it comes later, at the
// end of the grace period if it comes sooner.
constexpr int kGraceMs = 2000;

// Taken by whoever ends the process, from the moment it decides to, and
// never let go: main's own exit and a forced end cannot both happen, and
// neither happens halfway.
std::mutex& EndingLock() {
  static std::mutex* ending = new std::mutex;  // the signal thread outlives main
  return *ending;
}

// The first signal's teardown, on a thread of its own: should it block (a
// trace nobody reads any more), the signals are still heard.
void* CloseOnSignal(void*) {
  // Whatever the program does next, the trace so far is out.
  device::FlushTrace();
  handheld::CloseProgram();
  return nullptr;
}

// Ends the process by the signal received; the ending lock is held, so the
// program's own exit can no longer come first. A tty the handheld set up
// for the adapter gets its own settings back before the process goes.
[[noreturn]] void EndAtOnce(int received) {
  const char* name = received == SIGINT ? "SIGINT" : received == SIGTERM ? "SIGTERM" : "SIGHUP";
  char message[96];
  int length = std::snprintf(message, sizeof message, "nuvik: %s while closing: ending at once\n", name);
  if (length > 0) (void)!write(STDERR_FILENO, message, static_cast<size_t>(length));
  device::RestoreTtys();
  signal(received, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, received);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(received);
  _exit(128 + received);  // not reached: the signal's default action ends the process
}

// Takes the closing signals for the whole process. They are blocked in
// every thread from main's first step on, so one that comes at any moment,
// start-up included, waits here; the teardown it starts waits in its turn
// until start-up is over (handheld::CloseProgram).
void* WaitForSignals(void* argument) {
  sigset_t* signals = static_cast<sigset_t*>(argument);
  bool closing = false;
  std::chrono::steady_clock::time_point graceEnds;
  for (;;) {
    int received = 0;
    if (sigwait(signals, &received) != 0) continue;
    if (closing) {
      // Should the program end meanwhile, main holds the ending lock to its
      // exit and this thread never gets past it.
      std::this_thread::sleep_until(graceEnds);
      EndingLock().lock();
      EndAtOnce(received);
    }
    closing = true;
    graceEnds = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGraceMs);
    pthread_t closer;
    if (pthread_create(&closer, nullptr, CloseOnSignal, nullptr) == 0) {
      pthread_detach(closer);
    } else {
      CloseOnSignal(nullptr);
    }
  }
  return nullptr;
}

// Descriptors 0, 1 and 2 are the console's, the trace's and the messages'.
// One that whoever started the handheld left closed (`nuvik >&-`) would be
// the number the next open gets: the port's tty would become standard
// output and the trace would go down the serial line. Each closed one is
// opened on /dev/null before anything else is opened. False if that fails.
bool OpenStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // Lower numbers are open, so the lowest free one is `fd` itself.
    int null = open("/dev/null", O_RDWR);
    if (null < 0) return false;
    if (null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
  return true;
}

// SIGINT, SIGTERM and SIGHUP, blocked in every thread from BeginProcess on.
sigset_t g_closingSignals;

}  // namespace

namespace handheld {

bool BeginProcess() {
  // A request to close that comes while the handheld starts waits until
  // the signal thread takes it, and then until start-up is over: blocked
  // before anything else, so every thread inherits the block.
  sigemptyset(&g_closingSignals);
  sigaddset(&g_closingSignals, SIGINT);
  sigaddset(&g_closingSignals, SIGTERM);
  sigaddset(&g_closingSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &g_closingSignals, nullptr);
  if (!OpenStandardDescriptors()) {
    std::fprintf(stderr, "nuvik: /dev/null: %s\n", std::strerror(errno));
    return false;
  }
  return true;
}

void SayPortRefused(const std::u16string& name, const std::string& subject, const std::string& why) {
  std::string port = device::ToUtf8(name);
  if (!port.empty() && port.back() == ':') port.pop_back();
  std::fprintf(stderr, "nuvik: %s: %s: %s\n", port.c_str(), subject.c_str(), why.c_str());
}


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

  pthread_t signalThread;
  if (pthread_create(&signalThread, nullptr, WaitForSignals, &g_closingSignals) == 0) pthread_detach(signalThread);

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
  // From here the process ends on its own: a second signal no longer
  // forces it. Readers and helpers may still be running: end the process
  // as the handheld does, without tearing down what they use; only a tty
  // whose port is still open gets its own settings back.
  EndingLock().lock();  // a forced end that got here first wins
  device::RestoreTtys();
  std::fflush(stderr);  // not fflush(nullptr): the console thread holds stdin's lock
  _exit(code);
}

}  // namespace handheld
