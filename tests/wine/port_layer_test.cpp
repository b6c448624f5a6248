// nuvik-port-layer-test: the desktop port layer (src/platform/win32/
// comm_ports.cpp) on a real port, for the smoke run under Wine. It makes the
// calls the program makes, through the same header, and reports what they
// did, one line per case; the smoke script compares.
//
//   nuvik-port-layer-test.exe PORT SCRATCH-FILE
//
// PORT's far end must send back whatever it is sent (the smoke script's
// pseudo-terminal does), so bytes can arrive on cue. SCRATCH-FILE is a disk
// file the test may create and overwrite. Exit status 0 when every case
// could be carried out (what it showed is for the script to judge), 1 when
// the port could not be set up, 2 on a bad command line.
#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <stdio.h>

#include "win32/ce_compat.h"

namespace {

// Only a hang is caught with these; nothing here depends on their length.
const DWORD kHangMs = 5000;
const DWORD kPendingMs = 300;  // a request still running after this is pending

const wchar_t* g_portName = nullptr;

void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Report(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  vprintf(format, arguments);
  va_end(arguments);
  putchar('\n');
  fflush(stdout);
}

// ---- names ----------------------------------------------------------------------

void CheckNames() {
  struct Row {
    const wchar_t* name;
    bool port;
  };
  const Row rows[] = {
      {L"COM3:", true},
      {L"COM3", true},
      {L"com3:", true},
      {L"CoM12", true},
      {L"COM256:", true},
      {L"\\\\.\\COM3", true},
      {L"\\\\.\\COM10:", true},
      {L"COM", false},
      {L"COM:", false},
      {L"COM1234", false},
      {L"COM3::", false},
      {L"COM3x", false},
      {L"XCOM3", false},
      {L"COMA:", false},
      {L"LPT1:", false},
      {L"C:\\COM3", false},
      {L"\\\\?\\COM3", false},
      {L"\\\\.\\", false},
      {L"", false},
      {nullptr, false},
  };
  int wrong = 0;
  for (const Row& row : rows) {
    bool port = CeIsCommPortName(row.name);
    if (port == row.port) continue;
    ++wrong;
    Report("names: \"%ls\" taken as port=%d", row.name != nullptr ? row.name : L"(null)", port ? 1 : 0);
  }
  Report("names: %d rows, %d wrong", static_cast<int>(sizeof rows / sizeof rows[0]), wrong);
}

// ---- a disk file goes straight to the system ----------------------------------------

// Sequential reads need the file's own position, which an overlapped handle
// does not keep: a file taken for a port would read "ab" twice or fail.
void CheckFile(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Report("file: cannot create: error=%lu", GetLastError());
    return;
  }
  DWORD count = 0;
  BOOL wrote = WriteFile(file, "abcd", 4, &count, nullptr);
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  char first[3] = "";
  char second[3] = "";
  DWORD got1 = 0;
  DWORD got2 = 0;
  BOOL read1 = ReadFile(file, first, 2, &got1, nullptr);
  BOOL read2 = ReadFile(file, second, 2, &got2, nullptr);
  BOOL closed = CloseHandle(file);
  DeleteFileW(path);
  Report("file: write=%d put=%lu, reads=%d,%d \"%.*s\" then \"%.*s\", close=%d", wrote, count, read1, read2,
         static_cast<int>(got1), first, static_cast<int>(got2), second, closed);
}

// ---- the port, set up as the program sets it up ------------------------------------

// The program's timeouts: reads return at once with what is buffered.
const COMMTIMEOUTS kProgramTimeouts = {MAXDWORD, 0, 0, 10, 1000};
// Reads that wait until all their bytes came: the way to have one pending.
const COMMTIMEOUTS kBlockingTimeouts = {0, 0, 0, 10, 1000};

HANDLE OpenPort(const COMMTIMEOUTS& timeouts) {
  HANDLE port = CreateFileW(g_portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) return port;
  DCB dcb = {};
  dcb.DCBlength = sizeof dcb;
  GetCommState(port, &dcb);
  dcb.BaudRate = CBR_9600;
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  COMMTIMEOUTS copy = timeouts;
  if (!SetCommState(port, &dcb) || !SetCommTimeouts(port, &copy)) {
    CloseHandle(port);
    return INVALID_HANDLE_VALUE;
  }
  return port;
}

