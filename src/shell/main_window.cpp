// Start-up: the hidden main window, the port, the tray, the message loop.
#include "port/ir_port_link.h"
#include "port/ir_port_locator.h"
#include "shell/globals.h"
#include "shell/tray_controller.h"

#define NUVIK_WINDOW_CLASS TEXT("IR PDA Keyboard Nuvik")

static bool RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSW windowClass = {};
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
