# Cross build for 64-bit Windows with MinGW-w64 from a Linux host:
#   cmake -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
# scripts/build-windows.sh does exactly this.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VOLSCAN_MINGW_TRIPLE x86_64-w64-mingw32)

# Debian and Ubuntu ship two thread models side by side.  The posix one is
# preferred (its libstdc++ has std::thread and friends); with the static link
# the winpthread code it needs goes into the exe, not a DLL beside it.
find_program(VOLSCAN_MINGW_CXX
  NAMES ${VOLSCAN_MINGW_TRIPLE}-g++-posix ${VOLSCAN_MINGW_TRIPLE}-g++-win32 ${VOLSCAN_MINGW_TRIPLE}-g++
  NO_CMAKE_FIND_ROOT_PATH)
if(NOT VOLSCAN_MINGW_CXX)
  message(FATAL_ERROR "no ${VOLSCAN_MINGW_TRIPLE}-g++ found (apt-get install g++-mingw-w64-x86-64)")
endif()
string(REGEX REPLACE "g\\+\\+(-[a-z0-9]+)?$" "gcc\\1" VOLSCAN_MINGW_CC "${VOLSCAN_MINGW_CXX}")

set(CMAKE_CXX_COMPILER "${VOLSCAN_MINGW_CXX}")
if(EXISTS "${VOLSCAN_MINGW_CC}")
  set(CMAKE_C_COMPILER "${VOLSCAN_MINGW_CC}")
endif()
find_program(CMAKE_RC_COMPILER NAMES ${VOLSCAN_MINGW_TRIPLE}-windres NO_CMAKE_FIND_ROOT_PATH)

# Libraries and headers come from the target's tree only; programs run
# during the build are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${VOLSCAN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The exe is copied alone onto the machine to examine: the compiler's own
# run-time libraries go inside it rather than as DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
