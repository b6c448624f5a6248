// Kernel services of the simulated handheld: errors, the clock, atomic
// words, the handle table, threads, faults, and the device's reset.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

#include "internal.h"

namespace {

thread_local DWORD t_lastError = 0;

// Never destroyed: detached threads may use handles while the process exits.
std::mutex& g_handleMutex = *new std::mutex;
std::map<uintptr_t, std::shared_ptr<host::Object>>& g_handles = *new std::map<uintptr_t, std::shared_ptr<host::Object>>;

// Every handle value the handheld hands out (kernel objects, windows, menus,
// icons, registry keys) comes from one numbering, as on the device, where a
// value freed by a close is the first one the next open gets back. Values
// start well away from 0 and INVALID_HANDLE_VALUE and stay below the
// predefined registry keys (0x80000000 and up); a live value is never handed
// out twice, whatever its kind.
struct HandleValues {
  std::mutex mutex;
  std::vector<uintptr_t> freed;  // most recently freed last
  uintptr_t next = host::kFirstHandleValue;
  bool recycle = true;
};
HandleValues& Values() {
  static HandleValues* values = new HandleValues;  // never destroyed, as above
  return *values;
}

std::atomic<int> g_liveThreads{0};
std::atomic<DWORD> g_nextThreadId{100};
thread_local DWORD t_threadId = 0;


std::atomic<bool> g_faults[static_cast<int>(device::Fault::FaultCount)];

// What a thread handle stands for: the thread's fate, shared between the
// running thread and every holder of the handle.
struct Thread : host::Object {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  DWORD exitCode = STILL_ACTIVE;
};

struct ThreadStart {
  LPTHREAD_START_ROUTINE routine;
  LPVOID parameter;
  std::shared_ptr<Thread> thread;
  DWORD id;
};

void* RunThread(void* argument) {
  ThreadStart* start = static_cast<ThreadStart*>(argument);
  t_threadId = start->id;
  DWORD code = start->routine(start->parameter);
  host::AboutToBlock();  // the thread's last lines are out before anyone sees it end
  {
    std::lock_guard<std::mutex> lock(start->thread->mutex);
    start->thread->done = true;
    start->thread->exitCode = code;
  }
  start->thread->finished.notify_all();
  delete start;
  g_liveThreads.fetch_sub(1);
  device::NotifyChanged();
  return nullptr;
}

}  // namespace

// ---- Errors, clock, atomic words -------------------------------------------

DWORD WINAPI GetLastError(void) { return t_lastError; }
void WINAPI SetLastError(DWORD error) { t_lastError = error; }

DWORD WINAPI GetTickCount(void) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

void WINAPI Sleep(DWORD milliseconds) {
  host::AboutToBlock();
  timespec delay{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&delay, &delay) != 0) {
  }
}

