// Per-thread message queues: posted messages, sent messages between threads,
// the quit request, and the loop operations that read them.
//
// Every thread that touches the queues gets one. A message sent from another
// thread waits in the target thread's queue until that thread reads its
// queue (GetMessageW, or while it is itself waiting inside SendMessageW), so
// window procedures only ever run on the thread that made the window. The
// queue mutex is never held while a window procedure runs, nor while the
// window tree is asked anything; a trace line may be recorded under it.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "internal.h"

namespace {

struct Queue;

// A message sent from one thread to a window of another.
struct Sent {
  HWND window;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  std::shared_ptr<Queue> sender;  // woken once the message is answered
  LRESULT result = 0;
  bool done = false;
};

struct Queue {
  std::deque<MSG> posted;
  std::deque<std::shared_ptr<Sent>> sent;
  bool quit = false;
  int quitCode = 0;
  std::condition_variable wake;
  // Counts WakeThread calls, so a modal loop that checked its condition
  // unlocked cannot miss a wake that came in between.
  unsigned long wakes = 0;
  // Blocked in a message wait with nothing to handle (WaitIdle reads it).
  bool idle = false;
};

struct Queues {
  std::mutex mutex;
  std::map<uint64_t, std::shared_ptr<Queue>> byThread;
  // How many posted messages, in every queue, name each window.
  std::map<uintptr_t, size_t> postedTo;
  // Destroyed windows whose value waits until their posted messages have
  // been read: until then the value names the dead window in those messages,
  // and a newer window must not get it back and receive them.
  std::set<uintptr_t> gone;
};

// Left alive on purpose: threads that end during process exit still reach it.
Queues& Q() {
  static Queues* queues = new Queues;
  return *queues;
}

std::atomic<uint64_t> g_nextThreadKey{1};

// Wakes a queue's thread; from now on it is busy until it waits again, so
// nobody takes it for idle before it has even run.
void WakeLocked(Queue& queue) {
  queue.idle = false;
  queue.wake.notify_all();
}

void PushPostedLocked(Queue& queue, const MSG& msg) {
  queue.posted.push_back(msg);
  if (msg.hwnd != nullptr) ++Q().postedTo[reinterpret_cast<uintptr_t>(msg.hwnd)];
}

// A posted message has left its queue (read, or its thread ended). Once the
// last one naming a destroyed window is gone, the window's value is free.
void UncountLocked(HWND window) {
  if (window == nullptr) return;
  uintptr_t value = reinterpret_cast<uintptr_t>(window);
  auto count = Q().postedTo.find(value);
  if (count == Q().postedTo.end() || --count->second > 0) return;
  Q().postedTo.erase(count);
  if (Q().gone.erase(value) > 0) host::FreeHandleValue(value);
}

MSG TakePostedLocked(Queue& queue) {
  MSG msg = queue.posted.front();
  queue.posted.pop_front();
  UncountLocked(msg.hwnd);
  return msg;
}

// Answers a sent message with result, once; wakes its sender.
void AnswerLocked(Sent* sent, LRESULT result) {
  if (sent->done) return;
  sent->result = result;
  sent->done = true;
  ++sent->sender->wakes;
  WakeLocked(*sent->sender);
}

// Every thread's queue lives from the thread's first message operation until
// the thread ends. Ending releases everyone waiting on the thread and takes
// its windows away, as the handheld does for a thread that exits.
struct ThreadQueue {
  uint64_t key;
  std::shared_ptr<Queue> queue;

  ThreadQueue() : key(g_nextThreadKey.fetch_add(1)), queue(std::make_shared<Queue>()) {
    std::lock_guard<std::mutex> lock(Q().mutex);
    Q().byThread[key] = queue;
  }

