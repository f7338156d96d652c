#!/usr/bin/env bash
# Runs a Windows test program under Wine for CTest (the cross build's test emulator); the Wine
# prefix and the host runner come from scripts/test-windows.sh. A Windows program's standard
# output does not reach a Linux pipe under Wine, so QtTest writes its log to a file, shown after.
set -uo pipefail
: "${WINEPREFIX:?run the Windows tests through scripts/test-windows.sh}"
export WINEDEBUG=${WINEDEBUG:--all}
log=$(mktemp /tmp/klv-wine-test.XXXXXX)
wine "$@" -o "Z:$log,txt"
status=$?
cat "$log"
rm -f "$log"
exit $status
