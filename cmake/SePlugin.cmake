# se_add_plugin(NAME <name> SOURCES <files...> [NO_CHECKS] [DEFINITIONS <defs...>])
#
# Builds one plug-in: a loadable module named exactly <name> (no "lib"
# prefix), <name>.so on Linux and <name>.dll on Windows, collected in
# ${CMAKE_BINARY_DIR}/plugins. It links the SDK statically (se_sdk2, or
# se_sdk2_nochecks with NO_CHECKS) and exports exactly the two entry points
# getModuleProperties and makeModule; everything else stays hidden. On
# Windows the C and C++ runtimes are linked statically so that the DLL
# imports nothing but system DLLs.
#
# Each plug-in is recorded in the global property SE_PLUGINS and made a
# dependency of the target se_plugins, so tests can be built after all
# plug-ins and the export check can visit every one of them.
#
# A plug-in defined under tests/ is a test fixture: it goes to
# ${CMAKE_BINARY_DIR}/test_plugins instead, so that plugins/ holds the
# module pack alone. The pack's plug-ins are also dependencies of
# se_deliverables, which the tools that run them (sehost) build.

set(SE_PLUGIN_DIR "${CMAKE_BINARY_DIR}/plugins")
set(SE_FIXTURE_DIR "${CMAKE_BINARY_DIR}/test_plugins")
set(_se_plugin_cmake_dir "${CMAKE_CURRENT_LIST_DIR}")

if(NOT TARGET se_plugins)
  add_custom_target(se_plugins)
  add_custom_target(se_deliverables)
endif()

function(se_add_plugin)
  cmake_parse_arguments(PARSE_ARGV 0 ARG "NO_CHECKS" "NAME" "SOURCES;DEFINITIONS")
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
  if(at EQUAL 0)
    set(out_dir "${SE_FIXTURE_DIR}")
    # Older build folders kept fixtures in plugins/: remove such a copy.
    file(REMOVE "${SE_PLUGIN_DIR}/${name}${CMAKE_SHARED_MODULE_SUFFIX}")
  else()
    add_dependencies(se_deliverables ${name})
  endif()

  if(ARG_NO_CHECKS)
    target_link_libraries(${name} PRIVATE se_sdk2_nochecks)
    target_compile_definitions(${name} PRIVATE SE_NO_CHECKS)
  else()
    target_link_libraries(${name} PRIVATE se_sdk2)
  endif()
  if(ARG_DEFINITIONS)
    target_compile_definitions(${name} PRIVATE ${ARG_DEFINITIONS})
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
    # libgcc, libstdc++ and winpthread into the DLL.
    target_sources(${name} PRIVATE "${_se_plugin_cmake_dir}/se_plugin_exports.def")
    target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++
                        -Wl,--exclude-all-symbols)
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
endfunction()
