// `nuvik-arm EXE`: the simulated handheld running the program's ARM
// executable for Windows CE on an emulated CPU, with the same environment,
// console, trace and exit codes as `nuvik`.
#include <cstdio>

#include "handheld.h"
#include "program.h"

int main(int argc, char** argv) {
  if (!handheld::BeginProcess()) return 2;
  if (argc != 2 || argv[1][0] == '-') {
    std::fprintf(stderr,
                 "usage: %s EXE\n"
                 "Runs EXE, the program's ARM executable for Windows CE 3.0, on the simulated handheld.\n"
                 "The handheld is set up by its environment:\n%s",
                 argv[0], handheld::kEnvironmentHelp);
    return 2;
  }
  std::string error;
  if (!arm::LoadProgram(argv[1], &error)) {
    std::fprintf(stderr, "nuvik-arm: %s: %s\n", argv[1], error.c_str());
    return 2;
  }
  return handheld::Run(arm::RunProgram);
}
