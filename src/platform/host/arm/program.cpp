#include "program.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "bridge.h"
#include "device.h"
#include "pe_image.h"

namespace arm {

namespace {

// Threads the slot makes room for at most; the program runs two at a time.
constexpr int kMostThreads = 32;
constexpr uint32_t kStackAlignment = 64 * 1024;
constexpr uint32_t kLargestFile = 32 * 1024 * 1024;

struct Program {
  GuestMemory memory;
  LoadedImage image;
  uint32_t commandLine = 0;  // the empty command line the entry point gets
};

Program& P() {
  static Program* program = new Program;  // never destroyed: guest threads may outlive main
  return *program;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = std::strerror(errno);
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (file.bad()) {
    *error = "could not be read";
    return false;
  }
  if (bytes->size() > kLargestFile) {
    *error = "larger than a handheld's program can be (32 MB)";
    return false;
  }
  return true;
}

}  // namespace

bool LoadProgram(const std::string& path, std::string* error) {
  Program& program = P();
  std::vector<uint8_t> file;
  if (!program.memory.Reserved()) {
    *error = "no memory for the handheld's 32 MB slot";
    return false;
  }
  if (!ReadFile(path, &file, error) || !LoadPe(file, &program.memory, &program.image, error)) return false;

  // Past the image (and a page nothing is mapped at): a read-only page for
  // what the system hands the program, then the threads' stacks, each
  // below an unmapped guard page.
  uint32_t systemPage = program.image.end + kPageSize;
  program.memory.AddRegion(systemPage, kPageSize, kRead, "the system's page");
  program.commandLine = systemPage;  // zeroed: an empty string
  uint32_t reserve =
      program.image.headers.stackReserve != 0 ? program.image.headers.stackReserve : kDefaultStack;
  StackArea stacks;
  stacks.start = (systemPage + kPageSize + kStackAlignment - 1) & ~(kStackAlignment - 1);
  stacks.stride = kPageSize + PageUp(std::min<uint32_t>(reserve, kSlotSize));
  stacks.slots =
      static_cast<int>(std::min<uint32_t>(kMostThreads, (kSlotSize - stacks.start) / stacks.stride));
  if (stacks.slots < 2) {
    *error = "its stack reserve of " + std::to_string(reserve) +
             " bytes leaves no room for two threads in a CE 3.0 process's 32 MB";
    return false;
  }
  for (int i = 0; i < stacks.slots; ++i) {
    uint32_t start = stacks.start + static_cast<uint32_t>(i) * stacks.stride + kPageSize;
    program.memory.AddRegion(start, stacks.stride - kPageSize, kRead | kWrite,
                             "stack " + std::to_string(i + 1));
  }

  // Every import's slot gets its trap; the bridge's function, if the host
  // has one, runs when it is called.
  std::vector<Trap> traps;
  for (const PeImport& import : program.image.imports) {
    uint32_t trap = kTrapBase + 4 * static_cast<uint32_t>(traps.size());
    std::memcpy(program.memory.Host(import.slot), &trap, 4);
    traps.push_back({import.name, FindBridged(import.name)});
  }
  SetUpMachine(&program.memory, std::move(traps), stacks);
  device::SetModuleResources(program.image.resources.data(), program.image.resources.size());
  return true;
}

int RunProgram() {
  Program& program = P();
  const uint32_t kShow = 5;  // SW_SHOW
  uint32_t result = Cpu::Current().Call(program.image.entry, {kImageBase, 0, program.commandLine, kShow});
  return static_cast<int32_t>(result);
}

}  // namespace arm
