// The program's entry and its hidden main window: start-up, the message
// loop, and the window procedure that carries out the tray menu's commands
// and those of other programs.
#include "shell/main_window.h"

#include "port/ir_port_link.h"
#include "port/ir_port_locator.h"
#include "resource.h"
#include "shell/about_text.h"
#include "shell/boxes.h"
#include "shell/globals.h"
#include "shell/tray.h"

#define NUVIK_WINDOW_CLASS TEXT("IR PDA Keyboard Nuvik")

// One box of each kind at a time (see ShowBoxOnce); both About commands show
// the same box. An Enable is ignored while an earlier Enable's boxes are up,
// so its own box needs no flag.
static bool g_aboutUp = false;
static bool g_unhandledUp = false;
static bool g_reinitFailureUp = false;
static bool g_enabling = false;

static void OnDisable(void) {
  CloseIrPort();
  ShowPortStateInTray(false);
}

static void OnEnable(void) {
  if (g_enabling) return;
  g_enabling = true;
  if (OpenIrPort(g_portName, g_mainWindow)) {
    ShowPortStateInTray(true);
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
  if (open != TrayShowsEnabled()) ShowPortStateInTray(open);
}

// IDM_EXIT and WM_DESTROY end the program the same way but for the order of
// the tray's two clean-ups, which the trace shows: an exit destroys the
// menu, then removes the icon; a destruction removes the icon, then
// destroys the menu. Whichever comes second finds nothing left to do.
enum TrayCleanupOrder { MENU_THEN_ICON, ICON_THEN_MENU };

static void EndProgram(TrayCleanupOrder order) {
  CloseIrPort();
  if (order == MENU_THEN_ICON) {
    DestroyTrayMenu();
    RemoveTrayIcon();
  } else {
    RemoveTrayIcon();
    DestroyTrayMenu();
  }
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
      EndProgram(MENU_THEN_ICON);
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

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      EndProgram(ICON_THEN_MENU);
      return 0;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam));
      return 0;
    case WM_TRAYNOTIFY:
      if (LOWORD(lParam) == WM_LBUTTONUP) TrackTrayMenu();
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

static bool RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSW windowClass = {0};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = 0;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = NUVIK_WINDOW_CLASS;
  return RegisterClassW(&windowClass) != 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand) {
  (void)commandLine;
  (void)showCommand;
  g_instance = instance;
  if (previous == NULL && !RegisterMainWindowClass(instance)) return 0;

  g_mainWindow = CreateWindowExW(0, NUVIK_WINDOW_CLASS, TEXT("Nuvik"), WS_CLIPCHILDREN, 0, 0, 0, 0, NULL, NULL,
                                 instance, NULL);
  if (g_mainWindow == NULL) return 1;
  ShowWindow(g_mainWindow, SW_HIDE);
  UpdateWindow(g_mainWindow);

  g_portName = LocateIrPort(g_mainWindow);
  if (g_portName == NULL) {
    MessageBoxW(g_mainWindow, TEXT("Get Registry Error!"), TEXT("Error"), MB_OK);
    return 1;
  }
  if (!OpenIrPort(g_portName, g_mainWindow)) {
    MessageBoxW(g_mainWindow, TEXT("Port Initial Error!!"), g_portName, MB_OK);
    return 1;
  }
  AddTrayAndMenu();

  // GetMessageW answers -1 on failure; looping on that would spin forever.
  MSG message;
  while (GetMessageW(&message, NULL, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 1;
}
