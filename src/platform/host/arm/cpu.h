// The guest's processors: each thread of the program runs on a host thread
// with an emulated ARM CPU of its own (a StrongARM SA-1110, the Pocket PC
// 2000's), all of them over the same guest memory, so the reader and the
// main thread run at once as they do on the device.
//
// The guest calls the system by jumping to its import's slot, which holds
// a trap address nothing is mapped at: the emulator stops there, and the
// bridge runs the host's implementation outside the emulator. When the
// system calls the program back (a window procedure, a thread routine) the
// CPU runs the guest again from inside that call, as deep as it nests.
#pragma once

#include <stdint.h>
#include <unicorn/unicorn.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "guest_memory.h"

namespace arm {

// Import i of the image is reached at kTrapBase + 4 i; the host's calls into
// the guest return to kReturnTrap. CE's kernel calls are traps up there too.
constexpr uint32_t kTrapBase = 0xF0000000;
constexpr uint32_t kReturnTrap = 0xFFFFFFF0;

class Call;
using Handler = uint32_t (*)(Call& call);

// One import: its name, and the host's implementation (null when the
// handheld does not provide it: a call stops the run, naming it).
struct Trap {
  std::string name;
  Handler handler = nullptr;
};

// Sets the machine up once the image is loaded and before any guest code
// runs: the memory (its regions final), the imports' traps, and the stack
// slots the threads take their stacks from (each `stride` bytes: an
// unmapped guard page, then the stack).
struct StackArea {
  uint32_t start = 0, stride = 0;
  int slots = 0;
};
void SetUpMachine(GuestMemory* memory, std::vector<Trap> traps, StackArea stacks);
GuestMemory& Memory();

// A stack for a new thread, or -1 when the slot has no room for another;
// ReturnStack gives back one no thread ran on.
int TakeStack();
void ReturnStack(int stack);

class Cpu {
 public:
  // The calling thread's CPU, made on first use with a stack of its own.
  static Cpu& Current();
  // Makes the calling thread's CPU on the stack `stack` (from TakeStack).
  static Cpu& Begin(int stack);
  // The calling thread is done with the guest: its CPU and stack go.
  static void End();

  ~Cpu();

  // Calls guest code at `function` with the ARM procedure call standard
  // (four arguments in r0-r3, the rest on the stack) and returns r0. May be
  // called from inside a trap: the interrupted call is resumed afterwards.
  uint32_t Call(uint32_t function, std::initializer_list<uint32_t> args);

  // Inside a trap: argument n of the guest's call.
  uint32_t Arg(int n);
  // The guest thread's number: 1 for the program's main thread.
  int Number() const { return number_; }

 private:
  Cpu(int stack, int number);
  void Run(uint32_t pc);
  uint32_t Dispatch(uint32_t trap);
  [[noreturn]] void Fault(int error);
  uint32_t Replay();
  uint32_t Reg(int reg);
  void SetReg(int reg, uint32_t value);

  uc_engine* uc_ = nullptr;
  int stack_;
  int number_;
  int depth_ = 0;  // guest calls in progress on this thread
  // The registers (r0-r12, sp, lr, pc, cpsr) the emulator last started
  // from, to replay up to a fault.
  uint32_t started_[17] = {};
  uint32_t lastPc_ = 0;  // during a replay: the instruction being run
  // Why the emulator last stopped, from its hooks.
  struct Stopped {
    int kind = 0;  // 0 none, 1 memory, 2 exception
    int memoryType = 0;
    uint32_t address = 0;
    uint32_t exception = 0;
    uint32_t pc = 0;
  } stopped_;
  static bool OnBadMemory(uc_engine* uc, uc_mem_type type, uint64_t address, int size, int64_t value,
                          void* self);
  static void OnException(uc_engine* uc, uint32_t number, void* self);
  static void OnInstruction(uc_engine* uc, uint64_t address, uint32_t size, void* self);
};

}  // namespace arm