// Waits, up to the hang bound, until bytes are buffered on the port.
DWORD WaitForBuffered(HANDLE port) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < kHangMs; Sleep(10)) {
    DWORD errors = 0;
    COMSTAT status = {};
    if (ClearCommError(port, &errors, &status) && status.cbInQue > 0) return status.cbInQue;
  }
  return 0;
}

const DWORD kCallersError = 1234;  // a call that succeeds leaves it so

// Bytes sent to the far end come back and are read with the program's
// timeouts; with nothing buffered a read returns at once with nothing.
bool CheckReads() {
  HANDLE port = OpenPort(kProgramTimeouts);
  if (port == INVALID_HANDLE_VALUE) {
    Report("open: cannot open %ls: error=%lu", g_portName, GetLastError());
    return false;
  }
  DWORD first = 0, later = 0;  // the program's masks, as the driver got them
  BOOL set = SetCommMask(port, 0x2139) && GetCommMask(port, &first) && SetCommMask(port, 0x2119) &&
             GetCommMask(port, &later);
  Report("masks: result=%d 0x2139 as 0x%lX, 0x2119 as 0x%lX", set, first, later);
  BYTE buffer[8] = {};
  DWORD got = 99;
  SetLastError(kCallersError);
  BOOL ok = ReadFile(port, buffer, 3, &got, nullptr);
  Report("read with nothing buffered: result=%d got=%lu last error=%lu", ok, got, GetLastError());

  const BYTE packet[4] = {0x41, 0x1E, 0x00, 0x5F};
  DWORD put = 0;
  ok = WriteFile(port, packet, 4, &put, nullptr);
  Report("write of a key packet: result=%d put=%lu", ok, put);

  // The program's pattern: one byte, then the rest of what is there.
  DWORD total = 0;
  for (DWORD start = GetTickCount(); total < 4 && GetTickCount() - start < kHangMs; Sleep(10)) {
    if (ReadFile(port, buffer + total, total == 0 ? 1 : 4 - total, &got, nullptr) && got <= 4 - total)
      total += got;
  }
  Report("read of what came back: %lu bytes %02X %02X %02X %02X", total, buffer[0], buffer[1], buffer[2],
         buffer[3]);

  // A byte that came after the mask was set raises a character event.
  SetCommMask(port, EV_RXCHAR);
  WriteFile(port, packet, 1, &put, nullptr);
  DWORD buffered = WaitForBuffered(port);
  DWORD events = 0xFFFF;
  ok = WaitCommEvent(port, &events, nullptr);
  Report("wait with a byte buffered: buffered=%lu result=%d events=0x%lX", buffered, ok, events);
  ReadFile(port, buffer, 8, &got, nullptr);

  Report("close: result=%d", CloseHandle(port));
  return true;
}

// ---- a request pending in one thread, ended from another ----------------------------

enum Pending { kWait, kRead };
enum Ending { kMaskChange, kProgramClose, kCloseAlone };

struct Row {
  const char* name;
  Pending pending;
  Ending ending;
};

// What a worker's request returned; each row has its own, so a request that
// returns late writes nothing another row reads.
struct Outcome {
  HANDLE port;
  Pending pending;
  BOOL result;
  DWORD error;
  DWORD events;
  DWORD got;
  BYTE buffer[4];
};

DWORD WINAPI Worker(LPVOID parameter) {
  Outcome* outcome = static_cast<Outcome*>(parameter);
  outcome->events = 0xFFFF;
  outcome->got = 99;
  if (outcome->pending == kWait) {
    outcome->result = WaitCommEvent(outcome->port, &outcome->events, nullptr);
  } else {
    outcome->result = ReadFile(outcome->port, outcome->buffer, 4, &outcome->got, nullptr);
  }
  outcome->error = outcome->result ? 0 : GetLastError();
  return 0;
}

