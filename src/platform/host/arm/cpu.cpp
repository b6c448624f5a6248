// The emulated CPUs and the loop that runs guest code between traps.
#include "cpu.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "bridge.h"
#include "stop.h"

namespace arm {

namespace {

struct Machine {
  GuestMemory* memory = nullptr;
  std::vector<Trap> traps;
  StackArea stacks;
  std::mutex mutex;  // guards stackUsed
  std::vector<bool> stackUsed;
  std::atomic<int> nextNumber{1};
};

Machine& M() {
  static Machine* machine = new Machine;  // never destroyed: guest threads may outlive main
  return *machine;
}

thread_local Cpu* t_cpu = nullptr;

int kStartRegisters[17] = {UC_ARM_REG_R0,  UC_ARM_REG_R1,  UC_ARM_REG_R2,  UC_ARM_REG_R3, UC_ARM_REG_R4,
                           UC_ARM_REG_R5,  UC_ARM_REG_R6,  UC_ARM_REG_R7,  UC_ARM_REG_R8, UC_ARM_REG_R9,
                           UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR,
                           UC_ARM_REG_PC,  UC_ARM_REG_CPSR};
// A replay up to a fault stops after this many instructions at most.
constexpr size_t kReplayLimit = 10 * 1000 * 1000;

constexpr uint32_t kExceptionUndefined = 1, kExceptionSwi = 2, kExceptionPrefetchAbort = 3,
                   kExceptionDataAbort = 4, kExceptionBreakpoint = 7;

uint32_t StackTop(int stack) {
  const StackArea& area = M().stacks;
  return area.start + static_cast<uint32_t>(stack + 1) * area.stride;
}

std::string MemoryFault(uc_mem_type type) {
  switch (type) {
    case UC_MEM_READ_UNMAPPED:
      return "read from unmapped memory";
    case UC_MEM_WRITE_UNMAPPED:
      return "write to unmapped memory";
    case UC_MEM_FETCH_UNMAPPED:
      return "jump to unmapped memory";
    case UC_MEM_READ_PROT:
      return "read from unreadable memory";
    case UC_MEM_WRITE_PROT:
      return "write to read-only memory";
    case UC_MEM_FETCH_PROT:
      return "jump into memory that holds no code";
    default:
      return "bad memory access";
  }
}

// What lies at a faulting address, for the message: the image's section,
// a stack, or a stack's guard page (the stack overflowed).
std::string Place(uint32_t address) {
  const Region* region = M().memory->RegionOf(address);
  if (region != nullptr) return " (" + region->what + ")";
  const StackArea& area = M().stacks;
  if (address >= area.start && address - area.start < area.stride * static_cast<uint32_t>(area.slots) &&
      (address - area.start) % area.stride < kPageSize) {
    return " (a stack's guard page: the stack overflowed)";
  }
  return "";
}

}  // namespace

void SetUpMachine(GuestMemory* memory, std::vector<Trap> traps, StackArea stacks) {
  M().memory = memory;
  M().traps = std::move(traps);
  M().stacks = stacks;
  M().stackUsed.assign(static_cast<size_t>(stacks.slots), false);
}

GuestMemory& Memory() { return *M().memory; }

int TakeStack() {
  std::lock_guard<std::mutex> lock(M().mutex);
  for (size_t i = 0; i < M().stackUsed.size(); ++i) {
    if (!M().stackUsed[i]) {
      M().stackUsed[i] = true;
      return static_cast<int>(i);
    }
  }
  return -1;
}

void ReturnStack(int stack) {
  std::lock_guard<std::mutex> lock(M().mutex);
  M().stackUsed[static_cast<size_t>(stack)] = false;
}

Cpu& Cpu::Current() {
  if (t_cpu != nullptr) return *t_cpu;
  int stack = TakeStack();
  if (stack < 0) Stop("no room left in the program's slot for another thread's stack");
  return Begin(stack);
}

Cpu& Cpu::Begin(int stack) {
  t_cpu = new Cpu(stack, M().nextNumber.fetch_add(1));
  return *t_cpu;
}

void Cpu::End() {
  delete t_cpu;
  t_cpu = nullptr;
}

Cpu::Cpu(int stack, int number) : stack_(stack), number_(number) {
  uc_err error = uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc_);
  if (error == UC_ERR_OK) error = uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_SA1110);
  for (const Region& region : M().memory->Regions()) {
    if (error != UC_ERR_OK) break;
    uint32_t perms = ((region.access & kRead) ? UC_PROT_READ : 0) |
                     ((region.access & kWrite) ? UC_PROT_WRITE : 0) |
                     ((region.access & kExecute) ? UC_PROT_EXEC : 0);
    error = uc_mem_map_ptr(uc_, region.start, region.size, perms, M().memory->Host(region.start));
  }
  uc_hook hook;
  if (error == UC_ERR_OK) {
    error =
        uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&Cpu::OnBadMemory), this, 1, 0);
  }
  if (error == UC_ERR_OK) {
    error = uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&Cpu::OnException), this, 1, 0);
  }
  if (error != UC_ERR_OK) Stop(std::string("the ARM emulator could not be set up: ") + uc_strerror(error));
}

