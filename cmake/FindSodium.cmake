# Finds libsodium and defines the imported target Sodium::sodium.
#
# A native build takes the system's library (Debian: libsodium-dev), located with pkg-config when
# that is available. The Windows cross build takes the static library that scripts/build-windows.sh
# installs into its prefix, found through CMAKE_PREFIX_PATH; pkg-config is not asked then, because
# it would describe the build machine's library.
#
# Sets Sodium_FOUND, Sodium_VERSION, Sodium_INCLUDE_DIR and Sodium_LIBRARY. Set Sodium_STATIC to
# ON for a static library whose name does not tell (an MSVC .lib).

include(FindPackageHandleStandardArgs)

if(NOT CMAKE_CROSSCOMPILING)
    find_package(PkgConfig QUIET)
    if(PKG_CONFIG_FOUND)
        pkg_check_modules(PC_Sodium QUIET libsodium)
    endif()
endif()

find_path(Sodium_INCLUDE_DIR sodium.h HINTS ${PC_Sodium_INCLUDEDIR} ${PC_Sodium_INCLUDE_DIRS})
# MinGW finds libsodium.a under "sodium"; an MSVC build of libsodium is called libsodium.lib.
find_library(Sodium_LIBRARY NAMES sodium libsodium HINTS ${PC_Sodium_LIBDIR} ${PC_Sodium_LIBRARY_DIRS})
mark_as_advanced(Sodium_INCLUDE_DIR Sodium_LIBRARY)

if(Sodium_INCLUDE_DIR AND EXISTS "${Sodium_INCLUDE_DIR}/sodium/version.h")
    file(STRINGS "${Sodium_INCLUDE_DIR}/sodium/version.h" _sodium_version_line
         REGEX "^#define[ \t]+SODIUM_VERSION_STRING[ \t]+\"[^\"]+\"")
    string(REGEX REPLACE ".*\"([^\"]+)\".*" "\\1" Sodium_VERSION "${_sodium_version_line}")
    unset(_sodium_version_line)
endif()

find_package_handle_standard_args(Sodium REQUIRED_VARS Sodium_LIBRARY Sodium_INCLUDE_DIR VERSION_VAR Sodium_VERSION)

if(Sodium_FOUND AND NOT TARGET Sodium::sodium)
    set(_sodium_static "${Sodium_STATIC}")
    if(Sodium_LIBRARY MATCHES "\\.a$" AND NOT Sodium_LIBRARY MATCHES "\\.dll\\.a$")
        set(_sodium_static ON)
    endif()

    if(_sodium_static)
        add_library(Sodium::sodium STATIC IMPORTED)
        # Without it the Windows headers declare every function as imported from a DLL.
        set_property(TARGET Sodium::sodium APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC=1)
        # What the shared library would have brought along: the thread library, and on Windows
        # advapi32 for RtlGenRandom (libsodium's own "#pragma comment(lib)" works only with MSVC).
        find_package(Threads QUIET)
        if(TARGET Threads::Threads)
            set_property(TARGET Sodium::sodium APPEND PROPERTY INTERFACE_LINK_LIBRARIES Threads::Threads)
        endif()
        if(WIN32)
            set_property(TARGET Sodium::sodium APPEND PROPERTY INTERFACE_LINK_LIBRARIES advapi32)
        endif()
    else()
        add_library(Sodium::sodium UNKNOWN IMPORTED)
    endif()
    set_target_properties(Sodium::sodium PROPERTIES IMPORTED_LOCATION "${Sodium_LIBRARY}"
                                                    INTERFACE_INCLUDE_DIRECTORIES "${Sodium_INCLUDE_DIR}")
    unset(_sodium_static)
endif()
