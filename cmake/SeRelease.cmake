# The release package of the pack: what `cmake --install` puts where
# (component "modules") and the CPack settings that zip it as
# se-modules-<version>-win32.zip:
#
#   modules/<name>.dll   the nine plug-ins (installed by se_add_plugin)
#   docs/modules.html    the user guide, one self-contained page
#   LICENSE, CHANGELOG.md
#   SHA256SUMS           sha256sum -c format, one line per file above
#
# Included by the top-level CMakeLists.txt before the module folders, so the
# settings below reach every se_add_plugin call; the checksum rule is added
# once every folder has been read, so that it runs after every other rule.

set(SE_PLUGIN_COPYRIGHT "Copyright (c) 2026 The SE module pack developers. MIT licence.")

# The user guide is made by scripts/release from docs/modules.md into this
# build's docs/ before the package: its figures are rendered by the native
# sehost, which a Windows build cannot run.
set(SE_USER_GUIDE "${CMAKE_BINARY_DIR}/docs/modules.html")
install(CODE "if(NOT EXISTS [[${SE_USER_GUIDE}]])
  message(FATAL_ERROR \"${SE_USER_GUIDE}: no user guide; scripts/release makes it\")
endif()" COMPONENT modules)
install(FILES "${SE_USER_GUIDE}" DESTINATION docs COMPONENT modules)
install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" "${PROJECT_SOURCE_DIR}/CHANGELOG.md"
        DESTINATION . COMPONENT modules)

# Writes SHA256SUMS over the files this install wrote (the manifest the
# install script keeps), with paths relative to the install prefix, in a
# stable order. Runs at the end of `cmake --install` and of CPack's staging.
function(_se_add_checksum_rule)
  install(CODE [[
    set(_se_root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    set(_se_sums "")
    set(_se_files ${CMAKE_INSTALL_MANIFEST_FILES})
    list(SORT _se_files)
    list(REMOVE_DUPLICATES _se_files)
    foreach(_se_file IN LISTS _se_files)
      if(NOT _se_file MATCHES "^/" AND NOT _se_file MATCHES "^[A-Za-z]:")
        set(_se_file "${_se_root}/${_se_file}")
      endif()
      cmake_path(NORMAL_PATH _se_file)
      cmake_path(RELATIVE_PATH _se_file BASE_DIRECTORY "${_se_root}" OUTPUT_VARIABLE _se_rel)
      if(_se_rel MATCHES "^\\.\\./" OR _se_rel STREQUAL "SHA256SUMS")
        continue()
      endif()
      file(SHA256 "${_se_file}" _se_hash)
      string(APPEND _se_sums "${_se_hash}  ${_se_rel}\n")
    endforeach()
    if(_se_sums STREQUAL "")
      message(FATAL_ERROR "SHA256SUMS: no installed files under ${_se_root}")
    endif()
    file(WRITE "${_se_root}/SHA256SUMS" "${_se_sums}")
    message(STATUS "Written: ${_se_root}/SHA256SUMS")
  ]] COMPONENT modules)
endfunction()
cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL _se_add_checksum_rule)

# ---- CPack ------------------------------------------------------------------
if(WIN32)
  set(_se_platform win32)
else()
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" _se_platform)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME se-modules)
set(CPACK_PACKAGE_VENDOR "The SE module pack developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_FILE_NAME "se-modules-${PROJECT_VERSION}-${_se_platform}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_COMPONENTS_ALL modules)
# Only the modules component goes in, as one archive (the SDK is installed
# separately, with --component sdk).
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_OUTPUT_FILE_PREFIX "${CMAKE_BINARY_DIR}/package")
include(CPack)
