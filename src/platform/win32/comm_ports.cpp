// Serial ports with the handheld's semantics on a desktop port.
//
// The handheld's serial driver serves several requests on one port at once:
// the reader thread waits in WaitCommEvent while the main thread clears the
// event mask to end that wait, then closes the port. A desktop port opened
// without FILE_FLAG_OVERLAPPED serves one request at a time, so that mask
// change would wait for the next byte, and with it Disable, Exit and a
// resume. Ports are therefore opened overlapped, and every call that takes
// an OVERLAPPED record is given one of its own and waits for its request
// here. The other port calls the program makes (GetCommState, SetCommState,
// Get/SetCommTimeouts, EscapeCommFunction, SetCommMask) take no record: the
// system completes each before it returns, whatever the handle's mode, so
// they need nothing from this layer (SetCommMask only loses the handheld's
// power event, in the header).
#include <atomic>
#include <cstdint>

#include "ce_compat.h"

// From here on the names mean the system's own functions; the program's
// calls reach the functions below through the header's inline choosers.
#undef CreateFileW
#undef ReadFile
#undef WriteFile
#undef WaitCommEvent
#undef CloseHandle
#undef SetCommMask

namespace {

// The ports opened overlapped through this layer; empty slots hold 0. The
// program has one port open at a time; a few more slots leave room for a
// port being opened while another is still open. A port whose close has
// begun keeps its slot, marked by the low bit, until the system has closed
// its handle: kernel handles are multiples of four, so the bit is free.
constexpr int kMaxPorts = 8;
constexpr uintptr_t kClosing = 1;
std::atomic<uintptr_t> g_ports[kMaxPorts];

uintptr_t Value(HANDLE object) { return reinterpret_cast<uintptr_t>(object); }

bool Remember(HANDLE port) {
  if ((Value(port) & kClosing) != 0) return false;  // never so for a kernel handle
  for (std::atomic<uintptr_t>& slot : g_ports) {
    uintptr_t empty = 0;
    if (slot.compare_exchange_strong(empty, Value(port))) return true;
  }
  return false;
}

bool IsAsciiLetter(WCHAR c, char lower) {
  return c == static_cast<WCHAR>(lower) || c == static_cast<WCHAR>(lower - 32);
}

// A call that succeeds leaves the caller's last error as it found it, like
// the blocking call it stands for: the request made for it may have set
// ERROR_IO_PENDING, or ERROR_OPERATION_ABORTED when it was cut short.
BOOL KeepCallersError(BOOL ok, DWORD callersError) {
  if (ok) SetLastError(callersError);
  return ok;
}

// One overlapped request made on behalf of a call that had none: its own
// event, so requests of other threads on the same port never wake it.
struct Request {
  OVERLAPPED overlapped = {};
  Request() { overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  ~Request() {
    DWORD error = GetLastError();  // the call's own error is what its caller sees
    if (overlapped.hEvent != nullptr) CloseHandle(overlapped.hEvent);
    SetLastError(error);
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  // Waits for the request, when the call made one (`made`: it was done at
  // once or left pending), and gives the caller's count, 0 when it failed;
  // the request's error stays last. A request cut short on purpose answers
  // with what it got by then.
  BOOL Finish(HANDLE port, bool made, LPDWORD count, bool cutShort = false) {
    DWORD done = 0;
    BOOL ok = made ? GetOverlappedResult(port, &overlapped, &done, TRUE) : FALSE;
    if (!ok && cutShort && GetLastError() == ERROR_OPERATION_ABORTED) ok = TRUE;
    if (count != nullptr) *count = ok ? done : 0;
    return ok;
  }
};

// Whether a call's result shows a request made: done at once, or pending.
bool Made(BOOL result) { return result || GetLastError() == ERROR_IO_PENDING; }

bool ReadsReturnAtOnce(HANDLE port) {
  COMMTIMEOUTS timeouts;
  return GetCommTimeouts(port, &timeouts) && timeouts.ReadIntervalTimeout == MAXDWORD &&
         timeouts.ReadTotalTimeoutMultiplier == 0 && timeouts.ReadTotalTimeoutConstant == 0;
}

// Closing a port ends what other threads have pending on it: CancelIoEx
// cancels every thread's requests on the handle. Windows before Vista lacks
// it (the executable still loads there, so it is looked up at run time);
// there a cleared mask ends a wait and a purge with the abort flags ends
// reads and writes.
typedef BOOL(WINAPI* CancelIoExFunction)(HANDLE, LPOVERLAPPED);

void EndPendingRequests(HANDLE port) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  CancelIoExFunction cancel = kernel != nullptr
                                  ? reinterpret_cast<CancelIoExFunction>(
                                        reinterpret_cast<void*>(GetProcAddress(kernel, "CancelIoEx")))
                                  : nullptr;
  if (cancel != nullptr) {
    cancel(port, nullptr);
    return;
  }
  SetCommMask(port, 0);
  PurgeComm(port, PURGE_RXABORT | PURGE_TXABORT);
}

}  // namespace

bool CeIsCommPortName(LPCWSTR name) {
  if (name == nullptr) return false;
  if (name[0] == L'\\' && name[1] == L'\\' && name[2] == L'.' && name[3] == L'\\') name += 4;
  if (!IsAsciiLetter(name[0], 'c') || !IsAsciiLetter(name[1], 'o') || !IsAsciiLetter(name[2], 'm'))
    return false;
  int digits = 0;
  for (name += 3; *name >= L'0' && *name <= L'9'; ++name) ++digits;
  if (digits < 1 || digits > 3) return false;
  if (*name == L':') ++name;
  return *name == 0;
}

bool CeIsNotedPort(HANDLE object) {
  if (object == nullptr || object == INVALID_HANDLE_VALUE) return false;
  for (const std::atomic<uintptr_t>& slot : g_ports) {
    if ((slot.load() & ~kClosing) == Value(object)) return true;
  }
  return false;
}

HANDLE CeNoteOpenedPort(HANDLE port) {
  if (port == INVALID_HANDLE_VALUE || Remember(port)) return port;
  // No slot left: the port could not be served as the handheld would.
  CloseHandle(port);
  SetLastError(ERROR_TOO_MANY_OPEN_FILES);
  return INVALID_HANDLE_VALUE;
}

namespace {

BOOL ReadPort(HANDLE port, LPVOID buffer, DWORD count, LPDWORD got) {
  Request request;
  if (request.overlapped.hEvent == nullptr) return FALSE;
  BOOL began = ReadFile(port, buffer, count, nullptr, &request.overlapped);
  if (began || GetLastError() != ERROR_IO_PENDING) return request.Finish(port, began != FALSE, got);
  // Timeouts that say "return at once with what is buffered, even nothing"
  // (the program's) do not stop every driver from leaving the read pending
  // until a byte comes; Wine's does. Such a read is cut short here, and what
  // it got by then is its answer; a byte it did not take stays buffered for
  // the next read. CancelIo cancels this thread's requests on the port: the
  // program makes none but the ones this layer waits for.
  bool cutShort = ReadsReturnAtOnce(port) && CancelIo(port);
  return request.Finish(port, true, got, cutShort);
}

BOOL WritePort(HANDLE port, LPCVOID buffer, DWORD count, LPDWORD put) {
  Request request;
  if (request.overlapped.hEvent == nullptr) return FALSE;
  return request.Finish(port, Made(WriteFile(port, buffer, count, nullptr, &request.overlapped)), put);
}

BOOL WaitPortEvent(HANDLE port, LPDWORD events) {
  Request request;
  if (request.overlapped.hEvent == nullptr) return FALSE;
  BOOL ok = request.Finish(port, Made(WaitCommEvent(port, events, &request.overlapped)), nullptr);
  if (!ok && events != nullptr) *events = 0;
  return ok;
}

}  // namespace

BOOL CeReadPort(HANDLE port, LPVOID buffer, DWORD count, LPDWORD got) {
  DWORD callersError = GetLastError();
  return KeepCallersError(ReadPort(port, buffer, count, got), callersError);
}

BOOL CeWritePort(HANDLE port, LPCVOID buffer, DWORD count, LPDWORD put) {
  DWORD callersError = GetLastError();
  return KeepCallersError(WritePort(port, buffer, count, put), callersError);
}

BOOL CeWaitPortEvent(HANDLE port, LPDWORD events) {
  DWORD callersError = GetLastError();
  return KeepCallersError(WaitPortEvent(port, events), callersError);
}

int CeBeginPortClose(HANDLE object) {
  if (object == nullptr || object == INVALID_HANDLE_VALUE) return -1;
  for (int place = 0; place < kMaxPorts; ++place) {
    uintptr_t open = Value(object);
    if (!g_ports[place].compare_exchange_strong(open, open | kClosing)) continue;
    EndPendingRequests(object);
    return place;
  }
  return -1;
}

void CeEndPortClose(int place) {
  if (place >= 0 && place < kMaxPorts) g_ports[place].store(0);
}
