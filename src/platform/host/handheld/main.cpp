// `nuvik`: the simulated handheld running the program. The handheld is set
// up from the environment, then WinMain runs as it would on the device.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
  bool ok = file != nullptr && *file != 0 ? device::RegistryLoadFile(file, &error)
                                          : device::RegistryLoadText(DEFAULT_REGISTRY, "(default registry)", &error);
  if (!ok) std::fprintf(stderr, "nuvik: %s\n", error.c_str());
  return ok;
}

bool SetUpSip() {
  const char* sip = std::getenv("NUVIK_SIP");
  if (sip == nullptr || std::strcmp(sip, "none") == 0 || *sip == 0) {
    device::SetSip(device::Sip::None);
  } else if (std::strcmp(sip, "ce-star") == 0) {
    device::SetSip(device::Sip::CeStar);
  } else if (std::strcmp(sip, "other") == 0) {
    device::SetSip(device::Sip::Other);
  } else {
    std::fprintf(stderr, "nuvik: NUVIK_SIP=%s: expected none, ce-star or other\n", sip);
    return false;
  }
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
  device::SetPortResolver(handheld::BridgePortFor);
}

// SIGINT and SIGTERM close the program the way the task manager would.
void* WaitForSignals(void* argument) {
  sigset_t* signals = static_cast<sigset_t*>(argument);
  for (;;) {
    int received = 0;
    if (sigwait(signals, &received) != 0) continue;
    // Whatever the program does next, the trace so far is out.
    device::FlushTrace();
    handheld::CloseProgram();
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    std::fprintf(stderr,
                 "usage: %s\n"
                 "The program takes no options; the handheld is set up by its environment:\n"
                 "  NUVIK_REGISTRY=FILE        the registry, a .reg export (default: IrSIR1 on COM3:)\n"
                 "  NUVIK_COM1..NUVIK_COM4=TTY the tty behind each port (default: a pseudo-terminal)\n"
                 "  NUVIK_SIP=none|ce-star|other  the soft input panel at start\n"
                 "  NUVIK_SCREEN_AT_EXIT=FILE  a PNG of the screen as the program ends\n",
                 argv[0]);
    return 2;
  }
  // The trace goes to standard output in batches. A reader that goes away
  // (`nuvik | head -3`) must not end the handheld: the lines then go nowhere.
  signal(SIGPIPE, SIG_IGN);
  device::SetTraceOutput(STDOUT_FILENO);
  device::SetRecordLimit(kRecordsKept);
  if (!SetUpRegistry() || !SetUpSip()) return 2;
  SetUpPorts();
  device::SetModuleResources(device::kProgramResources, device::kProgramResourcesSize);

  // The focused application that receives the typing.
  HWND notes = device::CreateForeignWindow(u"NotesApp", nullptr, u"Notes");
  device::SetForeground(notes);

  static sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  pthread_t signalThread;
  if (pthread_create(&signalThread, nullptr, WaitForSignals, &signals) == 0) pthread_detach(signalThread);

  handheld::StartConsole();
  int code = WinMain(reinterpret_cast<HINSTANCE>(0x400000), nullptr, const_cast<LPWSTR>(u""), SW_SHOW);

  // A last picture of the screen, once the program and its tray icon are
  // gone, for whoever films the handheld.
  const char* lastScreen = std::getenv("NUVIK_SCREEN_AT_EXIT");
  std::string screenError;
  if (lastScreen != nullptr && *lastScreen != 0 && !device::SaveScreen(lastScreen, &screenError)) {
    std::fprintf(stderr, "nuvik: screen: %s\n", screenError.c_str());
  }
  host::Trace("focus text=" + device::Quote(device::FocusText()));
  device::FlushTrace();
  // Readers and helpers may still be running: end the process as the
  // handheld does, without tearing down what they use.
  std::fflush(stderr);  // not fflush(nullptr): the console thread holds stdin's lock
  _exit(code);
}
