#!/usr/bin/env bash
# Builds the Windows programs and runs every Windows test program under Wine, against the same
# nginx (and fixtures) on 127.0.0.1 that the Linux tests use. The Wine prefix is a private one
# below the build folder. Needs the cache that scripts/build-windows.sh makes (built when missing).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${KLV_WINDOWS_BUILD_DIR:-build-windows}
export KLV_WINDOWS_BUILD_DIR=$build

bash scripts/build-windows.sh
cmake "$build" -DCMAKE_CROSSCOMPILING_EMULATOR="$root/tests/support/wine-run.sh" >/dev/null
cmake --build "$build" -j"$(nproc)"

export WINEPREFIX=$root/$build/wine-prefix
export WINEDEBUG=-all
# Without a display Wine's desktop process complains; the programs do not need one.
export DISPLAY=
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot --init >/dev/null 2>&1 || true
fi
# Wine does not hand variables that start with QT_ from Linux to a Windows program, so the
# platform plugin for the tests comes from the prefix's own environment in the registry.
wine reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /d offscreen /f >/dev/null 2>&1
wine reg add 'HKCU\Environment' /v QT_QPA_FONTDIR /d 'Z:\usr\share\wine\fonts' /f >/dev/null 2>&1
# One Wine server for all test programs, instead of one started and stopped for each.
wineserver -p || true # already running for this prefix is fine
spool=$(mktemp -d /tmp/klv-host-runner.XXXXXX)
bash tests/support/host-runner.sh "$spool" "$WINEPREFIX" &
runner=$!
trap 'kill $runner 2>/dev/null || true; wineserver -k 2>/dev/null || true; rm -rf "$spool"' EXIT
export KLV_HOST_RUNNER=Z:$spool

cd "$build"
# A test program that fails is run once more: one in several runs of tst_unattended under Wine
# ended without any log (not yet understood); a second failure fails the run.
if ! ctest --output-on-failure -j"$(nproc)" --repeat until-pass:2 "$@"; then
    # Once, every https handshake with the test server failed for the whole life of one Wine
    # server ("certificate is not trusted or the handshake was refused", with GnuTLS errors from
    # Wine's TLS), in both attempts; the same programs passed on a new Wine server, the cause is
    # not found. What failed twice runs once more on a new Wine server; failing there fails the run.
    echo "Running the failed test programs once more on a new Wine server" >&2
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    wineserver -p || true
    ctest --output-on-failure --rerun-failed
fi
