// nuvik-wine-driver: starts nuvik.exe and plays the user and the other
// programs around it, for the smoke run under Wine. It reports what it sees,
// one line per fact on standard output; the smoke script compares them.
//
//   nuvik-wine-driver.exe NUVIK.EXE STEP...
//
// Steps, done in order:
//   resources       load the icons and version record from NUVIK.EXE as data
//   start           start NUVIK.EXE
//   boxes=N         wait for N message boxes in turn, print each, answer OK
//   nobox=MS        watch MS milliseconds; any message box is a failure
//   hidden          wait for the main window; print whether it is visible
//   windows         print how many top-level windows of the program are visible
//   cpu=MS          print the program's CPU time over the next MS milliseconds
//   command=ID      post WM_COMMAND ID to the main window
//   exit            wait for the program to end; print its exit code
//
// Exit status 0 when every step could be carried out (what the program
// showed is for the script to judge), 1 when a step failed or timed out, 2
// on a bad command line. The program is ended if it is still running.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

namespace {

const wchar_t kMainWindowClass[] = L"IR PDA Keyboard Nuvik";
const wchar_t kDialogClass[] = L"#32770";
const int kMessageBoxTextId = 0xFFFF;
const DWORD kWaitMs = 20000;  // first start in a fresh Wine prefix is slow
const DWORD kPollMs = 50;

PROCESS_INFORMATION g_program = {};
bool g_started = false;

// ---- output -------------------------------------------------------------------

// Text as UTF-8, with the characters that would break a quoted line escaped.
void PutQuoted(const wchar_t* text) {
  putchar('"');
  for (const wchar_t* p = text; *p != 0; ++p) {
    switch (*p) {
      case L'\r':
        fputs("\\r", stdout);
        break;
      case L'\n':
        fputs("\\n", stdout);
        break;
      case L'\t':
        fputs("\\t", stdout);
        break;
      case L'\\':
        fputs("\\\\", stdout);
        break;
      case L'"':
        fputs("\\\"", stdout);
        break;
      default: {
        // A surrogate pair is one character: convert both halves together.
        int units = IS_HIGH_SURROGATE(p[0]) && IS_LOW_SURROGATE(p[1]) ? 2 : 1;
        char utf8[8];
        int n = WideCharToMultiByte(CP_UTF8, 0, p, units, utf8, sizeof utf8, nullptr, nullptr);
        fwrite(utf8, 1, n > 0 ? static_cast<size_t>(n) : 0, stdout);
        p += units - 1;
      }
    }
  }
  putchar('"');
}

int Fail(const char* what) {
  printf("error: %s\n", what);
  fflush(stdout);
  return 1;
}

// ---- finding the program's windows --------------------------------------------

bool IsOwnedByProgram(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  return pid == g_program.dwProcessId;
}

bool HasClass(HWND window, const wchar_t* name) {
  wchar_t buffer[64];
  return GetClassNameW(window, buffer, 64) > 0 && wcscmp(buffer, name) == 0;
}

BOOL CALLBACK FindBox(HWND window, LPARAM found) {
  if (IsOwnedByProgram(window) && HasClass(window, kDialogClass) && IsWindowVisible(window) &&
      GetDlgItem(window, kMessageBoxTextId) != nullptr) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

HWND ProgramBox() {
  HWND found = nullptr;
  EnumWindows(FindBox, reinterpret_cast<LPARAM>(&found));
  return found;
}

bool ProgramEnded() { return WaitForSingleObject(g_program.hProcess, 0) == WAIT_OBJECT_0; }

// Waits up to ms for a box; null when none came or the program ended.
HWND WaitForBox(DWORD ms) {
  DWORD start = GetTickCount();
  for (;;) {
    HWND box = ProgramBox();
    if (box != nullptr) return box;
    if (ProgramEnded() || GetTickCount() - start >= ms) return nullptr;
    Sleep(kPollMs);
  }
}

HWND FindMainWindow() {
  HWND window = FindWindowW(kMainWindowClass, nullptr);
  return window != nullptr && IsOwnedByProgram(window) ? window : nullptr;
}

// ---- steps ----------------------------------------------------------------------

int Start(const wchar_t* path) {
  wchar_t commandLine[MAX_PATH + 3];
  if (_snwprintf(commandLine, MAX_PATH + 3, L"\"%ls\"", path) < 0) return Fail("program path too long");
  commandLine[MAX_PATH + 2] = 0;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (!CreateProcessW(path, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &g_program)) {
    return Fail("cannot start the program");
  }
  g_started = true;
  return 0;
}

// Reads one box, answers OK and waits until it is gone, so the next call
// cannot see the same box again.
int AnswerBox(HWND box) {
  wchar_t caption[512] = L"";
  wchar_t text[1024] = L"";
  GetWindowTextW(box, caption, 512);
  GetDlgItemTextW(box, kMessageBoxTextId, text, 1024);
  fputs("box caption=", stdout);
  PutQuoted(caption);
  fputs(" text=", stdout);
  PutQuoted(text);
  putchar('\n');
  fflush(stdout);

  HWND ok = GetDlgItem(box, IDOK);
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
  DWORD start = GetTickCount();
  while (IsWindow(box) && IsWindowVisible(box)) {
    if (GetTickCount() - start >= kWaitMs) return Fail("message box did not close on OK");
    Sleep(kPollMs);
  }
  return 0;
}

int Boxes(long count) {
  for (long i = 0; i < count; ++i) {
    HWND box = WaitForBox(kWaitMs);
    if (box == nullptr)
      return Fail(ProgramEnded() ? "program ended before its message box" : "no message box came");
    if (AnswerBox(box) != 0) return 1;
  }
  return 0;
}

int NoBox(long ms) {
  HWND box = WaitForBox(static_cast<DWORD>(ms));
  if (box != nullptr) {
    AnswerBox(box);
    return Fail("unexpected message box");
  }
  if (ProgramEnded()) return Fail("program ended");
  puts("no box");
  fflush(stdout);
  return 0;
}

int Hidden() {
  DWORD start = GetTickCount();
  HWND window;
  while ((window = FindMainWindow()) == nullptr) {
    if (ProgramEnded() || GetTickCount() - start >= kWaitMs) return Fail("main window not found");
    Sleep(kPollMs);
  }
  printf("window visible=%d\n", IsWindowVisible(window) ? 1 : 0);
  fflush(stdout);
  return 0;
}

BOOL CALLBACK CountVisible(HWND window, LPARAM count) {
  if (IsOwnedByProgram(window) && IsWindowVisible(window)) ++*reinterpret_cast<int*>(count);
  return TRUE;
}

int VisibleWindows() {
  int count = 0;
  EnumWindows(CountVisible, reinterpret_cast<LPARAM>(&count));
  printf("visible windows=%d\n", count);
  fflush(stdout);
  return 0;
}

ULONGLONG Add(FILETIME a, FILETIME b) {
  ULARGE_INTEGER x, y;
  x.LowPart = a.dwLowDateTime;
  x.HighPart = a.dwHighDateTime;
  y.LowPart = b.dwLowDateTime;
  y.HighPart = b.dwHighDateTime;
  return x.QuadPart + y.QuadPart;
}

// The documented head of one entry of the system's process list
// (NtQuerySystemInformation, SystemProcessInformation).
struct ProcessEntry {
  ULONG nextEntryOffset;
  ULONG numberOfThreads;
  LARGE_INTEGER workingSetPrivateSize;
  ULONG hardFaultCount;
  ULONG numberOfThreadsHighWatermark;
  ULONGLONG cycleTime;
  LARGE_INTEGER createTime;
  LARGE_INTEGER userTime;
  LARGE_INTEGER kernelTime;
  struct {
    USHORT length;
    USHORT maximumLength;
    PWSTR buffer;
  } imageName;
  LONG basePriority;
  HANDLE uniqueProcessId;
};

typedef LONG(WINAPI* QuerySystemInformation)(ULONG kind, PVOID buffer, ULONG size, PULONG needed);

alignas(8) BYTE g_processList[1 << 20];

// The program's CPU time from the system's process list; 0 if unknown.
ULONGLONG ListedCpuTime100ns(DWORD pid) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  QuerySystemInformation query =
      ntdll != nullptr ? reinterpret_cast<QuerySystemInformation>(
                             reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")))
                       : nullptr;
  ULONG needed = 0;
  const ULONG kSystemProcessInformation = 5;
  if (query == nullptr ||
      query(kSystemProcessInformation, g_processList, sizeof g_processList, &needed) != 0) {
    return 0;
  }
  for (ULONG offset = 0;;) {
    const ProcessEntry* entry = reinterpret_cast<const ProcessEntry*>(g_processList + offset);
    if (reinterpret_cast<ULONG_PTR>(entry->uniqueProcessId) == pid) {
      return static_cast<ULONGLONG>(entry->userTime.QuadPart + entry->kernelTime.QuadPart);
    }
    if (entry->nextEntryOffset == 0) return 0;
    offset += entry->nextEntryOffset;
  }
}

// User plus kernel time of the program, in 100 ns units. Wine answers
// GetProcessTimes for another process with zeros, but fills the system's
// process list from the host kernel's accounting; Windows gives the same
// figure both ways. The larger of the two is taken.
ULONGLONG CpuTime100ns(HANDLE process, DWORD pid) {
  FILETIME created, ended, kernel, user;
  ULONGLONG own = GetProcessTimes(process, &created, &ended, &kernel, &user) ? Add(kernel, user) : 0;
  ULONGLONG listed = ListedCpuTime100ns(pid);
  return own > listed ? own : listed;
}

int Cpu(long ms) {
  // A handle of its own, as any monitoring tool would open it.
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, g_program.dwProcessId);
  if (process == nullptr) return Fail("cannot open the program's process");
  ULONGLONG before = CpuTime100ns(process, g_program.dwProcessId);
  DWORD start = GetTickCount();
  Sleep(static_cast<DWORD>(ms));
  ULONGLONG after = CpuTime100ns(process, g_program.dwProcessId);
  DWORD elapsed = GetTickCount() - start;
  CloseHandle(process);
  if (ProgramEnded()) return Fail("program ended");
  printf("cpu busy_ms=%lu over_ms=%lu\n", static_cast<unsigned long>((after - before) / 10000),
         static_cast<unsigned long>(elapsed));
  fflush(stdout);
  return 0;
}

int Command(long id) {
  HWND window = FindMainWindow();
  if (window == nullptr) return Fail("main window not found");
  if (!PostMessageW(window, WM_COMMAND, static_cast<WPARAM>(id), 0)) return Fail("cannot post the command");
  return 0;
}

int Exit() {
  if (WaitForSingleObject(g_program.hProcess, kWaitMs) != WAIT_OBJECT_0) return Fail("program did not end");
  DWORD code = 0;
  GetExitCodeProcess(g_program.hProcess, &code);
  printf("exit code=%lu\n", static_cast<unsigned long>(code));
  fflush(stdout);
  return 0;
}

// ---- resources --------------------------------------------------------------------

void PrintIcon(HMODULE module, int id, int size) {
  HICON icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, 0));
  ICONINFO info = {};
  BITMAP colour = {};
  if (icon != nullptr && GetIconInfo(icon, &info)) {
    if (info.hbmColor != nullptr) GetObjectW(info.hbmColor, sizeof colour, &colour);
    if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
    if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
  }
  printf("icon %d %dx%d loaded=%d image=%ldx%ld mask=%d\n", id, size, size, icon != nullptr ? 1 : 0,
         static_cast<long>(colour.bmWidth), static_cast<long>(colour.bmHeight),
         info.hbmMask != nullptr ? 1 : 0);
  if (icon != nullptr) DestroyIcon(icon);
}

