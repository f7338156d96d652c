# Finds libzstd and defines the imported target Zstd::zstd.
#
# A native build takes the system's library (Debian: libzstd-dev), located with pkg-config when
# that is available. The Windows cross build takes the static library that scripts/build-windows.sh
# installs into its prefix, found through CMAKE_PREFIX_PATH.
#
# Sets Zstd_FOUND, Zstd_VERSION, Zstd_INCLUDE_DIR and Zstd_LIBRARY.

include(FindPackageHandleStandardArgs)

if(NOT CMAKE_CROSSCOMPILING)
    find_package(PkgConfig QUIET)
    if(PKG_CONFIG_FOUND)
        pkg_check_modules(PC_Zstd QUIET libzstd)
    endif()
endif()

find_path(Zstd_INCLUDE_DIR zstd.h HINTS ${PC_Zstd_INCLUDEDIR} ${PC_Zstd_INCLUDE_DIRS})
find_library(Zstd_LIBRARY NAMES zstd libzstd HINTS ${PC_Zstd_LIBDIR} ${PC_Zstd_LIBRARY_DIRS})
mark_as_advanced(Zstd_INCLUDE_DIR Zstd_LIBRARY)

if(Zstd_INCLUDE_DIR AND EXISTS "${Zstd_INCLUDE_DIR}/zstd.h")
    foreach(part MAJOR MINOR RELEASE)
        file(STRINGS "${Zstd_INCLUDE_DIR}/zstd.h" _zstd_line REGEX "^#define[ \t]+ZSTD_VERSION_${part}[ \t]+[0-9]+")
        string(REGEX REPLACE ".*[ \t]([0-9]+).*" "\\1" _zstd_${part} "${_zstd_line}")
    endforeach()
    set(Zstd_VERSION "${_zstd_MAJOR}.${_zstd_MINOR}.${_zstd_RELEASE}")
    unset(_zstd_line)
endif()

find_package_handle_standard_args(Zstd REQUIRED_VARS Zstd_LIBRARY Zstd_INCLUDE_DIR VERSION_VAR Zstd_VERSION)

if(Zstd_FOUND AND NOT TARGET Zstd::zstd)
    add_library(Zstd::zstd UNKNOWN IMPORTED)
    set_target_properties(Zstd::zstd PROPERTIES IMPORTED_LOCATION "${Zstd_LIBRARY}"
                                                INTERFACE_INCLUDE_DIRECTORIES "${Zstd_INCLUDE_DIR}")
endif()
