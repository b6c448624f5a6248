# Windows: the program's code against the real Windows headers (MinGW-w64),
# linked into a small GUI executable with its icons and version resource.

# Run as a script (cmake -DNUVIK_SIZE_FILE=... -DNUVIK_SIZE_LIMIT=... -P this
# file) it checks a built file against its size budget.
if(CMAKE_SCRIPT_MODE_FILE)
  file(SIZE "${NUVIK_SIZE_FILE}" size)
  if(size GREATER NUVIK_SIZE_LIMIT)
    message(FATAL_ERROR "${NUVIK_SIZE_FILE} is ${size} bytes, over its budget of ${NUVIK_SIZE_LIMIT} bytes")
  endif()
  message(STATUS "${NUVIK_SIZE_FILE}: ${size} bytes (budget ${NUVIK_SIZE_LIMIT})")
  return()
endif()

enable_language(RC)

file(GLOB NUVIK_WIN32_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/win32/*.cpp)

# Small and self-contained: no exception tables, no RTTI, every function and
# datum in its own section so the linker drops what nothing calls.
set(NUVIK_WIN32_CODE_FLAGS -Os -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables)

# The program's own code, the same sources as the host build.
add_library(nuvik_program STATIC ${NUVIK_PROGRAM_SOURCES})
target_include_directories(nuvik_program PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/src/platform
                                                ${CMAKE_SOURCE_DIR}/res)
target_compile_options(nuvik_program PRIVATE ${NUVIK_PROGRAM_FLAGS} ${NUVIK_WIN32_CODE_FLAGS} -pedantic-errors)
# The handheld's compilers (eMbedded Visual C++, cegcc's GCC 4.4) know no
# later C++ than C++98, so the program is built as C++98 here, against the
# real headers.
set_target_properties(nuvik_program PROPERTIES CXX_STANDARD 98 CXX_EXTENSIONS OFF)
target_compile_definitions(nuvik_program PUBLIC UNICODE _UNICODE)

# The executable: the desktop stand-ins for the handheld-only operations,
# the record-size checks (compiled here so they hold for what ships) and the
# resources.
add_executable(nuvik WIN32 ${NUVIK_WIN32_SOURCES} ${CMAKE_SOURCE_DIR}/res/nuvik.rc)
target_compile_options(nuvik PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${NUVIK_PROGRAM_FLAGS} ${NUVIK_WIN32_CODE_FLAGS}>)
target_link_libraries(nuvik PRIVATE nuvik_program user32 shell32)
# Wide entry point (wWinMain; WIN32 above gives the GUI subsystem), stripped, unused sections
# dropped, and the GCC support code linked in so only system DLLs are
# imported.
target_link_options(nuvik PRIVATE -municode -s -Wl,--gc-sections -static-libgcc -static-libstdc++
                    -Wl,--no-insert-timestamp)
set_source_files_properties(${CMAKE_SOURCE_DIR}/res/nuvik.rc PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/res/resource.h;${CMAKE_SOURCE_DIR}/res/version.h;${CMAKE_SOURCE_DIR}/res/nuvik.ico;${CMAKE_SOURCE_DIR}/res/enabled.ico;${CMAKE_SOURCE_DIR}/res/disabled.ico")

# The handheld build must stay small: the 32-bit executable, resources
# included, fits in 32 KiB. Checked after every link so growth is caught
# where it happens.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(NUVIK_EXE_SIZE_LIMIT 32768 CACHE STRING "Largest size in bytes the 32-bit nuvik.exe may have")
  add_custom_command(TARGET nuvik POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DNUVIK_SIZE_FILE=$<TARGET_FILE:nuvik> -DNUVIK_SIZE_LIMIT=${NUVIK_EXE_SIZE_LIMIT}
            -P ${CMAKE_CURRENT_LIST_FILE}
    VERBATIM)
endif()

# The helper the Wine smoke run uses to watch and drive the program: a
# console program of its own, built with the same toolchain.
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/wine/driver.cpp)
  add_executable(nuvik-wine-driver ${CMAKE_SOURCE_DIR}/tests/wine/driver.cpp)
  target_compile_options(nuvik-wine-driver PRIVATE -Wall -Wextra -Werror -fno-exceptions -fno-rtti)
  target_compile_definitions(nuvik-wine-driver PRIVATE UNICODE _UNICODE)
  target_link_libraries(nuvik-wine-driver PRIVATE user32 gdi32)
  target_link_options(nuvik-wine-driver PRIVATE -municode -static -s)
endif()

# The port layer's own check under Wine: a console program that makes the
# program's port calls through the same header and layer as nuvik.exe.
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/wine/port_layer_test.cpp)
  add_executable(nuvik-port-layer-test ${CMAKE_SOURCE_DIR}/tests/wine/port_layer_test.cpp
                                       ${CMAKE_SOURCE_DIR}/src/platform/win32/comm_ports.cpp)
  target_include_directories(nuvik-port-layer-test PRIVATE ${CMAKE_SOURCE_DIR}/src/platform
                                                           ${CMAKE_SOURCE_DIR}/src/platform/win32)
  target_compile_options(nuvik-port-layer-test PRIVATE -Wall -Wextra -Werror -fno-exceptions -fno-rtti)
  target_compile_definitions(nuvik-port-layer-test PRIVATE UNICODE _UNICODE)
  target_link_options(nuvik-port-layer-test PRIVATE -municode -static -s)
endif()
