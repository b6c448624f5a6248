// The handheld's console: one command a line on standard input, standing
// for the stylus (on the tray icon, the menu, a message box) and for other
// programs.
//
// The stylus and other programs do not wait for each other. A command from
// another program runs on a thread of its own, blocked in SendMessageW for as
// long as the program takes to answer, so a box its handling holds up can
// still be answered from the next line. Lines for the stylus wait until the
// program has settled (its thread idle in a message loop), so the line after
// them sees the state they led to.
#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <sstream>

#include "device.h"
#include "handheld.h"

namespace {

const char USAGE[] =
    "commands: tap, choose ID, dismiss, ok, send ID, resume, sip none|ce-star|other [lowered|raised], "
    "sip lowered|raised, boxes hold|auto, screen FILE";

// How long the console waits for the program to answer a line.
constexpr int kSettleMs = 5000;

// WinMain has returned (set by the handheld's main thread).
std::atomic<bool> g_programEnded{false};

void Complain(const std::string& message) {
  std::fprintf(stderr, "nuvik: %s\n", message.c_str());
  std::fflush(stderr);
}

HWND MainWindow() { return FindWindowW(u"IR PDA Keyboard Nuvik", nullptr); }

// The longest line the console takes: the longest command is a path, and
// a longer line is refused without ever being held whole.
constexpr size_t kLongestLine = 4096;

// How much of a line a complaint shows: a length a person can read.
constexpr size_t kShownBytes = 80;

// A line as the complaint shows it: quoted with escapes, cut short.
std::string Shown(const std::string& line) {
  std::string quoted = device::Quote(device::FromUtf8(line.substr(0, kShownBytes)));
  return line.size() > kShownBytes ? quoted + "..." : quoted;
}

bool ParseId(std::istringstream& words, UINT* id) {
  long value = -1;
  std::string rest;
  if (!(words >> value) || value < 0 || value > 0xFFFF || (words >> rest)) return false;
  *id = static_cast<UINT>(value);
  return true;
}

// Lets the program run until it waits for input words.
void Settle() {
  HWND main = MainWindow();
  if (main != nullptr) device::WaitIdle(main, kSettleMs);
}

// The menu stays up until the console's `choose` or `dismiss`.
UINT KeepMenuOpen(HMENU, int, int) { return device::kMenuStaysOpen; }

// The stylus on the tray icon, whatever is up: over a box the program opens
// its menu from the box's loop; over the open menu the tap closes it.
void Tap() {
  bool menuWasOpen = device::OpenMenu().open;
  if (!device::TapTray()) {
    Complain("the program has no tray icon to tap");
    return;
  }
  if (menuWasOpen) {
    Settle();
    return;
  }
  // The next line belongs to the menu, so wait until it is up.
  if (!device::WaitFor([] { return device::OpenMenu().open; }, kSettleMs)) Complain("the tray menu did not open");
}

void Choose(UINT id) {
  for (const device::MenuItem& item : device::OpenMenu().items) {
    if (item.id != id) continue;
    if (item.state & MF_GRAYED) {
      Complain("item " + std::to_string(id) + " is grayed; choose another or dismiss");
      return;
    }
    if (device::ChooseMenuItem(id)) Settle();
    return;
  }
  Complain("the menu has no item " + std::to_string(id));
}

// Another program: finds the main window and sends it WM_COMMAND id from a
// thread of its own. Returns once the command is answered, or once its
// handling has put up a box or the menu and waits for the stylus.
void Send(UINT id) {
  HWND main = MainWindow();
  if (main == nullptr) {
    Complain("no window of class \"IR PDA Keyboard Nuvik\" to send to");
    return;
  }
  struct Job {
    HWND window;
    UINT id;
    std::atomic<bool> done{false};
  };
  auto job = std::make_shared<Job>();
  job->window = main;
  job->id = id;
  size_t boxes = device::BoxesUp().size();
  bool menu = device::OpenMenu().open;
  auto* held = new std::shared_ptr<Job>(job);
  pthread_t thread;
  auto run = [](void* argument) -> void* {
    std::shared_ptr<Job> mine = std::move(*static_cast<std::shared_ptr<Job>*>(argument));
    delete static_cast<std::shared_ptr<Job>*>(argument);
    SendMessageW(mine->window, WM_COMMAND, mine->id, 0);
    mine->done.store(true);
    device::NotifyChanged();
    return nullptr;
  };
  if (pthread_create(&thread, nullptr, run, held) != 0) {
    delete held;
    Complain("cannot start another program to send from");
    return;
  }
  pthread_detach(thread);
  device::WaitFor(
      [&] { return job->done.load() || device::BoxesUp().size() > boxes || (!menu && device::OpenMenu().open); },
      kSettleMs);
  Settle();
}

// Lines that work whatever is up: other programs, the power button, the
// panel, and the handheld's own settings.
bool HandleAnytime(const std::string& line) {
  std::istringstream words(line);
  std::string verb, argument, rest;
  words >> verb;
  UINT id = 0;
  if (verb == "send") {
    if (!ParseId(words, &id)) return false;
    Send(id);
  } else if (verb == "resume") {
    if (words >> rest) return false;
    device::Resume();
  } else if (verb == "sip") {
    std::string panel;
    std::getline(words, panel);
    std::istringstream state(panel);
    device::Sip sip = device::Sip::None;
    bool lowered = false;
    if (state >> argument && (argument == "lowered" || argument == "raised") && !(state >> rest)) {
      // The panel's button: the same windows, hidden or shown again.
      if (!device::SetSipLowered(argument == "lowered")) {
        Complain("there is no input panel to " + std::string(argument == "lowered" ? "lower" : "raise") +
                 ": 'sip ce-star' or 'sip other' first");
      }
    } else if (handheld::ParseSip(panel, &sip, &lowered)) {
      device::SetSip(sip, lowered);
    } else {
      return false;
    }
  } else if (verb == "boxes") {
    if (!(words >> argument) || (words >> rest) || (argument != "hold" && argument != "auto")) return false;
    device::SetBoxMode(argument == "hold" ? device::BoxMode::Hold : device::BoxMode::Auto);
  } else if (verb == "screen") {
    std::string path;
    std::getline(words >> std::ws, path);
    if (path.empty()) return false;
    std::string error;
    if (!device::SaveScreen(path, &error)) Complain("screen: " + error);
  } else {
    return false;
  }
  return true;
}

void HandleLine(const std::string& line) {
  std::istringstream words(line);
  std::string verb, rest;
  if (!(words >> verb)) return;  // blank line
  if (HandleAnytime(line)) return;

  bool menuOpen = device::OpenMenu().open;
  bool boxUp = !device::BoxesUp().empty();
  UINT id = 0;
  if (verb == "tap" && !(words >> rest)) {
    Tap();
  } else if (menuOpen && verb == "dismiss" && !(words >> rest)) {
    if (device::DismissMenu()) Settle();
  } else if (menuOpen && verb == "choose" && ParseId(words, &id)) {
    Choose(id);
  } else if (boxUp && verb == "ok" && !(words >> rest)) {
    if (device::AnswerBox()) Settle();
  } else if (menuOpen) {
    Complain("the menu is open: expected 'choose ID' or 'dismiss'" +
             std::string(boxUp ? ", 'ok' for the box" : "") + " (or send, resume, sip)");
  } else if (boxUp) {
    Complain("a box is up: expected 'ok' (or send, resume, sip)");
  } else if (verb == "choose" || verb == "dismiss") {
    Complain("no menu is open: 'tap' first");
  } else if (verb == "ok") {
    Complain("no box is up");
  } else {
    Complain("cannot understand " + Shown(line) + " (" + USAGE + ")");
  }
}

// The first line waits for start-up to end: the program idle in its message
// loop, or gone. A line piped in at launch would otherwise meet a program
// that has no tray icon yet.
void AwaitStartUp() {
  while (!device::WaitFor(
      [] {
        HWND main = MainWindow();
        return g_programEnded.load() || (main != nullptr && device::IsIdle(main));
      },
      kSettleMs)) {
  }
}

// Standard input, a block at a time, cut into lines. Of a line it holds at
// most kLongestLine bytes, a CRLF's carriage return and one byte that tells
// a longer line: the rest of that one is dropped as it streams in, however
// long it is.
class LineReader {
 public:
  // The next line, without its line end; false at the end of input. A
  // line that was too long comes back as its first bytes, for the message,
  // with *tooLong set.
  bool Next(std::string* line, bool* tooLong) {
    line->clear();
    *tooLong = false;
    for (;;) {
      if (next_ == end_ && !Fill()) return !line->empty() || *tooLong;  // a last line without its end
      const char* from = block_ + next_;
      const char* newline = static_cast<const char*>(memchr(from, '\n', end_ - next_));
      size_t length = newline ? static_cast<size_t>(newline - from) : end_ - next_;
      if (!*tooLong) line->append(from, std::min(length, kLongestLine + 2 - line->size()));
      next_ += length + (newline ? 1 : 0);
      if (!*tooLong && line->size() > kLongestLine + 1) {
        *tooLong = true;
        line->resize(kShownBytes + 1);  // enough to show that there was more
      }
      if (!newline) continue;
      if (!*tooLong && !line->empty() && line->back() == '\r') line->pop_back();
      if (line->size() > kLongestLine) {
        *tooLong = true;
        line->resize(kShownBytes + 1);
      }
      return true;
    }
  }

