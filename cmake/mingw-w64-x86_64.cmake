# Cross-build for 64-bit Windows with Debian's MinGW-w64 compilers. The posix
# thread model gives std::thread and the standard locks.
#   cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(kelvane_mingw x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${kelvane_mingw}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${kelvane_mingw}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${kelvane_mingw}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${kelvane_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run the .exe files through Wine when it is installed (Debian puts the
# 64-bit loader outside PATH).
find_program(KELVANE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KELVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVANE_WINE})
endif()

# pkg-config must not hand the build's Linux libraries to the cross compiler.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${kelvane_mingw}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# GCC 12 warns wrongly about overlapping copies inside std::string operations
# inlined at -O2 (its bug 105329).
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")

# Programs carry the C++, GCC and thread runtimes inside: a Windows machine
# (or Wine) has none of MinGW's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
