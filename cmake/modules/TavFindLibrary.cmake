# tav_find_library(<Package> <header> <library>...): the body of a find module
# for a C library that ships no CMake package: <Package>_FOUND and an imported
# target <Package>::<Package> with the header's directory and the libraries.
include_guard(GLOBAL)
include(FindPackageHandleStandardArgs)

macro(tav_find_library package header)
  find_path(${package}_INCLUDE_DIR ${header})
  set(_tav_libvars)
  foreach(_tav_lib ${ARGN})
    find_library(${package}_${_tav_lib}_LIBRARY ${_tav_lib})
    list(APPEND _tav_libvars ${package}_${_tav_lib}_LIBRARY)
  endforeach()
  find_package_handle_standard_args(${package} REQUIRED_VARS ${package}_INCLUDE_DIR ${_tav_libvars})
  if(${package}_FOUND AND NOT TARGET ${package}::${package})
    add_library(${package}::${package} INTERFACE IMPORTED)
    set_property(TARGET ${package}::${package} PROPERTY INTERFACE_INCLUDE_DIRECTORIES ${${package}_INCLUDE_DIR})
    foreach(_tav_var ${_tav_libvars})
      set_property(TARGET ${package}::${package} APPEND PROPERTY INTERFACE_LINK_LIBRARIES ${${_tav_var}})
    endforeach()
  endif()
endmacro()