 private:
  bool Fill() {
    ssize_t got;
    while ((got = read(STDIN_FILENO, block_, sizeof block_)) < 0 && errno == EINTR) {
    }
    next_ = 0;
    end_ = got > 0 ? static_cast<size_t>(got) : 0;
    return got > 0;
  }

  char block_[4096];
  size_t next_ = 0, end_ = 0;
};

void* ReadConsole(void*) {
  AwaitStartUp();
  LineReader input;
  std::string line;
  bool tooLong = false;
  for (;;) {
    device::FlushTrace();  // whoever types next has seen everything so far
    if (!input.Next(&line, &tooLong)) break;
    if (tooLong) {
      Complain("cannot understand " + Shown(line) + " (a line longer than " + std::to_string(kLongestLine) +
               " bytes)");
    } else if (line.find('\0') != std::string::npos) {
      // The commands are text; a NUL would cut a path short further on.
      Complain("cannot understand " + Shown(line) + " (a NUL byte in the line)");
    } else {
      HandleLine(line);
    }
  }
  // End of input changes nothing: the program stays resident. An open menu
  // is dismissed, as a tap elsewhere would.
  device::DismissMenu();
  return nullptr;
}

}  // namespace

namespace handheld {

void StartConsole() {
  device::SetMenuChooser(KeepMenuOpen);
  pthread_t thread;
  if (pthread_create(&thread, nullptr, ReadConsole, nullptr) == 0) pthread_detach(thread);
}

bool ParseSip(const std::string& text, device::Sip* sip, bool* lowered) {
  std::istringstream words(text);
  std::string kind, state, rest;
  if (!(words >> kind) || (words >> state && words >> rest)) return false;
  if (kind == "none") {
    *sip = device::Sip::None;
  } else if (kind == "ce-star") {
    *sip = device::Sip::CeStar;
  } else if (kind == "other") {
    *sip = device::Sip::Other;
  } else {
    return false;
  }
  // Only a panel can be lowered or raised.
  if (!state.empty() && (*sip == device::Sip::None || (state != "lowered" && state != "raised"))) return false;
  *lowered = state == "lowered";
  return true;
}

void ProgramEnded() {
  g_programEnded.store(true);
  device::NotifyChanged();
}

void CloseProgram() {
  // A request that comes during start-up is handed over once start-up is
  // over, when the main thread first waits for messages: before, there may
  // be no window to close yet. A program that ends meanwhile needs nothing.
  AwaitStartUp();
  // As the task manager does: the window is closed whatever is up; an open
  // menu or a box owned by the window goes with it.
  HWND main = MainWindow();
  if (main != nullptr) PostMessageW(main, WM_CLOSE, 0, 0);
}

}  // namespace handheld