// The handheld's interlocked calls take a plain LONG* (LPLONG), as CE's
// winbase.h declares them.
LONG WINAPI InterlockedExchange(LPLONG target, LONG value) { return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST); }
LONG WINAPI InterlockedIncrement(LPLONG target) { return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST); }
LONG WINAPI InterlockedDecrement(LPLONG target) { return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST); }
LONG WINAPI InterlockedTestExchange(LPLONG target, LONG oldValue, LONG newValue) {
  __atomic_compare_exchange_n(target, &oldValue, newValue, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return oldValue;
}

// ---- Handles ---------------------------------------------------------------

namespace host {

uintptr_t NewHandleValue() {
  HandleValues& values = Values();
  std::lock_guard<std::mutex> lock(values.mutex);
  if (!values.freed.empty()) {
    uintptr_t value = values.freed.back();
    values.freed.pop_back();
    return value;
  }
  uintptr_t value = values.next;
  values.next += host::kHandleValueStep;
  return value;
}

void FreeHandleValue(uintptr_t value) {
  HandleValues& values = Values();
  std::lock_guard<std::mutex> lock(values.mutex);
  if (values.recycle) values.freed.push_back(value);
}

HANDLE NewHandle(std::shared_ptr<Object> object) {
  uintptr_t value = NewHandleValue();
  std::lock_guard<std::mutex> lock(g_handleMutex);
  g_handles[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> FindHandle(HANDLE handle) {
  std::lock_guard<std::mutex> lock(g_handleMutex);
  auto found = g_handles.find(reinterpret_cast<uintptr_t>(handle));
  return found == g_handles.end() ? nullptr : found->second;
}

std::shared_ptr<Object> TakeHandle(HANDLE handle) {
  std::shared_ptr<Object> object;
  {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    auto found = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    if (found == g_handles.end()) return nullptr;
    object = std::move(found->second);
    g_handles.erase(found);
  }
  // Free at once: the next open may get this value back while the object
  // is still closing, as a device's handle slot is free once the close is
  // under way.
  FreeHandleValue(reinterpret_cast<uintptr_t>(handle));
  return object;
}

bool FaultOn(device::Fault fault) { return g_faults[static_cast<int>(fault)].load(); }

void ResetFaults() {
  for (auto& fault : g_faults) fault.store(false);
}

void ResetClock() {
}

}  // namespace host

BOOL WINAPI CloseHandle(HANDLE object) {
  std::shared_ptr<host::Object> taken = host::TakeHandle(object);
  if (!taken) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  taken->Close();
  device::NotifyChanged();
  return TRUE;
}

// ---- Threads ---------------------------------------------------------------

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, size_t stackSize, LPTHREAD_START_ROUTINE routine,
                           LPVOID parameter, DWORD flags, LPDWORD threadId) {
  if (host::FaultOn(device::Fault::CreateThread) || routine == nullptr || flags != 0) {
    SetLastError(host::FaultOn(device::Fault::CreateThread) ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto thread = std::make_shared<Thread>();
  ThreadStart* start = new ThreadStart{routine, parameter, thread, g_nextThreadId.fetch_add(1)};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (stackSize != 0) pthread_attr_setstacksize(&attributes, stackSize < 65536 ? 65536 : stackSize);
  g_liveThreads.fetch_add(1);
  DWORD id = start->id;
  pthread_t posixThread;
  int error = pthread_create(&posixThread, &attributes, RunThread, start);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    g_liveThreads.fetch_sub(1);
    delete start;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (threadId != nullptr) *threadId = id;
  device::NotifyChanged();
  return host::NewHandle(thread);
}

BOOL WINAPI GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
  auto thread = host::FindAs<Thread>(handle);
  if (!thread || exitCode == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(thread->mutex);
  *exitCode = thread->exitCode;
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto thread = host::FindAs<Thread>(handle);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  host::AboutToBlock();
  std::unique_lock<std::mutex> lock(thread->mutex);
  if (milliseconds == INFINITE) {
    thread->finished.wait(lock, [&] { return thread->done; });
    return WAIT_OBJECT_0;
  }
  bool done = thread->finished.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return thread->done; });
  return done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

DWORD WINAPI GetCurrentThreadId(void) {
  if (t_threadId == 0) t_threadId = g_nextThreadId.fetch_add(1);
  return t_threadId;
}

// ---- Device ----------------------------------------------------------------

namespace device {

void Reset() {
  host::ResetWindows();
  host::ResetShell();
  host::ResetModal();
  host::ResetSerial();
  host::ResetRegistry();
  host::ResetRecords();
  host::ResetFocus();
  host::ResetFaults();
  host::ResetClock();
  SetHandleRecycling(true);
  NotifyChanged();
}

int LiveThreads() { return g_liveThreads.load(); }

void SetHandleRecycling(bool on) {
  HandleValues& values = Values();
  std::lock_guard<std::mutex> lock(values.mutex);
  values.recycle = on;
  if (!on) values.freed.clear();
}

void SetFault(Fault fault, bool on) {
  int index = static_cast<int>(fault);
  if (index < 0 || index >= static_cast<int>(Fault::FaultCount)) return;  // FaultCount itself is no fault
  g_faults[index].store(on);
  NotifyChanged();
}

}  // namespace device
