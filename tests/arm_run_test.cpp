// `nuvik-arm` running the program's ARM executable: what its loader refuses,
// how a run stops when the guest faults, and the trace of the same steps
// against `nuvik`, which must be the same.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "process_harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ArmExe() {
  std::ifstream file(NUVIK_ARM_EXE, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

uint32_t U32(const Bytes& b, size_t at) {
  uint32_t v = 0;
  std::memcpy(&v, &b[at], 4);
  return v;
}
void Put32(Bytes* b, size_t at, uint32_t v) { std::memcpy(&(*b)[at], &v, 4); }
void Put16(Bytes* b, size_t at, uint16_t v) { std::memcpy(&(*b)[at], &v, 2); }
size_t Coff(const Bytes& b) { return U32(b, 0x3C) + 4; }
size_t Optional(const Bytes& b) { return Coff(b) + 20; }

// The file offset of a relative address, through the section table.
size_t FileOffset(const Bytes& b, uint32_t rva) {
  size_t table = Optional(b) + (b[Coff(b) + 16] | b[Coff(b) + 17] << 8);
  for (size_t i = 0; i < static_cast<size_t>(b[Coff(b) + 2]); ++i) {
    size_t s = table + 40 * i;
    uint32_t start = U32(b, s + 12), size = U32(b, s + 16);
    if (rva >= start && rva - start < size) return U32(b, s + 20) + (rva - start);
  }
  ADD_FAILURE() << "no section holds " << rva;
  return 0;
}
size_t EntryOffset(const Bytes& b) { return FileOffset(b, U32(b, Optional(b) + 16)); }
uint32_t EntryAddress(const Bytes& b) { return 0x10000 + U32(b, Optional(b) + 16); }

// Replaces the first occurrence of `from` (a name in the file) by `to`, of
// the same length.
void Rename(Bytes* b, const std::string& from, const std::string& to) {
  auto at = std::search(b->begin(), b->end(), from.begin(), from.end());
  ASSERT_NE(at, b->end()) << from;
  std::copy(to.begin(), to.end(), at);
}

std::string Hex8(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

// How a run of a handheld ended: its exit code, standard error and trace.
struct Ended {
  int code;
  std::string err;
  std::vector<std::string> lines;
};

Ended RunArm(const std::string& path) {
  Process arm;
  EXPECT_TRUE(arm.Start({BinPath("nuvik-arm"), path}));
  arm.CloseInput();
  int code = arm.Wait();
  return {code, arm.Err(), arm.Out()};
}

std::string Write(const std::string& name, const Bytes& bytes) {
  std::string path = ::testing::TempDir() + "nuvik-arm-" + name + ".exe";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return path;
}

struct Refusal {
  const char* name;
  std::function<void(Bytes*)> change;  // to the built executable
  std::string why;
};

void PrintTo(const Refusal& r, std::ostream* out) { *out << r.name; }

class ArmLoaderTest : public ::testing::TestWithParam<Refusal> {};

// Whatever a CE 3.0 handheld would not run is refused before any of it
// runs: a clear message, exit code 2, no trace.
TEST_P(ArmLoaderTest, RefusesWithAReason) {
  Bytes exe = ArmExe();
  ASSERT_GT(exe.size(), 4096u);
  GetParam().change(&exe);
  std::string path = Write(GetParam().name, exe);
  Ended run = RunArm(path);
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("nuvik-arm: " + path + ": " + GetParam().why), std::string::npos) << run.err;
  EXPECT_TRUE(run.lines.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Images, ArmLoaderTest,
    ::testing::Values(
        Refusal{"X86", [](Bytes* b) { Put16(b, Coff(*b), 0x014C); },
                "machine 0x014C (x86), not ARM (0x01C0)"},
        Refusal{"Thumb", [](Bytes* b) { Put16(b, Coff(*b), 0x01C2); }, "machine 0x01C2 (ARM Thumb)"},
        Refusal{"DesktopGui", [](Bytes* b) { Put16(b, Optional(*b) + 68, 2); },
                "subsystem 2 (Windows GUI), not Windows CE GUI (9)"},
        Refusal{"MadeForCe4",
                [](Bytes* b) {
                  Put16(b, Optional(*b) + 48, 4);
                  Put16(b, Optional(*b) + 50, 20);
                },
                "made for Windows CE 4.20 (subsystem version); this handheld runs CE 3.0"},
        Refusal{"Dll", [](Bytes* b) { (*b)[Coff(*b) + 19] |= 0x20; }, "a DLL, not a program"},
        Refusal{"NoPeHeader", [](Bytes* b) { (*b)[U32(*b, 0x3C)] = 'X'; },
                "not a PE executable (no PE header)"},
        Refusal{"NotAnExecutable", [](Bytes* b) { *b = Bytes(100, 'x'); },
                "not an executable (no MZ header)"},
        Refusal{"CutShort", [](Bytes* b) { b->resize(2048); }, "section .text lies past the end of the file"},
        Refusal{"OtherLibrary", [](Bytes* b) { Rename(b, "COREDLL.dll", "NOTCORE.dll"); },
                "imports from NOTCORE.dll; the handheld provides COREDLL.dll only"},
        Refusal{"ImportByOrdinal",
                [](Bytes* b) {
                  size_t descriptor = FileOffset(*b, U32(*b, Optional(*b) + 104));
                  Put32(b, FileOffset(*b, U32(*b, descriptor)), 0x80000000u | 748);
                },
                "imports COREDLL.dll function #748 by ordinal; the handheld resolves imports by name only"},
        Refusal{"ThreadLocalStorage", [](Bytes* b) { Put32(b, Optional(*b) + 96 + 8 * 9 + 4, 24); },
                "has a thread-local storage directory"},
        Refusal{"ElsewhereWithoutRelocations",
                [](Bytes* b) {
                  Put32(b, Optional(*b) + 28, 0x20000);
                  (*b)[Coff(*b) + 18] |= 1;
                },
                "linked for 0x00020000 without base relocations"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return info.param.name; });

TEST(ArmLoader, RefusesAMissingFileAndBadUse) {
  Ended missing = RunArm(::testing::TempDir() + "no-such.exe");
  EXPECT_EQ(missing.code, 2);
  EXPECT_NE(missing.err.find("no-such.exe: No such file or directory"), std::string::npos) << missing.err;
  Process bare;
  ASSERT_TRUE(bare.Start({BinPath("nuvik-arm")}));
  EXPECT_EQ(bare.Wait(), 2);
  EXPECT_NE(bare.Err().find("usage: "), std::string::npos);
}

// Guest code that faults stops the run with the fault and the guest's
// program counter, exit code 3; the trace so far is written out first.
struct Fault {
  const char* name;
  std::vector<uint32_t> entry;  // instructions written over the entry point
  std::string rename[2];        // or an import renamed
  std::function<std::string(uint32_t entry)> why;
};

void PrintTo(const Fault& f, std::ostream* out) { *out << f.name; }

class ArmFaultTest : public ::testing::TestWithParam<Fault> {};

TEST_P(ArmFaultTest, StopsWithThePc) {
  const Fault& f = GetParam();
  Bytes exe = ArmExe();
  for (size_t i = 0; i < f.entry.size(); ++i) Put32(&exe, EntryOffset(exe) + 4 * i, f.entry[i]);
  if (!f.rename[0].empty()) Rename(&exe, f.rename[0], f.rename[1]);
  Ended run = RunArm(Write(f.name, exe));
  EXPECT_EQ(run.code, 3);
  EXPECT_NE(run.err.find(f.why(EntryAddress(exe))), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Guest, ArmFaultTest,
    ::testing::Values(
        Fault{"UndefinedInstruction",
              {0xE7F000F0},
              {},
              [](uint32_t pc) { return "guest fault on thread 1: undefined instruction, pc=" + Hex8(pc); }},
        Fault{"NullRead",
              {0xE3A00000, 0xE5900000},
              {},  // mov r0, #0; ldr r0, [r0]
              [](uint32_t pc) {
                return "guest fault on thread 1: read from unmapped memory at 0x00000000, pc=" + Hex8(pc + 4);
              }},
        Fault{"WriteToCode",
              {0xE50F0008},
              {},  // str r0, [pc, #-8]: over itself
              [](uint32_t pc) {
                return "write to read-only memory at " + Hex8(pc) + " (.text), pc=" + Hex8(pc);
              }},
        Fault{"StackOverflow",
              {0xE92D0001, 0xEAFFFFFD},
              {},  // push {r0}; b back
              [](uint32_t) { return "(a stack's guard page: the stack overflowed)"; }},
        Fault{"MissingFunction",
              {},
              {"RegisterClassW", "RegisterClassX"},
              [](uint32_t) {
                return "the program called RegisterClassX, which this handheld does not provide";
              }}),
    [](const ::testing::TestParamInfo<Fault>& info) { return info.param.name; });

// The same steps against `nuvik` and against `nuvik-arm` with the ARM
// executable give the same trace. Each thread's lines come in the same
// order; lines of different threads may interleave differently on either
// build, so across threads the lines are compared as a whole. Left out:
// the adapter's pseudo-terminal path, and the reader's re-arming of its mask
// after each wake (how many wakes it took depends on how the bytes happened
// to arrive). Steps: "> LINE" on the console, "type TEXT" has the adapter
// type TEXT, "? PREFIX" waits for such a line since the last of those (the
// lines a step leads to may come in either order), "close" is the task
// manager's close; without it the steps end the program.
struct SameTrace {
  const char* name;
  std::vector<std::string> env;
  std::vector<std::string> steps;
};

void PrintTo(const SameTrace& c, std::ostream* out) { *out << c.name; }

bool Starts(const std::string& line, const std::string& prefix) { return line.rfind(prefix, 0) == 0; }

Ended RunSteps(const std::vector<std::string>& handheld, const SameTrace& c) {
  Process program;
  std::string file = ::testing::TempDir() + "nuvik-empty.reg";
  std::ofstream(file) << "REGEDIT4\n";
  std::vector<std::string> env = c.env;
  for (std::string& e : env) {
    if (e == "NUVIK_REGISTRY=empty") e = "NUVIK_REGISTRY=" + file;
  }
  EXPECT_TRUE(program.Start(handheld, env));
  std::string path;
  size_t from = 0;
  bool closed = false;
  for (const std::string& step : c.steps) {
    if (Starts(step, "> ")) {
      from = program.Out().size();
      program.Send(step.substr(2));
    } else if (Starts(step, "? ")) {
      int line = program.WaitLineStarting(step.substr(2), from);
      EXPECT_GE(line, 0) << step;
      if (line < 0) break;
    } else if (Starts(step, "type ")) {
      from = program.Out().size();
      if (path.empty()) {
        std::string announced = program.Out()[static_cast<size_t>(program.WaitLineStarting("port name="))];
        path = announced.substr(announced.find("path=\"") + 6);
        path.pop_back();
      }
      Process adapter;
      EXPECT_TRUE(adapter.Start({BinPath("nuvik-adapter"), "--gap", "1", "--text", step.substr(5), path}));
      adapter.CloseInput();
      EXPECT_EQ(adapter.Wait(), 0) << adapter.Err();
    } else {
      EXPECT_EQ(step, "close");
      program.Signal(SIGTERM);
      closed = true;
    }
  }
  if (!closed && c.steps.empty()) program.CloseInput();
  Ended traced;
  traced.code = program.Wait();
  traced.err = program.Err();
  for (std::string line : program.Out()) {
    if (Starts(line, "SetCommMask port=\"COM3:\" mask=0x2119")) continue;
    if (Starts(line, "port name=")) line = line.substr(0, line.find(" path="));
    traced.lines.push_back(line);
  }
  return traced;
}

// The lines only the main thread writes, and only the reader.
const std::vector<std::string> kMainThread = {"CreateWindowExW",
                                              "ShowWindow",
                                              "CreateFileW",
                                              "SetCommState",
                                              "SetCommTimeouts",
                                              "EscapeCommFunction",
                                              "Shell_NotifyIcon",
                                              "CreatePopupMenu",
                                              "AppendMenuW",
                                              "TrackPopupMenuEx",
                                              "PopupMenuClosed",
                                              "EnableMenuItem",
                                              "MessageBoxW",
                                              "MessageBoxClosed",
                                              "CloseHandle",
                                              "DestroyWindow",
                                              "DestroyMenu",
                                              "PostQuitMessage",
                                              "SetCommMask port=\"COM3:\" mask=0x0",
                                              "focus text="};
const std::vector<std::string> kReader = {"SendInput", "PostKeybdMessage", "PostMessageW"};

std::vector<std::string> Only(const std::vector<std::string>& lines,
                              const std::vector<std::string>& prefixes) {
  std::vector<std::string> kept;
  for (const std::string& line : lines) {
    for (const std::string& prefix : prefixes) {
      if (Starts(line, prefix)) {
        kept.push_back(line);
        break;
      }
    }
  }
  return kept;
}

class ArmTraceTest : public ::testing::TestWithParam<SameTrace> {};

TEST_P(ArmTraceTest, SameAsTheX86Build) {
  Ended x86 = RunSteps({BinPath("nuvik")}, GetParam());
  Ended arm = RunSteps({BinPath("nuvik-arm"), NUVIK_ARM_EXE}, GetParam());
  ASSERT_GE(x86.lines.size(), 3u);
  EXPECT_EQ(arm.code, x86.code);
  EXPECT_EQ(arm.err, x86.err);
  EXPECT_EQ(Only(arm.lines, kMainThread), Only(x86.lines, kMainThread));
  EXPECT_EQ(Only(arm.lines, kReader), Only(x86.lines, kReader));
  std::sort(x86.lines.begin(), x86.lines.end());
  std::sort(arm.lines.begin(), arm.lines.end());
  EXPECT_EQ(arm.lines, x86.lines);
}

const char kReaderWaits[] = "? SetCommMask port=\"COM3:\" mask=0x2139";

INSTANTIATE_TEST_SUITE_P(
    Steps, ArmTraceTest,
    ::testing::Values(SameTrace{"TypesASentence",
                                {},
                                {kReaderWaits, "type Hello, World! It's 9:41 (\"quoted\") & a\\b.\n",
                                 "? SendInput vk=0x0D scan=0x1C flags=0x2", "close"}},
                      SameTrace{"TapsCeStarThenTypesUnderALoweredPanel",
                                {"NUVIK_SIP=ce-star"},
                                {kReaderWaits, "type qw", "? SendInput vk=0x57 scan=0x11 flags=0x2",
                                 "> sip lowered", "> send 40010",
                                 "? MessageBoxW owner=main caption=\"About Nuvik\"", "type e",
                                 "? SendInput vk=0x45 scan=0x12 flags=0x2", "close"}},
                      SameTrace{"MenuDisableEnableResumeAndHeldBoxes",
                                {},
                                {kReaderWaits,
                                 "> tap",
                                 "? TrackPopupMenuEx",
                                 "> choose 100",
                                 "? Shell_NotifyIcon op=NIM_MODIFY icon=119",
                                 "> tap",
                                 "? TrackPopupMenuEx",
                                 "> choose 101",
                                 "? Shell_NotifyIcon op=NIM_MODIFY icon=114",
                                 kReaderWaits,
                                 "type a",
                                 "? SendInput vk=0x41 scan=0x1E flags=0x2",
                                 "> boxes hold",
                                 "> send 102",
                                 "? MessageBoxW owner=foreground caption=\"About Nuvik\"",
                                 "> resume",
                                 "? CreateFileW name=\"COM3:\" result=ok",
                                 kReaderWaits,
                                 "> ok",
                                 "? MessageBoxClosed caption=\"About Nuvik\" by=ok",
                                 "> send 103",
                                 "? PostQuitMessage"}},
                      SameTrace{"StartsWithoutADriver", {"NUVIK_REGISTRY=empty"}, {}}),
    [](const ::testing::TestParamInfo<SameTrace>& info) { return info.param.name; });

}  // namespace
