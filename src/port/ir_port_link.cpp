#include "port/ir_port_link.h"

#include "pipeline/key_injector.h"
#include "pipeline/key_packet_decoder.h"
#include "resource.h"

// The open port's handle, INVALID_HANDLE_VALUE while closed. Only the main
// thread touches it: each reader is handed its own handle when it starts.
static HANDLE g_port = INVALID_HANDLE_VALUE;

// Everything the threads share is a LONG, so the handheld's interlocked
// calls (the CE 1.0 set: exchange, test-and-exchange, increment, decrement)
// serve for all of it; a handle is pointer-sized on a 64-bit desktop and is
// never squeezed into one.

// Which open the port belongs to: 0 while closed, else a count of opens that
// no later open repeats. A reader is told its open's number when it starts
// and ends as soon as this no longer matches, even when a new open got the
// same handle value back.
static LONG g_openGeneration = 0;
static LONG g_opens = 0;

// How many readers are between checking their open and the end of the port
// call that follows. The handheld gives a closed handle's value to the next
// open, so a reader that passed its check just before a close must finish
// its call before the handle is closed; afterwards it fails its next check
// and touches nothing.
static LONG g_readersInPortCall = 0;

// What a new reader needs, handed over in one slot: OpenIrPort fills it
// before it starts the thread, and the reader copies it and frees the slot
// before anything else. A thread's parameter is one word, and the reader
// needs three: its handle, its open's number and the window it asks to
// reopen the port after a resume.
struct ReaderPort {
  HANDLE port;
  LONG generation;
  HWND owner;
};
static ReaderPort g_readerStart;
static LONG g_readerStartTaken = 0;

// An atomic read of a shared word: the compare never matches a value it
// would change, so nothing is written.
static LONG ReadSharedWord(LONG* word) { return InterlockedTestExchange(word, 0, 0); }

static bool IsStillOpen(LONG generation) { return ReadSharedWord(&g_openGeneration) == generation; }

// Counted first, checked second: CloseIrPort changes the generation first
// and reads the count second, so either the reader sees the close and backs
// out, or the close sees the reader and waits for it.
static bool EnterPortCall(LONG generation) {
  InterlockedIncrement(&g_readersInPortCall);
  if (IsStillOpen(generation)) return true;
  InterlockedDecrement(&g_readersInPortCall);
  return false;
}

static void LeavePortCall(void) { InterlockedDecrement(&g_readersInPortCall); }

// One read of what is buffered, made only while the reader's open lasts;
// nothing once it has been closed, which ends the drain.
static DWORD ReadWhileOpen(void* source, BYTE* buffer, DWORD count) {
  const ReaderPort* reader = static_cast<const ReaderPort*>(source);
  if (!EnterPortCall(reader->generation)) return 0;
  DWORD got = 0;
  if (ReadFile(reader->port, buffer, count, &got, NULL) == 0 || got > count) got = 0;
  LeavePortCall();
  return got;
}

bool IsIrPortOpen(void) { return ReadSharedWord(&g_openGeneration) != 0; }

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

// True while an open's failure box is up: an open tried again over it (a
// reinitialise, another program's Enable, answered from the box's modal
// loop) does its work but shows no box of its own, so boxes nest no deeper
// on the main thread's small stack. Only the main thread opens the port.
static bool g_openFailureUp = false;

// Closes the handle this open got, if any, and tells the user why.
static bool FailOpen(HANDLE port, HWND owner, LPCWSTR text, LPCWSTR caption) {
  if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
  if (g_openFailureUp) return false;
  g_openFailureUp = true;
  MessageBoxW(owner, text, caption, MB_OK);
  g_openFailureUp = false;
  return false;
}

bool OpenIrPort(LPCWSTR name, HWND owner) {
  HANDLE port = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (port == INVALID_HANDLE_VALUE) return FailOpen(port, owner, TEXT("Unable to open IR port!\r\n"), name);

  DCB dcb = {0};
  dcb.DCBlength = sizeof(DCB);
  GetCommState(port, &dcb);
  ApplyAdapterLineSettings(&dcb);
  if (!SetCommState(port, &dcb))
    return FailOpen(port, owner, TEXT("Unable to configure the serial port"), TEXT("Error"));

  COMMTIMEOUTS timeouts = {0};
  GetCommTimeouts(port, &timeouts);
  timeouts.ReadIntervalTimeout = MAXDWORD;  // reads return at once with what is buffered
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 10;
  timeouts.WriteTotalTimeoutConstant = 1000;
  if (!SetCommTimeouts(port, &timeouts))
    return FailOpen(port, owner, TEXT("Unable to set the time-out parameters"), TEXT("Error"));

  EscapeCommFunction(port, SETIR);

  // Another open port is never replaced: its reader keeps serving it.
  if (IsIrPortOpen()) return FailOpen(port, owner, TEXT("Unable to open IR port!\r\n"), name);

  LONG generation = InterlockedIncrement(&g_opens);
  if (generation == 0) generation = InterlockedIncrement(&g_opens);  // 0 means closed

  // The slot is free again as soon as the last reader started has run its
  // first lines; until then this thread yields to it.
  while (InterlockedExchange(&g_readerStartTaken, 1) != 0) Sleep(1);
  g_readerStart.port = port;
  g_readerStart.generation = generation;
  g_readerStart.owner = owner;
  g_port = port;
  InterlockedExchange(&g_openGeneration, generation);

  HANDLE reader = CreateThread(NULL, 0, ReaderThread, NULL, 0, NULL);
  if (reader == NULL) {
    InterlockedExchange(&g_openGeneration, 0);
    g_port = INVALID_HANDLE_VALUE;
    InterlockedExchange(&g_readerStartTaken, 0);
    return FailOpen(port, owner, TEXT("Unable to create the read thread"), TEXT("Error"));
  }
  CloseHandle(reader);  // the reader runs detached
  return true;
}

