#!/usr/bin/env bash
# Builds AutoUpdate.exe, zlb.exe and the test programs for 64-bit Windows on a Debian 12 machine.
#
# The cross toolchain's libraries (zlib, zstd, SQLite, libsodium and a static Qt) are built once from
# Debian's own source packages into a cache folder outside the checkout (KLV_WINDOWS_CACHE, default
# /var/cache/klv-windows); later runs reuse it. Nothing prebuilt is downloaded.
#
#   bash scripts/build-windows.sh            the cache when it is missing, then the project
#   bash scripts/build-windows.sh --cache    only the cache
#
# KLV_VERSION=a.b.c.d sets the programs' version resource (default: the project's version, a.b.0.0).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

cache=${KLV_WINDOWS_CACHE:-/var/cache/klv-windows}
prefix=$cache/prefix
build=${KLV_WINDOWS_BUILD_DIR:-build-windows}
jobs=$(nproc)
toolchain=$root/cmake/mingw-w64.cmake
export KLV_WINDOWS_CACHE=$cache

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

install_packages() {
    local packages=(g++-mingw-w64-x86-64-posix wine64 wine tcl ninja-build dpkg-dev cmake xz-utils bzip2
        autoconf automake libtool make qt6-base-dev-tools qt6-base-dev xvfb xauth
        librsvg2-bin icoutils) # the programs' icon: rendered from its SVG, assembled into an .ico
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Source packages through an apt configuration of our own: the machine's Debian sources as
# deb-src, with their own lists and cache, so that the system's apt setup stays untouched.
fetch_sources() {
    local apt=$cache/apt
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/sources.list.d" "$cache/src"
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        grep -q "debian.org" "$f" || continue
        sed -E 's/^Types:.*/Types: deb-src/' "$f" >"$apt/sources.list.d/$(basename "$f")"
    done
    if [ -f /etc/apt/sources.list ] && grep -q '^deb .*debian.org' /etc/apt/sources.list; then
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$apt/sources.list.d/system.list"
    fi
    cat >"$apt/apt.conf" <<EOF
Dir::State::Lists "$apt/lists";
Dir::Cache "$apt/cache";
Dir::Etc::SourceList "/dev/null";
Dir::Etc::SourceParts "$apt/sources.list.d";
APT::Sandbox::User "root";
EOF
    export APT_CONFIG=$apt/apt.conf
    apt-get update -qq
    cd "$cache/src"
    # zlib and zstd from the main suite: the security suite lists versions it does not serve.
    local pkg
    for pkg in qt6-base sqlite3 zlib/bookworm libsodium libzstd/bookworm; do
        ls "${pkg%%/*}"_*.dsc >/dev/null 2>&1 || apt-get source -q --download-only "$pkg"
    done
    unset APT_CONFIG
    cd "$root"
}

# Unpacks a source package once, with Debian's patches applied; prints its folder.
unpack() {
    local name=$1 dir
    dir=$(find "$cache/src" -maxdepth 1 -type d -name "${name}-*" | head -n1)
    if [ -z "$dir" ]; then
        (cd "$cache/src" && dpkg-source -q -x "$(ls ${name}_*.dsc | head -n1)" >/dev/null)
        dir=$(find "$cache/src" -maxdepth 1 -type d -name "${name}-*" | head -n1)
    fi
    echo "$dir"
}

build_zlib() {
    [ -f "$cache/stamp-zlib" ] && return
    local src
    src=$(unpack zlib)
    cmake -S "$src" -B "$cache/build/zlib" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix"
    cmake --build "$cache/build/zlib" --target zlibstatic -j"$jobs"
    mkdir -p "$prefix/lib" "$prefix/include"
    cp "$cache/build/zlib/libzlibstatic.a" "$prefix/lib/libz.a"
    cp "$src/zlib.h" "$cache/build/zlib/zconf.h" "$prefix/include/"
    touch "$cache/stamp-zlib"
}

# zstd for the patches of delta updates: the library alone, static, without its programs.
build_zstd() {
    [ -f "$cache/stamp-zstd" ] && return
    local src log=$cache/build/zstd.log
    src=$(unpack libzstd)
    mkdir -p "$cache/build" "$prefix/lib" "$prefix/include"
    : >"$log"
    rm -rf "$cache/build/zstd"
    cp -a "$src/lib" "$cache/build/zstd"
    logged "$log" make -C "$cache/build/zstd" -j"$jobs" libzstd.a CC=x86_64-w64-mingw32-gcc-posix \
        AR=x86_64-w64-mingw32-ar ZSTD_LEGACY_SUPPORT=0 ZSTD_LIB_DEPRECATED=0 ZSTD_LIB_DICTBUILDER=0
    cp "$cache/build/zstd/libzstd.a" "$prefix/lib/libzstd.a"
    cp "$src/lib/zstd.h" "$src/lib/zstd_errors.h" "$prefix/include/"
    touch "$cache/stamp-zstd"
}

# Debian's Qt source leaves out the bundled SQLite; the amalgamation is made from Debian's sqlite3
# source (that step needs tclsh) and compiled with the column metadata the Qt driver uses.
build_sqlite() {
    [ -f "$cache/stamp-sqlite" ] && return
    local src out=$cache/build/sqlite
    src=$(unpack sqlite3)
    mkdir -p "$out"
    (cd "$out" && "$src/configure" --quiet >/dev/null && make -s sqlite3.c >/dev/null)
    x86_64-w64-mingw32-gcc-posix -O2 -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_THREADSAFE=1 \
        -c "$out/sqlite3.c" -o "$out/sqlite3.o"
    x86_64-w64-mingw32-ar rcs "$prefix/lib/libsqlite3.a" "$out/sqlite3.o"
    cp "$out/sqlite3.h" "$out/sqlite3ext.h" "$prefix/include/"
    touch "$cache/stamp-sqlite"
}

# Runs a noisy build step with its output in a log; prints the end of the log when the step fails.
logged() {
    local log=$1
    shift
    if ! "$@" >>"$log" 2>&1; then
        echo "Failed: $*" >&2
        tail -n 40 "$log" >&2
        echo "Full log: $log" >&2
        return 1
    fi
}

# libsodium for the update signatures. Debian's source is a git snapshot without a generated
# configure script, so it is made here with autoreconf (never the upstream autogen.sh, which
# fetches files from the network).
build_sodium() {
    [ -f "$cache/stamp-sodium" ] && return
    local src out=$cache/build/sodium log=$cache/build/sodium.log
    src=$(unpack libsodium)
    mkdir -p "$out"
    : >"$log"
    [ -x "$src/configure" ] || logged "$log" env -C "$src" autoreconf -fi
    logged "$log" env -C "$out" "$src/configure" --host=x86_64-w64-mingw32 CC=x86_64-w64-mingw32-gcc-posix \
        --disable-shared --enable-static --disable-dependency-tracking --prefix="$prefix"
    logged "$log" make -C "$out" -j"$jobs"
    logged "$log" make -C "$out" install
    touch "$cache/stamp-sodium"
}

# A static Qt with the modules, plugins and drivers the program needs, the host tools (moc, uic,
# rcc) taken from Debian's qt6-base-dev-tools of the same version.
build_qt() {
    [ -f "$cache/stamp-qt" ] && return
    local src
    src=$(unpack qt6-base)
    cmake -S "$src" -B "$cache/build/qt" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DBUILD_SHARED_LIBS=OFF -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
        -DFEATURE_opengl=OFF -DFEATURE_dynamicgl=OFF -DFEATURE_dbus=OFF -DFEATURE_vulkan=OFF \
        -DFEATURE_openssl=OFF -DFEATURE_schannel=ON -DFEATURE_icu=OFF -DFEATURE_concurrent=OFF \
        -DFEATURE_printsupport=OFF -DFEATURE_tabletevent=OFF -DFEATURE_xml=OFF \
        -DFEATURE_system_zlib=ON -DFEATURE_system_sqlite=ON -DFEATURE_sql_sqlite=ON -DFEATURE_sql_odbc=ON \
        -DFEATURE_sql_psql=OFF -DFEATURE_sql_mysql=OFF -DFEATURE_sql_ibase=OFF -DFEATURE_sql_oci=OFF \
        -DFEATURE_sql_db2=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_pcre2=OFF \
        -DFEATURE_system_freetype=OFF -DFEATURE_system_libpng=OFF -DFEATURE_system_libjpeg=OFF \
        -DZLIB_INCLUDE_DIR="$prefix/include" -DZLIB_LIBRARY="$prefix/lib/libz.a" \
        -DSQLite3_INCLUDE_DIR="$prefix/include" -DSQLite3_LIBRARY="$prefix/lib/libsqlite3.a"
    cmake --build "$cache/build/qt" -j"$jobs"
    cmake --install "$cache/build/qt" >/dev/null
    touch "$cache/stamp-qt"
}

build_cache() {
    # Each library has its own stamp: a cache from before a library was added builds only that one.
    local lib missing=()
    for lib in zlib zstd sqlite sodium qt; do
        [ -f "$cache/stamp-$lib" ] || missing+=("$lib")
    done
    [ ${#missing[@]} -eq 0 ] && return
    echo "Building the Windows libraries: ${missing[*]}"
    $sudo mkdir -p "$cache"
    [ -w "$cache" ] || $sudo chown "$(id -u):$(id -g)" "$cache"
    local start=$SECONDS
    fetch_sources
    build_zlib
    build_zstd
    build_sqlite
    build_sodium
    build_qt
    echo "Windows libraries built into $cache in $((SECONDS - start)) s"
}

build_project() {
    cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_PREFIX_PATH="$prefix" -DKLV_WERROR=ON -DKLV_VERSION="${KLV_VERSION:-}"
    cmake --build "$build" -j"$jobs"
    ls -l "$build/src/app/AutoUpdate.exe" "$build/tools/zlb/zlb.exe"
}

install_packages
build_cache
[ "${1:-}" = "--cache" ] && exit 0
build_project
