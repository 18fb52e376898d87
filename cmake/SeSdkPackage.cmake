# The SDK package: everything a module author needs, installed with
#
#   cmake --build <build> --target se_sdk
#   cmake --install <build> --component sdk --prefix <prefix>
#
# and nothing of the pack's build tree (docs/sdk.md uses only these paths):
#   include/se_sdk2/, lib/libse_sdk2*.a    the SDK (se_sdk2/CMakeLists.txt)
#   lib/cmake/se_sdk2/                     its CMake package: se_add_plugin and
#                                          the Windows toolchain file
#   include/sehost/, lib/libse_host.a      the reference host (se_sdk2::se_host),
#                                          for an author's own tests
#   bin/sevalidate, or bin/sevalidate.exe  the validator of the build's platform
#   share/se_sdk2/fuzz/                    (Linux) the fuzz kit: libFuzzer
#                                          targets for any module folder
# Included by the top-level build once every folder has been read.
include(GNUInstallDirs)

add_custom_target(se_sdk)
foreach(lib se_sdk2 se_sdk2_nochecks se_sdk2_alloc)
  if(TARGET ${lib})
    add_dependencies(se_sdk ${lib})
  endif()
endforeach()

if(TARGET se_host)
  install(TARGETS se_host EXPORT se_sdk2Targets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT sdk)
  install(DIRECTORY "${PROJECT_SOURCE_DIR}/host/include/sehost" DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
          COMPONENT sdk)
  add_dependencies(se_sdk se_host)
endif()

if(TARGET sevalidate)
  install(TARGETS sevalidate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sdk)
  add_dependencies(se_sdk sevalidate)
endif()

if(NOT WIN32)
  set(_kit share/se_sdk2/fuzz)
  install(FILES "${PROJECT_SOURCE_DIR}/fuzz/kit/CMakeLists.txt" "${PROJECT_SOURCE_DIR}/fuzz/fuzz_module.cpp"
          DESTINATION ${_kit} COMPONENT sdk)
  install(DIRECTORY "${PROJECT_SOURCE_DIR}/fuzz/seeds" DESTINATION ${_kit} COMPONENT sdk)
endif()
