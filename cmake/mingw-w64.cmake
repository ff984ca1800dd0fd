# Cross-builds KestalHostComm.dll and its programs for 64-bit Windows with MinGW-w64 (the
# -posix thread model, for std::thread); CTest runs what it builds under Wine.
# Use: cmake --preset windows, or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KESTAL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KESTAL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTAL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTAL_MINGW_TRIPLE}-windres)

# Headers and libraries come from the cross tree only: the host's /usr/include and /usr/lib
# hold Linux builds (the header-only packages the library needs are staged by CMakeLists.txt).
set(CMAKE_FIND_ROOT_PATH /usr/${KESTAL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread linked in statically: the DLL and the programs need nothing
# beside them but system DLLs.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Programs built here (the test discovery and CTest's runs among them) run under Wine, through a
# script that gives them a Wine prefix of their own.
find_program(KESTAL_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(KESTAL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
endif()
