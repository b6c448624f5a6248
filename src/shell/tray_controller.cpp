#include "shell/tray_controller.h"

#include "port/ir_port_link.h"
#include "resource.h"
#include "shell/about_text.h"
#include "shell/boxes.h"
#include "shell/globals.h"

static NOTIFYICONDATA g_trayIcon;
static HMENU g_trayMenu = NULL;
static bool g_trayShown = false;
static bool g_trayShowsEnabled = false;

// TrackPopupMenuEx runs its loop for g_trayMenu; an exit or close from that
// loop leaves the menu to be destroyed once the call has returned.
static bool g_menuTracking = false;
static bool g_menuDestroyWhenClosed = false;

// One box of each kind at a time (see ShowBoxOnce); both About commands show
// the same box. An Enable is ignored while an earlier Enable's boxes are up,
// so its own box needs no flag.
static bool g_aboutUp = false;
static bool g_unhandledUp = false;
static bool g_reinitFailureUp = false;
static bool g_enabling = false;

static HICON LoadTrayIcon(int id) {
  return static_cast<HICON>(LoadImageW(g_instance, MAKEINTRESOURCEW(id), IMAGE_ICON, 16, 16, 0));
}

void AddTrayAndMenu(void) {
  g_trayIcon = NOTIFYICONDATA();
  g_trayIcon.cbSize = sizeof(NOTIFYICONDATA);
  g_trayIcon.hWnd = g_mainWindow;
  g_trayIcon.uID = 256;
  g_trayIcon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  g_trayIcon.uCallbackMessage = WM_TRAYNOTIFY;
  g_trayIcon.hIcon = LoadTrayIcon(IDI_ENABLED);
  g_trayIcon.szTip[0] = 0;
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

// Icon and menu follow the port: Enabled offers Disable, Disabled offers
// Enable.
static void ShowPortState(bool enabled) {
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

static void RemoveTrayIcon(void) {
  if (!g_trayShown) return;
  Shell_NotifyIcon(NIM_DELETE, &g_trayIcon);
  ReleaseIcon(g_trayIcon.hIcon);
  g_trayIcon.hIcon = NULL;
  g_trayShown = false;
}

// Never under its own loop: CE does not say a menu may be destroyed while
// TrackPopupMenuEx tracks it. The exit's quit message or the owner's end
// closes the menu first, and OnTrayTap destroys it after the call returns.
static void DestroyTrayMenu(void) {
  if (g_trayMenu == NULL) return;
  if (g_menuTracking) {
    g_menuDestroyWhenClosed = true;
    return;
  }
  DestroyMenu(g_trayMenu);
  g_trayMenu = NULL;
}

static void OnDisable(void) {
  CloseIrPort();
  ShowPortState(false);
}

static void OnEnable(void) {
  if (g_enabling) return;
  g_enabling = true;
  if (OpenIrPort(g_portName, g_mainWindow)) {
    ShowPortState(true);
  } else {
    MessageBoxW(g_mainWindow, TEXT("Unable to Enable IR port!"), TEXT("Error"), MB_OK);
  }
  g_enabling = false;
}

// After a resume (or a request from another program) the port is opened
// afresh, even over an earlier reinitialise's box, which is then not shown
// again. The tray then shows whatever state the port really is in.
static void OnReinit(void) {
  CloseIrPort();
  if (!OpenIrPort(g_portName, g_mainWindow)) {
    ShowBoxOnce(&g_reinitFailureUp, g_mainWindow, TEXT("Can not initial IR port!"), TEXT("Error"));
  }
  bool open = IsIrPortOpen();
  if (open != g_trayShowsEnabled) ShowPortState(open);
}

// IDM_EXIT and WM_DESTROY share this; whichever comes second finds nothing
// left to close, remove or destroy.
static void OnExit(void) {
  CloseIrPort();
  DestroyTrayMenu();
  RemoveTrayIcon();
  PostQuitMessage(0);
}

static void OnDestroy(void) {
  CloseIrPort();
  RemoveTrayIcon();
  DestroyTrayMenu();
  PostQuitMessage(0);
}

static void OnCommand(WORD command) {
  switch (command) {
    case IDM_DISABLE:
      OnDisable();
      break;
    case IDM_ENABLE:
      OnEnable();
      break;
    case IDM_ABOUT:
      ShowBoxOnce(&g_aboutUp, GetForegroundWindow(), NUVIK_ABOUT_LONG, NUVIK_ABOUT_CAPTION);
      break;
    case IDM_EXIT:
      OnExit();
      break;
    case IDM_REINIT:
      OnReinit();
      break;
    case IDM_CLOSE:
      DestroyWindow(g_mainWindow);
      break;
    case IDM_ABOUT_SHORT:
      ShowBoxOnce(&g_aboutUp, g_mainWindow, NUVIK_ABOUT_SHORT, NUVIK_ABOUT_CAPTION);
      break;
    default:
      ShowBoxOnce(&g_unhandledUp, GetForegroundWindow(), TEXT("Unhandled WM_COMMAND message"), TEXT("ERROR"));
      break;
  }
}

// One menu at a time: a tap that reaches the program while its menu is
// tracked opens nothing.
static void OnTrayTap(void) {
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

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      OnDestroy();
      return 0;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam));
      return 0;
    case WM_TRAYNOTIFY:
      if (LOWORD(lParam) == WM_LBUTTONUP) OnTrayTap();
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}
