// The focused window of the simulated handheld as a text box: what the
// injected keys and characters type into it with a US layout. Like the
// handheld's edit control it holds at most kFocusTextLimit characters, so
// a handheld typed at for days stays the size it was; the newest are kept
// (the end of what was typed is what anyone looks at) and the older ones
// are counted as dropped.
#include <mutex>

#include "internal.h"

namespace {

// The text is text[start, end): characters before `start` are dropped but
// let go of only once they are as many as the limit, so that typing at the
// limit moves the text once per kFocusTextLimit characters, not once per
// key.
struct FocusState {
  std::mutex mutex;
  std::u16string text;
  size_t start = 0;
  uint64_t dropped = 0;
  bool shiftDown = false;
  bool capsLock = false;

  void Type(char16_t c) {
    text.push_back(c);
    if (text.size() - start <= device::kFocusTextLimit) return;
    ++start;
    ++dropped;
    if (start >= device::kFocusTextLimit) {
      text.erase(0, start);
      start = 0;
    }
  }
  void Erase() {
    if (text.size() > start) text.pop_back();
  }
};

// Detached reader threads may still type while the process exits.
FocusState& State() {
  static FocusState* state = new FocusState;
  return *state;
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

void FocusKey(WORD vk, bool up) {
  std::lock_guard<std::mutex> lock(State().mutex);
  if (IsShiftKey(vk)) {
    State().shiftDown = !up;
    return;
  }
  if (up) return;
  if (vk == 0x14) {  // Caps Lock
    State().capsLock = !State().capsLock;
  } else if (vk == VK_BACK) {
    State().Erase();
  } else if (vk == VK_RETURN) {
    State().Type(u'\r');
  } else if (char16_t c = UsLayoutCharacter(vk, State().shiftDown, State().capsLock)) {
    State().Type(c);
  }
}

void FocusChar(char16_t character) {
  std::lock_guard<std::mutex> lock(State().mutex);
  if (character == u'\b') {
    State().Erase();
  } else {
    State().Type(character);
  }
}

void ResetFocus() {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().text.clear();
  State().text.shrink_to_fit();
  State().start = 0;
  State().dropped = 0;
  State().shiftDown = false;
  State().capsLock = false;
}

}  // namespace host

namespace device {

std::u16string FocusText() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().text.substr(State().start);
}

uint64_t FocusTextDropped() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().dropped;
}

}  // namespace device
