// The record of the program's effects on the simulated handheld: the typed
// records tests read back and the trace lines that show every effect.
//
// The handheld is resident for days, so what it keeps is bounded: the
// newest RecordLimit() records of each kind and trace lines, plus running
// counts of everything since the records were last cleared.
#include <cstdio>
#include <mutex>
#include <vector>

#include "internal.h"

namespace {

// The newest `limit` items in a ring, plus how many there ever were.
template <class T>
class Newest {
 public:
  void Add(const T& item, size_t limit) {
    ++total_;
    ++ever_;
    if (limit == 0) return;
    if (items_.size() < limit) {
      items_.push_back(item);
    } else {
      items_[head_] = item;  // copied into the oldest: its strings' memory is reused
      head_ = (head_ + 1) % items_.size();
    }
  }

  // Oldest first.
  std::vector<T> Items() const {
    std::vector<T> out;
    out.reserve(items_.size());
    out.insert(out.end(), items_.begin() + static_cast<std::ptrdiff_t>(head_), items_.end());
    out.insert(out.end(), items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
    return out;
  }

  // Keeps the newest `limit` and lets go of the memory beyond them.
  void Trim(size_t limit) {
    std::vector<T> kept = Items();
    if (kept.size() > limit) kept.erase(kept.begin(), kept.end() - static_cast<std::ptrdiff_t>(limit));
    kept.shrink_to_fit();
    items_.swap(kept);
    head_ = 0;
  }

  // The ring's room stays (it is within the limit): a run that clears its
  // records between batches does not grow it again each time.
  void Clear() {
    items_.clear();
    head_ = 0;
    total_ = 0;
  }

  uint64_t Total() const { return total_; }
  // Items ever added, clearing or not: item i of Items() was the
  // (Ever() - size + i)th.
  uint64_t Ever() const { return ever_; }

 private:
  std::vector<T> items_;
  size_t head_ = 0;  // the oldest item once the ring is full
  uint64_t total_ = 0;
  uint64_t ever_ = 0;
};

// Detached reader threads may still record effects while the process
// exits, so this state is never destroyed.
struct RecordState {
  std::mutex mutex;
  size_t limit = device::kDefaultRecordLimit;
  Newest<device::KeyInput> keyInputs;
  Newest<device::KeybdMessage> keybdMessages;
  Newest<device::PostedMessage> posted;
  Newest<device::MessageBoxRecord> boxes;
  Newest<device::TrayOp> trayOps;
  Newest<std::string> trace;
  std::function<void(const std::string&)> sink;
};

RecordState& State() {
  static RecordState* state = new RecordState;
  return *state;
}

// Adds the trace line of a record (and, through `addRecord`, the record
// itself) in one step, so the trace and the typed records agree on order.
template <class AddRecord>
void Record(const std::string& line, AddRecord addRecord) {
  bool batchFull;
  {
    RecordState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    addRecord(state);
    if (state.sink) state.sink(line);
    batchFull = host::QueueTraceLine(line);
    state.trace.Add(line, state.limit);
  }
  if (batchFull) device::FlushTrace();
  device::NotifyChanged();
}

const char* TrayOpName(DWORD op) {
  switch (op) {
    case NIM_ADD:
      return "NIM_ADD";
    case NIM_MODIFY:
      return "NIM_MODIFY";
    case NIM_DELETE:
      return "NIM_DELETE";
  }
  return "unknown";
}

}  // namespace

namespace host {

void Trace(const std::string& line) {
  Record(line, [](RecordState&) {});
}

void RecordKeyInput(const device::KeyInput& input) {
  // One line per key, so it is built without a printf into a string that
  // keeps its room from one key to the next.
  thread_local std::string line;
  line.assign("SendInput vk=");
  AppendHex(&line, input.vk, 2);
  line.append(" scan=");
  AppendHex(&line, input.scan, 2);
  line.append(" flags=");
  AppendHex(&line, input.flags);
  line.append(" extra=");
  AppendHex(&line, static_cast<unsigned long>(input.extra), 8);
  Record(line, [&](RecordState& state) { state.keyInputs.Add(input, state.limit); });
}

void RecordKeybdMessage(const device::KeybdMessage& message) {
  char line[160];
  std::snprintf(line, sizeof line, "PostKeybdMessage key=0x%02X state=0x%02X char=0x%04X", message.vkey,
                message.state, message.character);
  Record(line, [&](RecordState& state) { state.keybdMessages.Add(message, state.limit); });
}

void RecordPosted(const device::PostedMessage& message) {
  char fields[160];
  std::snprintf(fields, sizeof fields, " msg=0x%X wparam=0x%lX x=%u y=%u", message.message,
                static_cast<unsigned long>(message.wParam), static_cast<unsigned>(LOWORD(message.lParam)),
                static_cast<unsigned>(HIWORD(message.lParam)));
  std::string line = "PostMessageW class=" + device::Quote(message.className) + fields;
  Record(line, [&](RecordState& state) { state.posted.Add(message, state.limit); });
}

void RecordMessageBox(const device::MessageBoxRecord& box) {
  std::string line = "MessageBoxW owner=" + box.ownerKind + " caption=" + device::Quote(box.caption) +
                     " text=" + device::Quote(box.text);
  Record(line, [&](RecordState& state) { state.boxes.Add(box, state.limit); });
}

void RecordTrayOp(const device::TrayOp& op) {
  std::string line = std::string("Shell_NotifyIcon op=") + TrayOpName(op.op) + " icon=" + std::to_string(op.iconId);
  if (!op.result) line += " result=FALSE";
  Record(line, [&](RecordState& state) { state.trayOps.Add(op, state.limit); });
}

uint64_t PostedSerial() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().posted.Ever();
}

std::vector<device::PostedMessage> PostedSince(uint64_t serial) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::vector<device::PostedMessage> kept = State().posted.Items();
  uint64_t oldest = State().posted.Ever() - kept.size();
  if (serial > oldest) kept.erase(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(serial - oldest));
  return kept;
}

