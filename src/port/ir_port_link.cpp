#include "port/ir_port_link.h"

#include "pipeline/key_injector.h"
#include "pipeline/key_packet_decoder.h"
#include "resource.h"
#include "shell/globals.h"

// The open port's handle, INVALID_HANDLE_VALUE while closed. Written by the
// main thread, read by readers; always accessed as one whole word.
static void* volatile g_port = INVALID_HANDLE_VALUE;

// Which open the port belongs to: 0 while closed, else a count of opens that
// no later open repeats. A reader is told its open's number when it starts
// and ends as soon as this no longer matches, even when a new open got the
// same handle value back.
static LONG volatile g_openGeneration = 0;
static LONG volatile g_opens = 0;

static HANDLE CurrentPort(void) { return InterlockedCompareExchangePointer(&g_port, nullptr, nullptr); }

static bool IsStillOpen(LONG generation) {
  return InterlockedCompareExchange(&g_openGeneration, 0, 0) == generation;
}

bool IsIrPortOpen(void) { return InterlockedCompareExchange(&g_openGeneration, 0, 0) != 0; }

void ApplyAdapterLineSettings(DCB* dcb) {
  dcb->BaudRate = CBR_9600;
  dcb->fBinary = 1;
  dcb->fParity = 0;
  dcb->fOutxCtsFlow = 0;
  dcb->fOutxDsrFlow = 0;
  dcb->fDtrControl = DTR_CONTROL_DISABLE;
  dcb->fDsrSensitivity = 0;
  dcb->fTXContinueOnXoff = 0;
  dcb->fOutX = 0;
  dcb->fInX = 0;
  dcb->fErrorChar = 0;
  dcb->fNull = 0;
  dcb->fRtsControl = RTS_CONTROL_DISABLE;
  dcb->fAbortOnError = 0;
  dcb->ByteSize = 8;
  dcb->Parity = NOPARITY;
  dcb->StopBits = ONESTOPBIT;
}

// Closes the handle this open got, if any, and tells the user why.
static int FailOpen(HANDLE port, LPCWSTR text, LPCWSTR caption) {
  if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
  MessageBoxW(g_mainWindow, text, caption, MB_OK);
  return 0;
}

int OpenIrPort(LPCWSTR name) {
  HANDLE port = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) return FailOpen(port, TEXT("Unable to open IR port!\r\n"), name);

  DCB dcb = {};
  dcb.DCBlength = sizeof(DCB);
  GetCommState(port, &dcb);
  ApplyAdapterLineSettings(&dcb);
  if (!SetCommState(port, &dcb))
    return FailOpen(port, TEXT("Unable to configure the serial port"), TEXT("Error"));

  COMMTIMEOUTS timeouts = {};
  GetCommTimeouts(port, &timeouts);
  timeouts.ReadIntervalTimeout = MAXDWORD;  // reads return at once with what is buffered
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 10;
  timeouts.WriteTotalTimeoutConstant = 1000;
  if (!SetCommTimeouts(port, &timeouts))
    return FailOpen(port, TEXT("Unable to set the time-out parameters"), TEXT("Error"));

  EscapeCommFunction(port, SETIR);

  // Another open port is never replaced: its reader keeps serving it.
  if (IsIrPortOpen()) return FailOpen(port, TEXT("Unable to open IR port!\r\n"), name);

  LONG generation = InterlockedIncrement(&g_opens);
  if (generation == 0) generation = InterlockedIncrement(&g_opens);  // 0 means closed
  InterlockedExchangePointer(&g_port, port);
  InterlockedExchange(&g_openGeneration, generation);

  HANDLE reader = CreateThread(nullptr, 0, ReaderThread,
                               reinterpret_cast<LPVOID>(static_cast<LONG_PTR>(generation)), 0, nullptr);
  if (reader == nullptr) {
    InterlockedExchange(&g_openGeneration, 0);
    InterlockedExchangePointer(&g_port, INVALID_HANDLE_VALUE);
    return FailOpen(port, TEXT("Unable to create the read thread"), TEXT("Error"));
  }
  CloseHandle(reader);  // the reader runs detached
  return 1;
}

void CloseIrPort(void) {
  // The generation goes first, so a reader that still sees its own number
  // also still sees its own handle.
  InterlockedExchange(&g_openGeneration, 0);
  HANDLE port = InterlockedExchangePointer(&g_port, INVALID_HANDLE_VALUE);
  SetCommMask(port, 0);  // makes the reader's pending wait return
  if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
}

DWORD WINAPI ReaderThread(LPVOID parameter) {
  LONG generation = static_cast<LONG>(reinterpret_cast<LONG_PTR>(parameter));
  HANDLE port = CurrentPort();
  if (!IsStillOpen(generation)) return 0;

  KeyPacketDecoder decoder = {};
  SoftKeyboardWindows windows = {};
  SetCommMask(port, IR_FIRST_EVENT_MASK);
  if (!IsStillOpen(generation)) return 0;

  for (;;) {
    DWORD events = 0;
    BOOL waited = WaitCommEvent(port, &events, nullptr);
    if (!waited) events = 0;
    // Once closed, the handle value may already belong to a new open: do
    // not touch it again.
    if (!IsStillOpen(generation)) return 0;
    SetCommMask(port, IR_EVENT_MASK);

    if (events & EV_POWER) {
      // The main thread closes and reopens the port, which starts a new
      // reader; this one is done.
      SendMessageW(g_mainWindow, WM_COMMAND, IDM_REINIT, 0);
      return 0;
    }
    if (events & EV_RXCHAR) DrainKeyPacketDecoder(&decoder, port, DispatchKeyPacket, &windows);

    if (!IsStillOpen(generation)) return 0;
    if (!waited) Sleep(IR_FAILED_WAIT_PAUSE_MS);
  }
}
