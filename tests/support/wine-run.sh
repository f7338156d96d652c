#!/usr/bin/env bash
# Runs a Windows test program under Wine for CTest (the cross build's test emulator); the Wine
# prefix and the host runner come from scripts/test-windows.sh. A Windows program's standard
# output does not reach a Linux pipe under Wine, so QtTest writes its log to a file, shown after.
set -uo pipefail
: "${WINEPREFIX:?run the Windows tests through scripts/test-windows.sh}"
export WINEDEBUG=${WINEDEBUG:--all}
log=$(mktemp /tmp/klv-wine-test.XXXXXX)
# Wine's desktop process, started by the first program that needs it, keeps that program's
# standard error for the rest of the run. Given ctest's pipe it held it open, and ctest waited for
# that test until its time-out although the program had finished. Wine's own messages go to a
# file, shown after the log.
err=$(mktemp /tmp/klv-wine-err.XXXXXX)
wine "$@" -o "Z:$log,txt" </dev/null >"$err" 2>&1
status=$?
cat "$log" "$err"
rm -f "$log" "$err"
exit $status