void ResetRecords() {
  device::ClearRecords();
  device::SetRecordLimit(device::kDefaultRecordLimit);
}

}  // namespace host

namespace {

void ClearAll() {
  RecordState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.keyInputs.Clear();
  state.keybdMessages.Clear();
  state.posted.Clear();
  state.boxes.Clear();
  state.trayOps.Clear();
  state.trace.Clear();
}

// A copy of the newest records of one kind, taken under the lock.
template <class T>
std::vector<T> Snapshot(Newest<T> RecordState::*records) {
  std::lock_guard<std::mutex> lock(State().mutex);
  return (State().*records).Items();
}

}  // namespace

namespace device {

std::vector<KeyInput> SendInputs() { return Snapshot(&RecordState::keyInputs); }

std::vector<KeybdMessage> KeybdMessages() { return Snapshot(&RecordState::keybdMessages); }

std::vector<PostedMessage> PostedToOtherPrograms() { return Snapshot(&RecordState::posted); }

std::vector<MessageBoxRecord> MessageBoxes() { return Snapshot(&RecordState::boxes); }

std::vector<TrayOp> TrayOps() { return Snapshot(&RecordState::trayOps); }

std::vector<std::string> Trace() { return Snapshot(&RecordState::trace); }

RecordCounts CountRecords() {
  RecordState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return RecordCounts{state.keyInputs.Total(), state.keybdMessages.Total(), state.posted.Total(),
                      state.boxes.Total(),     state.trayOps.Total(),       state.trace.Total()};
}

void SetRecordLimit(size_t newest) {
  RecordState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.limit = newest;
  state.keyInputs.Trim(newest);
  state.keybdMessages.Trim(newest);
  state.posted.Trim(newest);
  state.boxes.Trim(newest);
  state.trayOps.Trim(newest);
  state.trace.Trim(newest);
}

size_t RecordLimit() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().limit;
}

void SetTraceSink(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().sink = std::move(sink);
}

void ClearRecords() {
  ClearAll();
  NotifyChanged();
}

}  // namespace device