  ~ThreadQueue() {
    {
      std::lock_guard<std::mutex> lock(Q().mutex);
      for (auto& sent : queue->sent) AnswerLocked(sent.get(), 0);
      queue->sent.clear();
      while (!queue->posted.empty()) TakePostedLocked(*queue);
      Q().byThread.erase(key);
    }
    host::ForgetThreadWindows(key);
  }
};

thread_local ThreadQueue t_queue;

// Runs a message that another thread sent to one of this thread's windows.
void Handle(const std::shared_ptr<Sent>& sent) {
  host::WindowInfo info;
  LRESULT result = 0;
  if (host::LookupWindow(sent->window, &info) && info.thread == t_queue.key && info.proc) {
    result = info.proc(sent->window, sent->message, sent->wParam, sent->lParam);
  }
  std::lock_guard<std::mutex> lock(Q().mutex);
  AnswerLocked(sent.get(), result);
}

// Handles everything sent to this thread; returns with the lock held.
void HandleSentLocked(std::unique_lock<std::mutex>& lock, Queue& mine) {
  while (!mine.sent.empty()) {
    std::shared_ptr<Sent> sent = std::move(mine.sent.front());
    mine.sent.pop_front();
    lock.unlock();
    Handle(sent);
    lock.lock();
  }
}

// Blocks the calling thread until its queue is woken. What the trace holds is
// written out first; the thread counts as idle while it waits.
void WaitForWork(std::unique_lock<std::mutex>& lock, Queue& mine) {
  unsigned long wakes = mine.wakes;
  size_t sent = mine.sent.size(), posted = mine.posted.size();
  bool quit = mine.quit;
  lock.unlock();
  host::AboutToBlock();
  lock.lock();
  // Something came while the trace was written: look again first.
  if (mine.wakes != wakes || mine.sent.size() != sent || mine.posted.size() != posted || mine.quit != quit) return;
  mine.idle = true;
  device::NotifyChanged();
  mine.wake.wait(lock);
  mine.idle = false;
}

void RecordForeign(HWND window, const std::u16string& className, UINT message, WPARAM wParam, LPARAM lParam) {
  host::RecordPosted(device::PostedMessage{window, className, message, wParam, lParam});
}

// Withdraws a sent message that can no longer be answered; returns what its
// sender gets.
LRESULT Withdraw(const std::shared_ptr<Sent>& sent, uint64_t target) {
  std::lock_guard<std::mutex> lock(Q().mutex);
  auto found = Q().byThread.find(target);
  if (found != Q().byThread.end()) {
    auto& queue = found->second->sent;
    for (auto it = queue.begin(); it != queue.end(); ++it) {
      if (*it == sent) {
        queue.erase(it);
        break;
      }
    }
  }
  AnswerLocked(sent.get(), 0);
  return sent->result;
}

}  // namespace

namespace host {

uint64_t ThreadKey() { return t_queue.key; }

bool WindowGone(HWND window) {
  std::lock_guard<std::mutex> lock(Q().mutex);
  for (auto& entry : Q().byThread) {
    Queue& queue = *entry.second;
    for (auto it = queue.sent.begin(); it != queue.sent.end();) {
      if ((*it)->window == window) {
        AnswerLocked(it->get(), 0);
        it = queue.sent.erase(it);
      } else {
        ++it;
      }
    }
  }
  uintptr_t value = reinterpret_cast<uintptr_t>(window);
  if (Q().postedTo.count(value) == 0) return true;
  Q().gone.insert(value);
  return false;
}

void ResetQueues() {
  std::lock_guard<std::mutex> lock(Q().mutex);
  for (auto& entry : Q().byThread) {
    Queue& queue = *entry.second;
    queue.posted.clear();
    for (auto& sent : queue.sent) AnswerLocked(sent.get(), 0);
    queue.sent.clear();
    queue.quit = false;
    queue.quitCode = 0;
  }
  for (uintptr_t value : Q().gone) FreeHandleValue(value);
  Q().gone.clear();
  Q().postedTo.clear();
}

bool ModalLoop(const std::function<bool()>& done) {
  Queue& mine = *t_queue.queue;
  std::unique_lock<std::mutex> lock(Q().mutex);
  for (;;) {
    HandleSentLocked(lock, mine);
    if (!mine.posted.empty()) {
      MSG msg = TakePostedLocked(mine);
      lock.unlock();
      DispatchMessageW(&msg);
      lock.lock();
      continue;
    }
    // A quit ends every modal loop it reaches; the flag stays set, so the
    // loops around this one and then the message loop end too.
    if (mine.quit) return false;
    unsigned long wakes = mine.wakes;
    lock.unlock();
    if (done()) return true;
    lock.lock();
    // A message posted or sent while done() ran is not a wake of its own:
    // waiting now would leave it in the queue until something else came.
    if (mine.wakes != wakes || !mine.posted.empty() || !mine.sent.empty()) continue;
    WaitForWork(lock, mine);
  }
}

void WakeThread(uint64_t thread) {
  std::lock_guard<std::mutex> lock(Q().mutex);
  auto found = Q().byThread.find(thread);
  if (found == Q().byThread.end()) return;
  ++found->second->wakes;
  WakeLocked(*found->second);
}

}  // namespace host

namespace {

// Whether a thread waits for messages with none to handle; `ended` answers
// for a thread with no queue (ended, or not yet at its first message call).
bool ThreadIdle(uint64_t thread, bool ended) {
  std::lock_guard<std::mutex> lock(Q().mutex);
  auto found = Q().byThread.find(thread);
  if (found == Q().byThread.end()) return ended;
  const Queue& queue = *found->second;
  return queue.idle && queue.posted.empty() && queue.sent.empty();
}

}  // namespace

