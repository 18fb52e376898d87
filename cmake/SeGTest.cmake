# GoogleTest for every preset: the distribution's package on native builds,
# built from the distribution's sources where the architecture differs
# (i386, Windows). Either way the targets GTest::gtest and GTest::gtest_main
# exist afterwards.
option(SE_GTEST_FROM_SOURCE "Build GoogleTest from source" OFF)
set(SE_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources")

if(SE_GTEST_FROM_SOURCE)
  if(NOT EXISTS "${SE_GTEST_SOURCE_DIR}/CMakeLists.txt")
    message(FATAL_ERROR "GoogleTest sources not found in ${SE_GTEST_SOURCE_DIR} "
                        "(run scripts/bootstrap)")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory("${SE_GTEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
  se_quiet_third_party(gtest gtest_main)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
endif()

include(GoogleTest)
