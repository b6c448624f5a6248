#include "shell/tray.h"

#include "resource.h"
#include "shell/globals.h"

static NOTIFYICONDATA g_trayIcon;
static HMENU g_trayMenu = NULL;
static bool g_trayShown = false;
static bool g_trayShowsEnabled = false;

// TrackPopupMenuEx runs its loop for g_trayMenu; an exit or close from that
// loop leaves the menu to be destroyed once the call has returned.
static bool g_menuTracking = false;
static bool g_menuDestroyWhenClosed = false;

static HICON LoadTrayIcon(int id) {
  return static_cast<HICON>(LoadImageW(g_instance, MAKEINTRESOURCEW(id), IMAGE_ICON, 16, 16, 0));
}

void AddTrayAndMenu(void) {
  size_t i;
  // Every field is set by hand rather than from NOTIFYICONDATA(): eVC 3.0's
  // compiler does not reliably zero a record written as a temporary, and a
  // copy from a zeroed local would cost an import the handheld need not give.
  for (i = 0; i < sizeof(g_trayIcon.szTip) / sizeof(g_trayIcon.szTip[0]); ++i) {
    g_trayIcon.szTip[i] = 0;
  }
  g_trayIcon.cbSize = sizeof(NOTIFYICONDATA);
  g_trayIcon.hWnd = g_mainWindow;
  g_trayIcon.uID = 256;
  g_trayIcon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  g_trayIcon.uCallbackMessage = WM_TRAYNOTIFY;
  g_trayIcon.hIcon = LoadTrayIcon(IDI_ENABLED);
  Shell_NotifyIcon(NIM_ADD, &g_trayIcon);
  g_trayShown = true;
  g_trayShowsEnabled = true;

  g_trayMenu = CreatePopupMenu();
  AppendMenuW(g_trayMenu, MF_STRING | MF_ENABLED, IDM_DISABLE, TEXT("&Disable"));
  AppendMenuW(g_trayMenu, MF_STRING | MF_GRAYED, IDM_ENABLE, TEXT("&Enable"));
  AppendMenuW(g_trayMenu, MF_STRING | MF_ENABLED, IDM_ABOUT, TEXT("&About"));
}

// An icon from LoadImageW is the program's until it destroys it; the shell
// draws from the handle, so one is released only once the tray no longer
// shows it. A resident program that toggles for weeks keeps one icon.
static void ReleaseIcon(HICON icon) {
  if (icon != NULL) DestroyIcon(icon);
}

void ShowPortStateInTray(bool enabled) {
  if (!g_trayShown) return;
  HICON shown = g_trayIcon.hIcon;
  g_trayIcon.hIcon = LoadTrayIcon(enabled ? IDI_ENABLED : IDI_DISABLED);
  if (Shell_NotifyIcon(NIM_MODIFY, &g_trayIcon)) {
    ReleaseIcon(shown);
  } else {
    // The shell still shows the old one: keep it, drop the new.
    ReleaseIcon(g_trayIcon.hIcon);
    g_trayIcon.hIcon = shown;
  }
  EnableMenuItem(g_trayMenu, enabled ? IDM_ENABLE : IDM_DISABLE, MF_GRAYED);
  EnableMenuItem(g_trayMenu, enabled ? IDM_DISABLE : IDM_ENABLE, MF_ENABLED);
  g_trayShowsEnabled = enabled;
}

bool TrayShowsEnabled(void) { return g_trayShowsEnabled; }

void RemoveTrayIcon(void) {
  if (!g_trayShown) return;
  Shell_NotifyIcon(NIM_DELETE, &g_trayIcon);
  ReleaseIcon(g_trayIcon.hIcon);
  g_trayIcon.hIcon = NULL;
  g_trayShown = false;
}

// Never under its own loop: CE does not say a menu may be destroyed while
// TrackPopupMenuEx tracks it. The exit's quit message or the owner's end
// closes the menu first, and TrackTrayMenu destroys it after the call
// returns.
void DestroyTrayMenu(void) {
  if (g_trayMenu == NULL) return;
  if (g_menuTracking) {
    g_menuDestroyWhenClosed = true;
    return;
  }
  DestroyMenu(g_trayMenu);
  g_trayMenu = NULL;
}

void TrackTrayMenu(void) {
  if (g_trayMenu == NULL || g_menuTracking) return;
  int x = GetSystemMetrics(SM_CXSCREEN) - 32;
  int y = GetSystemMetrics(SM_CYSCREEN) - 16;
  g_menuTracking = true;
  TrackPopupMenuEx(g_trayMenu, TPM_RIGHTALIGN | TPM_BOTTOMALIGN, x, y, g_mainWindow, NULL);
  g_menuTracking = false;
  if (g_menuDestroyWhenClosed) {
    g_menuDestroyWhenClosed = false;
    DestroyTrayMenu();
  }
}
