# se_add_plugin(NAME <name> SOURCES <files...> [NO_CHECKS] [DELIVERABLE] [FIXTURE]
#               [DEFINITIONS <defs...>] [DESCRIPTION <text>] [VERSION <x.y.z>]
#               [PRODUCT <text>])
#
# Builds one plug-in: a loadable module named exactly <name> (no "lib"
# prefix), <name>.so on Linux and <name>.dll on Windows, collected in
# ${CMAKE_BINARY_DIR}/plugins. It links the SDK statically (se_sdk2, or
# se_sdk2_nochecks with NO_CHECKS) and exports exactly the two entry points
# getModuleProperties and makeModule; everything else stays hidden. On
# Windows the C and C++ runtimes are linked statically so that the DLL
# imports nothing but KERNEL32.dll and msvcrt.dll, and the DLL carries a
# version resource: file and product version VERSION (default: the
# project's version), file description DESCRIPTION (default: the name),
# product name PRODUCT (default: the project's description, else its name),
# original file name <name>.dll and the copyright in SE_PLUGIN_COPYRIGHT.
#
# Windows plug-ins are built without exceptions and with the SDK's own
# allocation functions (se_sdk2/src/se_alloc.cpp), with each function and datum in a
# section of its own so that the linker drops what nothing uses; Release and
# MinSizeRel builds are also stripped. Together this keeps the runtime's
# share of a DLL to a few tens of KB. 32-bit x86 plug-ins always compile
# floating point to SSE2 and assume a 4-byte aligned stack only (see
# SE_PLUGIN_COMPILE_OPTIONS); a build with no build type is optimised as a
# Release build.
#
# The same file serves this tree and the installed SDK package: it names the
# SDK by its se_sdk2:: targets, which both provide.
#
# Each plug-in is recorded in the global property SE_PLUGINS and made a
# dependency of the target se_plugins, so tests can be built after all
# plug-ins and the export check can visit every one of them. Unless the
# variable SE_PLUGIN_INSTALL is OFF where it is called, the plug-in is also
# installed (component "modules", into SE_PLUGIN_INSTALL_DIR, default
# "modules") and made a dependency of the target se_release.
#
# A plug-in defined under tests/, or marked FIXTURE, is a test fixture: it
# goes to ${CMAKE_BINARY_DIR}/test_plugins instead, so that plugins/ holds
# the module pack alone. The pack's plug-ins are also dependencies of
# se_deliverables, which the tools that run them (sehost) build.
#
# DELIVERABLE marks a plug-in of the pack: one that ships. The deliverables
# are the one list of the pack's plug-ins: they are recorded, in the order
# they are defined, in the global property SE_DELIVERABLES, and once every
# folder has been read the list is written to
# ${CMAKE_BINARY_DIR}/deliverables.txt, one line per plug-in: its name, a
# tab and its source folder. The validator sweep, the fuzz targets and
# scripts/fuzz read that record; nothing else lists the pack's plug-ins.
# A test fixture cannot be a deliverable.

set(SE_PLUGIN_DIR "${CMAKE_BINARY_DIR}/plugins")
set(SE_FIXTURE_DIR "${CMAKE_BINARY_DIR}/test_plugins")
set(_se_plugin_cmake_dir "${CMAKE_CURRENT_LIST_DIR}")

# What the installed package carries beside this file.
set(SE_PLUGIN_SUPPORT_FILES
    "${_se_plugin_cmake_dir}/SePlugin.cmake"
    "${_se_plugin_cmake_dir}/mingw-w64-i686.cmake"
    "${_se_plugin_cmake_dir}/se_plugin_exports.def"
    "${_se_plugin_cmake_dir}/se_plugin_exports.map"
    "${_se_plugin_cmake_dir}/se_plugin_version.rc.in")

# Compile options of plug-ins and of the SDK libraries linked into them.
set(SE_PLUGIN_COMPILE_OPTIONS "")
if(WIN32)
  set(SE_PLUGIN_COMPILE_OPTIONS -fno-exceptions -ffunction-sections -fdata-sections)
  enable_language(RC)
endif()
# 32-bit x86, whatever the toolchain file says: floating point on SSE2, not
# the x87 stack (every processor that runs a current 32-bit system has it;
# x87 code slows down hundreds of times on subnormal numbers), and no more
# than a 4-byte aligned stack assumed at any function's entry, since a host
# built with another compiler may call the entries that way (gcc realigns
# where it needs more; clang realigns every function).
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^([xX]86|[iI][3-7]86|AMD64|amd64|x86_64)$")
  list(APPEND SE_PLUGIN_COMPILE_OPTIONS -msse2 -mfpmath=sse)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    list(APPEND SE_PLUGIN_COMPILE_OPTIONS -mstackrealign)
  else()
    list(APPEND SE_PLUGIN_COMPILE_OPTIONS -mincoming-stack-boundary=2)
  endif()