namespace device {

bool WaitIdle(HWND window, int timeoutMs) {
  host::WindowInfo info;
  if (!host::LookupWindow(window, &info) || info.thread == 0) return false;
  uint64_t thread = info.thread;
  // A thread that has ended does nothing more: that counts as idle.
  return WaitFor([thread] { return ThreadIdle(thread, true); }, timeoutMs);
}

bool IsIdle(HWND window) {
  host::WindowInfo info;
  return host::LookupWindow(window, &info) && info.thread != 0 && ThreadIdle(info.thread, false);
}

}  // namespace device

BOOL WINAPI PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  uint64_t target = host::ThreadKey();  // a null window means this thread
  if (window != nullptr) {
    host::WindowInfo info;
    if (!host::LookupWindow(window, &info)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    if (info.thread == 0) {
      RecordForeign(window, info.className, message, wParam, lParam);
      return TRUE;
    }
    target = info.thread;
  }
  MSG msg{window, message, wParam, lParam, GetTickCount(), {0, 0}};
  {
    std::lock_guard<std::mutex> lock(Q().mutex);
    auto found = Q().byThread.find(target);
    if (found == Q().byThread.end()) {  // the owning thread has just ended
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    PushPostedLocked(*found->second, msg);
    WakeLocked(*found->second);
  }
  device::NotifyChanged();
  return TRUE;
}

LRESULT WINAPI SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  host::WindowInfo info;
  if (!host::LookupWindow(window, &info)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (info.thread == 0) {
    RecordForeign(window, info.className, message, wParam, lParam);
    return 0;
  }
  if (info.thread == t_queue.key) return info.proc(window, message, wParam, lParam);

  uint64_t target = info.thread;
  // A message from another thread is an event worth seeing in the trace
  // (the reader's request to reopen the port is one). The line is recorded
  // once the message is queued and before the queue's lock is let go: the
  // window's thread cannot take it before then, so whoever sees the line
  // knows it is queued, and whatever its handling traces comes after it.
  std::string line = "SendMessageW window=" + host::OwnerKind(window) + " msg=" + host::Hex(message) +
                     " wparam=" + host::Hex(wParam) + " lparam=" + host::Hex(static_cast<unsigned long>(lParam));
  auto sent = std::make_shared<Sent>(Sent{window, message, wParam, lParam, t_queue.queue});
  {
    std::lock_guard<std::mutex> lock(Q().mutex);
    auto found = Q().byThread.find(target);
    if (found == Q().byThread.end()) return 0;
    found->second->sent.push_back(sent);
    host::Trace(line);
    WakeLocked(*found->second);
  }
  // The window may have gone between the look-up and the queueing; its
  // destruction would then have missed this message.
  if (!host::LookupWindow(window, &info)) return Withdraw(sent, target);

  Queue& mine = *t_queue.queue;
  std::unique_lock<std::mutex> lock(Q().mutex);
  for (;;) {
    // Answer what is sent to us meanwhile, or two threads sending to each
    // other would wait for ever.
    HandleSentLocked(lock, mine);
    if (sent->done) return sent->result;
    WaitForWork(lock, mine);
  }
}

BOOL WINAPI GetMessageW(LPMSG msg, HWND, UINT, UINT) {
  if (msg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  Queue& mine = *t_queue.queue;
  std::unique_lock<std::mutex> lock(Q().mutex);
  for (;;) {
    HandleSentLocked(lock, mine);
    if (!mine.posted.empty()) {
      *msg = TakePostedLocked(mine);
      return msg->message != WM_QUIT;
    }
    // The quit request waits until everything posted before it is read.
    if (mine.quit) {
      mine.quit = false;
      *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(mine.quitCode), 0, GetTickCount(), {0, 0}};
      return FALSE;
    }
    WaitForWork(lock, mine);
  }
}

BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }  // no keyboard messages reach the loop

LRESULT WINAPI DispatchMessageW(const MSG* msg) {
  if (msg == nullptr || msg->hwnd == nullptr) return 0;
  host::WindowInfo info;
  if (!host::LookupWindow(msg->hwnd, &info) || info.thread != t_queue.key || !info.proc) return 0;
  return info.proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void WINAPI PostQuitMessage(int exitCode) {
  Queue& mine = *t_queue.queue;  // made before the lock: making it takes the lock
  {
    std::lock_guard<std::mutex> lock(Q().mutex);
    mine.quit = true;
    mine.quitCode = exitCode;
    WakeLocked(mine);
  }
  host::Trace("PostQuitMessage code=" + std::to_string(exitCode));
}
