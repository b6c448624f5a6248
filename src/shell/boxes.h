// Message boxes shown while the program runs.
#pragma once

#include "platform.h"

// Shows an OK box, unless the box *up stands for is already up; *up is true
// while it is. A box runs a modal loop on the main thread that enters the
// window procedure again for whatever arrives, so a command repeated over its
// own box would nest one box deeper each time, and the handheld's main thread
// has a small stack (64 KB by default). The user still has the first box in
// front of them. Main thread only.
void ShowBoxOnce(bool* up, HWND owner, LPCWSTR text, LPCWSTR caption);
