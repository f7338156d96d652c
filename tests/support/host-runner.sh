#!/usr/bin/env bash
# The Linux side of the tests that run under Wine: carries out the requests that the test
# programs leave in a spool folder (see testsupport::run), since a Windows program under Wine
# cannot see the output or exit status of a Linux program it starts. Windows paths in the
# arguments (C:\... of the Wine prefix, Z:\... for the Linux root) become Linux paths.
#   host-runner.sh SPOOL_DIR WINEPREFIX
set -uo pipefail
spool=$1
prefix=$2
mkdir -p "$spool"

to_linux() {
    local a=$1
    case "$a" in
    [Zz]:[\\/]*) a=${a:2} ;;
    [Cc]:[\\/]*) a=$prefix/drive_c/${a:3} ;;
    *) printf '%s' "$a"; return ;;
    esac
    printf '%s' "${a//\\//}"
}

while true; do
    shopt -s nullglob
    for req in "$spool"/*.req; do
        base=${req%.req}
        mapfile -t words <"$req"
        rm -f "$req"
        args=()
        for w in "${words[@]}"; do args+=("$(to_linux "$w")"); done
        (cd /tmp && "${args[@]}") >"$base.out" 2>&1
        echo $? >"$base.status.tmp"
        mv "$base.status.tmp" "$base.status"
    done
    sleep 0.02
done
