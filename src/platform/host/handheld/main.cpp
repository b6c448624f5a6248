// `nuvik`: the simulated handheld running the program linked into it; the
// exit code is WinMain's.
#include <cstdio>

#include "handheld.h"
#include "platform.h"

namespace {

int RunWinMain() {
  return WinMain(reinterpret_cast<HINSTANCE>(0x400000), nullptr, const_cast<LPWSTR>(u""), SW_SHOW);
}

}  // namespace

int main(int argc, char** argv) {
  if (!handheld::BeginProcess()) return 2;
  if (argc > 1) {
    std::fprintf(stderr,
                 "usage: %s\nThe program takes no options; the handheld is set up by its environment:\n%s",
                 argv[0], handheld::kEnvironmentHelp);
    return 2;
  }
  device::SetModuleResources(device::kProgramResources, device::kProgramResourcesSize);
  return handheld::Run(RunWinMain);
}
