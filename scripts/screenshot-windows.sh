#!/usr/bin/env bash
# A picture of the window as the Windows build draws it: AutoUpdate.exe with the `windows`
# platform plugin under Wine on an Xvfb screen, in a small installation of its own (SQLite
# database, KLV.EXE with a version resource). Needs the Windows build (scripts/build-windows.sh).
#   screenshot-windows.sh [OUT.png]      (default docs/window-under-wine.png)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${1:-$root/docs/window-under-wine.png}
build=${KLV_WINDOWS_BUILD_DIR:-build-windows}
work=$(mktemp -d /tmp/klv-shot.XXXXXX)
trap 'kill ${xvfb:-} 2>/dev/null; WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null; rm -rf "$work"' EXIT

install=$work/Klv
mkdir -p "$install"
sqlite3 "$install/klv.db" <tests/data/klv-schema.sql
sqlite3 "$install/klv.db" "insert into SYSPROPS (VERSIENUMMER, IUPDATE_SPP, DAUTOUPDATE_SPP, LASTSYSKEY) values (137, 1010, '2026-11-02', '00000100')"
printf '[KLV_DEMO]\r\nDriver=QSQLITE\r\nDatabase=klv.db\r\n' >"$install/KlvAliases.ini"
cat >"$work/v.rc" <<'RC'
1 VERSIONINFO
FILEVERSION 5,2,0,1
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "041304E4"
    BEGIN
      VALUE "FileVersion", "5.2.0.1\0"
      VALUE "IntegerVersion", "137\0"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x413, 1252
  END
END
RC
bash tests/support/make-pe.sh pe32 "$work/v.rc" "$install/KLV.EXE"
cp "$build/src/app/AutoUpdate.exe" "$install/"

export WINEPREFIX=$root/$build/wine-prefix WINEDEBUG=-all DISPLAY=:77
Xvfb :77 -screen 0 1024x768x24 >/dev/null 2>&1 &
xvfb=$!
sleep 2
(cd "$install" && KLV_INSTALL_DIR="Z:${install//\//\\}\\" timeout 60 wine AutoUpdate.exe 0 0 KLV_DEMO --no-restart \
    -platform windows >/dev/null 2>&1 &)
sleep 15
xwd -root -display :77 -out "$work/screen.xwd"
python3 tests/support/xwd-to-png.py "$out" "$work/screen.xwd"
echo "$out"
