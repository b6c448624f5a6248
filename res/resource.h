// Command and icon ids shared by the program and its resource script.
#pragma once

// Tray menu and commands from other programs.
#define IDM_DISABLE 100
#define IDM_ENABLE 101
#define IDM_ABOUT 102
#define IDM_EXIT 103
#define IDM_REINIT 104
#define IDM_CLOSE 40008
#define IDM_ABOUT_SHORT 40010

// Icons.
#define IDI_APP 105
#define IDI_ENABLED 114
#define IDI_DISABLED 119
