// The record of every effect the program has on the simulated handheld, the
// trace lines that show it, and the input operations that produce most of
// those effects.
#include <condition_variable>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

#include "internal.h"

namespace {

// Detached reader threads may still record effects while the process
// exits, so this state is never destroyed.
struct RecordState {
  std::mutex recordMutex;
  std::vector<device::KeyInput> keyInputs;
  std::vector<device::KeybdMessage> keybdMessages;
  std::vector<device::PostedMessage> posted;
  std::vector<device::MessageBoxRecord> boxes;
  std::vector<device::TrayOp> trayOps;
  std::vector<std::string> trace;
  std::function<void(const std::string&)> sink;
  std::u16string focusText;
  bool shiftDown = false;
  bool capsLock = false;
  // WaitFor sleeps on this; every change of the handheld bumps the count.
  std::mutex changeMutex;
  std::condition_variable changed;
  unsigned long changeCount = 0;
};

RecordState& State() {
  static RecordState* state = new RecordState;
  return *state;
}


void AppendLocked(const std::string& line) {
  State().trace.push_back(line);
  if (State().sink) State().sink(line);
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

// The character a US keyboard types for a virtual key, 0 for none.
char16_t UsLayoutCharacter(WORD vk, bool shift, bool caps) {
  if (vk >= 'A' && vk <= 'Z') {
    bool upper = shift != caps;
    return static_cast<char16_t>(upper ? vk : vk - 'A' + 'a');
  }
  if (vk >= '0' && vk <= '9') {
    static const char shifted[] = ")!@#$%^&*(";
    return static_cast<char16_t>(shift ? shifted[vk - '0'] : vk);
  }
  struct Key {
    WORD vk;
    char plain;
    char shifted;
  };
  static const Key keys[] = {
      {0x20, ' ', ' '},  {0x09, '\t', '\t'}, {0xBA, ';', ':'}, {0xBB, '=', '+'}, {0xBC, ',', '<'},
      {0xBD, '-', '_'},  {0xBE, '.', '>'},   {0xBF, '/', '?'}, {0xC0, '`', '~'}, {0xDB, '[', '{'},
      {0xDC, '\\', '|'}, {0xDD, ']', '}'},   {0xDE, '\'', '"'},
  };
  for (const Key& key : keys) {
    if (key.vk == vk) return static_cast<char16_t>(shift ? key.shifted : key.plain);
  }
  return 0;
}

bool IsShiftKey(WORD vk) { return vk == VK_SHIFT || vk == 0xA0 || vk == 0xA1; }

}  // namespace

namespace host {

void AboutToBlock() { device::FlushTrace(); }

void Trace(const std::string& line) {
  {
    std::lock_guard<std::mutex> lock(State().recordMutex);
    AppendLocked(line);
  }
  device::NotifyChanged();
}

void RecordKeyInput(const device::KeyInput& input) {
  char line[160];
  std::snprintf(line, sizeof line, "SendInput vk=0x%02X scan=0x%02X flags=0x%X extra=0x%08lX", input.vk,
                input.scan, input.flags, static_cast<unsigned long>(input.extra));
  {
    std::lock_guard<std::mutex> lock(State().recordMutex);
    State().keyInputs.push_back(input);
    AppendLocked(line);
  }
  device::NotifyChanged();
}

void RecordKeybdMessage(const device::KeybdMessage& message) {
  char line[160];
  std::snprintf(line, sizeof line, "PostKeybdMessage key=0x%02X state=0x%02X char=0x%04X", message.vkey,
                message.state, message.character);
  {
    std::lock_guard<std::mutex> lock(State().recordMutex);
    State().keybdMessages.push_back(message);
    AppendLocked(line);
  }
  device::NotifyChanged();
}

void RecordPosted(const device::PostedMessage& message) {
  char fields[160];
  std::snprintf(fields, sizeof fields, " msg=0x%X wparam=0x%lX x=%u y=%u", message.message,
                static_cast<unsigned long>(message.wParam), static_cast<unsigned>(LOWORD(message.lParam)),
                static_cast<unsigned>(HIWORD(message.lParam)));
  std::string line = "PostMessageW class=" + device::Quote(message.className) + fields;
  {
    std::lock_guard<std::mutex> lock(State().recordMutex);
    State().posted.push_back(message);
    AppendLocked(line);
  }
  device::NotifyChanged();
}

void RecordMessageBox(const device::MessageBoxRecord& box) {
  std::string line = "MessageBoxW owner=" + box.ownerKind + " caption=" + device::Quote(box.caption) +
                     " text=" + device::Quote(box.text);
  {
    std::lock_guard<std::mutex> lock(State().recordMutex);
    State().boxes.push_back(box);
    AppendLocked(line);
  }
  device::NotifyChanged();
}

void RecordTrayOp(const device::TrayOp& op) {
  std::string line = std::string("Shell_NotifyIcon op=") + TrayOpName(op.op) + " icon=" + std::to_string(op.iconId);
  if (!op.result) line += " result=FALSE";
  {
    std::lock_guard<std::mutex> lock(State().recordMutex);
    State().trayOps.push_back(op);
    AppendLocked(line);
  }
  device::NotifyChanged();
}

void ResetRecords() {
  std::lock_guard<std::mutex> lock(State().recordMutex);
  State().keyInputs.clear();
  State().keybdMessages.clear();
  State().posted.clear();
  State().boxes.clear();
  State().trayOps.clear();
  State().trace.clear();
}

void FocusKey(WORD vk, bool up) {
  std::lock_guard<std::mutex> lock(State().recordMutex);
  if (IsShiftKey(vk)) {
    State().shiftDown = !up;
    return;
  }
  if (up) return;
  if (vk == 0x14) {  // Caps Lock
    State().capsLock = !State().capsLock;
  } else if (vk == VK_BACK) {
    if (!State().focusText.empty()) State().focusText.pop_back();
  } else if (vk == VK_RETURN) {
    State().focusText.push_back(u'\r');
  } else if (char16_t c = UsLayoutCharacter(vk, State().shiftDown, State().capsLock)) {
    State().focusText.push_back(c);
  }
}

void FocusChar(char16_t character) {
  std::lock_guard<std::mutex> lock(State().recordMutex);
  if (character == u'\b') {
    if (!State().focusText.empty()) State().focusText.pop_back();
  } else {
    State().focusText.push_back(character);
  }
}

void ResetFocus() {
  std::lock_guard<std::mutex> lock(State().recordMutex);
  State().focusText.clear();
  State().shiftDown = false;
  State().capsLock = false;
}

size_t WideLength(const WCHAR* text) {
  size_t n = 0;
  if (text != nullptr) {
    while (text[n] != 0) ++n;
  }
  return n;
}

std::u16string Wide(const WCHAR* text) { return text ? std::u16string(text, WideLength(text)) : std::u16string(); }

std::u16string WideLower(const std::u16string& text) {
  std::u16string lower(text);
  for (char16_t& c : lower) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return lower;
}

bool WideEqualNoCase(const std::u16string& a, const std::u16string& b) { return WideLower(a) == WideLower(b); }

std::string Hex(unsigned long value, int digits) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%0*lX", digits, value);
  return text;
}

}  // namespace host

