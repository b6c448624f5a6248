# Windows: the program's code against the real Windows headers (MinGW-w64).
file(GLOB NUVIK_WIN32_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/win32/*.cpp)

add_library(nuvik_program STATIC ${NUVIK_PROGRAM_SOURCES} ${NUVIK_WIN32_SOURCES})
target_include_directories(nuvik_program PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/src/platform ${CMAKE_SOURCE_DIR}/res)
target_compile_options(nuvik_program PRIVATE ${NUVIK_PROGRAM_FLAGS})
target_compile_definitions(nuvik_program PUBLIC UNICODE _UNICODE)
