# Windows CE on ARM (Pocket PC 2000/2002) with the arm-mingw32ce toolchain:
# GCC 4.4 with the CeGCC patches, binutils, the CE headers and libcoredll.a.
#
# The toolchain is looked for, in this order, in NUVIK_CE_ROOT (cache or
# environment variable: the directory holding bin/arm-mingw32ce-g++), in
# build/arm-mingw32ce, where ./test.sh unpacks it, and on PATH.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM)
set(NUVIK_TARGET_CE ON)

if(NOT NUVIK_CE_ROOT)
  if(DEFINED ENV{NUVIK_CE_ROOT})
    set(NUVIK_CE_ROOT "$ENV{NUVIK_CE_ROOT}")
  elseif(EXISTS "${CMAKE_CURRENT_LIST_DIR}/../build/arm-mingw32ce/bin/arm-mingw32ce-g++")
    get_filename_component(NUVIK_CE_ROOT "${CMAKE_CURRENT_LIST_DIR}/../build/arm-mingw32ce" ABSOLUTE)
  endif()
endif()
set(NUVIK_CE_ROOT "${NUVIK_CE_ROOT}" CACHE PATH "The arm-mingw32ce toolchain (holds bin/arm-mingw32ce-g++); empty: PATH")
if(NUVIK_CE_ROOT)
  set(_nuvik_ce_prefix "${NUVIK_CE_ROOT}/bin/arm-mingw32ce-")
else()
  set(_nuvik_ce_prefix "arm-mingw32ce-")
endif()

set(CMAKE_C_COMPILER ${_nuvik_ce_prefix}gcc)
set(CMAKE_CXX_COMPILER ${_nuvik_ce_prefix}g++)
set(CMAKE_RC_COMPILER ${_nuvik_ce_prefix}windres)
if(NUVIK_CE_ROOT)
  set(CMAKE_FIND_ROOT_PATH "${NUVIK_CE_ROOT}/arm-mingw32ce")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The handheld has none of the desktop's kernel32, user32, gdi32 ... that
# CMake links a Windows program with by default; its system calls all come
# from coredll, which each target names itself.
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "Libraries every C program links")
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "Libraries every C++ program links")
