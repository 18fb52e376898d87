# Cross build for 32-bit Windows with mingw-w64 (i686).
# The "-posix" compilers use the winpthreads threading model, which gives
# std::mutex and std::thread (GoogleTest needs them). Everything is linked
# statically so that plug-ins and tests import only system DLLs.
#
# The SDK package carries this file beside its CMake package files; given
# from there (--toolchain <prefix>/lib/cmake/se_sdk2/mingw-w64-i686.cmake),
# it also points find_package(se_sdk2) at that package, which the search
# under the cross compiler's root below would not find.
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

# SSE2 floating point instead of x87 (every processor that runs a current
# 32-bit Windows has it; x87 code slows down hundreds of times on subnormal
# numbers); outputs are the same bits either way (tests/sweep).  A host
# built with another compiler calls the exports and entries with a stack
# aligned to 4 bytes only: no function may assume more, gcc realigns where
# it needs to.  se_add_plugin gives every plug-in these flags with any
# toolchain; here they reach everything else built too (host, tests).
set(CMAKE_C_FLAGS_INIT   "-msse2 -mfpmath=sse -mincoming-stack-boundary=2")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mincoming-stack-boundary=2")

set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

if(EXISTS "${CMAKE_CURRENT_LIST_DIR}/se_sdk2Config.cmake" AND NOT se_sdk2_DIR)
  set(se_sdk2_DIR "${CMAKE_CURRENT_LIST_DIR}" CACHE PATH "The SDK package this toolchain file came with")
endif()

# Test executables run under wine, where it is installed.
find_program(SE_WINE wine)
if(SE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SE_WINE})
endif()

# GoogleTest is built from the sources shipped by the distribution.
set(SE_GTEST_FROM_SOURCE ON CACHE BOOL "Build GoogleTest from source")
