// The program's version: the one place it is written. The resource script's
// version record and the About box take it from here, and the build reads
// it for CMake's project version (which checks that the three agree). It
// lives in the sources, not the build, because a handheld toolchain builds
// the program without CMake.
#pragma once

#define NUVIK_VERSION_MAJOR 1
#define NUVIK_VERSION_MINOR 11
#define NUVIK_VERSION_TEXT "1.11"
