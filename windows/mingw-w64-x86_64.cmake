# Cross toolchain for 64-bit Windows with Debian's mingw-w64
# (g++-mingw-w64-x86-64). Used for the kernel image and the Win32 tools:
#   cmake -S windows -B build/windows -DCMAKE_TOOLCHAIN_FILE=windows/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VHUB_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${VHUB_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VHUB_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VHUB_MINGW_TRIPLE}-windres)
set(CMAKE_ASM_COMPILER ${CMAKE_C_COMPILER})

# Headers and libraries come from the cross environment only.
set(CMAKE_FIND_ROOT_PATH /usr/${VHUB_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
