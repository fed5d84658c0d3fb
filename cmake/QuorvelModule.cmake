# One wrapper for every extension module of the package, so that all of them
# share nanobind's type domain and are built with the same flags.
#
#   quorvel_module(core/ast SOURCES a.cpp b.cpp [DEPENDS other_target ...])
#
# builds the target quorvel_core_ast with OUTPUT_NAME ast and installs it
# into the package folder quorvel/core.
function(quorvel_module path)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  string(REPLACE "/" "_" target "quorvel_${path}")
  get_filename_component(name "${path}" NAME)
  get_filename_component(package "${path}" DIRECTORY)
  # NOMINSIZE: the tree walks and searches want -O2/-O3, not the default -Os.
  nanobind_add_module(${target} NB_DOMAIN quorvel NOMINSIZE ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${name})
  target_link_libraries(${target} PRIVATE quorvel_support ${ARG_DEPENDS})
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-missing-field-initializers)
  install(TARGETS ${target} LIBRARY DESTINATION quorvel/${package})
endfunction()
