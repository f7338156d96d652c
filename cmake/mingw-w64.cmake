# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix thread model). The libraries the
# program links (zlib, SQLite, Qt) are found in the cache folder that scripts/build-windows.sh
# fills; KLV_WINDOWS_CACHE overrides its place.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(DEFINED ENV{KLV_WINDOWS_CACHE})
    set(KLV_WINDOWS_CACHE "$ENV{KLV_WINDOWS_CACHE}")
else()
    set(KLV_WINDOWS_CACHE /var/cache/klv-windows)
endif()
set(KLV_WINDOWS_PREFIX "${KLV_WINDOWS_CACHE}/prefix")

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${KLV_WINDOWS_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
