# Optional components and what they need. Every component has an option, on
# by default. A dependency it lacks stops the configure step with the Debian
# package that provides it and the option that leaves the component out, so a
# build never skips a component in silence.
#
#   tav_component(<option> <name> <help>)
#   tav_require(<option> <package> <debian package> [<find_package arguments>...])
include_guard(GLOBAL)
list(APPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR}/modules)

macro(tav_component option name help)
  option(${option} "${help}" ON)
  set_property(GLOBAL PROPERTY TAV_COMPONENT_${option} "${name}")
endmacro()

# A macro, not a function: the variables find_package sets stay visible.
macro(tav_require option package debian)
  if(NOT ${package}_FOUND)
    find_package(${package} ${ARGN} QUIET)
  endif()
  if(NOT ${package}_FOUND)
    get_property(_tav_name GLOBAL PROPERTY TAV_COMPONENT_${option})
    message(FATAL_ERROR "${_tav_name} needs ${package} (Debian package ${debian}): install it with "
                        "tools/setup-deps, or configure with -D${option}=OFF to build without ${_tav_name}.")
  endif()
endmacro()
