# Native i386 build on an x86-64 Linux host (gcc-multilib). On i386 the host
# records have exactly the 32-bit layout of the shipped target.
#
# Floating point runs on SSE2, not the x87 stack: every processor that runs a
# current 32-bit system has it, and x87 code slows down hundreds of times on
# subnormal numbers.  Outputs are the same bits either way (tests/sweep).
# -mincoming-stack-boundary=2: a caller may hand over a stack aligned to 4
# bytes only, so no function may assume more; gcc realigns where it needs to.
# se_add_plugin gives every plug-in these flags with any toolchain; here they
# reach everything else built too (host, tests).
set(SE_I386_FLAGS "-m32 -msse2 -mfpmath=sse -mincoming-stack-boundary=2")
set(CMAKE_C_FLAGS_INIT             "${SE_I386_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT           "${SE_I386_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# The distribution's GoogleTest libraries are 64-bit: build it from source.
set(SE_GTEST_FROM_SOURCE ON CACHE BOOL "Build GoogleTest from source")
