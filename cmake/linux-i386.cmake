# Native i386 build on an x86-64 Linux host (gcc-multilib). On i386 the host
# records have exactly the 32-bit layout of the shipped target.
set(CMAKE_C_FLAGS_INIT             "-m32")
set(CMAKE_CXX_FLAGS_INIT           "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# The distribution's GoogleTest libraries are 64-bit: build it from source.
set(SE_GTEST_FROM_SOURCE ON CACHE BOOL "Build GoogleTest from source")