void Describe(const Outcome& outcome, char* text, size_t size) {
  int n = snprintf(text, size, "result=%d", outcome.result);
  if (!outcome.result) n += snprintf(text + n, size - n, " error=%lu", outcome.error);
  if (outcome.pending == kWait) {
    snprintf(text + n, size - n, " events=0x%lX", outcome.events);
  } else {
    snprintf(text + n, size - n, " got=%lu", outcome.got);
  }
}

Outcome g_outcomes[8];

void CheckEnding(const Row& row, Outcome* outcome) {
  HANDLE port = OpenPort(row.pending == kRead ? kBlockingTimeouts : kProgramTimeouts);
  if (port == INVALID_HANDLE_VALUE) {
    Report("%s: cannot open %ls: error=%lu", row.name, g_portName, GetLastError());
    return;
  }
  // Characters alone: Wine fails a wait that asks for modem lines on a
  // pseudo-terminal at once.
  SetCommMask(port, EV_RXCHAR);
  outcome->port = port;
  outcome->pending = row.pending;
  HANDLE worker = CreateThread(nullptr, 0, Worker, outcome, 0, nullptr);
  if (worker == nullptr) {
    Report("%s: cannot start a thread: error=%lu", row.name, GetLastError());
    CloseHandle(port);
    return;
  }
  char text[96];
  if (WaitForSingleObject(worker, kPendingMs) == WAIT_OBJECT_0) {
    Describe(*outcome, text, sizeof text);
    Report("%s: not pending: %s", row.name, text);
    CloseHandle(port);
    CloseHandle(worker);
    return;
  }
  bool closed = false;
  if (row.ending == kMaskChange || row.ending == kProgramClose) SetCommMask(port, 0);
  if (row.ending == kProgramClose || row.ending == kCloseAlone) {
    CloseHandle(port);
    closed = true;
  }
  if (WaitForSingleObject(worker, kHangMs) != WAIT_OBJECT_0) {
    Report("%s: pending, and still %lu ms after", row.name, kHangMs);
    // Let the request go so the next row can open the port; the thread
    // is left to end on its own.
    if (!closed) CloseHandle(port);
    CloseHandle(worker);
    return;
  }
  Describe(*outcome, text, sizeof text);
  Report("%s: pending, then %s", row.name, text);
  if (!closed) CloseHandle(port);
  CloseHandle(worker);
}

// Between a close's first step and the system's close (the program's close
// gave up waiting for its reader), a read is still the layer's, cut short:
// a plain ReadFile on the overlapped handle fails at once under Wine.
void CheckCloseUnderWay() {
  HANDLE port = OpenPort(kProgramTimeouts);
  int place = CeBeginPortClose(port);
  BYTE buffer[4];
  DWORD got = 99;
  BOOL ok = ReadFile(port, buffer, 4, &got, nullptr);
  bool noted = CeIsNotedPort(port);
  CloseHandle(port);  // the system's close alone: the layer's is under way
  bool notedClosed = CeIsNotedPort(port);
  CeEndPortClose(place);
  Report("close under way: begun=%d noted=%d,%d,%d read result=%d got=%lu", place >= 0, noted, notedClosed,
         CeIsNotedPort(port), ok, got);
}

void CheckEndings() {
  const Row rows[] = {
      {"wait ended by a mask change", kWait, kMaskChange},
      {"wait ended by the program's close", kWait, kProgramClose},
      {"wait ended by a close alone", kWait, kCloseAlone},
      {"read ended by the program's close", kRead, kProgramClose},
      {"read ended by a close alone", kRead, kCloseAlone},
  };
  int i = 0;
  for (const Row& row : rows) CheckEnding(row, &g_outcomes[i++]);
  CheckCloseUnderWay();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    fputs("usage: nuvik-port-layer-test PORT SCRATCH-FILE\n", stderr);
    return 2;
  }
  // Plain \n line ends: the report is read on the Unix side.
  _setmode(_fileno(stdout), _O_BINARY);
  g_portName = argv[1];
  CheckNames();
  CheckFile(argv[2]);
  if (!CheckReads()) return 1;
  CheckEndings();
  return 0;
}
