// The tray icon and its popup menu: the program's whole face. The icon
// shows whether the keyboard is enabled; the menu offers Disable, Enable and
// About, and its choice arrives at the main window as WM_COMMAND.
#pragma once

#include "platform.h"

// The tray icon's callback message.
const UINT WM_TRAYNOTIFY = WM_USER + 100;

// Called once at start-up, after the port has been opened: the icon shows
// Enabled and the menu offers Disable and About.
void AddTrayAndMenu(void);

// Icon and menu follow the port: enabled offers Disable, disabled offers
// Enable. Nothing once the icon is gone.
void ShowPortStateInTray(bool enabled);
bool TrayShowsEnabled(void);

// Opens the menu at the tray's corner and returns once it has closed. A tap
// that arrives while the menu is open opens nothing.
void TrackTrayMenu(void);

// The two halves of the tray's clean-up, each done once however often it is
// asked. The menu is never destroyed while it is being tracked: that waits
// until TrackTrayMenu's call has returned.
void RemoveTrayIcon(void);
void DestroyTrayMenu(void);
