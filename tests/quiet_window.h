// A window of the test's own that does only what the handheld does by
// default: an owner for menus, tray icons and boxes.
#pragma once

#include "win32.h"

inline LRESULT CALLBACK QuietProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(window, message, wParam, lParam);
}

// Registers `className` with QuietProc and makes a window of it; null if
// either step fails.
inline HWND CreateQuietWindow(const char16_t* className) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = QuietProc;
  windowClass.lpszClassName = className;
  if (RegisterClassW(&windowClass) == 0) return nullptr;
  return CreateWindowExW(0, className, u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}
