// The handheld's console: one command a line on standard input, standing
// for the stylus on the tray icon and for other programs.
#include <pthread.h>

#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>

#include "handheld.h"
#include "platform.h"
#include "resource.h"
#include "shell/tray_controller.h"

namespace {

// The menu shown by TrackPopupMenuEx waits for the console's next line.
std::mutex g_menuMutex;
std::condition_variable g_menuChanged;
bool g_menuOpen = false;
bool g_choiceReady = false;
UINT g_choice = 0;
unsigned long g_menusOpened = 0;

const char USAGE[] = "commands: tap, choose ID, dismiss, send ID, resume, sip none|ce-star|other";

void Complain(const std::string& message) {
  std::fprintf(stderr, "nuvik: %s\n", message.c_str());
  std::fflush(stderr);
}

HWND MainWindow() { return FindWindowW(TEXT("IR PDA Keyboard Nuvik"), nullptr); }

// Runs on the program's main thread, inside TrackPopupMenuEx.
UINT ChooseFromMenu(HMENU, int, int) {
  std::unique_lock<std::mutex> lock(g_menuMutex);
  g_menuOpen = true;
  g_choiceReady = false;
  ++g_menusOpened;
  g_menuChanged.notify_all();
  g_menuChanged.wait(lock, [] { return g_choiceReady; });
  g_menuOpen = false;
  return g_choice;
}

void Choose(UINT id) {
  std::lock_guard<std::mutex> lock(g_menuMutex);
  g_choice = id;
  g_choiceReady = true;
  // The menu closes with the choice: the next line is a command again.
  g_menuOpen = false;
  g_menuChanged.notify_all();
}

// A line as the complaint shows it: quoted with escapes, cut to a length a
// person can read.
std::string Shown(const std::string& line) {
  const size_t longest = 80;
  std::string quoted = device::Quote(device::FromUtf8(line.substr(0, longest)));
  return line.size() > longest ? quoted + "..." : quoted;
}

bool ParseId(std::istringstream& words, UINT* id) {
  long value = -1;
  std::string rest;
  if (!(words >> value) || value < 0 || value > 0xFFFF || (words >> rest)) return false;
  *id = static_cast<UINT>(value);
  return true;
}

bool MenuOpen() {
  std::lock_guard<std::mutex> lock(g_menuMutex);
  return g_menuOpen;
}

void HandleMenuLine(const std::string& line) {
  std::istringstream words(line);
  std::string verb, rest;
  words >> verb;
  UINT id = 0;
  if (verb == "dismiss" && !(words >> rest)) {
    Choose(0);
  } else if (verb == "choose" && ParseId(words, &id)) {
    for (const device::MenuItem& item : device::MenuItems()) {
      if (item.id != id) continue;
      if (item.state & MF_GRAYED) {
        Complain("item " + std::to_string(id) + " is grayed; choose another or dismiss");
        return;
      }
      Choose(id);
      return;
    }
    Complain("the menu has no item " + std::to_string(id));
  } else {
    Complain("the menu is open: expected 'choose ID' or 'dismiss'");
  }
}

void Tap() {
  HWND main = MainWindow();
  if (main == nullptr) {
    Complain("the program has no tray icon to tap");
    return;
  }
  unsigned long opened;
  {
    std::lock_guard<std::mutex> lock(g_menuMutex);
    opened = g_menusOpened;
  }
  PostMessageW(main, WM_TRAYNOTIFY, 256, WM_LBUTTONUP);
  // The next line belongs to the menu, so wait until it is up.
  std::unique_lock<std::mutex> lock(g_menuMutex);
  if (!g_menuChanged.wait_for(lock, std::chrono::seconds(5), [&] { return g_menusOpened != opened; })) {
    Complain("the tray menu did not open");
  }
}

void HandleLine(const std::string& line) {
  if (MenuOpen()) {
    HandleMenuLine(line);
    return;
  }
  std::istringstream words(line);
  std::string verb;
  if (!(words >> verb)) return;  // blank line
  std::string argument, rest;
  UINT id = 0;
  if (verb == "tap" && !(words >> rest)) {
    Tap();
  } else if (verb == "send" && ParseId(words, &id)) {
    HWND main = MainWindow();
    if (main == nullptr) {
      Complain("no window of class \"IR PDA Keyboard Nuvik\" to send to");
      return;
    }
    SendMessageW(main, WM_COMMAND, id, 0);
  } else if (verb == "resume" && !(words >> rest)) {
    device::Resume();
  } else if (verb == "sip" && (words >> argument) && !(words >> rest) &&
             (argument == "none" || argument == "ce-star" || argument == "other")) {
    device::SetSip(argument == "none" ? device::Sip::None
                   : argument == "ce-star" ? device::Sip::CeStar
                                           : device::Sip::Other);
  } else if (verb == "choose" || verb == "dismiss") {
    Complain("no menu is open: 'tap' first");
  } else {
    Complain("cannot understand " + Shown(line) + " (" + USAGE + ")");
  }
}

void* ReadConsole(void*) {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    HandleLine(line);
  }
  // End of input changes nothing: the program stays resident. An open menu
  // is dismissed, as a tap elsewhere would.
  if (MenuOpen()) Choose(0);
  return nullptr;
}

}  // namespace

namespace handheld {

void StartConsole() {
  device::SetMenuChooser(ChooseFromMenu);
  pthread_t thread;
  if (pthread_create(&thread, nullptr, ReadConsole, nullptr) == 0) pthread_detach(thread);
}

void CloseProgram() {
  // An open menu would hold the main thread; the task manager's close
  // dismisses it first.
  if (MenuOpen()) Choose(0);
  HWND main = MainWindow();
  if (main != nullptr) PostMessageW(main, WM_CLOSE, 0, 0);
}

}  // namespace handheld
