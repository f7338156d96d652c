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
# XWD (32 bits a pixel) to PNG, without an image library.
python3 - "$work/screen.xwd" "$out" <<'PY'
import struct, sys, zlib
d = open(sys.argv[1], 'rb').read()
h = struct.unpack('>25I', d[:100])
size, width, height, order, bpl = h[0], h[4], h[5], h[7], h[12]
masks = h[14:17]
pixels = d[size + h[19] * 12:]
rows = bytearray()
for y in range(height):
    rows += b'\0'
    for x in range(width):
        v = int.from_bytes(pixels[y * bpl + x * 4:y * bpl + x * 4 + 4], 'little' if order == 0 else 'big')
        rows += bytes(((v & masks[0]) >> 16, (v & masks[1]) >> 8, v & masks[2]))
chunk = lambda t, b: struct.pack('>I', len(b)) + t + b + struct.pack('>I', zlib.crc32(t + b))
open(sys.argv[2], 'wb').write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0))
                              + chunk(b'IDAT', zlib.compress(bytes(rows), 9)) + chunk(b'IEND', b''))
PY
echo "$out"
