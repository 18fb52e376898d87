# Release settings of the pack, included by the top-level CMakeLists.txt
# before the module folders so that they reach every se_add_plugin call.

set(SE_PLUGIN_COPYRIGHT "Copyright (c) 2026 The SE module pack developers. MIT licence.")