endif()
# A build without a build type (an author's plain "cmake -S . -B build")
# would be unoptimised: plug-ins then get the Release flags, and on Windows
# are stripped as Release builds are.
set(SE_PLUGIN_DEFAULT_RELEASE OFF)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(SE_PLUGIN_DEFAULT_RELEASE ON)
endif()

if(NOT DEFINED SE_PLUGIN_INSTALL_DIR)
  set(SE_PLUGIN_INSTALL_DIR modules)
endif()

if(NOT TARGET se_plugins)
  add_custom_target(se_plugins)
  add_custom_target(se_deliverables)
endif()
if(NOT TARGET se_release)
  add_custom_target(se_release)
endif()

# Text for a quoted string of a resource script: quotes are doubled.
function(_se_rc_text out text)
  string(REPLACE "\"" "\"\"" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(_se_add_version_resource target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "DESCRIPTION;VERSION;PRODUCT" "")
  if(NOT ARG_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "se_add_plugin(${target}): VERSION '${ARG_VERSION}' is not x.y.z")
  endif()
  # The numeric form has four parts; the fourth stays 0.
  set(SE_RC_VERSION_NUMBERS "${CMAKE_MATCH_1},${CMAKE_MATCH_2},${CMAKE_MATCH_3},0")
  set(SE_RC_VERSION "${ARG_VERSION}")
  set(SE_RC_INTERNAL_NAME "${target}")
  set(SE_RC_FILE_NAME "${target}.dll")
  _se_rc_text(SE_RC_DESCRIPTION "${ARG_DESCRIPTION}")
  _se_rc_text(SE_RC_PRODUCT "${ARG_PRODUCT}")
  _se_rc_text(SE_RC_COPYRIGHT "${SE_PLUGIN_COPYRIGHT}")
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc")
  configure_file("${_se_plugin_cmake_dir}/se_plugin_version.rc.in" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
endfunction()

# Writes the deliverables' list file (see above); deferred to the end of the
# top directory, when every se_add_plugin call has been made. The file is
# rewritten only when its text changes.
function(_se_write_deliverables)
  get_property(names GLOBAL PROPERTY SE_DELIVERABLES)
  set(text "")
  foreach(name IN LISTS names)
    get_target_property(dir ${name} SOURCE_DIR)
    string(APPEND text "${name}\t${dir}\n")
  endforeach()
  set(file "${CMAKE_BINARY_DIR}/deliverables.txt")
  set(old "")
  if(EXISTS "${file}")
    file(READ "${file}" old)
  endif()
  if(NOT old STREQUAL text)
    file(WRITE "${file}" "${text}")
  endif()
endfunction()

function(se_add_plugin)
  cmake_parse_arguments(PARSE_ARGV 0 ARG "NO_CHECKS;DELIVERABLE;FIXTURE" "NAME;DESCRIPTION;VERSION;PRODUCT"
                        "SOURCES;DEFINITIONS")
  if(NOT ARG_NAME OR NOT ARG_SOURCES)
    message(FATAL_ERROR "se_add_plugin: NAME and SOURCES are required")
  endif()
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "se_add_plugin(${ARG_NAME}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()

  set(name ${ARG_NAME})
  add_library(${name} MODULE ${ARG_SOURCES})
  set(out_dir "${SE_PLUGIN_DIR}")
  string(FIND "${CMAKE_CURRENT_SOURCE_DIR}/" "${CMAKE_SOURCE_DIR}/tests/" at)
  if(at EQUAL 0 OR ARG_FIXTURE)
    if(ARG_DELIVERABLE)
      message(FATAL_ERROR "se_add_plugin(${name}): a test fixture cannot be a DELIVERABLE")
    endif()
    set(out_dir "${SE_FIXTURE_DIR}")
    # Older build folders kept fixtures in plugins/: remove such a copy.
    file(REMOVE "${SE_PLUGIN_DIR}/${name}${CMAKE_SHARED_MODULE_SUFFIX}")
  endif()
  if(ARG_DELIVERABLE)
    add_dependencies(se_deliverables ${name})
  endif()

  # A traits file beside the sources (what the validator cannot read off the
  # pin table) goes beside the plug-in, where the validator looks for it.
  set(traits "${CMAKE_CURRENT_SOURCE_DIR}/${name}.traits.json")
  if(EXISTS "${traits}")
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different "${traits}" "${out_dir}/${name}.traits.json"
      VERBATIM)
  endif()

  if(ARG_NO_CHECKS)
    target_link_libraries(${name} PRIVATE se_sdk2::se_sdk2_nochecks)
    target_compile_definitions(${name} PRIVATE SE_NO_CHECKS)
  else()
    target_link_libraries(${name} PRIVATE se_sdk2::se_sdk2)
  endif()
  if(ARG_DEFINITIONS)
    target_compile_definitions(${name} PRIVATE ${ARG_DEFINITIONS})
  endif()

  target_compile_options(${name} PRIVATE ${SE_PLUGIN_COMPILE_OPTIONS})
  if(SE_PLUGIN_DEFAULT_RELEASE)
    separate_arguments(c_release UNIX_COMMAND "${CMAKE_C_FLAGS_RELEASE}")
    separate_arguments(cxx_release UNIX_COMMAND "${CMAKE_CXX_FLAGS_RELEASE}")
    target_compile_options(${name} PRIVATE "$<$<COMPILE_LANGUAGE:C>:${c_release}>"
                           "$<$<COMPILE_LANGUAGE:CXX>:${cxx_release}>")
  endif()

  set_target_properties(${name} PROPERTIES
    PREFIX ""
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY "${out_dir}"
    RUNTIME_OUTPUT_DIRECTORY "${out_dir}")

  if(WIN32)
    # The .def file names the two exports without decoration; -static pulls
    # libgcc, libstdc++ and winpthread into the DLL, as far as anything in it
    # refers to them.
    target_sources(${name} PRIVATE "${_se_plugin_cmake_dir}/se_plugin_exports.def")
    target_link_libraries(${name} PRIVATE se_sdk2::se_sdk2_alloc)
    target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++
                        -Wl,--exclude-all-symbols -Wl,--gc-sections -Wl,--no-insert-timestamp
                        $<$<OR:$<CONFIG:Release,MinSizeRel>,$<BOOL:${SE_PLUGIN_DEFAULT_RELEASE}>>:-s>
                        "-Wl,-Map,${CMAKE_BINARY_DIR}/maps/${name}.map")
    # The link map shows what makes up the DLL (scripts/plugin_sizes).
    file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/maps")

    set(version "${ARG_VERSION}")
    if(NOT version)
      set(version "${PROJECT_VERSION}")
    endif()
    if(NOT version)
      set(version 0.0.0)
    endif()
    set(description "${ARG_DESCRIPTION}")
    if(NOT description)
      set(description "${name}")
    endif()
    set(product "${ARG_PRODUCT}")
    if(NOT product)
      set(product "${PROJECT_DESCRIPTION}")
    endif()
    if(NOT product)
      set(product "${PROJECT_NAME}")
    endif()
    _se_add_version_resource(${name} DESCRIPTION "${description}" VERSION "${version}"
                             PRODUCT "${product}")
    set_target_properties(${name} PROPERTIES SE_PLUGIN_VERSION "${version}"
                          SE_PLUGIN_DESCRIPTION "${description}" SE_PLUGIN_PRODUCT "${product}")
  else()
    # Template instances from the standard library keep default visibility
    # even with -fvisibility=hidden; the version script hides them too.
    set(map "${_se_plugin_cmake_dir}/se_plugin_exports.map")
    target_link_options(${name} PRIVATE "LINKER:--version-script=${map}"
                        "LINKER:--exclude-libs,ALL")
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${map}")
  endif()

  set_property(GLOBAL APPEND PROPERTY SE_PLUGINS ${name})
  add_dependencies(se_plugins ${name})
  if(ARG_DELIVERABLE)
    get_property(listed GLOBAL PROPERTY SE_DELIVERABLES)
    if(NOT listed)
      cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL _se_write_deliverables)
    endif()
    set_property(GLOBAL APPEND PROPERTY SE_DELIVERABLES ${name})
  endif()

  if(NOT DEFINED SE_PLUGIN_INSTALL OR SE_PLUGIN_INSTALL)
    install(TARGETS ${name}
            LIBRARY DESTINATION "${SE_PLUGIN_INSTALL_DIR}" COMPONENT modules
            RUNTIME DESTINATION "${SE_PLUGIN_INSTALL_DIR}" COMPONENT modules)
    add_dependencies(se_release ${name})
  endif()
endfunction()
