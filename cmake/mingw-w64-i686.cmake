# Cross build for 32-bit Windows with mingw-w64 (i686).
# The "-posix" compilers use the winpthreads threading model, which gives
# std::mutex and std::thread (GoogleTest needs them). Everything is linked
# statically so that plug-ins and tests import only system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(SE_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${SE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${SE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test executables run under wine.
find_program(SE_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${SE_WINE})

# GoogleTest is built from the sources shipped by the distribution.
set(SE_GTEST_FROM_SOURCE ON CACHE BOOL "Build GoogleTest from source")
