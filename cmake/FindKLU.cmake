# Finds SuiteSparse KLU and exports the imported target KLU::KLU.
# Tries a CMake package first, then pkg-config, then a plain header and
# library search (Debian's SuiteSparse 5.x ships only those).
if(TARGET KLU::KLU)
  set(KLU_FOUND TRUE)
  return()
endif()

find_package(KLU CONFIG QUIET NAMES KLU)
if(TARGET SuiteSparse::KLU)
  add_library(KLU::KLU INTERFACE IMPORTED)
  target_link_libraries(KLU::KLU INTERFACE SuiteSparse::KLU)
  set(KLU_FOUND TRUE)
  return()
endif()

find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(PC_KLU QUIET KLU)
endif()

find_path(KLU_INCLUDE_DIR klu.h
  HINTS ${PC_KLU_INCLUDE_DIRS}
  PATH_SUFFIXES suitesparse)
find_library(KLU_LIBRARY NAMES klu HINTS ${PC_KLU_LIBRARY_DIRS})
foreach(dep amd colamd btf suitesparseconfig)
  find_library(KLU_${dep}_LIBRARY NAMES ${dep} HINTS ${PC_KLU_LIBRARY_DIRS})
  if(KLU_${dep}_LIBRARY)
    list(APPEND KLU_DEPENDENCIES "${KLU_${dep}_LIBRARY}")
  endif()
endforeach()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(KLU
  REQUIRED_VARS KLU_LIBRARY KLU_INCLUDE_DIR
  FAIL_MESSAGE "SuiteSparse KLU (klu.h and libklu) was not found. Install it, then build again:
    Debian/Ubuntu:  sudo apt-get install libsuitesparse-dev
    Fedora/RHEL:    sudo dnf install suitesparse-devel
    Homebrew:       brew install suite-sparse
    conda-forge:    conda install -c conda-forge suitesparse
  or point CMake at it: pip install . -Ccmake.define.CMAKE_PREFIX_PATH=/path/to/suitesparse")

if(KLU_FOUND)
  add_library(KLU::KLU UNKNOWN IMPORTED)
  set_target_properties(KLU::KLU PROPERTIES
    IMPORTED_LOCATION "${KLU_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${KLU_INCLUDE_DIR}"
    INTERFACE_LINK_LIBRARIES "${KLU_DEPENDENCIES}")
endif()
mark_as_advanced(KLU_INCLUDE_DIR KLU_LIBRARY)
