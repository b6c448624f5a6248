# Windows CE 3.0 on ARM (Pocket PC 2000/2002): the program's own sources and
# its resource script, nothing else, linked into build/ce-arm/nuvik.exe.
# cmake/ce-arm.cmake is the toolchain file (preset ce-arm).

enable_language(RC)

# The defines the handheld's SDK and its resource compiler are given, in
# decimal as the SDK's headers compare them: CE 3.0, Pocket PC 2002.
# -std=c++98 switches off the compiler's own UNDER_CE; the headers need it
# to declare the handheld's WinMain with its wide command line.
set(NUVIK_CE_DEFINES UNICODE _UNICODE _WIN32_WCE=300 UNDER_CE=300 WIN32_PLATFORM_PSPC=310)

# The program's code, as the handheld's compiler takes it: C++98, nothing
# beyond it, no exceptions or RTTI; small, each function in its own section
# so the linker drops what nothing calls.
add_library(nuvik_program STATIC ${NUVIK_PROGRAM_SOURCES})
target_include_directories(nuvik_program PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/src/platform
                                                ${CMAKE_SOURCE_DIR}/res)
target_compile_options(nuvik_program PRIVATE ${NUVIK_PROGRAM_FLAGS} -pedantic-errors -Os -ffunction-sections
                                             -fdata-sections)
set_target_properties(nuvik_program PROPERTIES CXX_STANDARD 98 CXX_EXTENSIONS OFF)
target_compile_definitions(nuvik_program PRIVATE ${NUVIK_CE_DEFINES})

# The executable: WinMain (from the library) and the resources. No C
# runtime: the program uses no heap, no stdio and no static constructors,
# so its entry point is WinMain itself and every import is one of its own
# system calls, all from coredll (with the runtime it would import 13 more).
# The header says what a CE 3.0 loader looks for, set explicitly rather
# than left to the linker's defaults:
# - subsystem Windows CE GUI, version 3.0, and OS version 3.0 (the linker's
#   default OS version is 4.0);
# - a 64 KiB stack for each thread, the handheld's usual size (the linker's
#   default is 2 MiB, and CE takes every thread's stack from the process's
#   32 MiB slot);
# - no ASLR or NX flags, which binutils now sets by default and which
#   CE 3.0's tools never wrote; base relocations kept all the same.
add_executable(nuvik ${CMAKE_SOURCE_DIR}/res/nuvik.rc)
set_target_properties(nuvik PROPERTIES LINKER_LANGUAGE CXX)
# windres runs the compiler's preprocessor in its GNU mode, which defines
# UNDER_CE itself (to 1; a second definition would only draw a warning).
set(NUVIK_CE_RC_DEFINES ${NUVIK_CE_DEFINES})
list(FILTER NUVIK_CE_RC_DEFINES EXCLUDE REGEX "^UNDER_CE=")
target_compile_definitions(nuvik PRIVATE ${NUVIK_CE_RC_DEFINES})
target_include_directories(nuvik PRIVATE ${CMAKE_SOURCE_DIR}/res)
target_link_libraries(nuvik PRIVATE nuvik_program coredll)
target_link_options(nuvik PRIVATE -nostartfiles -nodefaultlibs -Wl,-e,WinMain -Wl,--subsystem,wince:3.0
                    -Wl,--major-os-version,3 -Wl,--minor-os-version,0 -Wl,--stack,0x10000
                    -Wl,--disable-dynamicbase -Wl,--disable-nxcompat -Wl,--enable-reloc-section
                    -s -Wl,--gc-sections -Wl,--no-insert-timestamp)
set_source_files_properties(${CMAKE_SOURCE_DIR}/res/nuvik.rc PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/res/resource.h;${CMAKE_SOURCE_DIR}/res/version.h;${CMAKE_SOURCE_DIR}/res/nuvik.ico;${CMAKE_SOURCE_DIR}/res/enabled.ico;${CMAKE_SOURCE_DIR}/res/disabled.ico")

# The same budget as the 32-bit desktop build: 32 KiB, resources included.
set(NUVIK_EXE_SIZE_LIMIT 32768 CACHE STRING "Largest size in bytes nuvik.exe may have")
add_custom_command(TARGET nuvik POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DNUVIK_SIZE_FILE=$<TARGET_FILE:nuvik> -DNUVIK_SIZE_LIMIT=${NUVIK_EXE_SIZE_LIMIT}
          -P ${CMAKE_SOURCE_DIR}/cmake/windows.cmake
  VERBATIM)