Cpu::~Cpu() {
  if (uc_ != nullptr) uc_close(uc_);
  ReturnStack(stack_);
}

uint32_t Cpu::Reg(int reg) {
  uint32_t value = 0;
  uc_reg_read(uc_, reg, &value);
  return value;
}

void Cpu::SetReg(int reg, uint32_t value) { uc_reg_write(uc_, reg, &value); }

bool Cpu::OnBadMemory(uc_engine*, uc_mem_type type, uint64_t address, int, int64_t, void* self) {
  Cpu* cpu = static_cast<Cpu*>(self);
  cpu->stopped_.kind = 1;
  cpu->stopped_.pc = cpu->Reg(UC_ARM_REG_PC);  // the access's own instruction
  cpu->stopped_.memoryType = type;
  cpu->stopped_.address = static_cast<uint32_t>(address);
  return false;  // stop: a trap, a return to the host, or a fault
}

void Cpu::OnException(uc_engine* uc, uint32_t number, void* self) {
  Cpu* cpu = static_cast<Cpu*>(self);
  cpu->stopped_.kind = 2;
  cpu->stopped_.exception = number;
  // The exception has been taken: the CPU is at its vector, and the banked
  // link register points past the instruction that raised it.
  cpu->stopped_.pc = cpu->Reg(UC_ARM_REG_LR) - 4;
  uc_emu_stop(uc);
}

void Cpu::OnInstruction(uc_engine*, uint64_t address, uint32_t, void* self) {
  static_cast<Cpu*>(self)->lastPc_ = static_cast<uint32_t>(address);
}

// The emulator tells where the block that faulted began, not which of its
// instructions faulted. The run is about to end, so it is replayed from
// where the emulator last started, watching each instruction, until the
// same fault comes again: its instruction is the one to report.
uint32_t Cpu::Replay() {
  Stopped fault = stopped_;
  void* started[17];
  for (int i = 0; i < 17; ++i) started[i] = &started_[i];
  uc_reg_write_batch(uc_, kStartRegisters, started, 17);
  uc_hook hook;
  // Only the faulting block is watched: it is translated again with the
  // hook, the blocks before it run as they did.
  if (uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&Cpu::OnInstruction), this, fault.pc,
                  fault.pc + kPageSize) != UC_ERR_OK ||
      uc_ctl_remove_cache(uc_, fault.pc, fault.pc + 4) != UC_ERR_OK) {
    return fault.pc;
  }
  stopped_ = Stopped();
  lastPc_ = fault.pc;
  uc_emu_start(uc_, started_[15], kReturnTrap, 0, kReplayLimit);
  bool same = stopped_.kind == fault.kind && stopped_.memoryType == fault.memoryType &&
              stopped_.address == fault.address;
  uint32_t pc = same ? lastPc_ : fault.pc;
  stopped_ = fault;
  return pc;
}

uint32_t Cpu::Arg(int n) {
  static const int kArgRegs[] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3};
  if (n < 4) return Reg(kArgRegs[n]);
  uint32_t value = 0;
  uint32_t at = Reg(UC_ARM_REG_SP) + 4 * static_cast<uint32_t>(n - 4);
  if (!M().memory->Read32(at, &value)) Stop("argument " + std::to_string(n + 1) + " lies outside the stack");
  return value;
}