// The version record lives in a resource of type RT_VERSION; reading it
// directly needs nothing beyond the loader.
void PrintVersionString(const BYTE* record, DWORD size, const wchar_t* key) {
  // VS_VERSIONINFO entries: WORD length, WORD value length, WORD type, the
  // key, padding to 4 bytes, the value. Walked by hand: a flat search for
  // the key followed by the value is enough for the few keys checked here.
  const wchar_t* words = reinterpret_cast<const wchar_t*>(record);
  size_t count = size / sizeof(wchar_t);
  size_t keyLength = wcslen(key);
  for (size_t i = 0; i + keyLength < count; ++i) {
    if (wcsncmp(words + i, key, keyLength) == 0 && words[i + keyLength] == 0) {
      size_t value = i + keyLength + 1;
      while (value < count && words[value] == 0) ++value;  // padding
      printf("version %ls=", key);
      PutQuoted(value < count ? words + value : L"");
      putchar('\n');
      return;
    }
  }
  printf("version %ls missing\n", key);
}

int Resources(const wchar_t* path) {
  HMODULE module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return Fail("cannot load the program as data");
  const int ids[] = {105, 114, 119};
  for (int id : ids) {
    PrintIcon(module, id, 32);
    PrintIcon(module, id, 16);
  }
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));  // RT_VERSION
  HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
  const BYTE* record = loaded != nullptr ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
  if (record == nullptr) {
    FreeLibrary(module);
    return Fail("no version record");
  }
  DWORD size = SizeofResource(module, found);
  // The fixed part: signature 0xFEEF04BD, then the file version words.
  const DWORD* dwords = reinterpret_cast<const DWORD*>(record);
  for (DWORD i = 0; i + 3 < size / 4; ++i) {
    if (dwords[i] == 0xFEEF04BD) {
      printf("version file=%lu.%lu.%lu.%lu\n", static_cast<unsigned long>(HIWORD(dwords[i + 2])),
             static_cast<unsigned long>(LOWORD(dwords[i + 2])),
             static_cast<unsigned long>(HIWORD(dwords[i + 3])),
             static_cast<unsigned long>(LOWORD(dwords[i + 3])));
      break;
    }
  }
  PrintVersionString(record, size, L"ProductName");
  PrintVersionString(record, size, L"FileDescription");
  PrintVersionString(record, size, L"FileVersion");
  fflush(stdout);
  FreeLibrary(module);
  return 0;
}

