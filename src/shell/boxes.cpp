#include "shell/boxes.h"

void ShowBoxOnce(bool* up, HWND owner, LPCWSTR text, LPCWSTR caption) {
  if (*up) return;
  *up = true;
  MessageBoxW(owner, text, caption, MB_OK);
  *up = false;
}