uint32_t Cpu::Call(uint32_t function, std::initializer_list<uint32_t> args) {
  // A call from inside a trap interrupts the guest's own call: its state is
  // kept and given back afterwards, and the new frame goes below its stack.
  uc_context* interrupted = nullptr;
  uint32_t sp = StackTop(stack_);
  if (depth_ > 0) {
    if (uc_context_alloc(uc_, &interrupted) != UC_ERR_OK || uc_context_save(uc_, interrupted) != UC_ERR_OK) {
      Stop("the ARM emulator could not keep the guest's state");
    }
    sp = Reg(UC_ARM_REG_SP);
  }
  static const int kArgRegs[] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3};
  uint32_t stacked = args.size() > 4 ? static_cast<uint32_t>(args.size() - 4) : 0;
  sp = (sp - 4 * stacked) & ~7u;  // the stack stays 8-byte aligned at a call
  int n = 0;
  for (uint32_t arg : args) {
    if (n < 4) {
      SetReg(kArgRegs[n], arg);
    } else if (!M().memory->Write32(sp + 4 * static_cast<uint32_t>(n - 4), arg)) {
      Stop("thread " + std::to_string(number_) + ": its stack overflowed");
    }
    ++n;
  }
  SetReg(UC_ARM_REG_SP, sp);
  SetReg(UC_ARM_REG_LR, kReturnTrap);
  ++depth_;
  Run(function);
  --depth_;
  uint32_t result = Reg(UC_ARM_REG_R0);
  if (interrupted != nullptr) {
    uc_context_restore(uc_, interrupted);
    uc_context_free(interrupted);
  }
  return result;
}

void Cpu::Run(uint32_t pc) {
  const uint32_t trapsEnd = kTrapBase + 4 * static_cast<uint32_t>(M().traps.size());
  for (;;) {
    stopped_ = Stopped();
    SetReg(UC_ARM_REG_PC, pc);
    void* started[17];
    for (int i = 0; i < 17; ++i) started[i] = &started_[i];
    uc_reg_read_batch(uc_, kStartRegisters, started, 17);
    uc_err error = uc_emu_start(uc_, pc, kReturnTrap, 0, 0);
    bool atFetch = stopped_.kind == 1 && stopped_.memoryType == UC_MEM_FETCH_UNMAPPED;
    if ((atFetch && stopped_.address == kReturnTrap) ||
        (error == UC_ERR_OK && stopped_.kind == 0 && Reg(UC_ARM_REG_PC) == kReturnTrap)) {
      return;
    }
    if (atFetch && stopped_.address >= kTrapBase && stopped_.address < trapsEnd &&
        stopped_.address % 4 == 0) {
      pc = Dispatch(stopped_.address);
      continue;
    }
    Fault(error);
  }
}

uint32_t Cpu::Dispatch(uint32_t address) {
  const Trap& trap = M().traps[(address - kTrapBase) / 4];
  uint32_t caller = Reg(UC_ARM_REG_LR);
  if (trap.handler == nullptr) {
    Stop("the program called " + trap.name + ", which this handheld does not provide (from " + Hex8(caller) +
         " on thread " + std::to_string(number_) + ")");
  }
  arm::Call call(*this, trap, caller);
  SetReg(UC_ARM_REG_R0, trap.handler(call));
  return caller;  // back to the guest, just after its call
}

void Cpu::Fault(int error) {
  std::string what;
  uint32_t pc = Reg(UC_ARM_REG_PC);
  if (stopped_.kind == 1) {
    uc_mem_type type = static_cast<uc_mem_type>(stopped_.memoryType);
    what = MemoryFault(type) + " at " + Hex8(stopped_.address) + Place(stopped_.address);
    pc = type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT ? stopped_.address : Replay();
  } else if (stopped_.kind == 2) {
    pc = stopped_.pc;
    switch (stopped_.exception) {
      case kExceptionUndefined:
        what = "undefined instruction";
        break;
      case kExceptionSwi:
        what = "software interrupt (SWI)";
        break;
      case kExceptionPrefetchAbort:
        what = "prefetch abort";
        break;
      case kExceptionDataAbort:
        what = "data abort";
        break;
      case kExceptionBreakpoint:
        what = "breakpoint";
        break;
      default:
        what = "processor exception " + std::to_string(stopped_.exception);
        break;
    }
  } else if (error == UC_ERR_INSN_INVALID) {
    what = "undefined instruction";
  } else {
    what = uc_strerror(static_cast<uc_err>(error));
  }
  Stop("guest fault on thread " + std::to_string(number_) + ": " + what + ", pc=" + Hex8(pc) +
       " lr=" + Hex8(Reg(UC_ARM_REG_LR)));
}

}  // namespace arm
