# Compiler warnings for everything this project compiles. The presets turn
# SE_WARNINGS_AS_ERRORS on, so a warning fails the build on every preset and
# in CI; a plain configure (an SDK user's own build) only shows them.
option(SE_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Wall -Wextra -Wshadow)
  if(SE_WARNINGS_AS_ERRORS)
    add_compile_options(-Werror)
  endif()
  # The sanitizers' instrumentation leaves gcc's flow analysis reporting
  # values "maybe uninitialized" inside the standard library (std::regex,
  # std::function) where none is.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()

# Third-party code built from the distribution's sources (GoogleTest, Google
# Benchmark) is not ours to fix: its warnings are silenced.
function(se_quiet_third_party)
  foreach(target IN LISTS ARGN)
    if(TARGET ${target})
      target_compile_options(${target} PRIVATE -w)
    endif()
  endforeach()
endfunction()