// ---- Input operations ------------------------------------------------------

UINT WINAPI SendInput(UINT count, LPINPUT inputs, int size) {
  if (inputs == nullptr || size != static_cast<int>(sizeof(INPUT))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  for (UINT i = 0; i < count; ++i) {
    const INPUT& input = inputs[i];
    device::KeyInput record{count,         size,          input.type,       input.ki.wVk, input.ki.wScan,
                            input.ki.dwFlags, input.ki.time, input.ki.dwExtraInfo};
    host::RecordKeyInput(record);
    if (input.type == INPUT_KEYBOARD) host::FocusKey(input.ki.wVk, (input.ki.dwFlags & KEYEVENTF_KEYUP) != 0);
  }
  return count;
}

BOOL WINAPI PostKeybdMessage(HWND window, UINT vkey, UINT keyStateFlags, UINT count, UINT* shiftStates,
                             UINT* characters) {
  if (count != 0 && (shiftStates == nullptr || characters == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  device::KeybdMessage message{window, vkey, keyStateFlags, count, count ? shiftStates[0] : 0,
                               count ? characters[0] : 0};
  host::RecordKeybdMessage(message);
  if (keyStateFlags & KeyStateDownFlag) {
    for (UINT i = 0; i < count; ++i) host::FocusChar(static_cast<char16_t>(characters[i]));
  }
  return TRUE;
}

// ---- Device: records -------------------------------------------------------

namespace device {

std::vector<KeyInput> SendInputs() {
  std::lock_guard<std::mutex> lock(State().recordMutex);
  return State().keyInputs;
}

std::vector<KeybdMessage> KeybdMessages() {
  std::lock_guard<std::mutex> lock(State().recordMutex);
  return State().keybdMessages;
}

std::vector<PostedMessage> PostedToOtherPrograms() {
  std::lock_guard<std::mutex> lock(State().recordMutex);
  return State().posted;
}

std::vector<MessageBoxRecord> MessageBoxes() {
  std::lock_guard<std::mutex> lock(State().recordMutex);
  return State().boxes;
}

std::vector<TrayOp> TrayOps() {
  std::lock_guard<std::mutex> lock(State().recordMutex);
  return State().trayOps;
}

std::vector<std::string> Trace() {
  std::lock_guard<std::mutex> lock(State().recordMutex);
  return State().trace;
}

void SetTraceSink(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::mutex> lock(State().recordMutex);
  State().sink = std::move(sink);
}

void ClearRecords() {
  host::ResetRecords();
  NotifyChanged();
}

std::u16string FocusText() {
  std::lock_guard<std::mutex> lock(State().recordMutex);
  return State().focusText;
}

void FlushTrace() {}  // lines reach the sink one by one

void NotifyChanged() {
  {
    std::lock_guard<std::mutex> lock(State().changeMutex);
    ++State().changeCount;
  }
  State().changed.notify_all();
}

bool WaitFor(const std::function<bool()>& predicate, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    unsigned long seen;
    {
      std::lock_guard<std::mutex> lock(State().changeMutex);
      seen = State().changeCount;
    }
    // The predicate may take other locks of the device: call it unlocked.
    if (predicate()) return true;
    std::unique_lock<std::mutex> lock(State().changeMutex);
    if (!State().changed.wait_until(lock, deadline, [&] { return State().changeCount != seen; })) {
      lock.unlock();
      return predicate();
    }
  }
}

std::string ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string FromUtf8(const std::string& text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    uint32_t c = 0xFFFD;
    size_t length = 1;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      length = 2;
    } else if ((b & 0xF0) == 0xE0) {
      length = 3;
    } else if ((b & 0xF8) == 0xF0) {
      length = 4;
    }
    if (length > 1) {
      if (i + length > text.size()) {
        length = 1;
      } else {
        c = b & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
          unsigned char next = static_cast<unsigned char>(text[i + k]);
          if ((next & 0xC0) != 0x80) {
            c = 0xFFFD;
            length = 1;
            break;
          }
          c = (c << 6) | (next & 0x3F);
        }
      }
    }
    if (c >= 0x10000 && c <= 0x10FFFF) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c > 0x10FFFF ? 0xFFFD : c));
    }
    i += length;
  }
  return out;
}

std::string Quote(const std::u16string& text) {
  std::string out = "\"";
  std::u16string plain;  // printable run, converted whole so surrogate pairs stay together
  auto flush = [&] {
    out += ToUtf8(plain);
    plain.clear();
  };
  for (char16_t c : text) {
    const char* escape = nullptr;
    switch (c) {
      case u'\r':
        escape = "\\r";
        break;
      case u'\n':
        escape = "\\n";
        break;
      case u'\t':
        escape = "\\t";
        break;
      case u'"':
        escape = "\\\"";
        break;
      case u'\\':
        escape = "\\\\";
        break;
    }
    if (escape != nullptr) {
      flush();
      out += escape;
    } else if (c < 0x20 || c == 0x7F) {
      flush();
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(c));
      out += hex;
    } else {
      plain.push_back(c);
    }
  }
  flush();
  return out + "\"";
}

}  // namespace device