void CloseIrPort(void) {
  // The generation goes first, so a reader that still sees its own number
  // is still serving a handle that is not yet closed.
  InterlockedExchange(&g_openGeneration, 0);
  HANDLE port = g_port;
  g_port = INVALID_HANDLE_VALUE;
  if (port == INVALID_HANDLE_VALUE) return;
  SetCommMask(port, 0);  // makes the reader's pending wait return
  // A reader still inside a call it began before the generation changed
  // ends it at once: reads take only what is buffered, and the mask change
  // ends a wait. The change is made again now and then while waiting, for a
  // driver that would let a wait begun after it block. A driver that ignores
  // mask changes altogether would hold the main thread for good, so the wait
  // is bounded: closing the handle then ends the reader's call, and its next
  // check sees the close. The reader never holds a port call while it sends
  // to this thread.
  DWORD start = GetTickCount();
  DWORD lastMask = start;
  while (ReadSharedWord(&g_readersInPortCall) != 0) {
    DWORD now = GetTickCount();
    if (now - start >= IR_CLOSE_WAIT_LIMIT_MS) break;
    if (now - lastMask >= IR_CLOSE_REPEAT_MASK_EVERY_MS) {
      SetCommMask(port, 0);
      lastMask = now;
    }
    Sleep(1);
  }
  CloseHandle(port);
}

// Serves the port until it is closed or the handheld resumes; returns true
// for a resume, which the main window must hear of.
static bool ServePort(const ReaderPort* reader, KeyPacketDecoder* decoder, KeyDispatchMemory* memory) {
  HANDLE port = reader->port;
  void* source = const_cast<ReaderPort*>(reader);
  // Every port call is made inside EnterPortCall/LeavePortCall: once
  // closed, the handle value may already belong to a new open.
  if (!EnterPortCall(reader->generation)) return false;
  SetCommMask(port, IR_FIRST_EVENT_MASK);
  LeavePortCall();
  // Bytes that came between the open and the mask raised no event and
  // would wait for the next key: take them now.
  DrainKeyPacketBytes(decoder, ReadWhileOpen, source, DispatchReceivedKeyPacket, memory);

  for (;;) {
    if (!EnterPortCall(reader->generation)) return false;
    DWORD events = 0;
    BOOL waited = WaitCommEvent(port, &events, NULL);
    LeavePortCall();
    if (!waited) events = 0;
    if (!EnterPortCall(reader->generation)) return false;
    SetCommMask(port, IR_EVENT_MASK);
    LeavePortCall();

    if (events & EV_POWER) return true;
    if (events & EV_RXCHAR) DrainKeyPacketBytes(decoder, ReadWhileOpen, source, DispatchReceivedKeyPacket, memory);

    if (!IsStillOpen(reader->generation)) return false;
    if (!waited) Sleep(IR_FAILED_WAIT_PAUSE_MS);
  }
}

DWORD WINAPI ReaderThread(LPVOID parameter) {
  (void)parameter;
  ReaderPort reader = g_readerStart;
  InterlockedExchange(&g_readerStartTaken, 0);
  if (!IsStillOpen(reader.generation)) return 0;

  // The port was just opened: its first bytes may be the tail of a packet
  // that was on the wire during the open.
  KeyPacketDecoder decoder = {0};
  KeyDispatchMemory memory = {0};
  StartKeyPacketDecoder(&decoder);
  bool resumed = ServePort(&reader, &decoder, &memory);
  // No key this reader pressed stays down after it: the releases still on
  // the wire will reach no one. Before a resume's reinitialise, so the next
  // reader's keys come after these.
  ReleaseKeysLeftDown(&memory);
  // The main thread closes and reopens the port, which starts a new
  // reader; this one is done.
  if (resumed) SendMessageW(reader.owner, WM_COMMAND, IDM_REINIT, 0);
  return 0;
}