// ---- command line ----------------------------------------------------------------

bool ParseNumber(const wchar_t* text, long* value) {
  wchar_t* end = nullptr;
  *value = wcstol(text, &end, 10);
  return end != text && *end == 0 && *value >= 0;
}

int RunStep(const wchar_t* program, const wchar_t* step) {
  const wchar_t* equals = wcschr(step, L'=');
  size_t nameLength = equals != nullptr ? static_cast<size_t>(equals - step) : wcslen(step);
  long value = 0;
  if (equals != nullptr && !ParseNumber(equals + 1, &value)) return 2;
  auto is = [&](const wchar_t* name, bool takesValue) {
    return wcslen(name) == nameLength && wcsncmp(step, name, nameLength) == 0 &&
           (equals != nullptr) == takesValue;
  };
  if (is(L"resources", false)) return Resources(program);
  if (is(L"start", false)) return g_started ? 2 : Start(program);
  if (!g_started) return 2;
  if (is(L"boxes", true)) return Boxes(value);
  if (is(L"nobox", true)) return NoBox(value);
  if (is(L"hidden", false)) return Hidden();
  if (is(L"windows", false)) return VisibleWindows();
  if (is(L"cpu", true)) return Cpu(value);
  if (is(L"command", true)) return Command(value);
  if (is(L"exit", false)) return Exit();
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    fputs("usage: nuvik-wine-driver NUVIK.EXE STEP...\n", stderr);
    return 2;
  }
  // Plain \n line ends: the report is read on the Unix side.
  _setmode(_fileno(stdout), _O_BINARY);
  int result = 0;
  for (int i = 2; i < argc && result == 0; ++i) {
    result = RunStep(argv[1], argv[i]);
    if (result == 2) fprintf(stderr, "nuvik-wine-driver: bad step: %ls\n", argv[i]);
  }
  if (g_started) {
    if (!ProgramEnded()) TerminateProcess(g_program.hProcess, 255);
    CloseHandle(g_program.hThread);
    CloseHandle(g_program.hProcess);
  }
  return result;
}
