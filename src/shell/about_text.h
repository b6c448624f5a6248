// The About boxes' texts.
#pragma once

#include "platform.h"
#include "version.h"

#define NUVIK_ABOUT_TITLE TEXT("IR PDA Keyboard Nuvik")
#define NUVIK_ABOUT_NOTICE TEXT("Written by the Nuvik project.\r\nFree to use, copy and share.")
#define NUVIK_ABOUT_WEB TEXT("https://nuvik.example.org/")

const WCHAR* const NUVIK_ABOUT_LONG =
    NUVIK_ABOUT_TITLE TEXT("\r\n       Version ") TEXT(NUVIK_VERSION_TEXT) TEXT("\r\n") NUVIK_ABOUT_NOTICE TEXT("\r\n") NUVIK_ABOUT_WEB;
const WCHAR* const NUVIK_ABOUT_SHORT = NUVIK_ABOUT_TITLE TEXT("\r\n") NUVIK_ABOUT_NOTICE;
const WCHAR* const NUVIK_ABOUT_CAPTION = TEXT("About Nuvik");
